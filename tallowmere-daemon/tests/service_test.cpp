// The launchd property list's exact text, the home folder lookup and the runner of external
// programs. The commands themselves are driven end to end in tests/e2e/service_e2e_test.cpp.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <pwd.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "home.h"
#include "process.h"
#include "linux_process.h"
#include "service.h"
#include "test_support.h"

namespace {

using tallowmere_daemon::process::run;
using tallowmere_daemon::service::plist_text;

TEST(PlistText, IsTheTwentyThreeLineAgentDefinition) {
  const std::string expected =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
      "<plist version=\"1.0\">\n"
      "<dict>\n"
      "    <key>Label</key>\n"
      "    <string>com.tallowmerelabs.daemon</string>\n"
      "    <key>ProgramArguments</key>\n"
      "    <array>\n"
      "        <string>/usr/local/bin/tallowmere-daemon</string>\n"
      "    </array>\n"
      "    <key>RunAtLoad</key>\n"
      "    <true/>\n"
      "    <key>KeepAlive</key>\n"
      "    <dict>\n"
      "        <key>SuccessfulExit</key>\n"
      "        <false/>\n"
      "    </dict>\n"
      "    <key>StandardOutPath</key>\n"
      "    <string>/Users/ana/Library/Logs/tallowmere-daemon.log</string>\n"
      "    <key>StandardErrorPath</key>\n"
      "    <string>/Users/ana/Library/Logs/tallowmere-daemon.log</string>\n"
      "</dict>\n"
      "</plist>\n";
  EXPECT_EQ(plist_text("com.tallowmerelabs.daemon", "/usr/local/bin/tallowmere-daemon",
                       "/Users/ana/Library/Logs/tallowmere-daemon.log"),
            expected);
}

struct EscapeCase {
  const char* value;
  const char* written;
};

// Only & and < can break character data; everything else, markup-looking or not, stays.
constexpr EscapeCase kEscapeCases[] = {
    {"/Users/a&b/bin", "/Users/a&amp;b/bin"},
    {"/Users/x<y>/bin", "/Users/x&lt;y>/bin"},
    {"&&<<", "&amp;&amp;&lt;&lt;"},
    {"/already/&amp;", "/already/&amp;amp;"},
    {"/q\"uo'te/]]>", "/q\"uo'te/]]>"},
    {"/Users/zo\xc3\xab/\xef\xbf\xbd", "/Users/zo\xc3\xab/\xef\xbf\xbd"},
    {"", ""},
};

std::vector<std::string> lines_of(const std::string& text) {
  EXPECT_TRUE(text.empty() || text.ends_with('\n')) << "the last line must end with a line feed";
  return tallowmere_test::lines_of(text);
}

TEST(PlistText, EscapesAmpersandAndLessThanInEveryValue) {
  for (const auto& c : kEscapeCases) {
    const std::string value = c.value, written = c.written;
    const auto lines = lines_of(plist_text(value + "-label", value + "/exe", value + "/log"));
    ASSERT_EQ(lines.size(), 23u) << value;
    EXPECT_EQ(lines[5], "    <string>" + written + "-label</string>") << value;
    EXPECT_EQ(lines[8], "        <string>" + written + "/exe</string>") << value;
    EXPECT_EQ(lines[18], "    <string>" + written + "/log</string>") << value;
    EXPECT_EQ(lines[20], "    <string>" + written + "/log</string>") << value;
  }
}

// PATH and HOME are process-wide; every test here puts them back.
class Environment : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"PATH", "HOME"}) {
      const char* value = std::getenv(name);
      saved_.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
    }
  }
  void TearDown() override {
    for (const auto& [name, value] : saved_) {
      if (value) {
        ::setenv(name.c_str(), value->c_str(), 1);
      } else {
        ::unsetenv(name.c_str());
      }
    }
  }
  tallowmere_test::TempDir dir_;

 private:
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

using Home = Environment;

std::filesystem::path user_database_home() {
  const passwd* entry = ::getpwuid(::getuid());
  return entry && entry->pw_dir ? entry->pw_dir : "";
}

TEST_F(Home, ComesFromHomeWhenSetAndFromTheUserDatabaseOtherwise) {
  ::setenv("HOME", "/srv/somebody", 1);
  EXPECT_EQ(tallowmere_core::home::home_dir(), std::filesystem::path("/srv/somebody"));

  const auto database = user_database_home();
  ASSERT_FALSE(database.empty()) << "this user has no home in the user database";
  ::setenv("HOME", "", 1);
  EXPECT_EQ(tallowmere_core::home::home_dir(), database);
  ::unsetenv("HOME");
  EXPECT_EQ(tallowmere_core::home::home_dir(), database);
}

TEST(ProcessRun, CapturesBothStreamsAndTheExitStatus) {
  const auto output = run("sh", {"-c", "printf 'to out'; printf 'to err' >&2; exit 3"});
  ASSERT_TRUE(output.has_value()) << output.error();
  EXPECT_EQ(output->exit_code, 3);
  EXPECT_FALSE(output->succeeded());
  EXPECT_EQ(output->standard_output, "to out");
  EXPECT_EQ(output->standard_error, "to err");

  const auto quiet = run("sh", {"-c", "exit 0"});
  ASSERT_TRUE(quiet.has_value());
  EXPECT_TRUE(quiet->succeeded());
  EXPECT_EQ(quiet->standard_output, "");
}

TEST(ProcessRun, PassesArgumentsExactly) {
  const auto output = run("sh", {"-c", "for a in \"$@\"; do printf '[%s]' \"$a\"; done", "sh", "", "two words", "*"});
  ASSERT_TRUE(output.has_value());
  EXPECT_EQ(output->standard_output, "[][two words][*]");
}

TEST(ProcessRun, GivesTheProgramNoInput) {
  // With an inherited terminal or pipe, cat would wait for input that never comes.
  const auto output = run("sh", {"-c", "cat; readlink " + (tallowmere_test::linux_process::this_process() / "fd" / "0").string()});
  ASSERT_TRUE(output.has_value());
  EXPECT_EQ(output->standard_output, "/dev/null\n");
}

TEST(ProcessRun, DrainsBothStreamsWhileTheProgramFillsThem) {
  // Far more than a pipe holds, on standard error first: reading one stream to its end before
  // the other would leave both sides waiting for ever.
  const auto output = run("sh", {"-c", "head -c 1000000 /dev/zero >&2; head -c 700000 /dev/zero; "
                                       "head -c 500000 /dev/zero >&2"});
  ASSERT_TRUE(output.has_value());
  EXPECT_TRUE(output->succeeded());
  EXPECT_EQ(output->standard_output.size(), 700000u);
  EXPECT_EQ(output->standard_error.size(), 1500000u);
}

TEST(ProcessRun, AProgramEndedBySignalHasNoExitCode) {
  const auto output = run("sh", {"-c", "printf partial; kill -KILL $$"});
  ASSERT_TRUE(output.has_value());
  EXPECT_EQ(output->exit_code, std::nullopt);
  EXPECT_FALSE(output->succeeded());
  EXPECT_EQ(output->standard_output, "partial");
}

TEST_F(Environment, FindsProgramsThroughPathAndReportsTheOnesThatCannotStart) {
  const auto folder = dir_.path() / "bin";
  tallowmere_test::write_file(folder / "tallowmere-fake-tool", "#!/bin/sh\nprintf 'fake %s' \"$1\"\n");
  ::chmod((folder / "tallowmere-fake-tool").c_str(), 0755);
  tallowmere_test::write_file(folder / "not-executable", "#!/bin/sh\n");
  ::chmod((folder / "not-executable").c_str(), 0644);
  ::setenv("PATH", (folder.string() + ":/usr/bin:/bin").c_str(), 1);

  const auto found = run("tallowmere-fake-tool", {"-u"});
  ASSERT_TRUE(found.has_value()) << found.error();
  EXPECT_EQ(found->standard_output, "fake -u");

  const auto missing = run("tallowmere-no-such-program", {});
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error(), ENOENT);

  const auto refused = run((folder / "not-executable").string(), {});
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error(), EACCES);
}

TEST(ProcessRun, TheProgramDoesNotInheritAnIgnoredSigpipe) {
  // The service ignores SIGPIPE for itself. A pipeline in a child that inherited that would
  // see its writer fail loudly instead of ending quietly when the reader leaves.
  const auto previous = std::signal(SIGPIPE, SIG_IGN);
  const auto output = run("sh", {"-c", "yes | head -c 1 >/dev/null"});
  std::signal(SIGPIPE, previous);
  ASSERT_TRUE(output.has_value());
  EXPECT_EQ(output->standard_error, "");
}

TEST(CurrentExecutable, IsThisRunningProgram) {
  const auto path = tallowmere_daemon::process::current_executable();
  ASSERT_TRUE(path.has_value()) << path.error();
  EXPECT_TRUE(path->is_absolute());
  EXPECT_TRUE(std::filesystem::equivalent(*path, tallowmere_test::linux_process::this_process() / "exe"));
}

}  // namespace

// `tallowmere-daemon install` and `uninstall` through the real executable, with HOME in a
// temporary folder and fake `launchctl` and `id` programs first on PATH. The fakes record every
// call and answer as each test tells them through the environment.
#include <gtest/gtest.h>

#include <grp.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "run_process.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using tallowmere_test::ProcessResult;

constexpr const char* kLabel = "com.tallowmerelabs.daemon";

// Records "launchctl [arg] [arg] ..." per call; answers each subcommand with the exit status in
// FAKE_<SUBCOMMAND>_STATUS and the standard error in FAKE_<SUBCOMMAND>_STDERR (backslash
// escapes interpreted). It also chatters on standard output, which must not matter.
// Shell built-ins only, so that it works with nothing else on PATH.
constexpr const char* kFakeLaunchctl = R"(#!/bin/sh
line=launchctl
for a in "$@"; do line="$line [$a]"; done
printf '%s\n' "$line" >> "$FAKE_CALLS"
case "$1" in
  bootout) status=${FAKE_BOOTOUT_STATUS:-0}; message=$FAKE_BOOTOUT_STDERR ;;
  bootstrap) status=${FAKE_BOOTSTRAP_STATUS:-0}; message=$FAKE_BOOTSTRAP_STDERR ;;
  enable) status=${FAKE_ENABLE_STATUS:-0}; message=$FAKE_ENABLE_STDERR ;;
  *) status=64; message="unexpected subcommand $1" ;;
esac
printf 'launchctl chatter on stdout\n'
printf '%b' "$message" >&2
exit "$status"
)";

// Prints FAKE_ID_STDOUT (default: a user id padded with white space, which must be trimmed).
constexpr const char* kFakeId = R"(#!/bin/sh
if [ "$*" != "-u" ]; then printf 'fake id: unexpected arguments %s\n' "$*" >&2; exit 99; fi
printf '%b' "${FAKE_ID_STDOUT-  501 \n}"
printf '%b' "$FAKE_ID_STDERR" >&2
exit "${FAKE_ID_STATUS:-0}"
)";

std::string expected_plist(const std::string& executable, const std::string& log) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
         "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
         "<plist version=\"1.0\">\n"
         "<dict>\n"
         "    <key>Label</key>\n"
         "    <string>com.tallowmerelabs.daemon</string>\n"
         "    <key>ProgramArguments</key>\n"
         "    <array>\n"
         "        <string>" + executable + "</string>\n"
         "    </array>\n"
         "    <key>RunAtLoad</key>\n"
         "    <true/>\n"
         "    <key>KeepAlive</key>\n"
         "    <dict>\n"
         "        <key>SuccessfulExit</key>\n"
         "        <false/>\n"
         "    </dict>\n"
         "    <key>StandardOutPath</key>\n"
         "    <string>" + log + "</string>\n"
         "    <key>StandardErrorPath</key>\n"
         "    <string>" + log + "</string>\n"
         "</dict>\n"
         "</plist>\n";
}

void write_program(const fs::path& path, const char* script) {
  tallowmere_test::write_file(path, script);
  fs::permissions(path, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                            fs::perms::others_read | fs::perms::others_exec);
}

class Service : public ::testing::Test {
 protected:
  Service() : home_(dir_ / "home"), bin_(dir_ / "bin"), calls_file_(dir_ / "calls") {
    fs::create_directories(home_);
    write_program(bin_ / "launchctl", kFakeLaunchctl);
    write_program(bin_ / "id", kFakeId);
    tallowmere_test::write_file(calls_file_, "");
    executable_ = fs::canonical(TALLOWMERE_DAEMON_EXE).string();
  }

  fs::path plist() const { return home_ / "Library" / "LaunchAgents" / "com.tallowmerelabs.daemon.plist"; }
  fs::path log() const { return home_ / "Library" / "Logs" / "tallowmere-daemon.log"; }

  // HOME, PATH (the fakes, then the system) and the fakes' record file, overridden or extended
  // by `env`; a key mapped to nullopt is left out.
  ProcessResult run(const std::string& subcommand,
                    const std::map<std::string, std::optional<std::string>>& env = {},
                    std::function<void()> in_child = {}) const {
    std::map<std::string, std::string> child_env{
        {"HOME", home_.string()},
        {"PATH", bin_.string() + ":/usr/bin:/bin"},
        {"FAKE_CALLS", calls_file_.string()},
    };
    for (const auto& [key, value] : env) {
      if (value) {
        child_env[key] = *value;
      } else {
        child_env.erase(key);
      }
    }
    return tallowmere_test::run_process({.argv = {executable_, subcommand},
                                         .env = child_env,
                                         .timeout = std::chrono::seconds(30),
                                         .in_child = std::move(in_child)});
  }

  std::vector<std::string> calls() const {
    std::vector<std::string> lines;
    std::istringstream in(tallowmere_test::read_file(calls_file_));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  std::vector<std::string> install_calls(const std::string& uid, const std::string& plist_argument) const {
    return {"launchctl [bootout] [gui/" + uid + "/" + kLabel + "]",
            "launchctl [bootstrap] [gui/" + uid + "] [" + plist_argument + "]",
            "launchctl [enable] [gui/" + uid + "/" + kLabel + "]"};
  }

  std::string installed_lines() const {
    return "Installed and started com.tallowmerelabs.daemon (" + plist().string() + ").\nLogs: " + log().string() +
           "\n";
  }

  tallowmere_test::TempDir dir_;
  fs::path home_, bin_, calls_file_;
  std::string executable_;
};

TEST_F(Service, InstallWritesTheAgentAndLoadsItInTheUsersDomain) {
  const auto result = run("install");
  ASSERT_EQ(result.exit_code, 0) << result.describe();
  EXPECT_EQ(result.stdout_text, installed_lines());
  EXPECT_EQ(result.stderr_text, "");
  EXPECT_EQ(tallowmere_test::read_file(plist()), expected_plist(executable_, log().string()));
  EXPECT_EQ(calls(), install_calls("501", plist().string()));
  // launchd creates the log when it starts the agent; install only makes its folder.
  EXPECT_TRUE(fs::is_directory(log().parent_path()));
  EXPECT_FALSE(fs::exists(log()));
}

TEST_F(Service, InstallTwiceRewritesTheListAndReloadsTheAgent) {
  const auto first = run("install");
  ASSERT_EQ(first.exit_code, 0) << first.describe();
  tallowmere_test::write_file(plist(), "stale");
  const auto second = run("install", {{"FAKE_BOOTOUT_STATUS", "0"}});
  ASSERT_EQ(second.exit_code, 0) << second.describe();
  EXPECT_EQ(second.stdout_text, first.stdout_text);
  EXPECT_EQ(tallowmere_test::read_file(plist()), expected_plist(executable_, log().string()));
  auto expected = install_calls("501", plist().string());
  const auto again = expected;
  expected.insert(expected.end(), again.begin(), again.end());
  EXPECT_EQ(calls(), expected);
}

TEST_F(Service, InstallIgnoresAFailedBootout) {
  const auto result = run("install", {{"FAKE_BOOTOUT_STATUS", "3"},
                                      {"FAKE_BOOTOUT_STDERR", "Boot-out failed: 3: No such process\n"}});
  ASSERT_EQ(result.exit_code, 0) << result.describe();
  EXPECT_EQ(result.stdout_text, installed_lines());
  EXPECT_EQ(result.stderr_text, "");
  EXPECT_EQ(calls(), install_calls("501", plist().string()));
}

TEST_F(Service, RefusedBootstrapFailsWithLaunchdsTrimmedMessageAndKeepsTheList) {
  const auto result = run("install", {{"FAKE_BOOTSTRAP_STATUS", "5"},
                                      {"FAKE_BOOTSTRAP_STDERR", "  Bootstrap failed: 5: Input/output error\n\n"}});
  EXPECT_EQ(result.exit_code, 1) << result.describe();
  EXPECT_EQ(result.stdout_text, "");
  EXPECT_EQ(result.stderr_text, "Error: launchctl bootstrap gui/501 " + plist().string() +
                                    " failed: Bootstrap failed: 5: Input/output error\n");
  EXPECT_EQ(tallowmere_test::read_file(plist()), expected_plist(executable_, log().string()));
  auto expected = install_calls("501", plist().string());
  expected.pop_back();  // no enable after a failed bootstrap
  EXPECT_EQ(calls(), expected);
}

TEST_F(Service, RefusedEnableFails) {
  const auto result = run("install", {{"FAKE_ENABLE_STATUS", "1"}, {"FAKE_ENABLE_STDERR", "no\n"}});
  EXPECT_EQ(result.exit_code, 1) << result.describe();
  EXPECT_EQ(result.stdout_text, "");
  EXPECT_EQ(result.stderr_text, "Error: launchctl enable gui/501/com.tallowmerelabs.daemon failed: no\n");
  EXPECT_EQ(calls(), install_calls("501", plist().string()));
}

TEST_F(Service, LaunchdsMessageIsDecodedLossilyAndTrimmedOfUnicodeWhiteSpace) {
  // An ideographic space in front, an invalid byte inside, a no-break space at the end.
  const auto result = run("install", {{"FAKE_BOOTSTRAP_STATUS", "1"},
                                      {"FAKE_BOOTSTRAP_STDERR", "\xe3\x80\x80" "bad \xff byte\n\xc2\xa0"}});
  EXPECT_EQ(result.exit_code, 1) << result.describe();
  EXPECT_EQ(result.stderr_text,
            "Error: launchctl bootstrap gui/501 " + plist().string() + " failed: bad \xef\xbf\xbd byte\n");
}

TEST_F(Service, WithoutLaunchctlInstallFailsAfterWritingTheList) {
  // What happens on Linux: only the fake `id` is on PATH.
  fs::remove(bin_ / "launchctl");
  const auto result = run("install", {{"PATH", bin_.string()}});
  EXPECT_EQ(result.exit_code, 1) << result.describe();
  EXPECT_EQ(result.stdout_text, "");
  EXPECT_EQ(result.stderr_text,
            "Error: failed to run launchctl\n\nCaused by:\n    No such file or directory (os error 2)\n");
  EXPECT_EQ(tallowmere_test::read_file(plist()), expected_plist(executable_, log().string()));
}

TEST_F(Service, TheDomainComesFromTheRealIdWhenNoneIsFaked) {
  fs::remove(bin_ / "id");
  const auto result = run("install");
  ASSERT_EQ(result.exit_code, 0) << result.describe();
  EXPECT_EQ(calls(), install_calls(std::to_string(::getuid()), plist().string()));
}

TEST_F(Service, UninstallBootsOutAndDeletesOnlyTheList) {
  ASSERT_EQ(run("install").exit_code, 0);
  tallowmere_test::write_file(log(), "earlier log lines\n");
  tallowmere_test::write_file(calls_file_, "");

  const auto result = run("uninstall");
  ASSERT_EQ(result.exit_code, 0) << result.describe();
  EXPECT_EQ(result.stdout_text, "Removed com.tallowmerelabs.daemon.\n");
  EXPECT_EQ(result.stderr_text, "");
  EXPECT_FALSE(fs::exists(plist()));
  EXPECT_TRUE(fs::is_directory(plist().parent_path()));
  EXPECT_EQ(tallowmere_test::read_file(log()), "earlier log lines\n");
  EXPECT_EQ(calls(), std::vector<std::string>{"launchctl [bootout] [gui/501/com.tallowmerelabs.daemon]"});
}

struct UninstallCase {
  const char* name;
  bool plist_present;
  bool launchctl_present;
  int bootout_status;
};

// Whether anything was loaded, installed or even reachable, uninstall ends with the same line.
constexpr UninstallCase kUninstallCases[] = {
    {"nothing installed, bootout refused", false, true, 113},
    {"installed, bootout refused", true, true, 5},
    {"installed, no launchctl at all", true, false, 0},
    {"nothing installed, no launchctl at all", false, false, 0},
};

TEST_F(Service, UninstallSucceedsWhateverBootoutSays) {
  for (const auto& c : kUninstallCases) {
    SCOPED_TRACE(c.name);
    if (c.plist_present) tallowmere_test::write_file(plist(), "installed");
    if (!c.launchctl_present) fs::remove(bin_ / "launchctl");
    const auto result = run("uninstall", {{"FAKE_BOOTOUT_STATUS", std::to_string(c.bootout_status)},
                                          {"FAKE_BOOTOUT_STDERR", "Boot-out failed: No such process\n"}});
    EXPECT_EQ(result.exit_code, 0) << result.describe();
    EXPECT_EQ(result.stdout_text, "Removed com.tallowmerelabs.daemon.\n");
    EXPECT_EQ(result.stderr_text, "");
    EXPECT_FALSE(fs::exists(plist()));
    write_program(bin_ / "launchctl", kFakeLaunchctl);
  }
}

TEST_F(Service, UninstallReportsAListThatCannotBeDeleted) {
  fs::create_directories(plist());  // a folder where the list belongs
  const auto result = run("uninstall");
  EXPECT_EQ(result.exit_code, 1) << result.describe();
  EXPECT_EQ(result.stdout_text, "");
  EXPECT_EQ(result.stderr_text,
            "Error: failed to remove launchd plist\n\nCaused by:\n    Is a directory (os error 21)\n");
}

struct InstallFault {
  const char* name;
  const char* file_at;  // relative to home: a plain file where install needs a folder, or "" for none
  const char* folder_at;  // relative to home: a folder where install writes a file, or ""
  bool small_file_limit;  // RLIMIT_FSIZE below the list's size
  const char* expected_stderr;
};

constexpr InstallFault kInstallFaults[] = {
    {"Library is a file", "Library", "", false,
     "Error: failed to create ~/Library/LaunchAgents\n\nCaused by:\n    Not a directory (os error 20)\n"},
    {"LaunchAgents is a file", "Library/LaunchAgents", "", false,
     "Error: failed to create ~/Library/LaunchAgents\n\nCaused by:\n    File exists (os error 17)\n"},
    {"Logs is a file", "Library/Logs", "", false,
     "Error: failed to create ~/Library/Logs\n\nCaused by:\n    File exists (os error 17)\n"},
    {"a folder stands at the list's path", "", "Library/LaunchAgents/com.tallowmerelabs.daemon.plist", false,
     "Error: failed to write launchd plist\n\nCaused by:\n    Is a directory (os error 21)\n"},
    {"the list does not fit under the file size limit", "", "", true,
     "Error: failed to write launchd plist\n\nCaused by:\n    File too large (os error 27)\n"},
};

TEST_F(Service, InstallStopsAtTheFirstFileSystemFailure) {
  for (const auto& fault : kInstallFaults) {
    SCOPED_TRACE(fault.name);
    fs::remove_all(home_ / "Library");
    if (*fault.file_at) tallowmere_test::write_file(home_ / fault.file_at, "in the way");
    if (*fault.folder_at) fs::create_directories(home_ / fault.folder_at);
    std::function<void()> limit;
    if (fault.small_file_limit) {
      limit = [] {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit small{100, 100};
        ::setrlimit(RLIMIT_FSIZE, &small);
      };
    }
    tallowmere_test::write_file(calls_file_, "");
    const auto result = run("install", {}, limit);
    EXPECT_EQ(result.exit_code, 1) << result.describe();
    EXPECT_EQ(result.stdout_text, "");
    EXPECT_EQ(result.stderr_text, fault.expected_stderr);
    EXPECT_EQ(calls(), std::vector<std::string>{}) << "nothing reaches launchd after a failed write";
  }
}

TEST_F(Service, FailuresOfIdEndBothCommands) {
  struct Case {
    const char* name;
    std::map<std::string, std::optional<std::string>> env;
    bool remove_id;
    std::string expected_stderr;
  };
  const Case cases[] = {
      {"id refuses",
       {{"FAKE_ID_STATUS", "1"}, {"FAKE_ID_STDOUT", ""}, {"FAKE_ID_STDERR", "id: cannot find name for user ID 501\n"}},
       false,
       "Error: id -u failed: id: cannot find name for user ID 501\n"},
      {"no id on PATH",
       {{"PATH", bin_.string()}},
       true,
       "Error: failed to run `id -u` to determine this user's UID\n\nCaused by:\n"
       "    No such file or directory (os error 2)\n"},
  };
  for (const auto& c : cases) {
    if (c.remove_id) fs::remove(bin_ / "id");
    for (const char* command : {"install", "uninstall"}) {
      SCOPED_TRACE(std::string(c.name) + ", " + command);
      fs::remove_all(home_ / "Library");
      const auto result = run(command, c.env);
      EXPECT_EQ(result.exit_code, 1) << result.describe();
      EXPECT_EQ(result.stdout_text, "");
      EXPECT_EQ(result.stderr_text, c.expected_stderr);
      EXPECT_EQ(calls(), std::vector<std::string>{});
      // install has already written its list when it asks for the user id.
      EXPECT_EQ(fs::exists(plist()), std::string(command) == "install");
    }
  }
}

TEST_F(Service, AmpersandAndLessThanAreEscapedOnlyInsideTheList) {
  // Both the home folder and the executable's own folder carry the two characters.
  home_ = dir_ / "Ana & Bo <home>";
  fs::create_directories(home_);
  const fs::path odd_bin = dir_ / "tools&<bin>";
  fs::create_directories(odd_bin);
  fs::copy_file(executable_, odd_bin / "tallowmere-daemon");
  executable_ = (odd_bin / "tallowmere-daemon").string();

  const auto result = run("install");
  ASSERT_EQ(result.exit_code, 0) << result.describe();
  EXPECT_EQ(result.stdout_text, installed_lines());
  const std::string escaped_dir = dir_.path().string();  // temp folders hold neither character
  EXPECT_EQ(tallowmere_test::read_file(plist()),
            expected_plist(escaped_dir + "/tools&amp;&lt;bin>/tallowmere-daemon",
                           escaped_dir + "/Ana &amp; Bo &lt;home>/Library/Logs/tallowmere-daemon.log"));
  EXPECT_EQ(calls(), install_calls("501", plist().string()));
}

TEST_F(Service, AHomeThatIsNotUtf8IsShownLossilyAndPassedToLaunchctlAsAnEmptyArgument) {
  home_ = dir_ / "home-\xff";
  fs::create_directories(home_);
  const auto result = run("install");
  ASSERT_EQ(result.exit_code, 0) << result.describe();
  const std::string shown_home = (dir_ / "home-\xef\xbf\xbd").string();
  EXPECT_EQ(result.stdout_text, "Installed and started com.tallowmerelabs.daemon (" + shown_home +
                                    "/Library/LaunchAgents/com.tallowmerelabs.daemon.plist).\nLogs: " + shown_home +
                                    "/Library/Logs/tallowmere-daemon.log\n");
  EXPECT_EQ(tallowmere_test::read_file(plist()),
            expected_plist(executable_, shown_home + "/Library/Logs/tallowmere-daemon.log"));
  EXPECT_EQ(calls(), install_calls("501", ""));
}

// A user with no entry in the user database and no HOME has no home folder at all. Only root
// can become such a user, in the child, right before exec.
TEST_F(Service, WithoutAnyHomeFolderBothCommandsFail) {
  constexpr uid_t kStranger = 54321;
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run as a user without a passwd entry";
  if (::getpwuid(kStranger) != nullptr) GTEST_SKIP() << "uid 54321 has a passwd entry here";

  // The stranger must reach the executable, the fakes and the record file.
  fs::permissions(dir_.path(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                   fs::perms::others_read | fs::perms::others_exec);
  fs::permissions(calls_file_, fs::perms::all);
  fs::copy_file(executable_, bin_ / "tallowmere-daemon");
  executable_ = (bin_ / "tallowmere-daemon").string();
  const auto become_stranger = [] {
    if (::setgroups(0, nullptr) != 0 || ::setgid(kStranger) != 0 || ::setuid(kStranger) != 0) ::_exit(126);
  };

  for (const std::optional<std::string>& home : {std::optional<std::string>(), std::optional<std::string>("")}) {
    SCOPED_TRACE(home ? "HOME empty" : "HOME unset");
    tallowmere_test::write_file(calls_file_, "");
    const auto installed = run("install", {{"HOME", home}}, become_stranger);
    EXPECT_EQ(installed.exit_code, 1) << installed.describe();
    EXPECT_EQ(installed.stdout_text, "");
    EXPECT_EQ(installed.stderr_text, "Error: couldn't determine this user's home directory\n");
    EXPECT_EQ(calls(), std::vector<std::string>{});

    const auto uninstalled = run("uninstall", {{"HOME", home}}, become_stranger);
    EXPECT_EQ(uninstalled.exit_code, 1) << uninstalled.describe();
    EXPECT_EQ(uninstalled.stdout_text, "");
    EXPECT_EQ(uninstalled.stderr_text, "Error: couldn't determine this user's home directory\n");
    // uninstall looks for the home only after the bootout.
    EXPECT_EQ(calls(), std::vector<std::string>{"launchctl [bootout] [gui/501/com.tallowmerelabs.daemon]"});
  }
}

}  // namespace

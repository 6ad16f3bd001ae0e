// The command line's own outcomes through the real executable: help on standard output with
// status 0, usage errors on standard error with status 2 and no mode run.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "run_process.h"
#include "test_support.h"

namespace {

tallowmere_test::ProcessResult run_daemon(const std::vector<std::string>& arguments,
                                          const std::filesystem::path& home) {
  std::vector<std::string> argv{TALLOWMERE_DAEMON_EXE};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  // An empty PATH: a mode that ran by mistake could reach no external program.
  return tallowmere_test::run_process(
      {.argv = argv, .env = {{"HOME", home.string()}, {"PATH", ""}}, .timeout = std::chrono::seconds(30)});
}

TEST(CommandLine, HelpListsTheSubcommandsOnStandardOutput) {
  tallowmere_test::TempDir home;
  for (const char* flag : {"--help", "-h"}) {
    const auto result = run_daemon({flag}, home.path());
    EXPECT_EQ(result.exit_code, 0) << result.describe();
    EXPECT_EQ(result.stderr_text, "");
    const std::string& help = result.stdout_text;
    EXPECT_NE(help.find("Background watcher: checkpoints every registered project whose policy enables it"),
              std::string::npos);
    const auto status = help.find("status");
    const auto install = help.find("install ");
    const auto uninstall = help.find("uninstall");
    ASSERT_NE(status, std::string::npos) << help;
    ASSERT_NE(install, std::string::npos) << help;
    ASSERT_NE(uninstall, std::string::npos) << help;
    EXPECT_LT(status, install);
    EXPECT_LT(install, uninstall);
    EXPECT_NE(help.find("Ask a running daemon what it's currently watching"), std::string::npos);
    EXPECT_NE(help.find("Register this as a service so it starts automatically and restarts on failure "
                        "(systemd user service on Linux, Windows Service on Windows; not yet implemented on macOS)"),
              std::string::npos);
    EXPECT_NE(help.find("Stop and remove the service registered by `install`"), std::string::npos);
  }
}

TEST(CommandLine, UsageErrorsExitWithTwoAndRunNothing) {
  const std::vector<std::vector<std::string>> cases = {
      {"--version"}, {"-V"}, {"bogus"}, {"install", "extra"}, {"install", "uninstall"}, {"uninstall", "--force"},
  };
  for (const auto& arguments : cases) {
    tallowmere_test::TempDir home;
    SCOPED_TRACE(arguments.front() + (arguments.size() > 1 ? " " + arguments.back() : ""));
    const auto result = run_daemon(arguments, home.path());
    EXPECT_EQ(result.exit_code, 2) << result.describe();
    EXPECT_EQ(result.stdout_text, "");
    EXPECT_NE(result.stderr_text, "");
    EXPECT_FALSE(std::filesystem::exists(home / "Library")) << "install must not have run";
  }
}

}  // namespace

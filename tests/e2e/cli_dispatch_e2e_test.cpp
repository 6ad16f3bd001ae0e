// The command line's own outcomes through the real executable: help on standard output with
// status 0, usage errors with the parser's usage on standard error, status 2 and no mode run.
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
  struct Case {
    std::vector<std::string> arguments;
    std::string unexpected;  // the argument the parser names
  };
  const std::vector<Case> cases = {
      {{"--version"}, "--version"},          {{"-V"}, "-V"},
      {{"bogus"}, "bogus"},                  {{"install", "extra"}, "extra"},
      {{"install", "uninstall"}, "uninstall"}, {{"uninstall", "--force"}, "--force"},
  };
  for (const auto& c : cases) {
    tallowmere_test::TempDir home;
    SCOPED_TRACE(c.arguments.front() + (c.arguments.size() > 1 ? " " + c.arguments.back() : ""));
    const auto result = run_daemon(c.arguments, home.path());
    EXPECT_EQ(result.exit_code, 2) << result.describe();
    EXPECT_EQ(result.stdout_text, "");
    EXPECT_EQ(result.stderr_text, "The following argument was not expected: " + c.unexpected +
                                      "\n"
                                      "Usage: tallowmere-daemon [OPTIONS] [SUBCOMMAND]\n"
                                      "Run with --help for more information.\n");
    EXPECT_FALSE(std::filesystem::exists(home / "Library")) << "install must not have run";
  }
}

}  // namespace

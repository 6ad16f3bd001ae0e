#include "cli.h"

#include <csignal>
#include <cstdio>
#include <iostream>

#include <CLI/CLI.hpp>

#include "lib.h"
#include "service.h"
#include "status_client.h"

namespace tallowmere_daemon::cli {

std::variant<Mode, int> parse_command_line(int argc, char** argv) {
  CLI::App app("Background watcher: checkpoints every registered project whose policy enables it",
               "tallowmere-daemon");
  app.require_subcommand(0, 1);
  CLI::App* status = app.add_subcommand("status", "Ask a running daemon what it's currently watching");
  CLI::App* install = app.add_subcommand(
      "install",
      "Register this as a service so it starts automatically and restarts on failure (systemd user service on "
      "Linux, Windows Service on Windows; not yet implemented on macOS)");
  CLI::App* uninstall = app.add_subcommand("uninstall", "Stop and remove the service registered by `install`");
  // A usage error names what was wrong, then shows how the command line goes, then where the help is.
  app.failure_message([](const CLI::App* parser, const CLI::Error& error) {
    const std::string message = std::string(error.what()) + "\n";
    const std::string usage = CLI::Formatter().make_usage(parser, parser->get_name());
    return message + usage + CLI::FailureMessage::simple(parser, error).substr(message.size());
  });

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    // CLI11 prints help to `out` with status 0 and everything else to `err` with its own
    // codes; every usage error leaves with 2.
    const int code = app.exit(error, std::cout, std::cerr);
    std::cout.flush();
    return code == 0 ? 0 : 2;
  }
  if (status->parsed()) return Mode::Status;
  if (install->parsed()) return Mode::Install;
  if (uninstall->parsed()) return Mode::Uninstall;
  return Mode::Daemon;
}

tallowmere_cli::Status run_mode(Mode mode) {
  switch (mode) {
    case Mode::Daemon:
      return run_daemon();
    case Mode::Status:
      return ipc::status_client();
    case Mode::Install:
      return service::install();
    case Mode::Uninstall:
      return service::uninstall();
  }
  return {};
}

std::string failure_report(const tallowmere_cli::ErrorChain& error) { return "Error: " + error.report() + "\n"; }

int run_main(int argc, char** argv) {
  // A write to a closed pipe or socket must fail with EPIPE for its writer to report, not end
  // the process.
  std::signal(SIGPIPE, SIG_IGN);

  const auto parsed = parse_command_line(argc, argv);
  if (const int* exit_status = std::get_if<int>(&parsed)) return *exit_status;

  const auto result = run_mode(std::get<Mode>(parsed));
  std::fflush(stdout);
  if (!result) {
    // A report that cannot be written does not change the exit status.
    const std::string report = failure_report(result.error());
    std::fwrite(report.data(), 1, report.size(), stderr);
    std::fflush(stderr);
    return 1;
  }
  return 0;
}

}  // namespace tallowmere_daemon::cli

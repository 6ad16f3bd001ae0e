#pragma once
// The command line: `tallowmere-daemon [status | install | uninstall]`, and how each mode ends
// the process (0 on success, "Error: " and the chain's report with 1 on failure, 2 for a usage
// error, 0 after help).
#include <string>
#include <variant>

#include "error_chain.h"

namespace tallowmere_daemon::cli {

enum class Mode { Daemon, Status, Install, Uninstall };

// The mode the arguments choose, or the exit status when parsing already finished the job:
// help printed to standard output (0) or a usage error printed to standard error (2).
std::variant<Mode, int> parse_command_line(int argc, char** argv);

// Runs one mode to its end and returns its result unchanged.
tallowmere_cli::Status run_mode(Mode mode);

// What a failed mode writes to standard error: "Error: ", the chain's report and a line feed.
std::string failure_report(const tallowmere_cli::ErrorChain& error);

// The whole process: ignores SIGPIPE, parses, runs the mode and reports its failure; returns
// the exit status.
int run_main(int argc, char** argv);

}  // namespace tallowmere_daemon::cli

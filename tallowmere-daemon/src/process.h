#pragma once
// Running the external programs the service relies on (`id`, `launchctl`) and finding the
// service's own executable.
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace tallowmere_daemon::process {

// What a finished program left behind. The captured output is raw bytes, not yet decoded.
struct Output {
  std::optional<int> exit_code;  // set only when it exited normally; empty when a signal ended it
  std::string standard_output;
  std::string standard_error;

  bool succeeded() const { return exit_code == 0; }
};

// Runs `program`, looked up through PATH, with `arguments`, standard input from /dev/null and
// both output streams captured, and waits for it to end. The child inherits the environment,
// with an empty signal mask and SIGPIPE at its default action.
// Fails with the errno of the failure when the program cannot be started (not found, not
// executable, ...) or its output or end cannot be collected.
std::expected<Output, int> run(const std::string& program, const std::vector<std::string>& arguments);

// The running executable's own path as the operating system reports it; fails with the errno.
std::expected<std::filesystem::path, int> current_executable();

}  // namespace tallowmere_daemon::process

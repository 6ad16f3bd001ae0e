#include "status_client.h"

#include <cerrno>

#include <fmt/format.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "console.h"
#include "ipc.h"
#include "posix.h"
#include "socket_io.h"
#include "text.h"
#include "unique_fd.h"

namespace tallowmere_daemon::ipc {
namespace {

namespace fs = std::filesystem;
using tallowmere_cli::ErrorChain;
using tallowmere_cli::Result;
using tallowmere_core::UniqueFd;

// A connect interrupted by a signal goes on in the background; its outcome is collected once the
// socket becomes writable.
int finish_interrupted_connect(int fd) {
  pollfd writable{fd, POLLOUT, 0};
  if (tallowmere_core::posix::retry_on_eintr([&] { return ::poll(&writable, 1, -1); }) < 0) return errno;
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno;
  return error;
}

Result<UniqueFd> connect_to(const fs::path& path) {
  const std::string context = fmt::format("no daemon appears to be running (couldn't connect to {})",
                                          tallowmere_core::text::display(path));
  auto address = socket_io::unix_address(path, max_socket_path_bytes);
  if (!address) return std::unexpected(std::move(address.error()).context(context));
  UniqueFd connection = tallowmere_core::posix::unix_stream_socket();
  if (!connection) return std::unexpected(tallowmere_cli::os_error(context, errno));
  if (::connect(connection.get(), reinterpret_cast<const sockaddr*>(&address->address), address->length) != 0) {
    const int error = errno == EINTR ? finish_interrupted_connect(connection.get()) : errno;
    if (error != 0) return std::unexpected(tallowmere_cli::os_error(context, error));
  }
  return connection;
}

}  // namespace

Result<std::vector<ProjectStatus>> query_status() {
  auto path = socket_path();
  if (!path) return std::unexpected(std::move(path.error()));
  if (auto name = socket_io::check_socket_name(*path); !name) return std::unexpected(std::move(name.error()));

  auto connection = connect_to(*path);
  if (!connection) return std::unexpected(std::move(connection.error()));

  auto request = write_request(Request::Status);
  if (!request) return std::unexpected(ErrorChain(request.error().to_string()).context("failed to send request"));
  request->push_back('\n');
  if (auto sent = socket_io::write_all(connection->get(), *request); !sent) {
    return std::unexpected(std::move(sent.error()).context("failed to send request"));
  }

  auto line = socket_io::read_line(connection->get(), std::nullopt);
  if (!line) return std::unexpected(std::move(line.error()).context("failed to read response"));
  connection->reset();

  auto response = read_response(tallowmere_core::text::trim_whitespace(*line));
  if (!response) return std::unexpected(ErrorChain(response.error().to_string()).context("failed to parse response"));

  if (auto* status = std::get_if<Response::Status>(&response->value)) return std::move(status->projects);
  if (std::holds_alternative<Response::Ack>(response->value)) {
    return std::unexpected(ErrorChain("daemon returned an unexpected acknowledgement for a status request"));
  }
  if (std::holds_alternative<Response::Version>(response->value)) {
    return std::unexpected(ErrorChain("daemon returned an unexpected version reply for a status request"));
  }
  return std::unexpected(
      ErrorChain(fmt::format("daemon returned an error: {}", std::get<Response::Error>(response->value).message)));
}

std::vector<std::string> report_lines(const std::vector<ProjectStatus>& projects) {
  if (projects.empty()) return {"No projects currently being watched."};
  std::vector<std::string> lines;
  lines.reserve(projects.size() * 5);
  for (const ProjectStatus& project : projects) {
    // Each value is one line of the block whatever a manifest or registry holds.
    const auto shown = tallowmere_core::text::escape_control;
    lines.push_back(shown(project.title.value_or("(untitled)")));
    lines.push_back("  path:            " + shown(project.project_path));
    lines.push_back("  watching since:  " + shown(project.watching_since));
    lines.push_back(fmt::format("  checkpoints:     {}", project.current_sequence));
    lines.push_back("  last checkpoint: " + shown(project.last_checkpoint_at.value_or("none yet")));
  }
  return lines;
}

tallowmere_cli::Status status_client() {
  auto projects = query_status();
  if (!projects) return std::unexpected(std::move(projects.error()));
  for (const std::string& line : report_lines(*projects)) tallowmere_cli::console::out(line);
  return {};
}

}  // namespace tallowmere_daemon::ipc

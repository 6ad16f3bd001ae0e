#include "ipc.h"

#include <array>
#include <cerrno>
#include <exception>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <fmt/format.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include "console.h"
#include "platform/eintr.h"
#include "platform/wake_fd.h"
#include "project.h"
#include "project_list.h"
#include "protocol.h"
#include "socket_io.h"
#include "text.h"
#include "version.h"

namespace tallowmere_daemon::ipc {
namespace {

namespace fs = std::filesystem;
using tallowmere_cli::ErrorChain;
using tallowmere_cli::os_error;
using tallowmere_cli::Result;
using tallowmere_cli::Status;
using tallowmere_cli::platform::retry_on_eintr;
using tallowmere_core::UniqueFd;
using tallowmere_core::text::display;

constexpr auto kAcceptPollInterval = std::chrono::milliseconds(200);

// A warning must never take the thread that reports it down with it.
void warn(std::string_view what, std::string_view detail) noexcept {
  try {
    tallowmere_cli::console::err(fmt::format("WARNING: {}{}", what, detail));
  } catch (...) {
  }
}

void warn_connection_failed(std::string_view detail) noexcept { warn("daemon control connection failed: ", detail); }

// What identifies the file this server created, so that it removes only its own socket file and
// never that of a newer service that has since taken the path over.
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  bool operator==(const FileIdentity&) const = default;
};

std::optional<FileIdentity> identity_of(const fs::path& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) return std::nullopt;
  return FileIdentity{info.st_dev, info.st_ino};
}

Status bind_once_more_after_unlink(int fd, const fs::path& path, const socket_io::UnixAddress& address) {
  // The file at the path is most likely the socket of a service that did not shut down
  // cleanly; a live one loses its path to this service.
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) return std::unexpected(ErrorChain(tallowmere_core::os_error_text(errno)));
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address.address), address.length) != 0) {
    return std::unexpected(ErrorChain(tallowmere_core::os_error_text(errno)));
  }
  return {};
}

Result<UniqueFd> bind_and_listen(const fs::path& path) {
  auto address = socket_io::unix_address(path, kMaxSocketPathBytes);
  if (!address) return std::unexpected(std::move(address.error()));
  UniqueFd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!listener) return std::unexpected(ErrorChain(tallowmere_core::os_error_text(errno)));
  if (::bind(listener.get(), reinterpret_cast<const sockaddr*>(&address->address), address->length) != 0) {
    if (errno != EADDRINUSE) return std::unexpected(ErrorChain(tallowmere_core::os_error_text(errno)));
    if (auto rebound = bind_once_more_after_unlink(listener.get(), path, *address); !rebound) {
      return std::unexpected(std::move(rebound.error()));
    }
  }
  if (::listen(listener.get(), SOMAXCONN) != 0) return std::unexpected(ErrorChain(tallowmere_core::os_error_text(errno)));
  return listener;
}

Status set_timeout(int fd, int option, std::chrono::milliseconds timeout) {
  timeval value{};
  value.tv_sec = static_cast<time_t>(timeout.count() / 1000);
  value.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
  if (::setsockopt(fd, SOL_SOCKET, option, &value, sizeof value) != 0) {
    return std::unexpected(os_error("failed to set the connection's time-out", errno));
  }
  return {};
}

// An accepted socket is read and written blocking, bounded by the time-outs.
Status prepare_connection(int fd, std::chrono::milliseconds timeout) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    return std::unexpected(os_error("failed to make the connection blocking", errno));
  }
  if (auto set = set_timeout(fd, SO_RCVTIMEO, timeout); !set) return set;
  return set_timeout(fd, SO_SNDTIMEO, timeout);
}

void run_connection(UniqueFd connection, const WatchedMap& watched, const tallowmere_cli::SharedFlag& rescan) noexcept {
  try {
    auto handled = handle_connection(std::move(connection), watched, rescan);
    if (!handled) warn_connection_failed(handled.error().one_line());
  } catch (const std::exception& error) {
    warn_connection_failed(error.what());
  } catch (...) {
    warn_connection_failed("unknown failure");
  }
}

void start_detached(std::move_only_function<void()> task) { std::thread(std::move(task)).detach(); }

// Hands one accepted connection to a thread of its own. When no thread can be had, the
// connection is closed unanswered and the server goes on.
void dispatch(UniqueFd connection, const WatchedMap& watched, const tallowmere_cli::SharedFlag& rescan,
              const ServeOptions& options) {
  if (auto prepared = prepare_connection(connection.get(), options.io_timeout); !prepared) {
    warn_connection_failed(prepared.error().one_line());
    return;
  }
  std::move_only_function<void()> task = [connection = std::move(connection), watched, rescan]() mutable {
    run_connection(std::move(connection), watched, rescan);
  };
  try {
    if (options.start_connection_thread) {
      options.start_connection_thread(std::move(task));
    } else {
      start_detached(std::move(task));
    }
  } catch (const std::system_error& error) {
    warn_connection_failed(os_error("failed to start a thread for the connection", error.code().value()).one_line());
  }
}

void accept_loop(int listener, const tallowmere_cli::SharedFlag& running, const WatchedMap& watched,
                 const tallowmere_cli::SharedFlag& rescan, const ServeOptions& options) {
  // Clearing the flag makes `stop` readable, so the wait for a connection needs no time-out. Without
  // such a descriptor the wait looks at the flag at the polling interval instead.
  const auto stop = tallowmere_cli::platform::WakeFd::create();
  tallowmere_cli::Flag::Subscription stop_wakes;
  if (stop) stop_wakes = running->subscribe([&stop] { stop->notify(); });
  while (running->load()) {
    try {
      UniqueFd connection(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
      if (connection) {
        dispatch(std::move(connection), watched, rescan, options);
        continue;
      }
      const int error = errno;
      if (error == EINTR) continue;
      if (error == EAGAIN || error == EWOULDBLOCK) {
        std::array<pollfd, 2> waiting{pollfd{listener, POLLIN, 0}, pollfd{stop ? stop->fd() : -1, POLLIN, 0}};
        ::poll(waiting.data(), waiting.size(), stop ? -1 : static_cast<int>(kAcceptPollInterval.count()));
        continue;
      }
      warn("daemon control socket accept failed: ", tallowmere_core::os_error_text(error));
    } catch (const std::exception& error) {
      warn("daemon control socket accept failed: ", error.what());
    } catch (...) {
      warn("daemon control socket accept failed: ", "unknown failure");
    }
    std::this_thread::sleep_for(kAcceptPollInterval);
  }
}

void serve_until_stopped(const tallowmere_cli::SharedFlag& running, const WatchedMap& watched,
                         const tallowmere_cli::SharedFlag& rescan, const ServeOptions& options) {
  auto path = socket_path();
  if (!path) return warn("daemon control socket unavailable: ", path.error().one_line());
  auto listener = listen_at(*path);
  if (!listener) return warn("daemon control socket unavailable: ", listener.error().one_line());
  const auto own_file = identity_of(*path);

  accept_loop(listener->get(), running, watched, rescan, options);

  listener->reset();
  if (own_file && identity_of(*path) == own_file) ::unlink(path->c_str());
}

Result<std::string> reply_for(Request request, const WatchedMap& watched, const tallowmere_cli::SharedFlag& rescan) {
  Response response;
  switch (request) {
    case Request::Rescan:
      rescan->store(true);
      response.value = Response::Ack{};
      break;
    case Request::Version:
      response.value = Response::Version{kVersion};
      break;
    case Request::Status:
      response.value = Response::Status{project_list(watched)};
      break;
  }
  auto text = write_response(response);
  if (!text) return std::unexpected(ErrorChain(text.error().to_string()).context("failed to serialize response"));
  text->push_back('\n');
  return std::move(*text);
}

}  // namespace

Result<fs::path> socket_path() {
  auto root = tallowmere_cli::project::central_root();
  if (!root) return std::unexpected(std::move(root.error()));
  const fs::path run = *root / "run";
  std::error_code error;
  fs::create_directories(run, error);
  if (error) return std::unexpected(os_error("failed to create daemon run directory", error.value()));
  // The folder's mode is what keeps other users away from the socket, so it is set every time,
  // also on a folder that already existed.
  if (::chmod(run.c_str(), 0700) != 0) {
    return std::unexpected(os_error("failed to restrict daemon run directory permissions", errno));
  }
  return run / "daemon.sock";
}

Result<UniqueFd> listen_at(const fs::path& path) {
  if (auto name = socket_io::check_socket_name(path); !name) return std::unexpected(std::move(name.error()));
  auto listener = bind_and_listen(path);
  if (!listener) {
    return std::unexpected(
        std::move(listener.error()).context(fmt::format("failed to bind daemon control socket at {}", display(path))));
  }
  return listener;
}

void serve(tallowmere_cli::SharedFlag running, WatchedMap watched, tallowmere_cli::SharedFlag rescan) {
  serve(std::move(running), std::move(watched), std::move(rescan), ServeOptions{});
}

void serve(tallowmere_cli::SharedFlag running, WatchedMap watched, tallowmere_cli::SharedFlag rescan,
           ServeOptions options) {
  try {
    serve_until_stopped(running, watched, rescan, options);
  } catch (const std::exception& error) {
    warn("daemon control socket unavailable: ", error.what());
  } catch (...) {
    warn("daemon control socket unavailable: ", "unknown failure");
  }
}

Status handle_connection(UniqueFd connection, const WatchedMap& watched, const tallowmere_cli::SharedFlag& rescan) {
  auto line = socket_io::read_line(connection.get(), kMaxRequestLineBytes);
  if (!line) return std::unexpected(std::move(line.error()).context("failed to read request"));

  auto request = read_request(tallowmere_core::text::trim_whitespace(*line));
  if (!request) return std::unexpected(ErrorChain(request.error().to_string()).context("failed to parse request"));

  auto reply = reply_for(*request, watched, rescan);
  if (!reply) return std::unexpected(std::move(reply.error()));
  if (auto written = socket_io::write_all(connection.get(), *reply); !written) {
    return std::unexpected(std::move(written.error()).context("failed to write response"));
  }
  return {};
}

}  // namespace tallowmere_daemon::ipc

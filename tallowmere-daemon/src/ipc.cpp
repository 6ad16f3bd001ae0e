#include "ipc.h"

#include <array>
#include <cerrno>
#include <cstdint>
#include <exception>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include <fmt/format.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "connection_table.h"
#include "console.h"
#include "posix.h"
#include "project.h"
#include "project_list.h"
#include "protocol.h"
#include "socket_io.h"
#include "text.h"
#include "version.h"
#include "wake_fd.h"

namespace tallowmere_daemon::ipc {
namespace {

namespace fs = std::filesystem;
using tallowmere_cli::ErrorChain;
using tallowmere_cli::os_error;
using tallowmere_cli::Result;
using tallowmere_cli::Status;
using tallowmere_core::UniqueFd;
using tallowmere_core::text::display;

constexpr auto accept_poll_interval = std::chrono::milliseconds(200);

// A warning must never take the thread that reports it down with it.
void warn(std::string_view what, std::string_view detail) noexcept {
  try {
    // The detail may quote what a client sent.
    tallowmere_cli::console::err(fmt::format("WARNING: {}{}", what, tallowmere_core::text::escape_control(detail)));
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
  auto address = socket_io::unix_address(path, max_socket_path_bytes);
  if (!address) return std::unexpected(std::move(address.error()));
  UniqueFd listener = tallowmere_core::posix::unix_stream_socket(tallowmere_core::posix::Blocking::DontWait);
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

using Clock = std::chrono::steady_clock;

// What the accept loop and every connection thread share; it lives as long as the last of them.
struct Server {
  Server(WatchedMap watched_projects, tallowmere_cli::SharedFlag rescan_flag, const ServeOptions& options)
      : watched(std::move(watched_projects)),
        rescan(std::move(rescan_flag)),
        connections(options.max_connections, options.eviction_grace, [this] { room_changed.wake(); }),
        status_loads([watched = watched] { return project_list(watched); }) {}

  WatchedMap watched;
  tallowmere_cli::SharedFlag rescan;
  // Where the accept loop waits while the table has no room: woken when a connection ends or
  // the server is to stop.
  tallowmere_cli::Wakeup room_changed;
  ConnectionTable connections;
  SharedLoad status_loads;
};

// An admitted connection, owned by the thread that serves it (or by the task that would have
// started that thread). Its slot is released before its descriptor closes.
class AdmittedConnection {
 public:
  AdmittedConnection(UniqueFd fd, std::shared_ptr<Server> server, std::uint64_t id)
      : fd_(std::move(fd)), server_(std::move(server)), id_(id) {}
  AdmittedConnection(AdmittedConnection&&) noexcept = default;
  AdmittedConnection& operator=(AdmittedConnection&&) = delete;
  ~AdmittedConnection() {
    if (server_) server_->connections.release(id_);
    fd_.reset();
  }

  int fd() const { return fd_.get(); }
  Server& server() const { return *server_; }
  std::uint64_t id() const { return id_; }

 private:
  UniqueFd fd_;
  std::shared_ptr<Server> server_;
  std::uint64_t id_ = 0;
};

struct Limits {
  socket_io::Deadline request_by;
  std::chrono::milliseconds reply_within;
};

Result<std::string> reply_for(Request request, const tallowmere_cli::SharedFlag& rescan, SharedLoad& status_loads) {
  Response response;
  switch (request) {
    case Request::Rescan:
      rescan->store(true);
      response.value = Response::Ack{};
      break;
    case Request::Version:
      response.value = Response::Version{daemon_version};
      break;
    case Request::Status:
      response.value = Response::Status{status_loads.get()};
      break;
  }
  auto text = write_response(response);
  if (!text) return std::unexpected(ErrorChain(text.error().to_string()).context("failed to serialize response"));
  text->push_back('\n');
  return std::move(*text);
}

// Reads the request, then answers it unless `request_read` says the connection is to be dropped.
Status serve_connection(int fd, const Limits& limits, const std::function<bool()>& request_read,
                        const tallowmere_cli::SharedFlag& rescan, SharedLoad& status_loads) {
  auto line = socket_io::read_line(fd, max_request_line_bytes, limits.request_by);
  if (!line) return std::unexpected(std::move(line.error()).context("failed to read request"));
  if (!request_read()) return std::unexpected(ErrorChain("closed to make room for another connection"));

  auto request = read_request(tallowmere_core::text::trim_whitespace(*line));
  if (!request) return std::unexpected(ErrorChain(request.error().to_string()).context("failed to parse request"));

  auto reply = reply_for(*request, rescan, status_loads);
  if (!reply) return std::unexpected(std::move(reply.error()));
  if (auto written = socket_io::write_all(fd, *reply, Clock::now() + limits.reply_within); !written) {
    return std::unexpected(std::move(written.error()).context("failed to write response"));
  }
  return {};
}

// A connection closed to make room ends quietly: the burst's one warning speaks for it.
void run_connection(const AdmittedConnection& connection, const Limits& limits) noexcept {
  Server& server = connection.server();
  const auto quietly_evicted = [&] { return server.connections.evicted(connection.id()); };
  try {
    auto handled = serve_connection(
        connection.fd(), limits, [&] { return server.connections.begin_reply(connection.id()); }, server.rescan,
        server.status_loads);
    if (!handled && !quietly_evicted()) warn_connection_failed(handled.error().one_line());
  } catch (...) {
    if (!quietly_evicted()) warn_connection_failed(tallowmere_cli::current_exception_text());
  }
}

void start_detached(tallowmere_core::UniqueFunction<void()> task) { std::thread(std::move(task)).detach(); }

void warn_at_limit(const ServeOptions& options) {
  warn(fmt::format("daemon control socket is at its limit of {} connections", options.max_connections),
       ": closing the oldest ones still waiting for a request to make room, or keeping new ones waiting until one ends");
}

// Takes one accepted connection into the table and hands it to a thread of its own. When the
// table refuses it or no thread can be had, the connection is closed unanswered and the server
// goes on.
void dispatch(UniqueFd connection, const std::shared_ptr<Server>& server, const ServeOptions& options) {
  const auto accepted_at = Clock::now();
  const Limits limits{accepted_at + options.request_time_limit, options.reply_time_limit};
  const auto admission = server->connections.admit(connection.get(), accepted_at);
  if (admission.burst_began) warn_at_limit(options);
  if (!admission.id) return;
  tallowmere_core::UniqueFunction<void()> task =
      [admitted = AdmittedConnection(std::move(connection), server, *admission.id), limits]() {
        run_connection(admitted, limits);
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

int accept_one(int listener, const ServeOptions& options) {
  if (options.accept_connection) return options.accept_connection(listener);
  return tallowmere_core::posix::accept_connection(listener);
}

void accept_loop(int listener, const tallowmere_cli::SharedFlag& running, const std::shared_ptr<Server>& server,
                 const ServeOptions& options) {
  // Accepting fails the same way again and again until what it lacks (descriptors, mostly)
  // comes free: one warning until the next connection is accepted.
  bool accept_failing = false;
  const auto accept_failed = [&](std::string_view detail) {
    if (!accept_failing) warn("daemon control socket accept failed: ", detail);
    accept_failing = true;
  };
  // Clearing the flag makes `stop` readable, so the wait for a connection needs no time-out. Without
  // such a descriptor the wait looks at the flag at the polling interval instead.
  const auto stop = tallowmere_core::WakeFd::create();
  tallowmere_cli::Flag::Subscription stop_wakes;
  if (stop) stop_wakes = running->subscribe([&stop] { stop->notify(); });
  const tallowmere_cli::Flag::Subscription stop_ends_wait_for_room = server->room_changed.follow(*running);
  while (running->load()) {
    try {
      // With no room, the next client is left in the listen queue rather than accepted and closed.
      const auto room = server->connections.room(Clock::now());
      if (room.burst_began) warn_at_limit(options);
      if (room.not_before) {
        server->room_changed.wait_until(*room.not_before);
        continue;
      }
      UniqueFd connection(accept_one(listener, options));
      if (connection) {
        accept_failing = false;
        dispatch(std::move(connection), server, options);
        continue;
      }
      const int error = errno;
      if (error == EINTR) continue;
      if (error == EAGAIN || error == EWOULDBLOCK) {
        std::array<pollfd, 2> waiting{pollfd{listener, POLLIN, 0}, pollfd{stop ? stop->fd() : -1, POLLIN, 0}};
        ::poll(waiting.data(), waiting.size(), stop ? -1 : static_cast<int>(accept_poll_interval.count()));
        continue;
      }
      accept_failed(tallowmere_core::os_error_text(error));
    } catch (...) {
      accept_failed(tallowmere_cli::current_exception_text());
    }
    std::this_thread::sleep_for(accept_poll_interval);
  }
}

void serve_until_stopped(const tallowmere_cli::SharedFlag& running, const WatchedMap& watched,
                         const tallowmere_cli::SharedFlag& rescan, const ServeOptions& options) {
  auto path = socket_path();
  if (!path) return warn("daemon control socket unavailable: ", path.error().one_line());
  auto listener = listen_at(*path);
  if (!listener) return warn("daemon control socket unavailable: ", listener.error().one_line());
  const auto own_file = identity_of(*path);

  const auto server = std::make_shared<Server>(watched, rescan, options);
  accept_loop(listener->get(), running, server, options);

  listener->reset();
  if (own_file && identity_of(*path) == own_file) ::unlink(path->c_str());
}

}  // namespace

Result<fs::path> socket_path() {
  auto root = tallowmere_cli::project::central_root();
  if (!root) return std::unexpected(std::move(root.error()));
  const fs::path run = *root / "run";
  if (auto made = tallowmere_core::posix::make_folders(run); !made) {
    return std::unexpected(os_error("failed to create daemon run directory", made.error()));
  }
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
  } catch (...) {
    warn("daemon control socket unavailable: ", tallowmere_cli::current_exception_text());
  }
}

Status handle_connection(UniqueFd connection, const WatchedMap& watched, const tallowmere_cli::SharedFlag& rescan) {
  const ServeOptions defaults;
  const Limits limits{Clock::now() + defaults.request_time_limit, defaults.reply_time_limit};
  SharedLoad status_loads([&watched] { return project_list(watched); });
  return serve_connection(connection.get(), limits, [] { return true; }, rescan, status_loads);
}

}  // namespace tallowmere_daemon::ipc

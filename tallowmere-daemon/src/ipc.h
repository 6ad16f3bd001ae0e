#pragma once
// The control socket: one JSON request line and one JSON reply line per connection, on
// <central root>/run/daemon.sock.
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>

#include "error_chain.h"
#include "flag.h"
#include "unique_function.h"
#include "unique_fd.h"
#include "watched.h"

namespace tallowmere_daemon::ipc {

// The longest socket path accepted: what a Unix socket address holds on every platform the
// service is built for (macOS has the smallest sun_path).
inline constexpr std::size_t max_socket_path_bytes = 104;
// A request line longer than this (line feed included) is refused unread: a client that never
// ends its line must not make the service buffer without limit.
inline constexpr std::size_t max_request_line_bytes = 64 * 1024;
// Connections served at once, each with a thread: enough for every client a user runs, few
// enough that clients which never finish cannot take the service's descriptors and threads.
inline constexpr std::size_t connection_limit = 64;

// <central root>/run/daemon.sock; creates `run` when missing and sets it to 0700 every time.
tallowmere_cli::Result<std::filesystem::path> socket_path();

struct ServeOptions {
  // How long a client has from the connection's acceptance to the line feed of its request, and
  // then how long to take the whole reply. Each is one deadline, however the bytes trickle, so
  // that a client sending a byte now and then cannot keep its connection.
  std::chrono::milliseconds request_time_limit = std::chrono::seconds(30);
  std::chrono::milliseconds reply_time_limit = std::chrono::seconds(30);
  // Connections served at once; when full, the oldest still waiting for its request past the
  // grace below is closed for a new one, and while none can be, no more are accepted: new clients
  // wait in the listen queue until a connection ends.
  std::size_t max_connections = connection_limit;
  // How long a new connection has to send its request before a newcomer may take its place: a
  // client sends its request as it connects, and a busy machine may take a moment to read it.
  std::chrono::milliseconds eviction_grace = std::chrono::seconds(1);
  // Starts the thread that serves one connection and lets it run on its own; throws
  // std::system_error when no thread can be started. Empty: a detached std::thread.
  std::function<void(tallowmere_core::UniqueFunction<void()>)> start_connection_thread;
  // Accepts one connection from the non-blocking listener (close-on-exec): a
  // descriptor, or -1 with errno set. Empty: posix::accept_connection.
  std::function<int(int listener)> accept_connection;
};

// The server thread's body: listens until `running` turns false, one thread per connection.
// Concurrent `Status` requests share their project loads. Every problem is a "WARNING: " line on
// standard error, a full table or failing accepts one line per burst; it never throws.
void serve(tallowmere_cli::SharedFlag running, WatchedMap watched, tallowmere_cli::SharedFlag rescan);
void serve(tallowmere_cli::SharedFlag running, WatchedMap watched, tallowmere_cli::SharedFlag rescan,
           ServeOptions options);

// A listening socket bound to `path` (close-on-exec, non-blocking), taking over a socket file
// left at the path. The chain's outer message says which step failed.
tallowmere_cli::Result<tallowmere_core::UniqueFd> listen_at(const std::filesystem::path& path);

// Serves one accepted connection: reads one request line, answers it and closes the connection on
// every path, within the default time limits. No reply is sent when the request cannot be read or
// parsed.
tallowmere_cli::Status handle_connection(tallowmere_core::UniqueFd connection, const WatchedMap& watched,
                                         const tallowmere_cli::SharedFlag& rescan);

}  // namespace tallowmere_daemon::ipc

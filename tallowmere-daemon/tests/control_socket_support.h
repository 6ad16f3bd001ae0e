#pragma once
// Helpers for the control-socket tests: a central root named by TALLOWMERE_HOME, projects on disk
// for the status handler to load, a server thread running ipc::serve, and a raw client.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <fmt/format.h>

#include "ipc.h"
#include "json/document.h"
#include "model.h"
#include "pointer.h"
#include "posix.h"
#include "test_support.h"
#include "timestamp.h"
#include "unique_fd.h"
#include "watched.h"

namespace tallowmere_test::control_socket {

namespace fs = std::filesystem;
namespace ipc = tallowmere_daemon::ipc;
using tallowmere_core::UniqueFd;

using tallowmere_test::ScopedEnv;

inline tallowmere_core::timestamp::Timestamp at(std::string_view rfc3339) {
  return tallowmere_core::timestamp::parse_rfc3339(rfc3339).value();
}

// A project folder with its pointer file and its central directory under `central_root`: the
// manifest (with `title` and `current_sequence`), a watching configuration and one ledger line
// per timestamp in `checkpoints`.
inline void write_project(const fs::path& central_root, const fs::path& folder, const std::string& work_id,
                          std::optional<std::string> title, std::uint64_t current_sequence,
                          const std::vector<std::string>& checkpoints) {
  namespace json = tallowmere_core::json;
  tallowmere_cli::ProjectPointer pointer{"1", work_id, "Do not edit."};
  write_file(folder / ".tallowmere", json::to_compact(pointer).value());

  const fs::path central = central_root / "projects" / work_id;
  tallowmere_core::WorkManifest manifest;
  manifest.schema_version = "1";
  manifest.work_id = work_id;
  manifest.title = std::move(title);
  manifest.created_at = "2024-01-01T09:00:00+00:00";
  manifest.current_sequence = current_sequence;
  write_file(central / "manifest.json", json::to_pretty(manifest).value());
  write_file(central / "config.json", R"({"checkpoint_policy":{"mode":"hybrid","event_triggers":[]}})");

  std::string ledger;
  for (std::size_t i = 0; i < checkpoints.size(); ++i) {
    tallowmere_core::LedgerEntry entry;
    entry.entry_id = fmt::format("00000000-0000-4000-8000-{:012}", i);
    entry.contributor_id = "c1";
    entry.causal_position = i;
    entry.timestamp_local = checkpoints[i];
    entry.entry_hash = std::string(64, 'a');
    entry.signature = "sig";
    ledger += tallowmere_core::model::write_entry_line(entry).value() + "\n";
  }
  write_file(central / "ledger.jsonl", ledger);
}

inline ipc::WatchedProject watched_project(std::string project_path, std::optional<std::string> title,
                                           std::string_view since = "2024-03-01T10:00:00+01:00") {
  return ipc::WatchedProject{std::move(project_path), std::move(title), std::chrono::seconds(0), at(since),
                             std::make_shared<tallowmere_cli::Flag>(true)};
}

// ipc::serve on a thread of its own; stopped and joined when the object goes.
class ServerThread {
 public:
  explicit ServerThread(ipc::WatchedMap watched = std::make_shared<ipc::WatchedProjects>(),
                        ipc::ServeOptions options = {})
      : watched_(std::move(watched)),
        thread_([running = running_, watched = watched_, rescan = rescan_, options = std::move(options)]() mutable {
          ipc::serve(running, watched, rescan, std::move(options));
        }) {}
  ~ServerThread() { stop(); }
  ServerThread(const ServerThread&) = delete;
  ServerThread& operator=(const ServerThread&) = delete;

  void stop() {
    running_->store(false);
    if (thread_.joinable()) thread_.join();
  }
  // For a server that ends by itself (no socket could be set up).
  void join() {
    if (thread_.joinable()) thread_.join();
  }

  const ipc::WatchedMap& watched() const { return watched_; }
  const tallowmere_cli::SharedFlag& rescan() const { return rescan_; }

 private:
  tallowmere_cli::SharedFlag running_ = std::make_shared<tallowmere_cli::Flag>(true);
  tallowmere_cli::SharedFlag rescan_ = std::make_shared<tallowmere_cli::Flag>(false);
  ipc::WatchedMap watched_;
  std::thread thread_;
};

inline UniqueFd try_connect(const fs::path& path) {
  UniqueFd fd = tallowmere_core::posix::unix_stream_socket();
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string& bytes = path.native();
  if (bytes.size() > sizeof address.sun_path) return {};
  std::copy(bytes.begin(), bytes.end(), address.sun_path);
  const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + bytes.size());
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), length) != 0) return {};
  // A server that never answers fails the test instead of hanging it.
  timeval patience{60, 0};
  ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
  return fd;
}

// Connects as soon as the server listens (the socket file appears on bind, a moment before).
inline UniqueFd connect_when_listening(const fs::path& path) {
  UniqueFd fd;
  wait_until([&] {
    fd = try_connect(path);
    return static_cast<bool>(fd);
  });
  return fd;
}

inline bool send_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(sent));
  }
  return true;
}

// Everything the peer writes until it closes; a reset counts as the end.
inline std::string read_to_end(int fd) {
  std::string out;
  char buffer[4096];
  for (;;) {
    const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return out;
    out.append(buffer, static_cast<std::size_t>(got));
  }
}

// One request and whatever comes back before the server closes the connection. With
// `half_close`, the client's write side is shut after the bytes.
inline std::string request_reply(const fs::path& socket, std::string_view request, bool half_close = false) {
  UniqueFd fd = connect_when_listening(socket);
  if (!fd) return "<no connection>";
  send_all(fd.get(), request);
  if (half_close) ::shutdown(fd.get(), SHUT_WR);
  return read_to_end(fd.get());
}

// Waits until the server at `socket` answers, with a request that leaves no warning behind.
inline bool wait_until_serving(const fs::path& socket) {
  return wait_until([&] { return request_reply(socket, "\"Version\"\n") == "{\"Version\":{\"version\":\"0.2.0\"}}\n"; });
}

}  // namespace tallowmere_test::control_socket

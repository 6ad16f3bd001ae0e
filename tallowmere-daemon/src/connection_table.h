#pragma once
// The control-socket connections being served at once, bounded. When the table is full, a new
// connection takes the place of the oldest one still waiting for its request line, so that a
// client that asks at once gets through however many silent ones hold connections; when every
// connection is already being answered, the new one is refused. Thread-safe.
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>

namespace tallowmere_daemon::ipc {

class ConnectionTable {
 public:
  explicit ConnectionTable(std::size_t capacity);

  struct Admission {
    std::optional<std::uint64_t> id;  // none: refused, the caller closes the connection
    // True for the first eviction or refusal of a burst: since the table last had room to
    // spare (half of it free), none has happened.
    bool burst_began = false;
  };

  // Takes in a new connection on `fd`, which must stay open until release(id). An evicted
  // connection's socket is shut down both ways, which ends its thread's wait at once.
  Admission admit(int fd);
  // The connection has read its request: from now on it is not evicted. False when it already was.
  bool begin_reply(std::uint64_t id);
  bool evicted(std::uint64_t id) const;
  // Forgets the connection; to be called before its descriptor is closed, so that an eviction
  // never shuts down a descriptor number that has been reused.
  void release(std::uint64_t id);

  // Connections counted against the capacity: admitted, not evicted, not released.
  std::size_t served() const;

 private:
  struct Entry {
    int fd = -1;
    bool answering = false;
    bool evicted = false;
  };
  void end_burst_when_room() noexcept;

  const std::size_t capacity_;
  mutable std::mutex mutex_;
  std::uint64_t next_id_ = 0;
  std::map<std::uint64_t, Entry> entries_;  // by id, which is the order of admission
  std::size_t served_ = 0;
  bool in_burst_ = false;
};

}  // namespace tallowmere_daemon::ipc

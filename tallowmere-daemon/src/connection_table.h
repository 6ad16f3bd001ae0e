#pragma once
// The control-socket connections being served at once, bounded. When the table is full, a new
// connection takes the place of the oldest one still waiting for its request line, so that a
// client that asks at once gets through however many silent ones hold connections. A connection
// is not closed for another before it has had a moment (the grace) to send its request, and none
// that is being answered ever is: while no connection can be closed, the server accepts no more
// and new clients wait in the listen queue. Thread-safe.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>

namespace tallowmere_daemon::ipc {

class ConnectionTable {
 public:
  using Clock = std::chrono::steady_clock;

  // `on_release` runs after each release(), without the table's lock, on the releasing thread: it
  // tells a server waiting for room to look again. It must not throw.
  ConnectionTable(std::size_t capacity, std::chrono::milliseconds grace, std::function<void()> on_release = {});

  struct Room {
    // None: a new connection can be admitted now. Otherwise the table is full and none of its
    // connections may be closed before this moment (the oldest one waiting for its request
    // reaches its grace), or before one is released when it is time_point::max() (every one is
    // being answered).
    std::optional<Clock::time_point> not_before;
    // True for the first wait, eviction or refusal of a burst: since the table last had room to
    // spare (half of it free), none has happened.
    bool burst_began = false;
  };
  // Whether a connection accepted at `now` can be admitted; ask before accepting it.
  Room room(Clock::time_point now);

  struct Admission {
    std::optional<std::uint64_t> id;  // none: refused, the caller closes the connection
    bool burst_began = false;         // as for Room
  };
  // Takes in a new connection on `fd`, which must stay open until release(id), closing the oldest
  // connection past its grace and still waiting for its request when the table is full. An evicted
  // connection's socket is shut down both ways, which ends its thread's wait at once. Refused only
  // when the table is full and, since room() said otherwise, the connection it would have closed
  // has begun its reply.
  Admission admit(int fd, Clock::time_point now);
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
    Clock::time_point admitted_at;
    bool answering = false;
    bool evicted = false;
  };
  using Entries = std::map<std::uint64_t, Entry>;

  // The oldest connection still waiting for its request (end() when none), by admission order.
  Entries::iterator oldest_waiting();
  bool begin_burst() noexcept;
  void end_burst_when_room() noexcept;

  const std::size_t capacity_;
  const std::chrono::milliseconds grace_;
  const std::function<void()> on_release_;
  mutable std::mutex mutex_;
  std::uint64_t next_id_ = 0;
  Entries entries_;  // by id, which is the order of admission
  std::size_t served_ = 0;
  bool in_burst_ = false;
};

}  // namespace tallowmere_daemon::ipc

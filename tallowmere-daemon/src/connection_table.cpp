#include "connection_table.h"

#include <utility>

#include <sys/socket.h>

namespace tallowmere_daemon::ipc {

ConnectionTable::ConnectionTable(std::size_t capacity, std::chrono::milliseconds grace,
                                 std::function<void()> on_release)
    : capacity_(capacity), grace_(grace), on_release_(std::move(on_release)) {}

void ConnectionTable::end_burst_when_room() noexcept {
  // Half the table free, not one slot: a table that hovers at its capacity is one burst, not a
  // warning each time a slot comes free.
  if (served_ <= capacity_ / 2) in_burst_ = false;
}

bool ConnectionTable::begin_burst() noexcept {
  const bool began = !in_burst_;
  in_burst_ = true;
  return began;
}

ConnectionTable::Entries::iterator ConnectionTable::oldest_waiting() {
  auto entry = entries_.begin();
  while (entry != entries_.end() && (entry->second.answering || entry->second.evicted)) ++entry;
  return entry;
}

ConnectionTable::Room ConnectionTable::room(Clock::time_point now) {
  std::lock_guard lock(mutex_);
  end_burst_when_room();
  if (served_ < capacity_) return {};
  // Admission order is also the order of the grace's ends, so the oldest waiting one says when
  // the first connection may go.
  const auto oldest = oldest_waiting();
  const auto not_before = oldest == entries_.end() ? Clock::time_point::max() : oldest->second.admitted_at + grace_;
  if (not_before <= now) return {};
  return Room{not_before, begin_burst()};
}

ConnectionTable::Admission ConnectionTable::admit(int fd, Clock::time_point now) {
  std::lock_guard lock(mutex_);
  Admission admission;
  end_burst_when_room();
  if (served_ >= capacity_) {
    const auto oldest = oldest_waiting();
    admission.burst_began = begin_burst();
    if (oldest == entries_.end() || oldest->second.admitted_at + grace_ > now) return admission;
    // The descriptor stays its thread's to close; shutting the socket down wakes that thread.
    (void)::shutdown(oldest->second.fd, SHUT_RDWR);
    oldest->second.evicted = true;
    --served_;
  }
  const std::uint64_t id = next_id_++;
  entries_.emplace(id, Entry{fd, now, false, false});
  ++served_;
  admission.id = id;
  return admission;
}

bool ConnectionTable::begin_reply(std::uint64_t id) {
  std::lock_guard lock(mutex_);
  const auto entry = entries_.find(id);
  if (entry == entries_.end() || entry->second.evicted) return false;
  entry->second.answering = true;
  return true;
}

bool ConnectionTable::evicted(std::uint64_t id) const {
  std::lock_guard lock(mutex_);
  const auto entry = entries_.find(id);
  return entry != entries_.end() && entry->second.evicted;
}

void ConnectionTable::release(std::uint64_t id) {
  {
    std::lock_guard lock(mutex_);
    const auto entry = entries_.find(id);
    if (entry == entries_.end()) return;
    if (!entry->second.evicted) --served_;
    entries_.erase(entry);
    end_burst_when_room();
  }
  if (on_release_) on_release_();
}

std::size_t ConnectionTable::served() const {
  std::lock_guard lock(mutex_);
  return served_;
}

}  // namespace tallowmere_daemon::ipc

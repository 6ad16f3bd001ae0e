#include "connection_table.h"

#include <sys/socket.h>

namespace tallowmere_daemon::ipc {

ConnectionTable::ConnectionTable(std::size_t capacity) : capacity_(capacity) {}

void ConnectionTable::end_burst_when_room() noexcept {
  // Half the table free, not one slot: a table that hovers at its capacity is one burst, not a
  // warning each time a slot comes free.
  if (served_ <= capacity_ / 2) in_burst_ = false;
}

ConnectionTable::Admission ConnectionTable::admit(int fd) {
  std::lock_guard lock(mutex_);
  Admission admission;
  end_burst_when_room();
  if (served_ >= capacity_) {
    auto oldest_idle = entries_.begin();
    while (oldest_idle != entries_.end() && (oldest_idle->second.answering || oldest_idle->second.evicted)) ++oldest_idle;
    admission.burst_began = !in_burst_;
    in_burst_ = true;
    if (oldest_idle == entries_.end()) return admission;
    // The descriptor stays its thread's to close; shutting the socket down wakes that thread.
    (void)::shutdown(oldest_idle->second.fd, SHUT_RDWR);
    oldest_idle->second.evicted = true;
    --served_;
  }
  const std::uint64_t id = next_id_++;
  entries_.emplace(id, Entry{fd, false, false});
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
  std::lock_guard lock(mutex_);
  const auto entry = entries_.find(id);
  if (entry == entries_.end()) return;
  if (!entry->second.evicted) --served_;
  entries_.erase(entry);
  end_burst_when_room();
}

std::size_t ConnectionTable::served() const {
  std::lock_guard lock(mutex_);
  return served_;
}

}  // namespace tallowmere_daemon::ipc

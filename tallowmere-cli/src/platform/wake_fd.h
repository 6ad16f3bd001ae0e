#pragma once
// WakeFd: a descriptor that turns readable once notified, and stays so until cleared. A thread
// blocked in poll() on it beside its own descriptors wakes as soon as another thread tells it to
// stop (or has work for it), without polling a flag. On Linux an eventfd.
#include <expected>
#include <utility>

#include "unique_fd.h"

namespace tallowmere_cli::platform {

class WakeFd {
 public:
  // The errno when no descriptor can be had.
  static std::expected<WakeFd, int> create();

  int fd() const noexcept { return fd_.get(); }
  // Any thread, any number of times; never blocks.
  void notify() const noexcept;
  // Makes it unreadable again until the next notify(), for a waker that is used more than once.
  void clear() const noexcept;

 private:
  explicit WakeFd(tallowmere_core::UniqueFd fd) noexcept : fd_(std::move(fd)) {}
  tallowmere_core::UniqueFd fd_;
};

}  // namespace tallowmere_cli::platform

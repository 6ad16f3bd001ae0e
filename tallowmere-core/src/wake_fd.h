#pragma once
// WakeFd: a descriptor that turns readable once notified, and stays so until cleared. A thread
// blocked in poll() on it beside its own descriptors wakes as soon as another thread tells it to
// stop (or has work for it), without polling a flag. The build compiles one of two: an eventfd where the system has one
// (wake_fd_eventfd.cpp), else the read end of a self-pipe (wake_fd_pipe.cpp).
#include <expected>
#include <utility>

#include "unique_fd.h"

namespace tallowmere_core {

class WakeFd {
 public:
  // Close-on-exec and non-blocking; the errno when no descriptor can be had.
  static std::expected<WakeFd, int> create();

  // The descriptor to poll for reading.
  int fd() const noexcept { return fd_.get(); }
  // Any thread, any number of times; never blocks.
  void notify() const noexcept;
  // Makes it unreadable again until the next notify(), for a waker that is used more than once.
  void clear() const noexcept;

 private:
  WakeFd(UniqueFd fd, UniqueFd write_end) noexcept : fd_(std::move(fd)), write_end_(std::move(write_end)) {}
  UniqueFd fd_;
  UniqueFd write_end_;  // the self-pipe's other end; empty for an eventfd, which is both
};

}  // namespace tallowmere_core

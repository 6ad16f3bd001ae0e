// The wake descriptor of systems without eventfd (macOS, the BSDs): a self-pipe whose read end is
// polled, and drained only by clear().
#include "wake_fd.h"

#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

#include "posix.h"

namespace tallowmere_core {

namespace {

bool set_close_on_exec_and_non_blocking(int fd) {
  return ::fcntl(fd, F_SETFD, FD_CLOEXEC) == 0 && ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK) == 0;
}

}  // namespace

std::expected<WakeFd, int> WakeFd::create() {
  int ends[2];
  if (::pipe(ends) != 0) return std::unexpected(errno);
  UniqueFd read_end(ends[0]);
  UniqueFd write_end(ends[1]);
  if (!set_close_on_exec_and_non_blocking(read_end.get()) || !set_close_on_exec_and_non_blocking(write_end.get())) {
    return std::unexpected(errno);
  }
  return WakeFd(std::move(read_end), std::move(write_end));
}

void WakeFd::notify() const noexcept {
  // Until clear() drains the pipe one byte keeps it readable; a full pipe (EAGAIN) is readable already.
  const char one = 1;
  posix::retry_on_eintr([&] { return ::write(write_end_.get(), &one, 1); });
}

void WakeFd::clear() const noexcept {
  // The read end is non-blocking: reading stops at EAGAIN once the pipe is empty.
  char drained[64];
  while (posix::retry_on_eintr([&] { return ::read(fd_.get(), drained, sizeof drained); }) > 0) {
  }
}

}  // namespace tallowmere_core

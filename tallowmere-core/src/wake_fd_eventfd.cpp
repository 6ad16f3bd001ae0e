// The wake descriptor of systems with eventfd: one descriptor, a counter nobody reads.
#include "wake_fd.h"

#include <cerrno>
#include <cstdint>

#include <sys/eventfd.h>
#include <unistd.h>

#include "posix.h"

namespace tallowmere_core {

std::expected<WakeFd, int> WakeFd::create() {
  UniqueFd fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!fd) return std::unexpected(errno);
  return WakeFd(std::move(fd), UniqueFd());
}

void WakeFd::notify() const noexcept {
  // Until clear() reads the counter it stays readable; a full counter (EAGAIN) is readable already.
  const std::uint64_t one = 1;
  posix::retry_on_eintr([&] { return ::write(fd_.get(), &one, sizeof one); });
}

void WakeFd::clear() const noexcept {
  // Reading an eventfd hands back its counter and sets it to zero; an empty one gives EAGAIN.
  std::uint64_t count = 0;
  posix::retry_on_eintr([&] { return ::read(fd_.get(), &count, sizeof count); });
}

}  // namespace tallowmere_core

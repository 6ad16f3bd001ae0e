#include "platform/wake_fd.h"

#include <cerrno>
#include <cstdint>

#include <sys/eventfd.h>
#include <unistd.h>

#include "posix.h"

namespace tallowmere_cli::platform {

std::expected<WakeFd, int> WakeFd::create() {
  tallowmere_core::UniqueFd fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!fd) return std::unexpected(errno);
  return WakeFd(std::move(fd));
}

void WakeFd::notify() const noexcept {
  // Nobody reads the counter, so it stays readable; a full counter (EAGAIN) is readable already.
  const std::uint64_t one = 1;
  tallowmere_core::posix::retry_on_eintr([&] { return ::write(fd_.get(), &one, sizeof one); });
}

}  // namespace tallowmere_cli::platform

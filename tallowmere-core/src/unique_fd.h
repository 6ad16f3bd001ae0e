#pragma once
// UniqueFd: the sole owner of one open file descriptor, closed when the owner is destroyed.
// Move-only; a default-constructed or moved-from UniqueFd holds nothing (-1).
#include <cerrno>
#include <utility>

#include <unistd.h>

namespace tallowmere_core {

class UniqueFd {
 public:
  UniqueFd() noexcept = default;
  explicit UniqueFd(int fd) noexcept : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const noexcept { return fd_; }
  explicit operator bool() const noexcept { return fd_ >= 0; }

  // Gives the descriptor up without closing it; the caller then owns it.
  [[nodiscard]] int release() noexcept { return std::exchange(fd_, -1); }

  // Closes the held descriptor, discarding close(2)'s error, and takes ownership of `fd`.
  void reset(int fd = -1) noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

  // Closes now and returns close(2)'s errno, or 0. For writers that must learn of a deferred
  // write error (NFS reports some only at close). Never retried on EINTR: Linux has released the
  // descriptor by then, and a second close could hit one another thread has just been given.
  [[nodiscard]] int close() noexcept {
    if (fd_ < 0) return 0;
    const int result = ::close(std::exchange(fd_, -1));
    return result == 0 ? 0 : errno;
  }

 private:
  int fd_ = -1;
};

}  // namespace tallowmere_core

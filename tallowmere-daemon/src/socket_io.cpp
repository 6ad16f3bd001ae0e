#include "socket_io.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstring>

#include <fmt/format.h>
#include <poll.h>
#include <unistd.h>

#include "posix.h"
#include "text.h"

namespace tallowmere_daemon::ipc::socket_io {

using tallowmere_cli::ErrorChain;
using tallowmere_core::posix::retry_on_eintr;

namespace {

enum class Readiness { Ready, TimedOut, Failed };

// Waits until `fd` is ready for `events` (or hung up) or `deadline` passes; Failed leaves errno.
Readiness wait_for(int fd, short events, Deadline deadline) {
  for (;;) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return Readiness::TimedOut;
    // Rounded up, so that the wait never ends just short of the deadline and spins.
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
    pollfd item{fd, events, 0};
    const int ready = ::poll(&item, 1, static_cast<int>(std::min<long long>(left, INT_MAX)));
    if (ready > 0) return Readiness::Ready;
    if (ready < 0 && errno != EINTR) return Readiness::Failed;
  }
}

}  // namespace

tallowmere_cli::Status check_socket_name(const std::filesystem::path& path) {
  if (path.native().find('\0') != std::string::npos) {
    return std::unexpected(
        ErrorChain("filesystem paths cannot contain interior nuls").context("failed to build daemon control socket name"));
  }
  return {};
}

tallowmere_cli::Result<UnixAddress> unix_address(const std::filesystem::path& path, std::size_t max_bytes) {
  const std::string& bytes = path.native();
  UnixAddress result;
  if (bytes.size() > max_bytes || bytes.size() > sizeof result.address.sun_path) {
    return std::unexpected(ErrorChain("local socket name length exceeds capacity of sun_path of sockaddr_un"));
  }
  result.address.sun_family = AF_UNIX;
  std::memcpy(result.address.sun_path, bytes.data(), bytes.size());
  result.length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + bytes.size());
  return result;
}

tallowmere_cli::Result<std::string> read_line(int fd, std::optional<std::size_t> max_bytes,
                                              std::optional<Deadline> deadline) {
  const auto timed_out = [] { return std::unexpected(ErrorChain("timed out waiting for the line")); };
  std::string line;
  char buffer[8192];
  for (;;) {
    if (deadline) {
      const Readiness readiness = wait_for(fd, POLLIN, *deadline);
      if (readiness == Readiness::TimedOut) return timed_out();
      if (readiness == Readiness::Failed) return std::unexpected(ErrorChain(tallowmere_core::os_error_text(errno)));
    }
    const int flags = deadline ? MSG_DONTWAIT : 0;
    const ssize_t got = retry_on_eintr([&] { return ::recv(fd, buffer, sizeof buffer, flags); });
    if (got < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        // Readiness that poll saw but the read did not find: wait again, for what is left.
        if (deadline) continue;
        return timed_out();
      }
      return std::unexpected(ErrorChain(tallowmere_core::os_error_text(errno)));
    }
    if (got == 0) break;
    const std::string_view chunk(buffer, static_cast<std::size_t>(got));
    const std::size_t feed = chunk.find('\n');
    line.append(chunk.substr(0, feed == std::string_view::npos ? chunk.size() : feed + 1));
    if (max_bytes && line.size() > *max_bytes) {
      return std::unexpected(ErrorChain(fmt::format("line is longer than {} bytes", *max_bytes)));
    }
    if (feed != std::string_view::npos) break;
  }
  if (!tallowmere_core::text::is_valid_utf8(line)) return std::unexpected(ErrorChain("stream did not contain valid UTF-8"));
  return line;
}

tallowmere_cli::Status write_all(int fd, std::string_view bytes, std::optional<Deadline> deadline) {
  while (!bytes.empty()) {
    if (deadline) {
      const Readiness readiness = wait_for(fd, POLLOUT, *deadline);
      if (readiness == Readiness::TimedOut) return std::unexpected(ErrorChain(tallowmere_core::os_error_text(EAGAIN)));
      if (readiness == Readiness::Failed) return std::unexpected(ErrorChain(tallowmere_core::os_error_text(errno)));
    }
    const int flags = deadline ? MSG_DONTWAIT : 0;
    const ssize_t sent =
        retry_on_eintr([&] { return tallowmere_core::posix::send_without_signal(fd, bytes.data(), bytes.size(), flags); });
    if (sent < 0 && deadline && (errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (sent < 0) return std::unexpected(ErrorChain(tallowmere_core::os_error_text(errno)));
    bytes.remove_prefix(static_cast<std::size_t>(sent));
  }
  return {};
}

}  // namespace tallowmere_daemon::ipc::socket_io

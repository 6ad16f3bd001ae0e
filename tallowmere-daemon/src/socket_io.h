#pragma once
// Unix-domain socket plumbing shared by the control-socket server and its client: the address of
// a socket path, reading one line, writing a whole buffer.
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include <sys/socket.h>
#include <sys/un.h>

#include "error_chain.h"

namespace tallowmere_daemon::ipc::socket_io {

using Deadline = std::chrono::steady_clock::time_point;

struct UnixAddress {
  sockaddr_un address{};
  socklen_t length = 0;
};

// Fails with "filesystem paths cannot contain interior nuls" under the context "failed to build
// daemon control socket name" when the path holds a NUL byte.
tallowmere_cli::Status check_socket_name(const std::filesystem::path& path);

// The address of `path`; fails (without context) when the path is longer than `max_bytes`.
// A path of exactly `max_bytes` is used whole, with no terminating NUL required.
tallowmere_cli::Result<UnixAddress> unix_address(const std::filesystem::path& path, std::size_t max_bytes);

// Reads up to and including the first line feed, or to the end of the stream, in reads of at most
// 8 KiB; bytes after the line feed that came in the same read are dropped. The line must be UTF-8.
// With `max_bytes`, a line that grows past it fails. A line not ended by `deadline` (however
// its bytes trickle in), or a receive time-out set on the socket, fails with "timed out waiting
// for the line". Errors carry no context of their own.
tallowmere_cli::Result<std::string> read_line(int fd, std::optional<std::size_t> max_bytes,
                                              std::optional<Deadline> deadline = std::nullopt);

// Writes all of `bytes`, never raising SIGPIPE; fails with the operating-system error, and with
// that of EAGAIN when `deadline` passes before the peer has taken everything.
tallowmere_cli::Status write_all(int fd, std::string_view bytes, std::optional<Deadline> deadline = std::nullopt);

}  // namespace tallowmere_daemon::ipc::socket_io

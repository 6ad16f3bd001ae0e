#pragma once
// Opening files the way a disk that holds more than well-formed files requires: never blocking
// on a FIFO or a device, never reading anything but a regular file.
#include <cerrno>
#include <expected>
#include <filesystem>

#include <sys/types.h>

#include "error.h"
#include "unique_fd.h"

namespace tallowmere_core::posix {

// Calls `call` (a system call returning -1 and setting errno on failure) again for as long as it
// fails with EINTR; returns its first other result, errno left as the call set it.
template <class Call>
auto retry_on_eintr(Call&& call) {
  for (;;) {
    auto result = call();
    if (result != -1 || errno != EINTR) return result;
  }
}

// Whether symbolic links are followed when a path is opened.
enum class Links { follow, refuse };

// The cause given for a path where something other than a regular file stands.
IoSource not_a_regular_file();

// Opens `path` with `flags` (and `mode` for O_CREAT) and checks, on the open descriptor, that a
// regular file stands there. The open never blocks (a FIFO without a writer, a device) and never
// becomes the controlling terminal; the descriptor is close-on-exec. With Links::refuse a
// symbolic link in the last component is refused. Failure: the system's error, EISDIR for a
// folder, or not_a_regular_file() for a link refused, a FIFO, a device or a socket.
std::expected<UniqueFd, IoSource> open_regular_file(const std::filesystem::path& path, int flags,
                                                    mode_t mode = 0, Links links = Links::follow);

}  // namespace tallowmere_core::posix

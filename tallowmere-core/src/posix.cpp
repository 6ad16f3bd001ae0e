#include "posix.h"

#include <fcntl.h>
#include <sys/stat.h>

namespace tallowmere_core::posix {

IoSource not_a_regular_file() { return IoSource::from_message("not a regular file"); }

std::expected<UniqueFd, IoSource> open_regular_file(const std::filesystem::path& path, int flags, mode_t mode,
                                                    Links links) {
  // O_NONBLOCK is what keeps a FIFO from holding the open until a writer comes; for a regular
  // file it changes nothing, so it stays set.
  int all_flags = flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  if (links == Links::refuse) all_flags |= O_NOFOLLOW;
  UniqueFd fd(retry_on_eintr([&] { return ::open(path.c_str(), all_flags, mode); }));
  if (!fd) {
    const int error = errno;
    // ELOOP: the link that O_NOFOLLOW refused; ENXIO: a FIFO opened for writing with no reader.
    if ((error == ELOOP && links == Links::refuse) || error == ENXIO) return std::unexpected(not_a_regular_file());
    return std::unexpected(IoSource::from_errno(error));
  }
  struct stat metadata {};
  if (::fstat(fd.get(), &metadata) != 0) return std::unexpected(IoSource::from_errno(errno));
  if (S_ISDIR(metadata.st_mode)) return std::unexpected(IoSource::from_errno(EISDIR));
  if (!S_ISREG(metadata.st_mode)) return std::unexpected(not_a_regular_file());
  return fd;
}

}  // namespace tallowmere_core::posix

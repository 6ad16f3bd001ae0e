#include "posix.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>

#include <fcntl.h>
#include <locale.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#ifdef __APPLE__
#include <mach-o/dyld.h>
#include <xlocale.h>
#endif

namespace tallowmere_core::posix {

IoSource not_a_regular_file() { return IoSource::from_message("not a regular file"); }

namespace {

// Why a file of this type is not read; none for a regular file.
std::optional<IoSource> not_regular_because(mode_t type) {
  if (S_ISREG(type)) return std::nullopt;
  if (S_ISDIR(type)) return IoSource::from_errno(EISDIR);
  return not_a_regular_file();
}

}  // namespace

std::expected<RegularFile, IoSource> open_regular_file(const std::filesystem::path& path, int flags, mode_t mode,
                                                       Links links) {
  // O_NONBLOCK is what keeps a FIFO from holding the open until a writer comes; for a regular
  // file it changes nothing, so it stays set.
  int all_flags = flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  if (links == Links::Refuse) all_flags |= O_NOFOLLOW;
  UniqueFd fd(retry_on_eintr([&] { return ::open(path.c_str(), all_flags, mode); }));
  if (!fd) {
    const int error = errno;
    // ELOOP: the link that O_NOFOLLOW refused; ENXIO: a FIFO opened for writing with no reader.
    if ((error == ELOOP && links == Links::Refuse) || error == ENXIO) return std::unexpected(not_a_regular_file());
    return std::unexpected(IoSource::from_errno(error));
  }
  struct stat metadata {};
  if (::fstat(fd.get(), &metadata) != 0) return std::unexpected(IoSource::from_errno(errno));
  if (auto refused = not_regular_because(metadata.st_mode)) return std::unexpected(std::move(*refused));
  return RegularFile{std::move(fd), static_cast<std::uint64_t>(metadata.st_size), metadata.st_mode};
}

std::expected<void, IoSource> check_regular_file(const std::filesystem::path& path) {
  struct stat metadata {};
  if (::lstat(path.c_str(), &metadata) != 0) return std::unexpected(IoSource::from_errno(errno));
  if (auto refused = not_regular_because(metadata.st_mode)) return std::unexpected(std::move(*refused));
  return {};
}

UniqueFd open_file(const std::filesystem::path& path, int flags, mode_t mode) {
  return UniqueFd(retry_on_eintr([&] { return ::open(path.c_str(), flags | O_CLOEXEC, mode); }));
}

std::expected<void, int> make_folders(const std::filesystem::path& folder) {
  if (folder.empty()) return std::unexpected(EINVAL);
  struct stat metadata {};
  if (::stat(folder.c_str(), &metadata) == 0) {
    if (S_ISDIR(metadata.st_mode)) return {};
    return std::unexpected(ENOTDIR);
  }
  if (errno != ENOENT) return std::unexpected(errno);
  // "a/b/" names the folder "a/b"; its parent is "a".
  const std::filesystem::path named = folder.has_filename() ? folder : folder.parent_path();
  const std::filesystem::path parent = named.parent_path();
  if (!parent.empty() && parent != named) {
    if (auto made = make_folders(parent); !made) return made;
  }
  if (::mkdir(named.c_str(), 0777) == 0) return {};
  const int error = errno;
  if (error == EEXIST && ::stat(named.c_str(), &metadata) == 0 && S_ISDIR(metadata.st_mode)) return {};
  return std::unexpected(error);
}

std::expected<void, CoreError> write_all(int fd, std::string_view bytes, const std::filesystem::path& path) {
  while (!bytes.empty()) {
    const ssize_t n = retry_on_eintr([&] { return ::write(fd, bytes.data(), bytes.size()); });
    if (n < 0) return std::unexpected(CoreError::io(path, errno));
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return {};
}

std::expected<void, CoreError> write_all(int fd, std::span<const unsigned char> bytes, const std::filesystem::path& path) {
  return write_all(fd, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), path);
}

std::expected<void, CoreError> full_sync(int fd, const std::filesystem::path& path) {
#ifdef __APPLE__
  // On macOS fsync only hands the data to the drive, whose cache may still lose it on power
  // failure; F_FULLFSYNC asks the drive to flush. Some file systems refuse it: fall back then.
  if (::fcntl(fd, F_FULLFSYNC) == 0) return {};
#endif
  if (retry_on_eintr([&] { return ::fsync(fd); }) != 0) return std::unexpected(CoreError::io(path, errno));
  return {};
}

std::expected<FileProbe, CoreError> probe(const std::filesystem::path& path) {
  struct stat metadata {};
  if (::stat(path.c_str(), &metadata) != 0) return std::unexpected(CoreError::io(path, errno));
#ifdef __APPLE__
  const timespec& modified = metadata.st_mtimespec;
#else
  const timespec& modified = metadata.st_mtim;
#endif
  return FileProbe{static_cast<std::uint64_t>(metadata.st_size), modified.tv_sec, modified.tv_nsec};
}

std::string error_description(int error_number) {
  char buffer[256];
#if defined(__GLIBC__) && defined(_GNU_SOURCE)
  // GNU strerror_r returns the text, which may or may not live in `buffer`.
  return strerror_r(error_number, buffer, sizeof buffer);
#else
  if (strerror_r(error_number, buffer, sizeof buffer) != 0) return "Unknown error " + std::to_string(error_number);
  return buffer;
#endif
}

std::expected<void, IoSource> fill_random(std::span<unsigned char> bytes) {
  std::size_t filled = 0;
  while (filled < bytes.size()) {
#ifdef __APPLE__
    // getentropy gives at most 256 bytes a call and is never interrupted.
    const std::size_t piece = std::min<std::size_t>(bytes.size() - filled, 256);
    if (::getentropy(bytes.data() + filled, piece) != 0) return std::unexpected(IoSource::from_errno(errno));
    filled += piece;
#else
    const ssize_t n = retry_on_eintr([&] { return ::getrandom(bytes.data() + filled, bytes.size() - filled, 0); });
    if (n < 0) return std::unexpected(IoSource::from_errno(errno));
    filled += static_cast<std::size_t>(n);
#endif
  }
  return {};
}

UniqueFd unix_stream_socket(Blocking blocking) {
#ifdef __APPLE__
  // Neither flag exists here: both are set right after the socket is made. A child that another
  // thread starts in between may inherit the socket, which gives it nothing the service keeps
  // secret.
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM, 0));
  if (!fd) return fd;
  if (::fcntl(fd.get(), F_SETFD, FD_CLOEXEC) != 0) return UniqueFd();
  if (blocking == Blocking::DontWait && ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) | O_NONBLOCK) != 0) {
    return UniqueFd();
  }
  return fd;
#else
  const int flags = SOCK_STREAM | SOCK_CLOEXEC | (blocking == Blocking::DontWait ? SOCK_NONBLOCK : 0);
  return UniqueFd(::socket(AF_UNIX, flags, 0));
#endif
}

std::expected<std::pair<UniqueFd, UniqueFd>, int> unix_stream_socket_pair() {
  int ends[2];
#ifdef __APPLE__
  if (::socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0) return std::unexpected(errno);
  std::pair<UniqueFd, UniqueFd> pair{UniqueFd(ends[0]), UniqueFd(ends[1])};
  if (::fcntl(ends[0], F_SETFD, FD_CLOEXEC) != 0 || ::fcntl(ends[1], F_SETFD, FD_CLOEXEC) != 0) {
    return std::unexpected(errno);
  }
  return pair;
#else
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return std::unexpected(errno);
  return std::pair<UniqueFd, UniqueFd>{UniqueFd(ends[0]), UniqueFd(ends[1])};
#endif
}

int accept_connection(int listener) {
#ifdef __APPLE__
  // A BSD accept hands the connection the listener's O_NONBLOCK; the connections here block
  // unless a call asks otherwise, as accept4 leaves them on Linux.
  const int fd = ::accept(listener, nullptr, nullptr);
  if (fd >= 0) {
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  }
  return fd;
#else
  return ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
#endif
}

ssize_t send_without_signal(int fd, const void* bytes, std::size_t size, int flags) {
#ifdef __APPLE__
  // macOS has no MSG_NOSIGNAL; the socket option says the same once for the socket.
  const int on = 1;
  (void)::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
  return ::send(fd, bytes, size, flags);
#else
  return ::send(fd, bytes, size, flags | MSG_NOSIGNAL);
#endif
}

void name_this_thread(const char* name) {
#ifdef __APPLE__
  pthread_setname_np(name);
#else
  // Linux allows 15 characters and a terminator; a longer name would be refused outright.
  char cut[16] = {};
  std::strncpy(cut, name, sizeof cut - 1);
  pthread_setname_np(pthread_self(), cut);
#endif
}

std::expected<std::filesystem::path, int> current_executable() {
#ifdef __APPLE__
  std::uint32_t size = 0;
  _NSGetExecutablePath(nullptr, &size);
  if (size == 0) return std::unexpected(errno != 0 ? errno : ENOENT);
  std::string buffer(size, '\0');
  if (_NSGetExecutablePath(buffer.data(), &size) != 0) return std::unexpected(errno != 0 ? errno : ENAMETOOLONG);
  if (const auto end = buffer.find('\0'); end != std::string::npos) buffer.resize(end);
  return std::filesystem::path(buffer);
#else
  // readlink does not say whether it truncated: grow until the link fits with room to spare.
  std::string buffer(256, '\0');
  for (;;) {
    const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length < 0) return std::unexpected(errno);
    if (static_cast<std::size_t>(length) < buffer.size()) {
      buffer.resize(static_cast<std::size_t>(length));
      return std::filesystem::path(buffer);
    }
    buffer.resize(buffer.size() * 2);
  }
#endif
}

void advise_huge_pages(void* start, std::size_t size) noexcept {
#if defined(MADV_HUGEPAGE)
  constexpr std::uintptr_t huge_page = std::uintptr_t{2} << 20;
  const auto begin = reinterpret_cast<std::uintptr_t>(start);
  const auto first = (begin + huge_page - 1) & ~(huge_page - 1);
  const auto last = (begin + size) & ~(huge_page - 1);
  if (last > first) (void)::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
  (void)start;
  (void)size;
#endif
}

std::optional<double> decimal_to_double(std::string_view number) {
  // strtod in the "C" locale, never the process's: under a locale with a decimal comma plain
  // strtod would stop at the point. glibc's and macOS's strtod round correctly, so the result is
  // the nearest double on both, like any other correctly rounding reader's. The newlocale of "C"
  // is made once and kept for the life of the process.
  static const locale_t c_locale = ::newlocale(LC_ALL_MASK, "C", locale_t{});
  if (c_locale == locale_t{}) throw std::bad_alloc();
  // strtod wants a terminated text. Numbers that need more room than the stack buffer are rare:
  // a double has at most 17 significant digits of its own.
  char buffer[128];
  std::string longer;
  const char* text = buffer;
  if (number.size() < sizeof buffer) {
    std::memcpy(buffer, number.data(), number.size());
    buffer[number.size()] = '\0';
  } else {
    longer.assign(number);
    text = longer.c_str();
  }
  char* end = nullptr;
  // errno is not looked at: glibc sets ERANGE for inexact subnormals as well as for overflow,
  // and the value itself says which it was.
  const int saved_errno = errno;
  const double value = ::strtod_l(text, &end, c_locale);
  errno = saved_errno;
  if (end != text + number.size()) return std::nullopt;
  return value;
}

std::string_view os_name() {
#ifdef __APPLE__
  return "macos";
#else
  return "linux";
#endif
}

}  // namespace tallowmere_core::posix

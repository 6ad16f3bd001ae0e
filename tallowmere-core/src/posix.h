#pragma once
// The one home of the system calls: interrupted calls retried, files opened the way a disk that
// holds more than well-formed files requires (never blocking on a FIFO or a device, never reading
// anything but a regular file), whole writes, durable syncs, and every spelling that only some
// systems have. A port to another system starts here and in the cli's platform/ folder.
#include <cerrno>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

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
enum class Links { Follow, Refuse };

// The cause given for a path where something other than a regular file stands.
IoSource not_a_regular_file();

// An open regular file and what fstat found when it was opened.
struct RegularFile {
  UniqueFd fd;
  std::uint64_t size = 0;
  mode_t mode = 0;  // type and permission bits
};

// Opens `path` with `flags` (and `mode` for O_CREAT) and checks, on the open descriptor, that a
// regular file stands there. The open never blocks (a FIFO without a writer, a device) and never
// becomes the controlling terminal; the descriptor is close-on-exec. With Links::Refuse a
// symbolic link in the last component is refused. Failure: the system's error, EISDIR for a
// folder, or not_a_regular_file() for a link refused, a FIFO, a device or a socket.
std::expected<RegularFile, IoSource> open_regular_file(const std::filesystem::path& path, int flags,
                                                       mode_t mode = 0, Links links = Links::Follow);

// Whether a regular file stands at `path` itself (a symbolic link there is refused), without
// opening it; the failures are those of open_regular_file with Links::Refuse.
std::expected<void, IoSource> check_regular_file(const std::filesystem::path& path);

// Opens `path` with `flags`, close-on-exec, retried when interrupted; empty with errno set on failure.
UniqueFd open_file(const std::filesystem::path& path, int flags, mode_t mode = 0);

// Creates `folder` and its missing parents (mode 0777 less the umask); a folder already there, or
// made by another process meanwhile, counts as made. Failure: the errno, ENOTDIR when something
// other than a folder stands at the path or on the way (symbolic links to folders are followed),
// EINVAL for an empty path. The same on every system and standard library, which
// std::filesystem::create_directories is not (libc++ says EEXIST where libstdc++ says ENOTDIR).
std::expected<void, int> make_folders(const std::filesystem::path& folder);

// Writes all of `bytes` to `fd`, resuming after partial writes and interruptions. Failure:
// CoreError::Io for `path` (the file behind `fd`, for the message only).
std::expected<void, CoreError> write_all(int fd, std::string_view bytes, const std::filesystem::path& path);
std::expected<void, CoreError> write_all(int fd, std::span<const unsigned char> bytes, const std::filesystem::path& path);

// Forces the file's data and metadata to stable storage, drive cache included where the platform
// can flush it; retried when interrupted. Failure: CoreError::Io for `path`.
std::expected<void, CoreError> full_sync(int fd, const std::filesystem::path& path);

// What a wait for a file to settle judges it by: its size and modification time to the
// nanosecond, symbolic links followed. A rewrite that keeps both goes unnoticed.
struct FileProbe {
  std::uint64_t size;
  std::int64_t mtime_seconds;
  std::int64_t mtime_nanoseconds;
  bool operator==(const FileProbe&) const = default;
};
// Failure: CoreError::Io for `path`.
std::expected<FileProbe, CoreError> probe(const std::filesystem::path& path);

// The system's description of an errno value, without the " (os error N)" that messages add.
std::string error_description(int error_number);

// Fills `bytes` from the kernel's random source, blocking only until it is first seeded early in
// boot. Failure: the system's error.
std::expected<void, IoSource> fill_random(std::span<unsigned char> bytes);

// Whether a new socket's reads and writes wait.
enum class Blocking { Wait, DontWait };

// A new Unix stream socket, close-on-exec (and non-blocking with Blocking::DontWait); empty with
// errno set on failure.
UniqueFd unix_stream_socket(Blocking blocking = Blocking::Wait);

// Two connected Unix stream sockets, close-on-exec; the errno on failure.
std::expected<std::pair<UniqueFd, UniqueFd>, int> unix_stream_socket_pair();

// Accepts one connection on `listener`: close-on-exec and blocking whatever the listener is;
// -1 with errno set on failure.
int accept_connection(int listener);

// send(2) that never raises SIGPIPE for a peer that has gone; `flags` as for send.
ssize_t send_without_signal(int fd, const void* bytes, std::size_t size, int flags);

// Names the calling thread for debuggers and process listings (cut to what the system allows).
void name_this_thread(const char* name);

// The running executable's own path; failure: the system's error number.
std::expected<std::filesystem::path, int> current_executable();

// Advises the system that the whole huge pages within [start, start + size) are worth backing
// with huge pages, so that filling them faults once per huge page rather than once per page.
// Only advice: where the system has no such advice, or refuses it, nothing changes.
void advise_huge_pages(void* start, std::size_t size) noexcept;

// The double nearest to `number`, a JSON number (optional '-', digits, optional fraction and
// exponent), ties to even, whatever the process locale says about decimal points: infinity of the
// number's sign past the largest double, zero of its sign below half the smallest subnormal,
// subnormals in between. Empty when `number` does not end where its digits do.
std::optional<double> decimal_to_double(std::string_view number);

// The system the service runs on, as entries record it: "macos" or "linux".
std::string_view os_name();

}  // namespace tallowmere_core::posix

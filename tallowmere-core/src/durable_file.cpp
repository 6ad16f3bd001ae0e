#include "durable_file.h"

#include <algorithm>
#include <cerrno>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>

#include "posix.h"
#include "text.h"
#include "unique_fd.h"
#include "uuid.h"

namespace tallowmere_core::durable_file {
namespace {


// ".<name>.tmp-<uuid>", with the name cut short when the whole would pass the 255-byte limit
// of a file name; only uniqueness matters, and the uuid gives that.
std::filesystem::path temporary_name(const std::string& name, const std::string& uuid) {
  constexpr std::size_t name_max = 255;
  const std::size_t room = name_max - (1 + 5 + uuid.size());
  std::string file_name = ".";
  file_name.append(name, 0, room);
  file_name += ".tmp-";
  file_name += uuid;
  return file_name;
}

IoSource too_large() {
  return IoSource::from_message(fmt::format("file is larger than the {} byte limit", max_text_file_bytes));
}

}  // namespace

DurableReplacement::DurableReplacement(std::filesystem::path temporary_path, UniqueFd folder_fd, UniqueFd fd,
                                       std::optional<std::filesystem::path> reported_path)
    : temporary_path_(std::move(temporary_path)),
      folder_fd_(std::move(folder_fd)),
      fd_(std::move(fd)),
      reported_path_(std::move(reported_path)) {}

DurableReplacement::DurableReplacement(DurableReplacement&& other) noexcept
    : temporary_path_(std::exchange(other.temporary_path_, {})),
      folder_fd_(std::move(other.folder_fd_)),
      fd_(std::move(other.fd_)),
      reported_path_(std::move(other.reported_path_)) {}

DurableReplacement::~DurableReplacement() {
  if (!temporary_path_.empty()) ::unlink(temporary_path_.c_str());
}

CoreError DurableReplacement::error_at(const std::filesystem::path& concerned, int error_number) const {
  return CoreError::io(reported_path_.value_or(concerned), error_number);
}

CoreError DurableReplacement::reported(CoreError error) const {
  if (!reported_path_) return error;
  const auto* io = error.get<core_error::Io>();
  return io ? CoreError::io(*reported_path_, io->source) : error;
}

std::expected<DurableReplacement, CoreError> DurableReplacement::create(
    const std::filesystem::path& folder, const std::filesystem::path& temporary_name, mode_t mode,
    std::optional<std::filesystem::path> reported_path) {
  const auto fail = [&](const std::filesystem::path& concerned, int error_number) {
    return std::unexpected(CoreError::io(reported_path.value_or(concerned), error_number));
  };
  UniqueFd folder_fd = posix::open_file(folder, O_RDONLY | O_DIRECTORY);
  if (!folder_fd) return fail(folder, errno);
  std::filesystem::path temporary_path = folder / temporary_name;
  UniqueFd fd = posix::open_file(temporary_path, O_WRONLY | O_CREAT | O_EXCL, mode);
  if (!fd) return fail(temporary_path, errno);
  return DurableReplacement(std::move(temporary_path), std::move(folder_fd), std::move(fd), std::move(reported_path));
}

std::expected<void, CoreError> DurableReplacement::write(std::string_view bytes) {
  if (auto written = posix::write_all(fd_.get(), bytes, temporary_path_); !written)
    return std::unexpected(reported(std::move(written).error()));
  return {};
}

std::expected<void, CoreError> DurableReplacement::write(std::span<const unsigned char> bytes) {
  return write(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

std::expected<void, CoreError> DurableReplacement::commit(const std::filesystem::path& target) {
  // The bytes must be on disk before the name is: after a crash the target must never hold less
  // than the whole new content.
  if (auto synced = posix::full_sync(fd_.get(), temporary_path_); !synced)
    return std::unexpected(reported(std::move(synced).error()));
  if (const int error = fd_.close(); error != 0) return std::unexpected(error_at(temporary_path_, error));
  if (posix::retry_on_eintr([&] { return ::rename(temporary_path_.c_str(), target.c_str()); }) != 0)
    return std::unexpected(error_at(target, errno));
  temporary_path_.clear();
  // Without this the rename itself may not survive a crash, which would bring the old file back.
  const std::filesystem::path folder = target.has_parent_path() ? target.parent_path() : ".";
  if (auto synced = posix::full_sync(folder_fd_.get(), folder); !synced)
    return std::unexpected(reported(std::move(synced).error()));
  return {};
}

std::expected<std::string, CoreError> read_text_file(const std::filesystem::path& path) {
  auto opened = posix::open_regular_file(path, O_RDONLY);
  if (!opened) return std::unexpected(CoreError::io(path, std::move(opened).error()));
  const UniqueFd fd = std::move(opened->fd);
  if (opened->size > max_text_file_bytes) return std::unexpected(CoreError::io(path, too_large()));
  const auto expected_size = static_cast<std::size_t>(opened->size);

  // The kernel copies straight into the string's own buffer, which is never zero-filled first:
  // for a large file an intermediate buffer and the fill each cost as much as the copy itself.
  // One byte of room past the expected size lets the read that finds the end land in the same
  // buffer, so a file that did not grow is never reallocated.
  std::string text;
  int error = 0;
  bool at_end = false;
  while (!at_end && error == 0) {
    const std::size_t used = text.size();
    // A file that grows while it is read is held to the same limit.
    if (used > max_text_file_bytes) return std::unexpected(CoreError::io(path, too_large()));
    const std::size_t room = used < expected_size ? expected_size - used + 1 : std::max<std::size_t>(64 * 1024, used / 2);
    text.resize_and_overwrite(used + room, [&](char* buffer, std::size_t size) {
      std::size_t filled = used;
      while (filled < size) {
        const ssize_t n = posix::retry_on_eintr([&] { return ::read(fd.get(), buffer + filled, size - filled); });
        if (n < 0) {
          error = errno;
          break;
        }
        if (n == 0) {
          at_end = true;
          break;
        }
        filled += static_cast<std::size_t>(n);
      }
      return filled;
    });
  }
  if (error != 0) return std::unexpected(CoreError::io(path, error));
  if (!text::is_valid_utf8(text))
    return std::unexpected(CoreError::io(path, IoSource::from_message("stream did not contain valid UTF-8")));
  return text;
}

std::expected<void, CoreError> sync_directory(const std::filesystem::path& folder) {
  const UniqueFd fd = posix::open_file(folder, O_RDONLY | O_DIRECTORY);
  if (!fd) return std::unexpected(CoreError::io(folder, errno));
  return posix::full_sync(fd.get(), folder);
}

std::expected<void, CoreError> write_file_durably(const std::filesystem::path& path, std::string_view bytes) {
  const auto fail = [&path](int error_number) { return std::unexpected(CoreError::io(path, error_number)); };

  // Replacing a symbolic link would cut it loose from its target; replace the target instead.
  std::filesystem::path target = path;
  struct stat link_metadata {};
  if (::lstat(path.c_str(), &link_metadata) == 0 && S_ISLNK(link_metadata.st_mode)) {
    std::error_code error;
    target = std::filesystem::weakly_canonical(path, error);
    if (error) return fail(error.value());
  }
  const std::string name = target.filename().string();
  if (name.empty() || name == "." || name == "..") return fail(EISDIR);
  const std::filesystem::path folder = target.has_parent_path() ? target.parent_path() : ".";

  struct stat existing {};
  bool exists = true;
  if (::stat(target.c_str(), &existing) != 0) {
    if (errno != ENOENT) return fail(errno);
    exists = false;
  } else if (S_ISDIR(existing.st_mode)) {
    return fail(EISDIR);
  }

  auto uuid = uuid::new_v4();
  if (!uuid) return std::unexpected(CoreError::io(path, uuid.error().source));
  // Created with 0666 so that the kernel applies the umask for a new file; reading the umask
  // would mean changing it, which races with every other thread.
  auto replacement = DurableReplacement::create(folder, temporary_name(name, *uuid), 0666, path);
  if (!replacement) return std::unexpected(std::move(replacement).error());
  if (exists) {
    // Owner first: chown clears set-id bits, which the chmod below then restores. Only a
    // privileged process may give a file away; a refusal leaves the writer as owner.
    if (::fchown(replacement->fd(), existing.st_uid, existing.st_gid) != 0) {
    }
    if (::fchmod(replacement->fd(), existing.st_mode & 07777) != 0) return fail(errno);
  }
  if (auto written = replacement->write(bytes); !written) return written;
  return replacement->commit(target);
}

}  // namespace tallowmere_core::durable_file

#include "blob_store.h"

#include <cerrno>
#include <string>
#include <system_error>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "durable_file.h"
#include "posix.h"
#include "text.h"
#include "unique_fd.h"
#include "uuid.h"

namespace tallowmere_cli::blob_store {

namespace fs = std::filesystem;
using tallowmere_core::CoreError;
using tallowmere_core::UniqueFd;
using tallowmere_core::hash::FileDigest;
using tallowmere_core::posix::retry_on_eintr;

namespace {

constexpr std::size_t copy_piece_size = 1024 * 1024;

// A file may be private only by the folder it sits in (a 0644 session in a 0700 project folder),
// and its copy keeps the file's own mode, so the store keeps others out for it: created 0700, and
// narrowed to that whenever it stands wider. A symbolic link in its place (a store moved to
// another disk) still leads the copies where it points, and what it points to keeps the mode its
// owner gave it: no mode is ever changed through a link. Failure: CoreError::Io for `objects_dir`.
std::expected<void, CoreError> prepare_store_folder(const fs::path& objects_dir) {
  const auto failed = [&](int error_number) { return std::unexpected(CoreError::io(objects_dir, error_number)); };
  if (auto made = tallowmere_core::posix::make_folders(objects_dir.parent_path()); !made) return failed(made.error());
  if (::mkdir(objects_dir.c_str(), 0700) != 0 && errno != EEXIST) return failed(errno);

  // Not following a link, so the mode looked at and changed is the folder's own.
  const UniqueFd folder =
      tallowmere_core::posix::open_file(objects_dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK);
  if (!folder) {
    const int open_error = errno;
    struct stat link {};
    if (::lstat(objects_dir.c_str(), &link) != 0 || !S_ISLNK(link.st_mode)) return failed(open_error);
    struct stat target {};
    if (::stat(objects_dir.c_str(), &target) != 0) return failed(errno);
    if (!S_ISDIR(target.st_mode)) return failed(ENOTDIR);
    return {};
  }
  struct stat status {};
  if (::fstat(folder.get(), &status) != 0) return failed(errno);
  if ((status.st_mode & 07077) != 0 &&
      retry_on_eintr([&] { return ::fchmod(folder.get(), status.st_mode & 0700); }) != 0) {
    return failed(errno);
  }
  return {};
}

}  // namespace

std::expected<FileDigest, CoreError> store_copy(const fs::path& objects_dir, const fs::path& source) {
  auto opened = tallowmere_core::posix::open_regular_file(source, O_RDONLY, 0, tallowmere_core::posix::Links::Refuse);
  if (!opened) return std::unexpected(CoreError::io(source, std::move(opened).error()));
  UniqueFd input = std::move(opened->fd);

  if (auto prepared = prepare_store_folder(objects_dir); !prepared) return std::unexpected(std::move(prepared).error());

  auto name = tallowmere_core::uuid::new_v4();
  if (!name) {
    return std::unexpected(CoreError::io(objects_dir, name.error().source));
  }
  // Created with the source's own permission bits (the umask still applies), so a copy of a
  // private file is never readable by anyone who cannot read the original. A failed copy takes
  // its partial file with it: left behind, it would hold the disk space whose lack may have
  // failed it.
  auto copy = tallowmere_core::durable_file::DurableReplacement::create(
      objects_dir, std::string(temporary_prefix) + *name, opened->mode & 0666);
  if (!copy) return std::unexpected(std::move(copy).error());

  tallowmere_core::hash::Sha256 digest;
  std::vector<unsigned char> piece(copy_piece_size);
  std::uint64_t byte_count = 0;
  for (;;) {
    const ssize_t got = retry_on_eintr([&] { return ::read(input.get(), piece.data(), piece.size()); });
    if (got < 0) return std::unexpected(CoreError::io(source, errno));
    if (got == 0) break;
    const std::span<const unsigned char> bytes(piece.data(), static_cast<std::size_t>(got));
    digest.update(bytes);
    if (auto written = copy->write(bytes); !written) return std::unexpected(std::move(written).error());
    byte_count += static_cast<std::uint64_t>(got);
  }
  input.reset();

  std::string hash_text = digest.finish_hex();
  const fs::path final_path = objects_dir / hash_text;
  std::error_code status_error;
  // An existing copy is kept; the new one is removed with `copy`. The hash name promises the
  // whole content, which commit() puts on disk before the name.
  if (!fs::is_regular_file(final_path, status_error)) {
    if (auto committed = copy->commit(final_path); !committed) return std::unexpected(std::move(committed).error());
  }
  return FileDigest{std::move(hash_text), byte_count};
}

std::optional<std::uint64_t> stored_bytes(const fs::path& objects_dir) {
  std::error_code error;
  if (!fs::is_directory(objects_dir, error)) return 0;
  fs::directory_iterator entries(objects_dir, error);
  if (error) return std::nullopt;
  std::uint64_t total = 0;
  for (const fs::directory_iterator end; entries != end; entries.increment(error)) {
    if (error) return std::nullopt;
    const fs::path& path = entries->path();
    if (tallowmere_core::text::lossy_utf8(path.filename().native()).starts_with(temporary_prefix)) continue;
    struct stat metadata {};
    if (::lstat(path.c_str(), &metadata) != 0) continue;  // gone meanwhile, or unreadable: skipped
    if (S_ISREG(metadata.st_mode)) total += static_cast<std::uint64_t>(metadata.st_size);
  }
  if (error) return std::nullopt;
  return total;
}

std::optional<std::uint64_t> milestone_to_notify(std::uint64_t total_bytes, std::span<const std::uint64_t> milestones,
                                                 std::optional<std::uint64_t> last_notified) {
  const std::uint64_t whole_gibibytes = total_bytes >> 30;
  std::optional<std::uint64_t> milestone;
  for (const std::uint64_t candidate : milestones) {
    if (candidate > whole_gibibytes) continue;
    if (last_notified && candidate <= *last_notified) continue;
    if (!milestone || candidate > *milestone) milestone = candidate;
  }
  return milestone;
}

}  // namespace tallowmere_cli::blob_store

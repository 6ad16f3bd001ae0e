#pragma once
// Whole-file reads as text, and writes that survive a crash: a new version of a file is written
// beside it, forced to disk and renamed over it, so a reader sees the old bytes or the new ones,
// never a mixture or nothing.
#include <cstddef>
#include <expected>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include <sys/types.h>

#include "error.h"
#include "unique_fd.h"

namespace tallowmere_core::durable_file {

// The most read_text_file reads: every file read whole is a small JSON record, so anything
// larger is refused before memory is set aside for it.
inline constexpr std::size_t max_text_file_bytes = std::size_t{16} << 20;

// The whole file as UTF-8 text. Failures are CoreError::Io for `path`: the system's error (a
// folder gives EISDIR, os error 21), "not a regular file" (a FIFO, a device, a socket), "file is
// larger than the 16777216 byte limit", or "stream did not contain valid UTF-8". Never blocks.
std::expected<std::string, CoreError> read_text_file(const std::filesystem::path& path);

// A new file being written beside the one it is to become: created under a temporary name in
// the target's folder, written, then commit() forces it to disk and renames it into place, so a
// reader of the target sees the old bytes or all the new ones. Destroyed before commit() (a failed
// write, a copy found unneeded), it removes the temporary file: no failure path leaves one behind.
// Errors name `reported_path` when one was given, else the path concerned (the temporary file, the
// target of the rename, the folder).
class DurableReplacement {
 public:
  // Opens `folder` (so that a folder that cannot be synchronised fails before anything changes)
  // and creates `folder / temporary_name` exclusively with `mode`, less the umask.
  static std::expected<DurableReplacement, CoreError> create(
      const std::filesystem::path& folder, const std::filesystem::path& temporary_name, mode_t mode,
      std::optional<std::filesystem::path> reported_path = std::nullopt);

  DurableReplacement(DurableReplacement&& other) noexcept;
  DurableReplacement& operator=(DurableReplacement&&) = delete;
  ~DurableReplacement();

  // The temporary file, open for writing.
  int fd() const { return fd_.get(); }
  const std::filesystem::path& temporary_path() const { return temporary_path_; }

  std::expected<void, CoreError> write(std::string_view bytes);
  std::expected<void, CoreError> write(std::span<const unsigned char> bytes);

  // Synchronises and closes the temporary file, renames it to `target` and synchronises the
  // folder. Once the rename is done the file is `target`'s, whatever the folder's sync says.
  std::expected<void, CoreError> commit(const std::filesystem::path& target);

 private:
  DurableReplacement(std::filesystem::path temporary_path, UniqueFd folder_fd, UniqueFd fd,
                     std::optional<std::filesystem::path> reported_path);
  CoreError error_at(const std::filesystem::path& concerned, int error_number) const;
  CoreError reported(CoreError error) const;

  std::filesystem::path temporary_path_;  // empty once renamed or moved from
  UniqueFd folder_fd_;
  UniqueFd fd_;
  std::optional<std::filesystem::path> reported_path_;
};

// Replaces the file at `path` with `bytes` atomically and durably: the bytes go to a new file
// ".<name>.tmp-<uuid>" in the same folder, which is synchronised, renamed over `path`, and then
// the folder is synchronised too. The new file keeps the old one's permission bits (and owner,
// where the process may set it); a file that did not exist gets 0666 less the umask. A symbolic
// link at `path` is followed: its target is replaced and the link stays. On failure before the
// rename the old file is untouched and the temporary file removed; every failure is
// CoreError::Io for `path` as given. Concurrent writers of one path must serialise themselves;
// the last rename wins.
std::expected<void, CoreError> write_file_durably(const std::filesystem::path& path, std::string_view bytes);

// Forces a folder's entries (a rename or creation inside it) to stable storage.
// Failure: CoreError::Io for `folder`.
std::expected<void, CoreError> sync_directory(const std::filesystem::path& folder);

}  // namespace tallowmere_core::durable_file

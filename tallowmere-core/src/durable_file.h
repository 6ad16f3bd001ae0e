#pragma once
// Whole-file reads as text, and writes that survive a crash: a new version of a file is written
// beside it, forced to disk and renamed over it, so a reader sees the old bytes or the new ones,
// never a mixture or nothing.
#include <cstddef>
#include <expected>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>

#include "error.h"

namespace tallowmere_core::durable_file {

// The most read_text_file reads: every file read whole is a small JSON record, so anything
// larger is refused before memory is set aside for it.
inline constexpr std::size_t max_text_file_bytes = std::size_t{16} << 20;

// The whole file as UTF-8 text. Failures are CoreError::Io for `path`: the system's error (a
// folder gives EISDIR, os error 21), "not a regular file" (a FIFO, a device, a socket), "file is
// larger than the 16777216 byte limit", or "stream did not contain valid UTF-8". Never blocks.
std::expected<std::string, CoreError> read_text_file(const std::filesystem::path& path);

// A temporary file being written: removed when it goes out of scope unless renamed() was called,
// so no failure path leaves it behind.
class TemporaryFile {
 public:
  explicit TemporaryFile(std::filesystem::path path) : path_(std::move(path)) {}
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  ~TemporaryFile();
  const std::filesystem::path& path() const { return path_; }
  // The file now stands under its final name and must stay.
  void renamed() { path_.clear(); }

 private:
  std::filesystem::path path_;
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

// Writes all of `bytes` to `fd`, resuming after partial writes and interruptions. Failure:
// CoreError::Io for `path` (the file behind `fd`, for the message only).
std::expected<void, CoreError> write_all(int fd, std::string_view bytes, const std::filesystem::path& path);
std::expected<void, CoreError> write_all(int fd, std::span<const unsigned char> bytes,
                                         const std::filesystem::path& path);

// Forces the file's data and metadata to stable storage, drive cache included where the platform
// can flush it; retried when interrupted. Failure: CoreError::Io for `path`.
std::expected<void, CoreError> full_sync(int fd, const std::filesystem::path& path);

// Forces a folder's entries (a rename or creation inside it) to stable storage.
// Failure: CoreError::Io for `folder`.
std::expected<void, CoreError> sync_directory(const std::filesystem::path& folder);

}  // namespace tallowmere_core::durable_file

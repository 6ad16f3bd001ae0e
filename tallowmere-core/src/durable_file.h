#pragma once
// Whole-file reads as text, and writes that survive a crash: a new version of a file is written
// beside it, forced to disk and renamed over it, so a reader sees the old bytes or the new ones,
// never a mixture or nothing.
#include <expected>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>

#include "error.h"

namespace tallowmere_core::durable_file {

// The whole file as UTF-8 text. Failures are CoreError::Io for `path`: the system's error (a
// folder gives EISDIR, os error 21), or "stream did not contain valid UTF-8".
std::expected<std::string, CoreError> read_text_file(const std::filesystem::path& path);

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

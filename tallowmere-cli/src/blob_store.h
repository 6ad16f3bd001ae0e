#pragma once
// The blob store of a project (its central directory's objects/ folder): byte-exact copies of
// checkpointed files, each named by the 64 lowercase hexadecimal characters of its SHA-256, and
// the storage milestones that tell the owner when the store has grown large.
#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <span>
#include <string_view>

#include "error.h"
#include "hash.h"

namespace tallowmere_cli::blob_store {

// The prefix of a copy still being written; such files are never read or counted.
inline constexpr std::string_view temporary_prefix = ".tmp-";

// Copies `source` into `objects_dir` under its hash and yields the hash text and the number of
// bytes read. `objects_dir` is its owner's alone: created 0700 (its parents as the umask has
// them) and narrowed to 0700 when it stands wider; a symbolic link there is followed, and what it
// leads to is left as it is. The copy is written to ".tmp-<uuid>", forced to disk, then renamed
// to its hash name and the folder forced to disk, so a hash name never holds less than the whole
// content after a crash. When a regular file already holds that name the new copy is deleted and
// the existing one kept. Only a regular file is copied, without following a symbolic link, and
// the copy is no more readable than the source. Failures are CoreError::Io for the path
// concerned: for `source` itself when the source cannot be opened or read (anything but a regular
// file: "not a regular file"), for a path in the store when the store fails. A failed copy
// removes its temporary file. Safe against other writers of the same folder, in this process or
// others.
std::expected<tallowmere_core::hash::FileDigest, tallowmere_core::CoreError> store_copy(
    const std::filesystem::path& objects_dir, const std::filesystem::path& source);

// The bytes held in the store: the sizes of the regular files directly in `objects_dir`, leaving
// out temporary copies and anything that is not a regular file (symbolic links not followed).
// 0 when `objects_dir` is not a folder; none when it cannot be listed.
std::optional<std::uint64_t> stored_bytes(const std::filesystem::path& objects_dir);

// The milestone (in whole GiB) to tell the owner about for a store of `total_bytes`: the largest
// of `milestones` that the store has reached and that is above `last_notified`; none when there is
// no such milestone.
std::optional<std::uint64_t> milestone_to_notify(std::uint64_t total_bytes, std::span<const std::uint64_t> milestones,
                                                 std::optional<std::uint64_t> last_notified);

}  // namespace tallowmere_cli::blob_store

#pragma once
// The checkpoint of a batch of saved session files: which of them really changed, and one signed
// session_save entry (with optional blob store copies) for those that did.
#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "error_chain.h"
#include "model.h"
#include "project.h"
#include "signing_key.h"

namespace tallowmere_cli::checkpoint_ops {

// Called just before the content of a file is read; the watch loop takes in the changes reported
// so far, whose writes were made before the read began and so are seen by it.
using BeforeRead = std::function<void()>;

// A read of a file whose result stands: the ledger now records what it read, or already did.
struct FileRead {
  std::filesystem::path file;
  std::chrono::steady_clock::time_point began;  // after the BeforeRead call, before the file was opened
};

// A successful checkpoint: the entry exactly as appended, the changed files it records, in batch
// order, and the reads that answered the batch's files (recorded or left out), in the same order.
// When every file was left out nothing was appended: `files` is empty and `entry` is empty too.
struct CheckpointOutcome {
  tallowmere_core::LedgerEntry entry;
  std::vector<std::filesystem::path> files;
  std::vector<FileRead> reads;
};

// What the change filter found: the changed files in batch order, and the reads that found a
// file's content equal to its newest reference.
struct ChangeFilterResult {
  std::vector<std::filesystem::path> changed;
  std::vector<FileRead> unchanged;
};

// The platform the service runs on, as entries record it: "macos" or "linux".
std::string_view platform_os();

// The files of `batch` whose settled content differs from the newest reference to the same
// project-relative path in `entries` (or that were never referenced, or could not be hashed), in
// batch order. Waits for each file to settle first; never fails.
std::vector<std::filesystem::path> changed_files(const std::vector<std::filesystem::path>& batch,
                                                 const std::filesystem::path& canonical_root,
                                                 const std::vector<tallowmere_core::LedgerEntry>& entries);

// changed_files, telling also when the read of each unchanged file began; `before_read` (when
// set) is called before each file is read.
ChangeFilterResult filter_changes(const std::vector<std::filesystem::path>& batch,
                                  const std::filesystem::path& canonical_root,
                                  const std::vector<tallowmere_core::LedgerEntry>& entries,
                                  const BeforeRead& before_read);

// Records `changed` (non-empty) in one signed entry appended to the project's ledger: each file is
// settled, then hashed, or copied into the blob store when the retention policy keeps copies, and
// read again (settled anew) when its size or modification time changed during the read, until the
// settle time-out runs out. The owner is told when the store passes a storage milestone. A ledger
// tail torn by another writer since loading is repaired, with the start-up warning, under the lock
// of the append. Updates the project's manifest (new head) and configuration (milestone noted),
// but not its in-memory ledger entries: that is the caller's. Settle and repair warnings and the
// storage notice go to the console; `before_read` (when set) is called before each read. A file
// that is not a regular file at its own path (a FIFO, a device, a folder, a symbolic link), is
// gone, or cannot be opened or read is left out with one WARNING line, and the rest is recorded.
// On failure (the blob store's, the append's) nothing is appended; copies already made stay.
Result<CheckpointOutcome> checkpoint_batch(LoadedProject& project, const std::vector<std::filesystem::path>& changed,
                                           const std::string& contributor_id, const tallowmere_core::SigningKey& key,
                                           const BeforeRead& before_read = {});

// Tells the owner, once per milestone, when the blob store has grown past one of the project's
// storage milestones, and records that in config.json. Never fails: a store that cannot be listed
// gives no notice, a configuration that cannot be saved a warning.
void note_storage_milestone(LoadedProject& project);

// "[{timestamp}] SessionSave files=Song.als,Song2.als entry={first 12 hex of the entry hash}"
std::string checkpoint_line(const CheckpointOutcome& outcome);

}  // namespace tallowmere_cli::checkpoint_ops

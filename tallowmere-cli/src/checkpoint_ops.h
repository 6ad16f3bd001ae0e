#pragma once
// The one operation that writes a project's history: the locked, signed append of an entry.
// (The checkpoint of a batch, which builds the entry, is in checkpoint_ops_batch.h; the repair of a
// torn ledger tail, which the append calls for, in checkpoint_ops_tail_repair.h.)
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "error_chain.h"
#include "ledger.h"
#include "model.h"
#include "project.h"
#include "signing_key.h"
#include "timestamp.h"

namespace tallowmere_cli {

// What the caller decides of a new entry; the append fills in the rest.
struct EntryDraft {
  tallowmere_core::EventType event_type = tallowmere_core::EventType::SessionSave;
  std::optional<tallowmere_core::DawContext> daw_context;
  std::vector<tallowmere_core::ContentReference> content_refs;
  std::optional<std::string> notes;
  std::optional<tallowmere_core::KeyRotation> key_rotation;
  std::optional<tallowmere_core::IdentityRecovery> identity_recovery;
};

namespace checkpoint_ops {

// Cuts off a torn last line that the append's reread found, while the append holds the ledger
// lock (so no writer that takes the lock can still be writing that line); an error ends the
// append with that error.
using TornTailRepair = std::function<Status(const tallowmere_core::TrailingIncomplete&)>;

// The refusal of an append to a ledger whose last line is torn, for callers that cannot repair.
inline constexpr std::string_view unrepaired_tail_message =
    "ledger has an unrepaired trailing incomplete line; this should have been handled before appending";

// Under the ledger lock: rereads the ledger, completes the entry (id, position, parent, local
// timestamp), signs it, appends its line (after a line feed of its own when the last entry lacks
// one) and syncs it, then replaces the manifest durably with the new head (`store_manifest_head`). A reread that ends in a
// torn line is refused with `unrepaired_tail_message`, unless `repair_torn_tail` is given: then it
// is called under the lock, and the ledger read again once it has succeeded. A write or sync of
// the line that fails cuts the ledger back to its length before, so that a failed append leaves no
// torn line behind.
// `manifest` is the caller's in-memory copy and receives the new head and sequence once the line is
// on disk. Once the line is synced the entry is returned: a failure of the ledger's close or of the
// manifest's rewrite after that is one WARNING line on standard error, never a failed append. The
// lock is released on every return, before the reread is freed.
Result<tallowmere_core::LedgerEntry> append_locked(const ProjectPaths& paths, tallowmere_core::WorkManifest& manifest,
                                                   const std::string& contributor_id,
                                                   const tallowmere_core::SigningKey& key, EntryDraft draft,
                                                   const TornTailRepair& repair_torn_tail = {});

// Writes `manifest`'s `current_head_hash` and `current_sequence` into `manifest_file`, durably. The
// file is reread as a manifest first and only the values of those two members change in its
// text; every other byte stays as it was, and `manifest` takes the reread's other fields. A file
// that cannot be read, or no longer reads as a manifest, is left as it is and the error says so.
// The caller holds the ledger lock.
Status store_manifest_head(const std::filesystem::path& manifest_file, tallowmere_core::WorkManifest& manifest);

// Under the ledger lock: sets the manifest's head and sequence right when they disagree with the
// ledger (a writer killed between its line and its manifest leaves them behind), through
// `store_manifest_head`. `manifest` follows the ledger afterwards, also on failure.
Status settle_manifest_head(const ProjectPaths& paths, tallowmere_core::WorkManifest& manifest);

// The local timestamp of the entry after one stamped `previous` (none when the ledger is empty):
// `previous` + 1 ms in its own offset when it parses and is not earlier than `now`, so entries
// never share an instant or go back in time when the clock stands still or is set back; else `now`.
tallowmere_core::timestamp::Timestamp next_local_timestamp(std::optional<std::string_view> previous,
                                                           const tallowmere_core::timestamp::Timestamp& now);

// The file's path relative to the project folder (both canonicalised when possible), as UTF-8
// text; the file path as given when it does not lie inside the folder.
std::string local_path_for(const std::filesystem::path& project_folder, const std::filesystem::path& file);

}  // namespace checkpoint_ops
}  // namespace tallowmere_cli

#include "checkpoint_ops.h"

#include <array>
#include <cerrno>
#include <chrono>
#include <system_error>

#include <fcntl.h>
#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include "durable_file.h"
#include "entry_builder.h"
#include "json/document.h"
#include "ledger.h"
#include "record_file.h"
#include "console.h"
#include "posix.h"
#include "posix.h"
#include "text.h"
#include "unique_fd.h"
#include "uuid.h"

namespace tallowmere_cli::checkpoint_ops {
namespace {

namespace fs = std::filesystem;
namespace timestamp = tallowmere_core::timestamp;
using tallowmere_core::CoreError;
using tallowmere_core::UniqueFd;
using tallowmere_core::posix::retry_on_eintr;
using tallowmere_core::text::display;

template <class T>
using CoreResult = std::expected<T, CoreError>;

// Appends `line` and its line feed to the ledger in one open, then forces both to disk. Once the
// sync has succeeded the line stands: a failing close after it comes back as the value, not as a
// failure, since the entry is in the ledger whatever the close says.
//
// A writer stopped between the line and its line feed leaves a last entry that reads as whole but
// has no line end; appending straight after it would put two entries on one line and make the
// ledger unreadable from there on. So a missing final line feed is written first. Callers hold the
// ledger lock and have refused a torn last line, so the last byte here ends a complete entry.
CoreResult<std::optional<CoreError>> append_line(const fs::path& ledger_file, std::string_view line) {
  const auto fail = [&ledger_file](int error_number) {
    return std::unexpected(CoreError::io(ledger_file, error_number));
  };
  // Read access only for peeking at the last byte; O_APPEND still puts every write at the end.
  auto opened = tallowmere_core::posix::open_regular_file(ledger_file, O_RDWR | O_APPEND | O_CREAT, 0666);
  if (!opened) return std::unexpected(CoreError::io(ledger_file, std::move(opened).error()));
  UniqueFd fd = std::move(opened->fd);
  const auto length_before = static_cast<off_t>(opened->size);

  // A write that fails part way (a full disk, a file size limit) leaves a torn last line, and a
  // torn line under the lock makes every later append refuse until the watcher restarts. Cutting
  // the ledger back to its length before this append leaves it exactly as it was; the lock keeps
  // every other writer away meanwhile. Should the cut fail too, the error still goes back.
  const auto undo = [&](CoreResult<void> failure) -> CoreResult<std::optional<CoreError>> {
    if (tallowmere_core::posix::retry_on_eintr([&] { return ::ftruncate(fd.get(), length_before); }) == 0) {
      (void)tallowmere_core::posix::full_sync(fd.get(), ledger_file);
    }
    return std::unexpected(std::move(failure.error()));
  };

  if (length_before > 0) {
    char last = '\n';
    const ssize_t n = retry_on_eintr([&] { return ::pread(fd.get(), &last, 1, length_before - 1); });
    if (n < 0) return fail(errno);
    if (n == 1 && last != '\n') {
      if (auto written = tallowmere_core::posix::write_all(fd.get(), "\n", ledger_file); !written) {
        return undo(written);
      }
    }
  }

  if (auto written = tallowmere_core::posix::write_all(fd.get(), line, ledger_file); !written) return undo(written);
  if (auto written = tallowmere_core::posix::write_all(fd.get(), "\n", ledger_file); !written) return undo(written);
  if (auto synced = tallowmere_core::posix::full_sync(fd.get(), ledger_file); !synced) return undo(synced);
  if (const int error = fd.close(); error != 0) return std::optional<CoreError>(CoreError::io(ledger_file, error));
  return std::optional<CoreError>();
}

tallowmere_core::LedgerEntry complete_entry(EntryDraft draft, std::string entry_id, const std::string& contributor_id,
                                            const tallowmere_core::LedgerReadResult& ledger,
                                            std::string timestamp_local) {
  tallowmere_core::LedgerEntry entry;
  entry.entry_id = std::move(entry_id);
  entry.contributor_id = contributor_id;
  entry.causal_position = ledger.entries.size();
  if (!ledger.entries.empty()) entry.parent_entry_hashes.push_back(ledger.entries.back().entry_hash);
  entry.timestamp_local = std::move(timestamp_local);
  entry.event_type = draft.event_type;
  entry.daw_context = std::move(draft.daw_context);
  entry.content_refs = std::move(draft.content_refs);
  entry.notes = std::move(draft.notes);
  entry.key_rotation = std::move(draft.key_rotation);
  entry.identity_recovery = std::move(draft.identity_recovery);
  return entry;
}

}  // namespace

timestamp::Timestamp next_local_timestamp(std::optional<std::string_view> previous, const timestamp::Timestamp& now) {
  if (previous) {
    if (auto last = timestamp::parse_rfc3339(*previous); last && !(last->instant < now.instant)) {
      return last->plus(std::chrono::milliseconds(1));
    }
  }
  return now;
}

namespace {

using ManifestReread = tallowmere_core::record_file::Reread<tallowmere_core::WorkManifest>;

std::expected<ManifestReread, CoreError> reread_manifest(const fs::path& manifest_file) {
  using tallowmere_core::core_error::MalformedManifest;
  return tallowmere_core::record_file::reread<tallowmere_core::WorkManifest, MalformedManifest>(manifest_file);
}

// The manifest's text with the head and the sequence of `manifest` in place of its own.
Result<std::string> with_head(const ManifestReread& on_disk, const tallowmere_core::WorkManifest& manifest) {
  using tallowmere_core::WorkManifest;
  namespace record_file = tallowmere_core::record_file;
  static constexpr std::array head_path{record_file::step<WorkManifest>("current_head_hash")};
  static constexpr std::array sequence_path{record_file::step<WorkManifest>("current_sequence")};
  auto head = record_file::value_text(manifest.current_head_hash);
  if (!head) return std::unexpected(ErrorChain(head.error()));
  auto text = record_file::with_member(on_disk.text, head_path, *head);
  if (text) text = record_file::with_member(*text, sequence_path, std::to_string(manifest.current_sequence));
  if (!text) return std::unexpected(ErrorChain(std::move(text.error())));
  return std::move(*text);
}

}  // namespace

Status store_manifest_head(const fs::path& manifest_file, tallowmere_core::WorkManifest& manifest) {
  const std::string update_context = fmt::format("failed to update {}", display(manifest_file));
  // Only the two members change, in the file as it stands now: what the companion tool wrote
  // since the watcher loaded the project (a new contributor, a title, keys and values this record
  // does not know) stays byte for byte. A file that does not read as a manifest is not touched:
  // the ledger holds the entry, and watching sets the head right when it next starts.
  constexpr std::string_view left_alone =
      "so it was left as it is (the ledger holds the entry; the manifest is set right when watching next starts)";
  auto on_disk = reread_manifest(manifest_file);
  if (!on_disk) {
    if (!on_disk.error().is<tallowmere_core::core_error::MalformedManifest>()) {
      return std::unexpected(ErrorChain(on_disk.error()).context(update_context));
    }
    return std::unexpected(ErrorChain(on_disk.error())
                               .context(fmt::format("it no longer reads as a manifest, {}", left_alone))
                               .context(update_context));
  }
  auto text = with_head(*on_disk, manifest);
  if (!text) {
    return std::unexpected(std::move(text.error())
                               .context(fmt::format("its head cannot be set in place, {}", left_alone))
                               .context(update_context));
  }
  on_disk->record.current_head_hash = std::move(manifest.current_head_hash);
  on_disk->record.current_sequence = manifest.current_sequence;
  manifest = std::move(on_disk->record);
  // Replaced through a synced temporary file: rewriting it in place would leave an empty or partial
  // manifest after a crash or a full disk, and the project would no longer load.
  if (auto written = tallowmere_core::durable_file::write_file_durably(manifest_file, *text); !written) {
    return std::unexpected(ErrorChain(written.error()).context(update_context));
  }
  return {};
}

Status settle_manifest_head(const ProjectPaths& paths, tallowmere_core::WorkManifest& manifest) {
  const std::string ledger_text = display(paths.ledger_file);
  auto lock = tallowmere_core::LedgerLock::acquire(paths.ledger_file);
  if (!lock) {
    return std::unexpected(ErrorChain(lock.error())
                               .context(fmt::format("failed to acquire the ledger lock for {} (another tallowmere "
                                                    "process may be checkpointing this project)",
                                                    ledger_text)));
  }
  auto ledger = tallowmere_core::ledger::read_ledger(paths.ledger_file);
  if (!ledger) return std::unexpected(ErrorChain(ledger.error()).context(fmt::format("failed to read {}", ledger_text)));
  // A torn tail is the repair's business; the manifest follows the entries that stand.
  std::optional<std::string> head;
  if (!ledger->entries.empty()) head = ledger->entries.back().entry_hash;
  const std::uint64_t sequence = ledger->entries.size();

  // Judged by the file as it stands now, not by the copy loaded earlier.
  if (auto on_disk = reread_manifest(paths.manifest_file);
      on_disk && on_disk->record.current_head_hash == head && on_disk->record.current_sequence == sequence) {
    manifest.current_head_hash = std::move(head);
    manifest.current_sequence = sequence;
    return {};
  }
  manifest.current_head_hash = std::move(head);
  manifest.current_sequence = sequence;
  return store_manifest_head(paths.manifest_file, manifest);
}

Result<tallowmere_core::LedgerEntry> append_locked(const ProjectPaths& paths, tallowmere_core::WorkManifest& manifest,
                                                   const std::string& contributor_id,
                                                   const tallowmere_core::SigningKey& key, EntryDraft draft,
                                                   const TornTailRepair& repair_torn_tail) {
  const std::string ledger_text = display(paths.ledger_file);
  const std::string read_context = fmt::format("failed to read {}", ledger_text);

  // Declared before the lock so that it outlives it: freeing the reread of a long history takes
  // milliseconds, which other writers waiting for the lock need not spend.
  tallowmere_core::LedgerReadResult reread;

  auto lock = tallowmere_core::LedgerLock::acquire(paths.ledger_file);
  if (!lock) {
    return std::unexpected(ErrorChain(lock.error())
                               .context(fmt::format("failed to acquire the ledger lock for {} (another tallowmere "
                                                    "process may be checkpointing this project)",
                                                    ledger_text)));
  }

  // Only the reread under the lock says where the ledger stands; the caller's copy may be stale.
  if (auto ledger = tallowmere_core::ledger::read_ledger(paths.ledger_file); ledger) {
    reread = std::move(*ledger);
  } else {
    return std::unexpected(ErrorChain(ledger.error()).context(read_context));
  }
  if (reread.trailing_incomplete && repair_torn_tail) {
    if (auto repaired = repair_torn_tail(*reread.trailing_incomplete); !repaired) {
      return std::unexpected(std::move(repaired.error()));
    }
    if (auto ledger = tallowmere_core::ledger::read_ledger(paths.ledger_file); ledger) {
      reread = std::move(*ledger);
    } else {
      return std::unexpected(ErrorChain(ledger.error()).context(read_context));
    }
  }
  if (reread.trailing_incomplete) return std::unexpected(ErrorChain(std::string(unrepaired_tail_message)));

  auto entry_id = tallowmere_core::uuid::new_v4();
  if (!entry_id) {
    return std::unexpected(
        ErrorChain(entry_id.error().message()).context("failed to make an identifier for the new ledger entry"));
  }

  std::optional<std::string_view> previous;
  if (!reread.entries.empty()) previous = reread.entries.back().timestamp_local;
  const auto stamp = next_local_timestamp(previous, timestamp::now_local());

  tallowmere_core::LedgerEntry entry = complete_entry(std::move(draft), std::move(*entry_id), contributor_id, reread,
                                                      timestamp::format_rfc3339(stamp));
  if (auto signed_entry = tallowmere_core::entry_builder::sign_entry(entry, key); !signed_entry) {
    return std::unexpected(ErrorChain(signed_entry.error()).context("failed to sign ledger entry"));
  }

  const std::string append_context = fmt::format("failed to append to {}", ledger_text);
  auto line = tallowmere_core::model::write_entry_line(entry);
  if (!line) {
    return std::unexpected(
        ErrorChain(CoreError(tallowmere_core::core_error::Serialize{line.error()})).context(append_context));
  }
  auto appended = append_line(paths.ledger_file, *line);
  if (!appended) return std::unexpected(ErrorChain(appended.error()).context(append_context));

  // From here on the entry is in the ledger and on disk: whatever fails now is reported, and the
  // checkpoint stands. Failing it would leave the entry out of the caller's history, and the
  // same save would then be appended a second time.
  if (appended->has_value()) {
    console::err(fmt::format("WARNING: checkpoint recorded in {}, but closing the ledger failed: {}", ledger_text,
                             (*appended)->message()));
  }
  manifest.current_head_hash = entry.entry_hash;
  manifest.current_sequence = entry.causal_position + 1;
  if (auto stored = store_manifest_head(paths.manifest_file, manifest); !stored) {
    console::err(fmt::format("WARNING: checkpoint recorded in {}, but {}", ledger_text, stored.error().one_line()));
  }
  return entry;
}

namespace {

// The path's components as a comparison of whole components sees them: empty names (a trailing
// separator) and "." after the first component carry no meaning and are left out.
std::vector<fs::path> components_of(const fs::path& path) {
  std::vector<fs::path> components;
  for (const auto& component : path) {
    if (component.empty()) continue;
    if (component == "." && !components.empty()) continue;
    components.push_back(component);
  }
  return components;
}

fs::path canonical_or_as_given(const fs::path& path) {
  std::error_code error;
  fs::path resolved = fs::canonical(path, error);
  return error ? path : resolved;
}

}  // namespace

std::string local_path_for(const fs::path& project_folder, const fs::path& file) {
  const auto folder_components = components_of(canonical_or_as_given(project_folder));
  const auto file_components = components_of(canonical_or_as_given(file));

  const bool inside = folder_components.size() <= file_components.size() &&
                      std::equal(folder_components.begin(), folder_components.end(), file_components.begin());
  if (!inside) return tallowmere_core::text::lossy_utf8(file.native());

  fs::path remainder;
  for (auto it = file_components.begin() + static_cast<std::ptrdiff_t>(folder_components.size());
       it != file_components.end(); ++it) {
    remainder /= *it;
  }
  return tallowmere_core::text::lossy_utf8(remainder.native());
}

}  // namespace tallowmere_cli::checkpoint_ops

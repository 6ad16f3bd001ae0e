#include "checkpoint_ops_batch.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <utility>

#include <fmt/format.h>

#include "blob_store.h"
#include "checkpoint_ops.h"
#include "checkpoint_ops_tail_repair.h"
#include "console.h"
#include "daw.h"
#include "hash.h"
#include "record_file.h"
#include "posix.h"
#include "text.h"
#include "uuid.h"

namespace tallowmere_cli::checkpoint_ops {

namespace fs = std::filesystem;
namespace daw = tallowmere_core::daw;
using tallowmere_core::ContentReference;
using tallowmere_core::CoreError;
using tallowmere_core::LedgerEntry;
using ReadClock = std::chrono::steady_clock;
using tallowmere_core::text::display;

namespace {

// The settle warnings never stop a checkpoint: a file still being written is recorded all the
// same, and the owner is told so that a suspicious entry can be checked.
void warn_unchecked(const fs::path& file, const CoreError& error) {
  console::err(
      fmt::format("WARNING: failed to check whether {} is still being written: {}", display(file), error.message()));
}

void warn_still_changing(const fs::path& file) {
  console::err(fmt::format("WARNING: {} was still changing when checkpointed (may have been captured mid-write); "
                           "if this checkpoint looks wrong, check the file and checkpoint again",
                           display(file)));
}

using tallowmere_core::posix::probe;

// Why the content of a file was not taken. A failure of the file itself (gone, not a regular
// file, unreadable) leaves that file out of its batch; any other (the blob store's) fails the batch.
struct ReadFailure {
  ErrorChain chain;
  bool file_itself;
};

// The context of a failed read, as the batch's error chain names it.
std::string read_context(const LoadedProject& project, const fs::path& file) {
  if (project.config.retention_policy.store_blobs) return fmt::format("failed to store a copy of {}", display(file));
  return fmt::format("failed to hash {}", display(file));
}

std::expected<tallowmere_core::hash::FileDigest, ReadFailure> read_content(const LoadedProject& project,
                                                                           const fs::path& file) {
  if (project.config.retention_policy.store_blobs) {
    auto copied = blob_store::store_copy(project.paths.objects_dir, file);
    if (!copied) {
      const auto* io = copied.error().get<tallowmere_core::core_error::Io>();
      return std::unexpected(ReadFailure{ErrorChain(copied.error()).context(read_context(project, file)),
                                         io != nullptr && io->path == file});
    }
    return std::move(*copied);
  }
  auto hashed = tallowmere_core::hash::hash_file_streaming(file);
  if (!hashed) return std::unexpected(ReadFailure{ErrorChain(hashed.error()).context(read_context(project, file)), true});
  return std::move(*hashed);
}

// A session file is read only when a regular file stands at its path itself: a FIFO would block
// the read, a link to a device would never end it, and a link to a private file would put its
// content in the store. Checked before the settle wait, which follows links.
std::expected<void, ReadFailure> check_regular(const LoadedProject& project, const fs::path& file) {
  auto checked = tallowmere_core::posix::check_regular_file(file);
  if (checked) return {};
  return std::unexpected(
      ReadFailure{ErrorChain(CoreError::io(file, std::move(checked).error())).context(read_context(project, file)), true});
}

void warn_left_out(const fs::path& file, const ErrorChain& chain) {
  console::err(fmt::format("WARNING: {} left out of the checkpoint: {}", display(file), chain.one_line()));
}

struct ReadContent {
  tallowmere_core::hash::FileDigest digest;
  ReadClock::time_point began;
};

std::expected<ReadContent, ReadFailure> read_once(const LoadedProject& project, const fs::path& file,
                                                  const BeforeRead& before_read) {
  if (before_read) before_read();
  const auto began = ReadClock::now();
  auto digest = read_content(project, file);
  if (!digest) return std::unexpected(std::move(digest.error()));
  return ReadContent{std::move(*digest), began};
}

// The content to record for a changed file. A file modified long enough ago counts as settled at
// once, so an in-place save (truncate, then writes) that begins just then would be recorded half
// written: the probe is taken again after the read, and a file that changed meanwhile is settled
// and read anew, all within the one settle time-out. The probe before each wait guards the wait's
// verdict too: it judged the file up to its last probe, and a save beginning right after that
// shows as a difference between the probes on either side of the wait.
std::expected<ReadContent, ReadFailure> read_settled(const LoadedProject& project, const fs::path& file,
                                                     const BeforeRead& before_read) {
  const auto& settle = tallowmere_core::hash::checkpoint_stable_options;
  const auto limit = ReadClock::now() + settle.timeout;
  const auto read_unchecked = [&](const CoreError& error) {
    warn_unchecked(file, error);
    return read_once(project, file, before_read);
  };

  auto before = probe(file);
  if (!before) return read_unchecked(before.error());
  for (;;) {
    tallowmere_core::hash::StableOptions options = settle;
    options.timeout = std::max<std::chrono::nanoseconds>(limit - ReadClock::now(), std::chrono::nanoseconds::zero());
    auto still_changing = tallowmere_core::hash::wait_for_file_stable(file, options);
    if (!still_changing) return read_unchecked(still_changing.error());
    if (*still_changing) {
      warn_still_changing(file);
      return read_once(project, file, before_read);
    }
    auto settled = probe(file);
    if (!settled) return read_unchecked(settled.error());
    if (*settled != *before) {
      before = std::move(settled);
      continue;
    }

    auto content = read_once(project, file, before_read);
    if (!content) return content;
    auto after = probe(file);
    if (!after) {
      warn_unchecked(file, after.error());
      return content;
    }
    if (*after == *settled) return content;
    if (ReadClock::now() >= limit) {
      warn_still_changing(file);
      return content;
    }
    before = std::move(after);
  }
}

}  // namespace

std::string_view platform_os() { return tallowmere_core::posix::os_name(); }

std::vector<fs::path> changed_files(const std::vector<fs::path>& batch, const fs::path& canonical_root,
                                    const std::vector<LedgerEntry>& entries) {
  return filter_changes(batch, canonical_root, entries, {}).changed;
}

// The read here is not checked again afterwards: its result is never recorded. A read caught
// mid-write can only call the file changed, and the checkpoint's own checked read then decides
// what is recorded; or find the newest reference's content, and then the writes still under way
// finish after the read began, so their own notifications bring the file back in a later batch.
ChangeFilterResult filter_changes(const std::vector<fs::path>& batch, const fs::path& canonical_root,
                                  const std::vector<LedgerEntry>& entries, const BeforeRead& before_read) {
  ChangeFilterResult result;
  for (const fs::path& file : batch) {
    // Settled, still changing or unreadable: the hash below decides either way.
    (void)tallowmere_core::hash::wait_for_file_stable(file, tallowmere_core::hash::checkpoint_stable_options);
    const std::string local_path = local_path_for(canonical_root, file);
    if (before_read) before_read();
    const auto began = ReadClock::now();
    auto digest = tallowmere_core::hash::hash_file_streaming(file);
    if (!digest) {
      // Read again when it is checkpointed, where the failure is reported.
      result.changed.push_back(file);
      continue;
    }
    const ContentReference* newest = nullptr;
    for (auto entry = entries.rbegin(); entry != entries.rend() && !newest; ++entry) {
      for (const ContentReference& ref : entry->content_refs) {
        if (ref.storage.local_path == local_path) {
          newest = &ref;
          break;
        }
      }
    }
    if (!newest || newest->sha256_hash != digest->sha256_hex) {
      result.changed.push_back(file);
    } else {
      result.unchanged.push_back(FileRead{file, began});
    }
  }
  return result;
}

Result<CheckpointOutcome> checkpoint_batch(LoadedProject& project, const std::vector<fs::path>& changed,
                                           const std::string& contributor_id, const tallowmere_core::SigningKey& key,
                                           const BeforeRead& before_read) {
  const bool store_blobs = project.config.retention_policy.store_blobs;
  std::vector<ContentReference> refs;
  refs.reserve(changed.size());
  std::vector<FileRead> reads;
  reads.reserve(changed.size());
  std::vector<fs::path> recorded;
  recorded.reserve(changed.size());
  for (const fs::path& file : changed) {
    auto checked = check_regular(project, file);
    auto content = checked ? read_settled(project, file, before_read)
                           : std::expected<ReadContent, ReadFailure>(std::unexpect, std::move(checked.error()));
    if (!content) {
      if (!content.error().file_itself) return std::unexpected(std::move(content.error().chain));
      // The read counts as done: the notifications that brought this file in are answered.
      warn_left_out(file, content.error().chain);
      reads.push_back(FileRead{file, ReadClock::now()});
      continue;
    }
    auto ref_id = tallowmere_core::uuid::new_v4();
    if (!ref_id) {
      return std::unexpected(ErrorChain(ref_id.error().message())
                                 .context(fmt::format("failed to make a content reference for {}", display(file))));
    }
    refs.push_back(ContentReference{
        .ref_id = std::move(*ref_id),
        .content_type = daw::classify(file),
        .sha256_hash = std::move(content->digest.sha256_hex),
        .perceptual_fingerprint = std::nullopt,
        .byte_size = content->digest.byte_count,
        .storage = {.location = store_blobs ? "blob_store" : "local_only",
                    .local_path = local_path_for(project.paths.root, file),
                    .encrypted = false},
    });
    reads.push_back(FileRead{file, content->began});
    recorded.push_back(file);
  }
  if (refs.empty()) return CheckpointOutcome{{}, {}, std::move(reads)};

  EntryDraft draft;
  draft.event_type = tallowmere_core::EventType::SessionSave;
  draft.daw_context = tallowmere_core::DawContext{daw::choose_daw_name(refs), std::string(platform_os())};
  draft.content_refs = std::move(refs);
  // Another appender (the companion tool) that dies mid-line while this watcher runs leaves a torn
  // tail that the start-up repair never sees; it is repaired the same way, under the append's lock.
  const auto repair = [&paths = project.paths](const tallowmere_core::TrailingIncomplete& torn) {
    return repair_ledger_tail_under_lock(paths, torn);
  };
  auto entry = append_locked(project.paths, project.manifest, contributor_id, key, std::move(draft), repair);
  if (!entry) return std::unexpected(std::move(entry.error()));

  if (store_blobs) note_storage_milestone(project);
  return CheckpointOutcome{std::move(*entry), std::move(recorded), std::move(reads)};
}

namespace {

// Records the notified milestone in config.json as it stands now: only the value of
// `last_notified_milestone_gb` changes in its text, so what the owner changed since the project
// was loaded (copies turned off, purge settings, keys of other tools) stays byte for byte, and the
// watcher's own copy stays as loaded. A file that no longer reads as a configuration is left as
// it is. The error is the warning's text.
std::expected<void, std::string> record_milestone(const fs::path& config_file, std::uint64_t milestone) {
  using tallowmere_core::ProjectConfig;
  using tallowmere_core::RetentionPolicy;
  namespace record_file = tallowmere_core::record_file;
  static constexpr std::array path{record_file::step<ProjectConfig>("retention_policy"),
                                   record_file::step<RetentionPolicy>("last_notified_milestone_gb")};
  auto on_disk = record_file::reread<ProjectConfig, tallowmere_core::core_error::MalformedConfig>(config_file);
  if (!on_disk) {
    if (!on_disk.error().is<tallowmere_core::core_error::MalformedConfig>()) {
      return std::unexpected(on_disk.error().message());
    }
    return std::unexpected(fmt::format("it no longer reads as a configuration, so it was left as it is: {}",
                                       on_disk.error().message()));
  }
  auto text = record_file::with_member(on_disk->text, path, std::to_string(milestone));
  if (!text) return std::unexpected(fmt::format("{} was left as it is: {}", display(config_file), text.error()));
  if (auto written = tallowmere_core::durable_file::write_file_durably(config_file, *text); !written) {
    return std::unexpected(written.error().message());
  }
  return {};
}

}  // namespace

void note_storage_milestone(LoadedProject& project) {
  const auto total = blob_store::stored_bytes(project.paths.objects_dir);
  if (!total) return;
  auto& retention = project.config.retention_policy;
  const auto milestone =
      blob_store::milestone_to_notify(*total, retention.storage_milestones_gb, retention.last_notified_milestone_gb);
  if (!milestone) return;
  console::out(fmt::format("NOTE: this project's saved-file storage has passed {} GB. Run `tallowmere retention` to "
                           "review or adjust what's kept.",
                           *milestone));
  // Kept in memory even when it cannot be saved, so this watcher does not repeat the notice.
  retention.last_notified_milestone_gb = *milestone;
  if (auto saved = record_milestone(project.paths.config_file, *milestone); !saved) {
    console::err(fmt::format("WARNING: failed to record the storage milestone notice: {}", saved.error()));
  }
}

std::string checkpoint_line(const CheckpointOutcome& outcome) {
  std::string names;
  for (std::size_t i = 0; i < outcome.files.size(); ++i) {
    if (i > 0) names.push_back(',');
    const fs::path name = outcome.files[i].filename();
    if (name != "." && name != "..") names += display(name);
  }
  const LedgerEntry& entry = outcome.entry;
  return fmt::format("[{}] {} files={} entry={}", entry.timestamp_local,
                     tallowmere_core::event_type_name(entry.event_type), names,
                     std::string_view(entry.entry_hash).substr(0, 12));
}

}  // namespace tallowmere_cli::checkpoint_ops

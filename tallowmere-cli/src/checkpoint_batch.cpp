#include "checkpoint_batch.h"

#include <array>
#include <span>
#include <utility>

#include <fmt/format.h>

#include "blob_store.h"
#include "checkpoint_ops.h"
#include "config.h"
#include "console.h"
#include "daw.h"
#include "hash.h"
#include "text.h"
#include "uuid.h"

namespace tallowmere_cli::checkpoint_ops {

namespace fs = std::filesystem;
using tallowmere_core::ContentReference;
using tallowmere_core::ContentType;
using tallowmere_core::LedgerEntry;
using tallowmere_core::text::display;

namespace {

constexpr char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string lower_ascii(std::string_view text) {
  std::string lowered(text);
  for (char& c : lowered) c = ascii_lower(c);
  return lowered;
}

constexpr std::array<std::string_view, 7> audio_bounce_extensions{"wav", "aif", "aiff", "mp3", "m4a", "ogg", "flac"};
constexpr std::array<std::string_view, 2> midi_extensions{"mid", "midi"};

bool is_one_of(std::string_view extension, std::span<const std::string_view> extensions) {
  for (const std::string_view known : extensions)
    if (extension == known) return true;
  return false;
}

// The settle warnings never stop a checkpoint: a file still being written is recorded all the
// same, and the owner is told so that a suspicious entry can be checked.
void settle_before_checkpoint(const fs::path& file) {
  auto still_changing = tallowmere_core::hash::wait_for_file_stable(file, tallowmere_core::hash::checkpoint_stable_options);
  if (!still_changing) {
    console::err(fmt::format("WARNING: failed to check whether {} is still being written: {}", display(file),
                             still_changing.error().message()));
  } else if (*still_changing) {
    console::err(fmt::format("WARNING: {} was still changing when checkpointed (may have been captured mid-write); "
                             "if this checkpoint looks wrong, check the file and checkpoint again",
                             display(file)));
  }
}

Result<tallowmere_core::hash::FileDigest> read_content(const LoadedProject& project, const fs::path& file) {
  if (project.config.retention_policy.store_blobs) {
    auto copied = blob_store::store_copy(project.paths.objects_dir, file);
    if (!copied) return std::unexpected(ErrorChain(copied.error()).context(fmt::format("failed to store a copy of {}", display(file))));
    return std::move(*copied);
  }
  auto hashed = tallowmere_core::hash::hash_file_streaming(file);
  if (!hashed) return std::unexpected(ErrorChain(hashed.error()).context(fmt::format("failed to hash {}", display(file))));
  return std::move(*hashed);
}

}  // namespace

std::string_view platform_os() {
#ifdef __APPLE__
  return "macos";
#else
  return "linux";
#endif
}

std::optional<std::string> file_extension(const fs::path& file) {
  const std::string name = file.filename().native();
  if (name.empty() || name == "." || name == "..") return std::nullopt;
  const auto dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0) return std::nullopt;
  std::string extension = name.substr(dot + 1);
  if (!tallowmere_core::text::is_valid_utf8(extension)) return std::nullopt;
  return extension;
}

ContentType classify(const fs::path& file) {
  const std::string extension = lower_ascii(file_extension(file).value_or(""));
  if (tallowmere_core::daw::guess_daw_name(extension)) return ContentType::DawSession;
  if (is_one_of(extension, audio_bounce_extensions)) return ContentType::AudioBounce;
  if (is_one_of(extension, midi_extensions)) return ContentType::Midi;
  return ContentType::Other;
}

std::optional<std::string> choose_daw_name(const std::vector<ContentReference>& refs) {
  for (const ContentReference& ref : refs) {
    if (ref.content_type != ContentType::DawSession) continue;
    const auto extension = file_extension(fs::path(ref.storage.local_path));
    if (!extension) continue;
    if (const auto name = tallowmere_core::daw::guess_daw_name(*extension)) return std::string(*name);
  }
  return std::nullopt;
}

std::vector<fs::path> changed_files(const std::vector<fs::path>& batch, const fs::path& canonical_root,
                                    const std::vector<LedgerEntry>& entries) {
  std::vector<fs::path> changed;
  for (const fs::path& file : batch) {
    // Settled, still changing or unreadable: the hash below decides either way.
    (void)tallowmere_core::hash::wait_for_file_stable(file, tallowmere_core::hash::checkpoint_stable_options);
    const std::string local_path = local_path_for(canonical_root, file);
    auto digest = tallowmere_core::hash::hash_file_streaming(file);
    if (!digest) {
      // Read again when it is checkpointed, where the failure is reported.
      changed.push_back(file);
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
    if (!newest || newest->sha256_hash != digest->sha256_hex) changed.push_back(file);
  }
  return changed;
}

Result<CheckpointOutcome> checkpoint_batch(LoadedProject& project, const std::vector<fs::path>& changed,
                                           const std::string& contributor_id, const tallowmere_core::SigningKey& key) {
  const bool store_blobs = project.config.retention_policy.store_blobs;
  std::vector<ContentReference> refs;
  refs.reserve(changed.size());
  for (const fs::path& file : changed) {
    settle_before_checkpoint(file);
    auto content = read_content(project, file);
    if (!content) return std::unexpected(std::move(content.error()));
    auto ref_id = tallowmere_core::uuid::new_v4();
    if (!ref_id) {
      return std::unexpected(ErrorChain(ref_id.error().message())
                                 .context(fmt::format("failed to make a content reference for {}", display(file))));
    }
    refs.push_back(ContentReference{
        .ref_id = std::move(*ref_id),
        .content_type = classify(file),
        .sha256_hash = std::move(content->sha256_hex),
        .perceptual_fingerprint = std::nullopt,
        .byte_size = content->byte_count,
        .storage = {.location = store_blobs ? "blob_store" : "local_only",
                    .local_path = local_path_for(project.paths.root, file),
                    .encrypted = false},
    });
  }

  EntryDraft draft;
  draft.event_type = tallowmere_core::EventType::SessionSave;
  draft.daw_context = tallowmere_core::DawContext{choose_daw_name(refs), std::string(platform_os())};
  draft.content_refs = std::move(refs);
  auto entry = append_locked(project.paths, project.manifest, contributor_id, key, std::move(draft));
  if (!entry) return std::unexpected(std::move(entry.error()));

  if (store_blobs) note_storage_milestone(project);
  return CheckpointOutcome{std::move(*entry), changed};
}

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
  if (auto saved = tallowmere_core::config::save_config(project.paths.config_file, project.config); !saved) {
    console::err(fmt::format("WARNING: failed to record the storage milestone notice: {}", saved.error().message()));
  }
}

std::string checkpoint_line(const CheckpointOutcome& outcome) {
  std::string names;
  for (std::size_t i = 0; i < outcome.files.size(); ++i) {
    if (i > 0) names.push_back(',');
    const fs::path name = outcome.files[i].filename();
    if (name != "." && name != "..") names += tallowmere_core::text::lossy_utf8(name.native());
  }
  const LedgerEntry& entry = outcome.entry;
  return fmt::format("[{}] {} files={} entry={}", entry.timestamp_local,
                     tallowmere_core::event_type_name(entry.event_type), names,
                     std::string_view(entry.entry_hash).substr(0, 12));
}

}  // namespace tallowmere_cli::checkpoint_ops

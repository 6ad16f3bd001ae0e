#pragma once
// The project data model: the records of a ledger line, the manifest and the configuration, each
// described once for the strict reader and the writers.
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "json/record.h"

namespace tallowmere_core {

enum class ContentType { DawSession, AudioBounce, Midi, Stem, Other };

struct ContentStorage {
  std::string location;  // "local_only" or "blob_store" as written here; any text when read
  std::string local_path;
  bool encrypted = false;
};

struct ContentReference {
  std::string ref_id;
  ContentType content_type = ContentType::Other;
  std::string sha256_hash;
  std::optional<std::string> perceptual_fingerprint;
  std::uint64_t byte_size = 0;
  ContentStorage storage;
};

enum class EventType { SessionSave, BounceExport, ManualCheckpoint, ConfigChange, KeyRotation, IdentityRecovery };

// The name the console shows ("SessionSave"); the JSON string is json::enum_text.
std::string_view event_type_name(EventType type);

struct DawContext {
  std::optional<std::string> daw_name;
  std::string os;
};

struct TrustedTimestamp {
  std::string method;
  std::string tsa_url;
  std::string token;
  std::string timestamp;
};

struct KeyRotation {
  std::string new_contributor_id;
};

struct IdentityRecovery {
  std::vector<std::string> unrecoverable_contributor_ids;
};

// The rarely present members are boxed: inline, the trusted timestamp alone would add 128 bytes
// to every entry, and a ledger read fills memory with entries by the hundred thousand.
struct LedgerEntry {
  std::string entry_id;
  std::string contributor_id;
  std::uint64_t causal_position = 0;
  std::vector<std::string> parent_entry_hashes;
  std::string timestamp_local;
  BoxedOptional<TrustedTimestamp> timestamp_trusted;
  EventType event_type = EventType::SessionSave;
  std::optional<DawContext> daw_context;
  std::vector<ContentReference> content_refs;
  std::optional<std::string> notes;
  std::string entry_hash;
  std::string signature;
  BoxedOptional<KeyRotation> key_rotation;
  BoxedOptional<IdentityRecovery> identity_recovery;
};

struct Contributor {
  std::string contributor_id;
  std::string display_name;
  std::string public_key;
  std::string key_created_at;
  std::optional<std::string> device_label;
  std::optional<std::string> key_backed_up_at;
};

struct WorkManifest {
  std::string schema_version;
  std::string work_id;
  std::optional<std::string> title;
  std::string created_at;
  std::vector<Contributor> contributors;
  std::optional<std::string> current_head_hash;
  std::uint64_t current_sequence = 0;
};

struct CheckpointPolicy {
  std::string mode;
  std::vector<std::string> event_triggers;
  std::optional<std::uint32_t> collapse_window_minutes;
};

struct RetentionPolicy {
  bool store_blobs = false;
  std::optional<std::uint32_t> purge_blobs_older_than_days;
  std::optional<std::uint32_t> always_keep_latest_versions;
  std::vector<std::uint64_t> storage_milestones_gb{10, 20, 40, 60, 80, 100};
  std::optional<std::uint64_t> last_notified_milestone_gb;
};

struct VerificationHistory {
  std::optional<std::string> last_verified_at;
  std::optional<bool> last_verified_ok;
  std::optional<std::string> last_verified_detail;
};

struct ProjectConfig {
  CheckpointPolicy checkpoint_policy;
  RetentionPolicy retention_policy;
  VerificationHistory verification_history;
  std::vector<std::string> evidence_pack_builds;
};

}  // namespace tallowmere_core

namespace tallowmere_core::json {

template <>
struct EnumTraits<ContentType> {
  static constexpr std::array<std::pair<std::string_view, ContentType>, 5> values{{
      {"daw_session", ContentType::DawSession},
      {"audio_bounce", ContentType::AudioBounce},
      {"midi", ContentType::Midi},
      {"stem", ContentType::Stem},
      {"other", ContentType::Other},
  }};
};

template <>
struct EnumTraits<EventType> {
  static constexpr std::array<std::pair<std::string_view, EventType>, 6> values{{
      {"session_save", EventType::SessionSave},
      {"bounce_export", EventType::BounceExport},
      {"manual_checkpoint", EventType::ManualCheckpoint},
      {"config_change", EventType::ConfigChange},
      {"key_rotation", EventType::KeyRotation},
      {"identity_recovery", EventType::IdentityRecovery},
  }};
};

template <>
struct RecordTraits<ContentStorage> {
  static constexpr std::string_view name = "ContentStorage";
  static constexpr auto fields = std::tuple{
      field("location", &ContentStorage::location),
      field("local_path", &ContentStorage::local_path),
      field("encrypted", &ContentStorage::encrypted),
  };
};

template <>
struct RecordTraits<ContentReference> {
  static constexpr std::string_view name = "ContentReference";
  static constexpr auto fields = std::tuple{
      field("ref_id", &ContentReference::ref_id),
      field("content_type", &ContentReference::content_type),
      field("sha256_hash", &ContentReference::sha256_hash),
      field("perceptual_fingerprint", &ContentReference::perceptual_fingerprint),
      field("byte_size", &ContentReference::byte_size),
      field("storage", &ContentReference::storage),
  };
};

template <>
struct RecordTraits<DawContext> {
  static constexpr std::string_view name = "DawContext";
  static constexpr auto fields = std::tuple{
      field("daw_name", &DawContext::daw_name),
      field("os", &DawContext::os),
  };
};

template <>
struct RecordTraits<TrustedTimestamp> {
  static constexpr std::string_view name = "TrustedTimestamp";
  static constexpr auto fields = std::tuple{
      field("method", &TrustedTimestamp::method),
      field("tsa_url", &TrustedTimestamp::tsa_url),
      field("token", &TrustedTimestamp::token),
      field("timestamp", &TrustedTimestamp::timestamp),
  };
};

template <>
struct RecordTraits<KeyRotation> {
  static constexpr std::string_view name = "KeyRotation";
  static constexpr auto fields = std::tuple{field("new_contributor_id", &KeyRotation::new_contributor_id)};
};

template <>
struct RecordTraits<IdentityRecovery> {
  static constexpr std::string_view name = "IdentityRecovery";
  static constexpr auto fields =
      std::tuple{field("unrecoverable_contributor_ids", &IdentityRecovery::unrecoverable_contributor_ids)};
};

template <>
struct RecordTraits<LedgerEntry> {
  static constexpr std::string_view name = "LedgerEntry";
  static constexpr auto fields = std::tuple{
      field("entry_id", &LedgerEntry::entry_id),
      field("contributor_id", &LedgerEntry::contributor_id),
      field("causal_position", &LedgerEntry::causal_position),
      field("parent_entry_hashes", &LedgerEntry::parent_entry_hashes),
      field("timestamp_local", &LedgerEntry::timestamp_local),
      field("timestamp_trusted", &LedgerEntry::timestamp_trusted),
      field("event_type", &LedgerEntry::event_type),
      field("daw_context", &LedgerEntry::daw_context),
      field("content_refs", &LedgerEntry::content_refs),
      field("notes", &LedgerEntry::notes),
      field("entry_hash", &LedgerEntry::entry_hash),
      field("signature", &LedgerEntry::signature),
      field("key_rotation", &LedgerEntry::key_rotation),
      field("identity_recovery", &LedgerEntry::identity_recovery),
  };
};

template <>
struct RecordTraits<Contributor> {
  static constexpr std::string_view name = "Contributor";
  static constexpr auto fields = std::tuple{
      field("contributor_id", &Contributor::contributor_id),
      field("display_name", &Contributor::display_name),
      field("public_key", &Contributor::public_key),
      field("key_created_at", &Contributor::key_created_at),
      field("device_label", &Contributor::device_label),
      field("key_backed_up_at", &Contributor::key_backed_up_at),
  };
  // The companion tool's older files stop after device_label.
  static constexpr std::size_t required_elements = 5;
};

template <>
struct RecordTraits<WorkManifest> {
  static constexpr std::string_view name = "WorkManifest";
  static constexpr auto fields = std::tuple{
      field("schema_version", &WorkManifest::schema_version),
      field("work_id", &WorkManifest::work_id),
      field("title", &WorkManifest::title),
      field("created_at", &WorkManifest::created_at),
      field("contributors", &WorkManifest::contributors),
      field("current_head_hash", &WorkManifest::current_head_hash),
      field("current_sequence", &WorkManifest::current_sequence),
  };
};

template <>
struct RecordTraits<CheckpointPolicy> {
  static constexpr std::string_view name = "CheckpointPolicy";
  static constexpr auto fields = std::tuple{
      field("mode", &CheckpointPolicy::mode),
      field("event_triggers", &CheckpointPolicy::event_triggers),
      field("collapse_window_minutes", &CheckpointPolicy::collapse_window_minutes),
  };
};

template <>
struct RecordTraits<RetentionPolicy> {
  static constexpr std::string_view name = "RetentionPolicy";
  static constexpr auto fields = std::tuple{
      field("store_blobs", &RetentionPolicy::store_blobs),
      field("purge_blobs_older_than_days", &RetentionPolicy::purge_blobs_older_than_days),
      field("always_keep_latest_versions", &RetentionPolicy::always_keep_latest_versions),
      field("storage_milestones_gb", &RetentionPolicy::storage_milestones_gb),
      field("last_notified_milestone_gb", &RetentionPolicy::last_notified_milestone_gb),
  };
};

template <>
struct RecordTraits<VerificationHistory> {
  static constexpr std::string_view name = "VerificationHistory";
  static constexpr auto fields = std::tuple{
      field("last_verified_at", &VerificationHistory::last_verified_at),
      field("last_verified_ok", &VerificationHistory::last_verified_ok),
      field("last_verified_detail", &VerificationHistory::last_verified_detail),
  };
};

template <>
struct RecordTraits<ProjectConfig> {
  static constexpr std::string_view name = "ProjectConfig";
  static constexpr auto fields = std::tuple{
      field("checkpoint_policy", &ProjectConfig::checkpoint_policy),
      defaulted("retention_policy", &ProjectConfig::retention_policy),
      defaulted("verification_history", &ProjectConfig::verification_history),
      defaulted("evidence_pack_builds", &ProjectConfig::evidence_pack_builds),
  };
  static constexpr std::size_t required_elements = 1;
};

}  // namespace tallowmere_core::json

namespace tallowmere_core::model {

// Reads one ledger line (without its line terminator) into an entry.
std::expected<LedgerEntry, JsonError> read_entry_line(std::string_view line);
// The same into a value-initialised `entry` (for a caller that reads many into a vector); on
// failure `entry` holds a partial read.
std::optional<JsonError> read_entry_line_into(std::string_view line, LedgerEntry& entry);
// The entry's line without its final line feed: compact JSON, members in declaration order.
std::expected<std::string, JsonError> write_entry_line(const LedgerEntry& entry);
// The entry as a value tree with all fourteen members (absent values as null).
json::Value entry_value(const LedgerEntry& entry);

}  // namespace tallowmere_core::model

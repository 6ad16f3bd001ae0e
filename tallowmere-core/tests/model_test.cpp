#include "model.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "json/document.h"

// Expected written forms are those a serde_json-based writer produces for the same records.
namespace tallowmere_core {
namespace {

using namespace std::string_literals;

// An entry as the service makes it: the four optional fields it never sets left empty.
LedgerEntry service_entry() {
  LedgerEntry entry;
  entry.entry_id = "0b6f4f8e-2f7e-4c41-9a55-3c1de2a9f0aa";
  entry.contributor_id = "alice";
  entry.causal_position = 0;
  entry.timestamp_local = "2024-05-01T12:00:00.123+02:00";
  entry.event_type = EventType::SessionSave;
  entry.daw_context = DawContext{"Reaper", "macos"};
  ContentReference reference;
  reference.ref_id = "5c7d3e9a-1111-4c41-9a55-3c1de2a9f0ab";
  reference.content_type = ContentType::DawSession;
  reference.sha256_hash = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
  reference.byte_size = 18446744073709551615u;
  reference.storage = ContentStorage{"blob_store", "Songs/Mix \xC3\xA9.rpp", false};
  entry.content_refs.push_back(reference);
  entry.notes = "a\nb\"c\td\x1b" "e\xC3\xA9/\x7f\b\f\r\x01\\";
  entry.entry_hash = "h";
  entry.signature = "s";
  return entry;
}

constexpr std::string_view kServiceLine =
    R"({"entry_id":"0b6f4f8e-2f7e-4c41-9a55-3c1de2a9f0aa","contributor_id":"alice","causal_position":0,)"
    R"("parent_entry_hashes":[],"timestamp_local":"2024-05-01T12:00:00.123+02:00","timestamp_trusted":null,)"
    R"("event_type":"session_save","daw_context":{"daw_name":"Reaper","os":"macos"},)"
    R"("content_refs":[{"ref_id":"5c7d3e9a-1111-4c41-9a55-3c1de2a9f0ab","content_type":"daw_session",)"
    R"("sha256_hash":"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855",)"
    R"("perceptual_fingerprint":null,"byte_size":18446744073709551615,)"
    R"("storage":{"location":"blob_store","local_path":"Songs/Mix )" "\xC3\xA9" R"(.rpp","encrypted":false}}],)"
    R"("notes":"a\nb\"c\td\u001be)" "\xC3\xA9/\x7f" R"(\b\f\r\u0001\\","entry_hash":"h","signature":"s",)"
    R"("key_rotation":null,"identity_recovery":null})";

TEST(EntryLine, IsWrittenByteExactly) {
  const auto line = model::write_entry_line(service_entry());
  ASSERT_TRUE(line) << line.error().to_string();
  EXPECT_EQ(*line, kServiceLine);
}

TEST(EntryLine, WritingWhatWasReadGivesTheSameBytes) {
  LedgerEntry first_of_ledger = service_entry();
  first_of_ledger.daw_context = DawContext{std::nullopt, "macos"};
  first_of_ledger.notes.reset();
  LedgerEntry everything = service_entry();
  everything.causal_position = 18446744073709551615u;
  everything.parent_entry_hashes = {"p1", "p2"};
  everything.timestamp_trusted = TrustedTimestamp{"rfc3161", "https://tsa", "tok", "2024"};
  everything.event_type = EventType::KeyRotation;
  everything.content_refs.push_back(everything.content_refs[0]);
  everything.content_refs[1].perceptual_fingerprint = "fp";
  everything.content_refs[1].content_type = ContentType::Other;
  everything.content_refs[1].storage.encrypted = true;
  everything.key_rotation = KeyRotation{"bob"};
  everything.identity_recovery = IdentityRecovery{{"carol", "dave"}};
  LedgerEntry no_files = service_entry();
  no_files.content_refs.clear();
  no_files.daw_context.reset();

  for (const LedgerEntry& entry : {service_entry(), first_of_ledger, everything, no_files}) {
    const auto line = model::write_entry_line(entry);
    ASSERT_TRUE(line);
    EXPECT_EQ(line->find('\n'), std::string::npos);
    const auto read = model::read_entry_line(*line);
    ASSERT_TRUE(read) << read.error().to_string() << "\n" << *line;
    EXPECT_EQ(model::write_entry_line(*read), *line);
  }
}

TEST(EntryLine, AbsentValuesAreWrittenAsNullInTheirPlace) {
  LedgerEntry entry = service_entry();
  entry.daw_context = DawContext{std::nullopt, "macos"};
  const auto line = model::write_entry_line(entry);
  ASSERT_TRUE(line);
  for (const char* member :
       {R"("timestamp_local":"2024-05-01T12:00:00.123+02:00","timestamp_trusted":null,"event_type")",
        R"("daw_context":{"daw_name":null,"os":"macos"})", R"("sha256_hash":"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855","perceptual_fingerprint":null,"byte_size")",
        R"("signature":"s","key_rotation":null,"identity_recovery":null})"}) {
    EXPECT_NE(line->find(member), std::string::npos) << member;
  }
}

TEST(EntryLine, TextThatIsNotUtf8CannotBeWritten) {
  LedgerEntry entry = service_entry();
  entry.content_refs[0].storage.local_path = "bad\xFF.rpp";
  const auto line = model::write_entry_line(entry);
  ASSERT_FALSE(line);
  EXPECT_FALSE(line.error().description.empty());
  EXPECT_EQ(line.error().line, 0u);
}

TEST(EntryValueTree, HoldsAllFourteenMembersWithNulls) {
  LedgerEntry entry = service_entry();
  entry.notes.reset();
  entry.daw_context = DawContext{std::nullopt, "macos"};
  const json::Value tree = model::entry_value(entry);
  ASSERT_TRUE(tree.is_object());
  std::vector<std::string> keys;
  for (auto it = tree.begin(); it != tree.end(); ++it) keys.push_back(it.key());
  EXPECT_EQ(keys, (std::vector<std::string>{"entry_id", "contributor_id", "causal_position", "parent_entry_hashes",
                                            "timestamp_local", "timestamp_trusted", "event_type", "daw_context",
                                            "content_refs", "notes", "entry_hash", "signature", "key_rotation",
                                            "identity_recovery"}));
  for (const char* key : {"timestamp_trusted", "notes", "key_rotation", "identity_recovery"}) {
    EXPECT_TRUE(tree.at(key).is_null()) << key;
  }
  EXPECT_TRUE(tree.at("causal_position").is_number_unsigned());
  EXPECT_TRUE(tree.at("parent_entry_hashes").is_array());
  EXPECT_EQ(tree.at("event_type"), "session_save");
  EXPECT_TRUE(tree.at("daw_context").at("daw_name").is_null());
  const json::Value& reference = tree.at("content_refs").at(0);
  EXPECT_TRUE(reference.at("perceptual_fingerprint").is_null());
  EXPECT_EQ(reference.at("byte_size").get<std::uint64_t>(), 18446744073709551615u);
  EXPECT_EQ(reference.at("storage").at("encrypted"), false);
  EXPECT_EQ(json::write_compact(tree), model::write_entry_line(entry));
}

TEST(EventTypes, HaveAJsonStringAndAConsoleName) {
  struct Case {
    EventType type;
    std::string_view json;
    std::string_view name;
  };
  const Case cases[] = {
      {EventType::SessionSave, "session_save", "SessionSave"},
      {EventType::BounceExport, "bounce_export", "BounceExport"},
      {EventType::ManualCheckpoint, "manual_checkpoint", "ManualCheckpoint"},
      {EventType::ConfigChange, "config_change", "ConfigChange"},
      {EventType::KeyRotation, "key_rotation", "KeyRotation"},
      {EventType::IdentityRecovery, "identity_recovery", "IdentityRecovery"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(json::enum_text(c.type), c.json);
    EXPECT_EQ(json::enum_from_text<EventType>(c.json), c.type);
    EXPECT_EQ(event_type_name(c.type), c.name);
    EXPECT_FALSE(json::enum_from_text<EventType>(c.name)) << "the console name is not a JSON string";
  }
}

TEST(PrettyForm, ManifestAndConfiguration) {
  WorkManifest empty{"1", "w", std::nullopt, "c", {}, "h", 3};
  WorkManifest one{"1", "w", "Ti\"tle", "c", {Contributor{"a", "A", "pk", "k", std::nullopt, std::nullopt}}, std::nullopt, 0};
  ProjectConfig config;
  config.checkpoint_policy = CheckpointPolicy{"hybrid", {"session_save"}, std::nullopt};

  EXPECT_EQ(json::to_pretty(empty), R"({
  "schema_version": "1",
  "work_id": "w",
  "title": null,
  "created_at": "c",
  "contributors": [],
  "current_head_hash": "h",
  "current_sequence": 3
})");
  EXPECT_EQ(json::to_pretty(one), R"({
  "schema_version": "1",
  "work_id": "w",
  "title": "Ti\"tle",
  "created_at": "c",
  "contributors": [
    {
      "contributor_id": "a",
      "display_name": "A",
      "public_key": "pk",
      "key_created_at": "k",
      "device_label": null,
      "key_backed_up_at": null
    }
  ],
  "current_head_hash": null,
  "current_sequence": 0
})");
  EXPECT_EQ(json::to_pretty(config), R"({
  "checkpoint_policy": {
    "mode": "hybrid",
    "event_triggers": [
      "session_save"
    ],
    "collapse_window_minutes": null
  },
  "retention_policy": {
    "store_blobs": false,
    "purge_blobs_older_than_days": null,
    "always_keep_latest_versions": null,
    "storage_milestones_gb": [
      10,
      20,
      40,
      60,
      80,
      100
    ],
    "last_notified_milestone_gb": null
  },
  "verification_history": {
    "last_verified_at": null,
    "last_verified_ok": null,
    "last_verified_detail": null
  },
  "evidence_pack_builds": []
})");
}

}  // namespace
}  // namespace tallowmere_core

#pragma once
// One project's central directory with a manifest and a fixed signing key, for the tests that
// append to its ledger.
#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>

#include <gtest/gtest.h>

#include "checkpoint_ops.h"
#include "json/document.h"
#include "model.h"
#include "signing_key.h"
#include "test_support.h"

namespace tallowmere_cli::append_testing {

namespace fs = std::filesystem;
using tallowmere_core::LedgerEntry;
using tallowmere_core::SigningKey;
using tallowmere_core::WorkManifest;
using tallowmere_test::read_file;
using tallowmere_test::TempDir;
using tallowmere_test::write_file;

// RFC 8032, section 7.1, test 1.
inline constexpr std::array<unsigned char, 32> test_secret = {
    0x9d, 0x61, 0xb1, 0x9d, 0xef, 0xfd, 0x5a, 0x60, 0xba, 0x84, 0x4a, 0xf4, 0x92, 0xec, 0x2c, 0xc4,
    0x44, 0x49, 0xc5, 0x69, 0x7b, 0x32, 0x69, 0x19, 0x70, 0x3b, 0xac, 0x03, 0x1c, 0xae, 0x7f, 0x60};
inline constexpr std::array<unsigned char, 32> test_public = {
    0xd7, 0x5a, 0x98, 0x01, 0x82, 0xb1, 0x0a, 0xb7, 0xd5, 0x4b, 0xfe, 0xd3, 0xc9, 0x64, 0x07, 0x3a,
    0x0e, 0xe1, 0x72, 0xf3, 0xda, 0xa6, 0x23, 0x25, 0xaf, 0x02, 0x1a, 0x68, 0xf7, 0x07, 0x51, 0x1a};

// Keys in another order, an unknown key, no head and a five-element contributor array: the
// rewrite changes the sequence where it stands, adds the head and keeps every other byte.
inline constexpr std::string_view manifest_on_disk =
    R"({"current_sequence":7,"extra":true,"contributors":[["alice","Alice","pk","2026-01-01T00:00:00+01:00",null]],)"
    R"("created_at":"2026-01-01T00:00:00+01:00","work_id":"w1","schema_version":"1"})";

// An entry as another writer might have left it, with a chosen timestamp.
inline LedgerEntry foreign_entry(std::uint64_t position, std::string timestamp_local, std::string hash) {
  LedgerEntry entry;
  entry.entry_id = "00000000-0000-4000-8000-00000000000" + std::to_string(position % 10);
  entry.contributor_id = "bob";
  entry.causal_position = position;
  entry.timestamp_local = std::move(timestamp_local);
  entry.entry_hash = std::move(hash);
  entry.signature = "sig";
  return entry;
}

inline std::string line_of(const LedgerEntry& entry) { return *tallowmere_core::model::write_entry_line(entry); }

class AppendTest : public ::testing::Test {
 protected:
  AppendTest() {
    fs::create_directories(paths_.central_dir);
    write_file(paths_.manifest_file, manifest_on_disk);
    manifest_ = *tallowmere_core::json::read_document<WorkManifest>(manifest_on_disk);
  }

  static ProjectPaths paths_in(const fs::path& temp) {
    ProjectPaths paths;
    paths.root = temp / "song";
    paths.pointer_file = paths.root / ".tallowmere";
    paths.central_dir = temp / "central" / "projects" / "w1";
    paths.manifest_file = paths.central_dir / "manifest.json";
    paths.config_file = paths.central_dir / "config.json";
    paths.ledger_file = paths.central_dir / "ledger.jsonl";
    paths.objects_dir = paths.central_dir / "objects";
    return paths;
  }

  static EntryDraft draft() {
    EntryDraft draft;
    draft.daw_context = tallowmere_core::DawContext{"Reaper", "linux"};
    tallowmere_core::ContentReference ref;
    ref.ref_id = "11111111-2222-4333-8444-555555555555";
    ref.content_type = tallowmere_core::ContentType::DawSession;
    ref.sha256_hash = std::string(64, 'a');
    ref.byte_size = 1234;
    ref.storage = {"local_only", "mix.rpp", false};
    draft.content_refs.push_back(ref);
    return draft;
  }

  Result<LedgerEntry> append(WorkManifest& manifest) {
    return checkpoint_ops::append_locked(paths_, manifest, "alice", key_, draft());
  }
  Result<LedgerEntry> append() { return append(manifest_); }

  std::string ledger_text() const { return read_file(paths_.ledger_file); }

  TempDir temp_;
  ProjectPaths paths_ = paths_in(temp_.path());
  WorkManifest manifest_;
  SigningKey key_ = *SigningKey::from_private_bytes(test_secret);
};

}  // namespace tallowmere_cli::append_testing

#include "checkpoint_ops_batch.h"

#include <nlohmann/json.hpp>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <regex>
#include <thread>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "cmd_watch.h"
#include "console.h"
#include "hash.h"
#include "test_support.h"
#include "watch_project_fixture.h"

namespace tallowmere_cli::checkpoint_ops {
namespace {

namespace fs = std::filesystem;
using tallowmere_core::ContentReference;
using tallowmere_core::ContentType;
using tallowmere_core::LedgerEntry;
using tallowmere_test::read_file;
using tallowmere_test::write_file;
using namespace watch_testing;

constexpr std::string_view expected_os =
#ifdef __APPLE__
    "macos";
#else
    "linux";
#endif

ContentReference reference(std::string local_path, std::string hash, ContentType type = ContentType::DawSession) {
  ContentReference ref;
  ref.content_type = type;
  ref.sha256_hash = std::move(hash);
  ref.storage.local_path = std::move(local_path);
  return ref;
}

LedgerEntry entry_with(std::vector<ContentReference> refs) {
  LedgerEntry entry;
  entry.content_refs = std::move(refs);
  return entry;
}

class CheckpointTest : public ::testing::Test {
 protected:
  explicit CheckpointTest(ProjectSettings settings = {}) : disk_(std::move(settings)), project_(disk_.load()) {}

  // A session file that has settled already, so the settle waits return at once.
  fs::path settled_file(std::string_view name, std::string_view content) {
    const fs::path file = disk_.root / name;
    write_file(file, content);
    age(file);
    return file;
  }

  Result<CheckpointOutcome> checkpoint(const std::vector<fs::path>& files) {
    return checkpoint_batch(project_, files, "alice", key_);
  }

  console::Capture console_;
  ProjectOnDisk disk_;
  LoadedProject project_;
  tallowmere_core::SigningKey key_ = signing_key(1);
};

TEST_F(CheckpointTest, ChangeFilterComparesWithTheNewestReferenceToTheSamePath) {
  const fs::path song = settled_file("Song.als", "version 2");
  const std::string current = tallowmere_core::hash::sha256_hex("version 2");
  const std::string other = tallowmere_core::hash::sha256_hex("version 1");
  const fs::path canonical_root = fs::canonical(disk_.root);

  struct Case {
    const char* name;
    std::vector<LedgerEntry> entries;
    bool changed;
  };
  const std::vector<Case> cases{
      {"never referenced, empty ledger", {}, true},
      {"newest reference has the same hash", {entry_with({reference("Song.als", current)})}, false},
      {"only the newest reference decides",
       {entry_with({reference("Song.als", current)}), entry_with({reference("Song.als", other)})},
       true},
      {"an older entry with the path is looked at when newer ones lack it",
       {entry_with({reference("Song.als", current)}), entry_with({reference("Other.als", other)})},
       false},
      {"first of two references in one entry decides",
       {entry_with({reference("Song.als", current), reference("Song.als", other)})},
       false},
      {"first of two references in one entry decides, the other way",
       {entry_with({reference("Song.als", other), reference("Song.als", current)})},
       true},
      {"same hash under another path", {entry_with({reference("song.als", current)})}, true},
  };
  for (const auto& c : cases) {
    const auto changed = changed_files({song}, canonical_root, c.entries);
    EXPECT_EQ(changed.size(), c.changed ? 1u : 0u) << c.name;
  }
}

TEST_F(CheckpointTest, ChangeFilterKeepsBatchOrderAndCountsUnreadableFilesAsChanged) {
  const fs::path b = settled_file("b.rpp", "b");
  const fs::path a = settled_file("a.rpp", "a");
  const fs::path gone = disk_.root / "gone.rpp";
  const std::vector<LedgerEntry> entries{entry_with({reference("a.rpp", tallowmere_core::hash::sha256_hex("x"))})};
  EXPECT_EQ(changed_files({b, gone, a}, fs::canonical(disk_.root), entries), (std::vector<fs::path>{b, gone, a}));
}

TEST_F(CheckpointTest, OneFileBecomesOneSignedEntryWithItsHash) {
  const fs::path song = settled_file("Song.als", "<Ableton/>");
  auto outcome = checkpoint({song});
  ASSERT_TRUE(outcome.has_value()) << outcome.error().one_line();

  const auto lines = disk_.ledger_lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(entry_verifies(lines[0], public_key(1)));
  const LedgerEntry entry = parse_entry(lines[0]);
  EXPECT_EQ(entry.entry_hash, outcome->entry.entry_hash);
  EXPECT_EQ(outcome->files, std::vector<fs::path>{song});
  EXPECT_EQ(entry.contributor_id, "alice");
  EXPECT_EQ(entry.event_type, tallowmere_core::EventType::SessionSave);
  ASSERT_TRUE(entry.daw_context.has_value());
  EXPECT_EQ(entry.daw_context->daw_name, "Ableton Live");
  EXPECT_EQ(entry.daw_context->os, expected_os);
  EXPECT_FALSE(entry.notes || entry.key_rotation || entry.identity_recovery);
  ASSERT_EQ(entry.content_refs.size(), 1u);
  const ContentReference& ref = entry.content_refs[0];
  EXPECT_TRUE(std::regex_match(ref.ref_id, std::regex("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}")))
      << ref.ref_id;
  EXPECT_EQ(ref.content_type, ContentType::DawSession);
  EXPECT_EQ(ref.sha256_hash, tallowmere_core::hash::sha256_hex("<Ableton/>"));
  EXPECT_EQ(ref.byte_size, 10u);
  EXPECT_FALSE(ref.perceptual_fingerprint.has_value());
  EXPECT_EQ(ref.storage.location, "local_only");
  EXPECT_EQ(ref.storage.local_path, "Song.als");
  EXPECT_FALSE(ref.storage.encrypted);

  EXPECT_FALSE(fs::exists(disk_.objects_dir())) << "copies off: no blob store";
  EXPECT_EQ(project_.manifest.current_head_hash, entry.entry_hash);
  EXPECT_EQ(project_.manifest.current_sequence, 1u);
  EXPECT_TRUE(console_.all_lines().empty()) << "a settled file gives no warning";
}

TEST_F(CheckpointTest, CheckpointLineNamesTheFilesAndTwelveHexOfTheEntry) {
  const fs::path first = settled_file("Song.als", "one");
  const fs::path second = settled_file("Song2.als", "two");
  auto outcome = checkpoint({first, second});
  ASSERT_TRUE(outcome.has_value()) << outcome.error().one_line();
  EXPECT_EQ(checkpoint_line(*outcome), fmt::format("[{}] SessionSave files=Song.als,Song2.als entry={}",
                                                   outcome->entry.timestamp_local,
                                                   outcome->entry.entry_hash.substr(0, 12)));
  ASSERT_EQ(outcome->entry.content_refs.size(), 2u);
  EXPECT_EQ(outcome->entry.content_refs[1].storage.local_path, "Song2.als");
}

// A FIFO would block the read, a link to a device never end it; what cannot be read leaves the
// batch, and the real save beside it is recorded.
TEST_F(CheckpointTest, FilesThatCannotBeReadLeaveTheBatchWithAWarning) {
  struct Case {
    const char* name;
    std::function<void(const fs::path&)> make;
    std::string cause;
  };
  const std::string not_regular = "not a regular file";
  const std::vector<Case> cases{
      {"Gone.rpp", [](const fs::path&) {}, "No such file or directory (os error 2)"},
      {"Pipe.rpp", [](const fs::path& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0644), 0); }, not_regular},
      {"Zero.rpp", [](const fs::path& p) { fs::create_symlink("/dev/zero", p); }, not_regular},
      {"Link.rpp", [this](const fs::path& p) { fs::create_symlink(settled_file("Target.txt", "t"), p); }, not_regular},
      {"Song.logicx", [](const fs::path& p) { fs::create_directory(p); }, "Is a directory (os error 21)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::size_t warnings_before = console_.err_lines().size();
    const fs::path odd = disk_.root / c.name;
    c.make(odd);
    const fs::path good = settled_file(std::string("Good-") + c.name + ".rpp", c.name);

    auto outcome = checkpoint({odd, good});
    ASSERT_TRUE(outcome.has_value()) << outcome.error().one_line();
    EXPECT_EQ(outcome->files, std::vector<fs::path>{good});
    ASSERT_EQ(outcome->entry.content_refs.size(), 1u);
    EXPECT_EQ(outcome->entry.content_refs[0].storage.local_path, good.filename().string());
    ASSERT_EQ(outcome->reads.size(), 2u) << "the odd file's notifications are answered too";
    const std::string io = "I/O error at " + odd.string() + ": " + c.cause;
    const auto warnings = console_.err_lines();
    EXPECT_EQ(std::vector<std::string>(warnings.begin() + static_cast<std::ptrdiff_t>(warnings_before), warnings.end()),
              std::vector<std::string>{"WARNING: " + odd.string() + " left out of the checkpoint: failed to hash " +
                                       odd.string() + ": " + io + ": " + c.cause});

    // Alone in its batch, it appends nothing.
    const auto lines_before = disk_.ledger_lines().size();
    auto alone = checkpoint({odd});
    ASSERT_TRUE(alone.has_value()) << alone.error().one_line();
    EXPECT_TRUE(alone->files.empty());
    EXPECT_EQ(disk_.ledger_lines().size(), lines_before);
  }
}

// A file modified long ago settles at once; an in-place save (truncate, then writes) that begins
// right then must not be recorded half written.
TEST_F(CheckpointTest, SaveBeginningAsTheFileIsReadIsReadAgainOnceItHasSettled) {
  const fs::path song = settled_file("Song.rpp", "<REAPER_PROJECT 1>");
  const std::string saved = "<REAPER_PROJECT 2, somewhat longer>";
  int reads = 0;
  auto outcome = checkpoint_batch(project_, {song}, "alice", key_, [&] {
    ++reads;
    if (reads == 1) fs::resize_file(song, 0);  // the save has truncated the file, nothing written yet
    if (reads == 2) write_file(song, saved);   // and has finished before the next read
  });
  ASSERT_TRUE(outcome.has_value()) << outcome.error().one_line();
  const ContentReference& ref = outcome->entry.content_refs.at(0);
  EXPECT_EQ(ref.sha256_hash, tallowmere_core::hash::sha256_hex(saved));
  EXPECT_EQ(ref.byte_size, saved.size());
  EXPECT_GE(reads, 3) << "the last read is confirmed by a probe that shows no change";
  EXPECT_TRUE(console_.err_lines().empty()) << "it settled within the time-out: no warning";
  ASSERT_EQ(outcome->reads.size(), 1u);
  EXPECT_EQ(outcome->reads[0].file, song);
}

// Waits out the settle time-out once: from its first read on, the file grows for as long as the
// checkpoint waits.
TEST_F(CheckpointTest, FileStillBeingWrittenIsCheckpointedWithAWarning) {
  const fs::path song = settled_file("Song.rpp", "start");
  std::atomic<bool> writing{true};
  std::thread writer;
  auto outcome = checkpoint_batch(project_, {song}, "alice", key_, [&] {
    if (writer.joinable()) return;
    std::ofstream(song, std::ios::app) << "more";
    writer = std::thread([&] {
      while (writing) {
        std::ofstream(song, std::ios::app) << "more";
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    });
  });
  writing = false;
  if (writer.joinable()) writer.join();
  ASSERT_TRUE(outcome.has_value()) << outcome.error().one_line();
  EXPECT_EQ(console_.err_lines(),
            std::vector<std::string>{"WARNING: " + song.string() +
                                     " was still changing when checkpointed (may have been captured mid-write); if "
                                     "this checkpoint looks wrong, check the file and checkpoint again"});
  EXPECT_EQ(disk_.ledger_lines().size(), 1u);
}

// The watch loop drops the notifications taken in before a read whose result stands, so only such
// reads may be reported: those that found a file unchanged, and those of a checkpoint that was
// appended. A failed checkpoint reports its files as read when the attempt began, so that the
// notifications of the save that failed do not bring it back.
TEST_F(CheckpointTest, BatchReportsOnlyTheReadsWhoseResultStands) {
  const fs::path canonical_root = fs::canonical(disk_.root);
  const fs::path same = settled_file("Same.rpp", "as recorded");
  project_.ledger.entries.push_back(entry_with({reference("Same.rpp", tallowmere_core::hash::sha256_hex("as recorded"))}));
  struct Case {
    const char* name;
    bool changed_file_readable;
    std::vector<std::string> reported;  // file names, in order
  };
  const std::vector<Case> cases{
      {"checkpoint appended", true, {"Same.rpp", "New.rpp"}},
      {"checkpoint failed", false, {"Same.rpp", "New.rpp"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path changed = disk_.root / "New.rpp";
    fs::remove(changed);
    if (c.changed_file_readable) settled_file("New.rpp", c.name);
    std::vector<std::chrono::steady_clock::time_point> before_reads;
    const auto reads = cmd_watch::process_batch(project_, {changed, same}, canonical_root, "alice", key_,
                                                [&] { before_reads.push_back(std::chrono::steady_clock::now()); });
    std::vector<std::string> reported;
    for (const auto& read : reads) {
      reported.push_back(read.file.filename());
      // Each read began after the call made for it, so what that call took in preceded the read.
      EXPECT_TRUE(std::any_of(before_reads.begin(), before_reads.end(), [&](auto t) { return t <= read.began; }));
    }
    EXPECT_EQ(reported, c.reported);
    if (reads.size() == 2) {
      // New.rpp was read first by the change filter; what stands is the checkpoint's later read.
      EXPECT_GT(reads[1].began, reads[0].began);
    }
  }
}

// Another process that appends under the same lock may die mid-line while this watcher runs; the
// watcher repairs such a tail as it does at start instead of refusing every later checkpoint.
TEST_F(CheckpointTest, TornTailLeftAfterLoadingIsRepairedAndTheEntryChainsToTheLastWholeOne) {
  const std::string whole = entry_line(0);
  const std::string torn = entry_line(1).substr(0, 14);
  write_file(disk_.ledger_file(), whole + "\n" + torn);
  const fs::path song = settled_file("Song.rpp", "<REAPER_PROJECT>");

  auto outcome = checkpoint({song});
  ASSERT_TRUE(outcome.has_value()) << outcome.error().one_line();

  const auto lines = disk_.ledger_lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], whole);
  EXPECT_EQ(lines[1], *tallowmere_core::model::write_entry_line(outcome->entry));
  EXPECT_EQ(outcome->entry.causal_position, 1u);
  EXPECT_EQ(outcome->entry.parent_entry_hashes, std::vector<std::string>{"h0"});
  EXPECT_TRUE(entry_verifies(lines[1], public_key(1)));
  const auto errors = console_.err_lines();
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_TRUE(errors[0].starts_with("WARNING: ledger.jsonl line 2 is incomplete (EOF while parsing")) << errors[0];
  EXPECT_TRUE(errors[0].ends_with("all prior entries are intact.\n  raw: " + torn)) << errors[0];
}

class BlobCheckpointTest : public CheckpointTest {
 protected:
  BlobCheckpointTest() : CheckpointTest(ProjectSettings{.contributors = {"alice"}, .store_blobs = true, .milestones = {0}, .ledger = std::nullopt}) {}
};

TEST_F(BlobCheckpointTest, CopiesEachFileOnceUnderItsHash) {
  EXPECT_FALSE(fs::exists(disk_.objects_dir()));
  const fs::path song = settled_file("Song.rpp", "<REAPER_PROJECT>");
  auto first = checkpoint({song});
  ASSERT_TRUE(first.has_value()) << first.error().one_line();
  const ContentReference& ref = first->entry.content_refs.at(0);
  EXPECT_EQ(ref.storage.location, "blob_store");
  EXPECT_EQ(read_file(disk_.objects_dir() / ref.sha256_hash), "<REAPER_PROJECT>");

  // The same content under another name is a second reference to the one copy.
  const fs::path copy = settled_file("Song copy.rpp", "<REAPER_PROJECT>");
  auto second = checkpoint({copy});
  ASSERT_TRUE(second.has_value()) << second.error().one_line();
  EXPECT_EQ(second->entry.content_refs.at(0).sha256_hash, ref.sha256_hash);
  EXPECT_EQ(second->entry.content_refs.at(0).byte_size, 16u);
  EXPECT_EQ(disk_.objects(), std::vector<std::string>{ref.sha256_hash});
}

TEST_F(BlobCheckpointTest, StoreFailureNamesTheFile) {
  write_file(disk_.objects_dir(), "a file where the blob store belongs");
  const fs::path song = settled_file("Song.rpp", "x");
  auto outcome = checkpoint({song});
  ASSERT_FALSE(outcome.has_value());
  const std::string line = outcome.error().one_line();
  EXPECT_TRUE(line.starts_with("failed to store a copy of " + song.string() + ": I/O error at " +
                               disk_.objects_dir().string() + ": "))
      << line;
  EXPECT_FALSE(fs::exists(disk_.ledger_file()));
}

TEST_F(BlobCheckpointTest, MilestoneNoticeIsGivenOnceAndRecorded) {
  const std::string notice =
      "NOTE: this project's saved-file storage has passed 0 GB. Run `tallowmere retention` to review or adjust "
      "what's kept.";
  const fs::path canonical_root = fs::canonical(disk_.root);
  cmd_watch::process_batch(project_, {settled_file("Song.rpp", "one")}, canonical_root, "alice", key_);
  const auto out = console_.out_lines();
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0], notice) << "the notice comes before the checkpoint line";
  EXPECT_TRUE(out[1].find("SessionSave files=Song.rpp entry=") != std::string::npos) << out[1];
  EXPECT_EQ(project_.config.retention_policy.last_notified_milestone_gb, 0u);
  // Added after the last member of the retention policy, written as compactly as the file is.
  EXPECT_NE(read_file(disk_.central_dir / "config.json").find(R"([0],"last_notified_milestone_gb":0}})"),
            std::string::npos);

  cmd_watch::process_batch(project_, {settled_file("Song.rpp", "two")}, canonical_root, "alice", key_);
  EXPECT_EQ(lines_starting(console_.out_lines(), "NOTE: ").size(), 1u);
  EXPECT_EQ(disk_.ledger_lines().size(), 2u);
}

// The notice records its milestone in the configuration as it stands on disk: what the owner
// changed since the project was loaded (copies turned off, purge settings, keys of other tools)
// survives, and the watcher's own policy stays as loaded.
TEST_F(BlobCheckpointTest, MilestoneNoticeKeepsRetentionSettingsChangedMeanwhile) {
  const fs::path config_file = disk_.central_dir / "config.json";
  constexpr std::string_view edited =
      R"({"checkpoint_policy":{"mode":"hybrid","event_triggers":["session_save"],"collapse_window_minutes":null},)"
      R"("retention_policy":{"store_blobs":false,"purge_blobs_older_than_days":30,"always_keep_latest_versions":5,)"
      R"("storage_milestones_gb":[10,20,40,60,80,100],"last_notified_milestone_gb":null,"owner_note":"keep"},)"
      R"("other_tool":{"x":1}})";
  write_file(config_file, edited);
  auto outcome = checkpoint({settled_file("Song.rpp", "one")});
  ASSERT_TRUE(outcome.has_value()) << outcome.error().one_line();
  EXPECT_EQ(lines_starting(console_.out_lines(), "NOTE: ").size(), 1u);
  const auto saved = nlohmann::ordered_json::parse(read_file(config_file));
  auto expected = nlohmann::ordered_json::parse(edited);
  expected["retention_policy"]["last_notified_milestone_gb"] = 0;
  EXPECT_EQ(saved["retention_policy"], expected["retention_policy"]) << saved.dump(2);
  EXPECT_EQ(saved["other_tool"], expected["other_tool"]) << saved.dump(2);
  EXPECT_TRUE(project_.config.retention_policy.store_blobs);
}

TEST_F(BlobCheckpointTest, UnsavedMilestoneIsWarnedAboutAndNotRepeated) {
  // A folder where config.json should be: the save fails even for root.
  project_.paths.config_file = disk_.temp / "config-is-a-folder";
  fs::create_directories(project_.paths.config_file);
  for (const char* content : {"one", "two"}) {
    auto outcome = checkpoint({settled_file("Song.rpp", content)});
    ASSERT_TRUE(outcome.has_value()) << outcome.error().one_line();
  }
  EXPECT_EQ(lines_starting(console_.out_lines(), "NOTE: ").size(), 1u);
  const auto warnings = lines_starting(console_.err_lines(), "WARNING: failed to record the storage milestone notice: ");
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].find("I/O error at " + project_.paths.config_file.string()), std::string::npos) << warnings[0];
}

// A configuration that no longer reads is never half-edited: it stays byte for byte, and the
// warning says why.
TEST_F(BlobCheckpointTest, MilestoneIsNotRecordedInAConfigurationThatNoLongerReads) {
  const fs::path config_file = disk_.central_dir / "config.json";
  constexpr std::string_view edited =
      R"({"checkpoint_policy":{"mode":"hybrid","event_triggers":["session_save"]},)"
      R"("retention_policy":{"store_blobs":false,"store_blobs":true,"storage_milestones_gb":[0]}})";
  write_file(config_file, edited);
  auto outcome = checkpoint({settled_file("Song.rpp", "one")});
  ASSERT_TRUE(outcome.has_value()) << outcome.error().one_line();
  EXPECT_EQ(read_file(config_file), edited);
  EXPECT_EQ(console_.err_lines(),
            std::vector<std::string>{"WARNING: failed to record the storage milestone notice: it no longer reads as a "
                                     "configuration, so it was left as it is: failed to parse config at " +
                                     config_file.string() + ": duplicate field `store_blobs` at line 1 column 126"});
}

TEST(PlatformTest, EntriesNameThePlatformTheServiceRunsOn) { EXPECT_EQ(platform_os(), expected_os); }

}  // namespace
}  // namespace tallowmere_cli::checkpoint_ops

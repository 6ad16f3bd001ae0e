// The companion tool edits manifest.json and config.json while the service runs, with JSON that
// other writers produce: a lone surrogate escape (a cut emoji), numbers no native type holds,
// nesting deeper than any record. A checkpoint changes only the members the service owns and keeps
// every other byte; a file that no longer reads as its record is left alone with one warning.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <string>

#include "daemon_world.h"
#include "ledger.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using tallowmere_test::ChildProcess;
using tallowmere_test::DaemonWorld;

std::string repeat(std::string_view part, std::size_t times) {
  std::string out;
  for (std::size_t i = 0; i < times; ++i) out += part;
  return out;
}

// Values that a tree parser refuses or rounds, and that a strict reader skips unread.
const std::string odd_members = std::string(R"(  "cut_emoji": "\ud83d",)") + "\n" +
                                R"(  "\u00e9t\u00e9": [1e400, -0.0, 123456789012345678901234567890],)" + "\n" +
                                R"(  "deep" :)" + repeat("[", 200) + repeat("]", 200) + ",\n";

std::string manifest_text(std::string_view head, std::string_view sequence) {
  return "{\n" + odd_members +
         R"(  "schema_version": "0.1", "work_id": "w1", "title": "Song", "created_at": "2026-01-01T00:00:00+01:00",)"
         "\n"
         R"(  "contributors": [{"contributor_id": "alice", "display_name": "alice", "public_key": "pk",)"
         R"( "key_created_at": "2026-01-01T00:00:00+01:00", "note": 123456789012345678901234567890},)"
         "\n"
         R"(    {"contributor_id": "bob", "display_name": "Bob", "public_key": "pk2", "key_created_at": "k", "device_label": "laptop"}],)"
         "\n"
         R"(  "current_head_hash":   )" +
         std::string(head) + ",\n\t\"current_sequence\":" + std::string(sequence) + "\n}\n";
}

std::string config_text(std::string_view milestone_member) {
  return "{\n" + odd_members +
         R"(  "checkpoint_policy": {"mode": "hybrid", "event_triggers": ["session_save"]},)" "\n"
         R"(  "retention_policy": {"store_blobs": false, "storage_milestones_gb": [0], "x": 1e400)" +
         std::string(milestone_member) + "}\n}";
}

bool printed(ChildProcess& daemon, std::string_view text, bool on_error = false) {
  return tallowmere_test::wait_for_line(
      daemon, [&](const std::string& line) { return line.find(text) != std::string::npos; }, on_error);
}

TEST(RecordRewrite, OnlyTheOwnedMembersChangeAndAFileThatNoLongerReadsIsLeftAlone) {
  DaemonWorld world;
  world.add_project({.work_id = "w1", .folder = "Song", .title = "Song", .store_blobs = true});
  tallowmere_test::write_file(world.config_file("w1"),
                              R"({"checkpoint_policy":{"mode":"hybrid","event_triggers":["session_save"]},)"
                              R"("retention_policy":{"store_blobs":true,"storage_milestones_gb":[0]}})");
  world.store_all_keys();
  ChildProcess daemon(world.daemon());
  ASSERT_TRUE(tallowmere_test::wait_for_line(daemon, [](const std::string& l) { return l == "Press Ctrl-C to stop."; }))
      << daemon.stdout_so_far() << daemon.stderr_so_far();

  // The owner turns copies off and another tool adds its keys; a contributor joins. The watcher
  // still holds the project as loaded, copies on, so its next checkpoint passes milestone 0.
  tallowmere_test::write_file(world.manifest_file("w1"), manifest_text("null", "0"));
  tallowmere_test::write_file(world.config_file("w1"), config_text(""));
  world.save("w1", "Song.als", "<ABLETON 1>");
  ASSERT_TRUE(printed(daemon, "SessionSave files=Song.als")) << daemon.stdout_so_far() << daemon.stderr_so_far();
  std::vector<tallowmere_core::LedgerEntry> entries;
  ASSERT_TRUE(world.ledger_is_sound("w1", false, &entries));
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(tallowmere_test::read_file(world.manifest_file("w1")),
            manifest_text("\"" + entries[0].entry_hash + "\"", "1"));
  EXPECT_EQ(tallowmere_test::read_file(world.config_file("w1")), config_text(", \"last_notified_milestone_gb\": 0"));

  // A key given twice: the manifest no longer reads, so it stays as it is and the save stands.
  std::string twice = manifest_text("null", "1");
  twice.insert(twice.rfind('}'), ", \"work_id\": \"w2\"\n");
  tallowmere_test::write_file(world.manifest_file("w1"), twice);
  world.save("w1", "Song.als", "<ABLETON 2>");
  ASSERT_TRUE(printed(daemon, "it no longer reads as a manifest, so it was left as it is", true))
      << daemon.stderr_so_far();
  EXPECT_TRUE(world.last_entry_records("w1", "<ABLETON 2>"));
  EXPECT_EQ(tallowmere_test::read_file(world.manifest_file("w1")), twice);

  daemon.send_signal(SIGINT);
  const auto result = daemon.wait();
  EXPECT_EQ(result.exit_code, 0) << result.describe();
  EXPECT_EQ(tallowmere_test::count_lines_starting(result.stderr_text, "WARNING: "), 1u) << result.stderr_text;
  EXPECT_NE(result.stderr_text.find("duplicate field `work_id`"), std::string::npos) << result.stderr_text;
  EXPECT_TRUE(world.ledger_is_sound("w1"));
}

}  // namespace

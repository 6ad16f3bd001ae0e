// Two writers of one ledger at the same time: the daemon checkpointing a stream of saves, signed
// by alice, and a second process appending manual checkpoints through the same locked append,
// signed by bob with his own key, as the companion tool does. Afterwards the ledger holds exactly
// the entries both reported, each once, one per line, at consecutive positions, chained, each
// signed by its own writer.
//
// TALLOWMERE_CONCURRENCY_SECONDS changes how long both write (30).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <csignal>
#include <random>
#include <set>
#include <thread>

#include "daemon_world.h"
#include "timestamp.h"

namespace {

namespace fs = std::filesystem;
using tallowmere_test::ChildProcess;
using tallowmere_test::DaemonWorld;

constexpr const char* kWorkId = "w-shared";

TEST(Concurrency, TheDaemonAndASecondAppenderShareOneLedgerWithoutLossDuplicationOrInterleaving) {
  const char* configured = std::getenv("TALLOWMERE_CONCURRENCY_SECONDS");
  const long seconds = configured && *configured ? std::strtol(configured, nullptr, 10) : 30;

  DaemonWorld world;
  const tallowmere_test::WorldContributor alice{"alice", 1}, bob{"bob", 2};
  // Keys are searched from the last contributor on: the daemon finds only alice's, the second
  // appender is handed bob's in a credential store of its own.
  world.add_project({.work_id = kWorkId, .folder = "Shared", .title = "Shared", .contributors = {alice, bob}});
  world.store_key(alice);
  const fs::path appender_data = world.temp / "appender-data";
  tallowmere_test::store_key_item(appender_data, bob.id, tallowmere_test::key_item_text(bob.seed));
  world.save(kWorkId, "Song.rpp", "<SESSION 0>\n");

  ChildProcess daemon(world.daemon());
  ASSERT_TRUE(tallowmere_test::wait_for_line(daemon, [](const std::string& l) { return l == "Press Ctrl-C to stop."; }))
      << daemon.stdout_so_far() << daemon.stderr_so_far();

  std::atomic<bool> saving{true};
  std::thread saver([&] {
    std::mt19937 random(std::random_device{}());
    std::uniform_int_distribution<int> pause_ms(10, 50);
    for (int n = 1; saving.load(); ++n) {
      world.save(kWorkId, "Song.rpp", fmt::format("<SESSION {}>\n", n));
      std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms(random)));  // pacing, not synchronisation
    }
  });

  auto appender_env = world.environment();
  appender_env["XDG_DATA_HOME"] = appender_data.string();
  const auto appender = tallowmere_test::run_process(
      {.argv = {TALLOWMERE_SECOND_APPENDER_EXE, world.project_folder(kWorkId).string(), bob.id,
                std::to_string(seconds * 1000)},
       .env = appender_env,
       .timeout = std::chrono::seconds(seconds + 120)});
  saving = false;
  saver.join();
  daemon.send_signal(SIGINT);
  const auto result = daemon.wait();

  ASSERT_EQ(appender.exit_code, 0) << appender.describe();
  EXPECT_EQ(appender.stderr_text, "");
  ASSERT_EQ(result.exit_code, 0) << result.describe();
  EXPECT_EQ(result.stderr_text, "") << "a checkpoint failed";

  std::vector<tallowmere_core::LedgerEntry> entries;
  ASSERT_TRUE(world.ledger_is_sound(kWorkId, false, &entries));  // one per line, positions, chain, signatures

  const auto appended = tallowmere_test::lines_of(appender.stdout_text);
  const auto checkpoints = tallowmere_test::checkpoint_lines(result.stdout_text);
  ASSERT_FALSE(appended.empty());
  ASSERT_FALSE(checkpoints.empty());
  EXPECT_EQ(entries.size(), appended.size() + checkpoints.size()) << "entries neither writer reported, or lost ones";

  // Each writer stamps its entry after the last one it reread under the lock, so the instants
  // only go forward: a writer that appended without seeing the other's newest entry would show.
  for (std::size_t i = 1; i < entries.size(); ++i) {
    const auto earlier = tallowmere_core::timestamp::parse_rfc3339(entries[i - 1].timestamp_local);
    const auto later = tallowmere_core::timestamp::parse_rfc3339(entries[i].timestamp_local);
    ASSERT_TRUE(earlier && later) << entries[i].timestamp_local;
    EXPECT_TRUE(earlier->instant < later->instant) << "entry " << i << " is not later than entry " << i - 1;
  }

  std::map<std::string, const tallowmere_core::LedgerEntry*> by_hash;
  std::set<std::string> entry_ids;
  for (const auto& entry : entries) {
    EXPECT_TRUE(by_hash.emplace(entry.entry_hash, &entry).second) << "duplicated entry " << entry.entry_hash;
    EXPECT_TRUE(entry_ids.insert(entry.entry_id).second) << "duplicated entry id " << entry.entry_id;
  }
  for (const auto& hash : appended) {
    const auto found = by_hash.find(hash);
    ASSERT_NE(found, by_hash.end()) << "the second appender's entry " << hash << " is missing";
    EXPECT_EQ(found->second->contributor_id, bob.id);
    EXPECT_EQ(found->second->event_type, tallowmere_core::EventType::ManualCheckpoint);
  }
  std::size_t daemon_entries = 0;
  for (const auto& entry : entries) {
    if (entry.contributor_id != alice.id) continue;
    ++daemon_entries;
    EXPECT_EQ(entry.event_type, tallowmere_core::EventType::SessionSave);
  }
  EXPECT_EQ(daemon_entries, checkpoints.size());
  for (const auto& line : checkpoints) {
    const auto found = std::find_if(entries.begin(), entries.end(), [&](const auto& e) {
      return e.contributor_id == alice.id && e.entry_hash.starts_with(line.entry_prefix);
    });
    EXPECT_NE(found, entries.end()) << "the daemon's checkpoint " << line.entry_prefix << " is missing";
  }
  std::printf("concurrency: %ld s, %zu entries by the daemon and %zu by the second appender, 0 lost or duplicated\n",
              seconds, checkpoints.size(), appended.size());
}

}  // namespace

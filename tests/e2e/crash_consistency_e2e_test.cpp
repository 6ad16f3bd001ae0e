// Crash consistency of the running daemon: while two projects are saved over and over, the daemon
// is killed with SIGKILL at random moments and started again, round after round. After every kill
// each ledger still loads (a torn last line allowed: the next start repairs it) and the manifest
// and configuration still parse; after the last round, once a clean run has repaired any torn
// tail, every ledger holds one entry per line, chained, with hashes that recompute and signatures
// that verify, and every checkpoint whose line the daemon printed before a kill is in it.
//
// TALLOWMERE_CRASH_ROUNDS changes the number of rounds (50); TALLOWMERE_CRASH_SEED replays one
// sequence of kill moments.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <csignal>
#include <random>
#include <set>
#include <thread>

#include "daemon_world.h"
#include "ledger.h"

namespace {

namespace fs = std::filesystem;
using tallowmere_test::ChildProcess;
using tallowmere_test::DaemonWorld;

struct Stream {
  const char* work_id;
  const char* file;
};
// One project hashes its saves, the other keeps copies in its blob store. A name that is not
// ASCII puts characters of more than one byte in the ledger's lines, where a kill can cut one.
constexpr Stream kStreams[] = {{"w-alpha", "Alpha.rpp"}, {"w-beta", "B\u00eata.als"}};

unsigned long env_number(const char* name, unsigned long fallback) {
  const char* text = std::getenv(name);
  return text && *text ? std::strtoul(text, nullptr, 10) : fallback;
}

// Saves both projects' session files in turn with new content, until stopped.
class Saver {
 public:
  explicit Saver(const DaemonWorld& world) : thread_([this, &world] { run(world); }) {}
  ~Saver() { stop(); }
  void stop() {
    running_ = false;
    if (thread_.joinable()) thread_.join();
  }

 private:
  void run(const DaemonWorld& world) {
    std::mt19937 random(std::random_device{}());
    std::uniform_int_distribution<int> pause_ms(10, 60);
    for (int n = 1; running_.load(); ++n) {
      const Stream& stream = kStreams[n % 2];
      world.save(stream.work_id, stream.file, fmt::format("<SESSION {}>\n{}\n", n, std::string(static_cast<std::size_t>(n % 97), 'x')));
      // Pacing of the saves, not a wait for anything.
      std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms(random)));
    }
  }

  std::atomic<bool> running_{true};
  std::thread thread_;
};

bool is_torn_tail_warning(const std::string& line) {
  return (line.starts_with("WARNING: ledger.jsonl line ") && line.find(" is incomplete (") != std::string::npos) ||
         line.starts_with("  raw: ");
}

// The manifest is rewritten after each line, so a kill between the two leaves it behind the
// ledger (by one entry per such kill, until the next append rewrites it); it never names an entry
// that is not in the ledger. With `exact` it must name the last one.
::testing::AssertionResult manifest_follows_ledger(const DaemonWorld& world, const std::string& work_id,
                                                   const std::vector<tallowmere_core::LedgerEntry>& entries,
                                                   bool exact = false) {
  const auto manifest = tallowmere_core::json::read_document<tallowmere_core::WorkManifest>(
      tallowmere_test::read_file(world.manifest_file(work_id)));
  if (!manifest) return ::testing::AssertionFailure() << "manifest does not parse: " << manifest.error().to_string();
  const auto config = tallowmere_core::json::read_document<tallowmere_core::ProjectConfig>(
      tallowmere_test::read_file(world.config_file(work_id)));
  if (!config) return ::testing::AssertionFailure() << "configuration does not parse: " << config.error().to_string();
  const std::uint64_t n = entries.size();
  const std::uint64_t sequence = manifest->current_sequence;
  if (sequence > n || (exact && sequence != n)) {
    return ::testing::AssertionFailure() << "manifest counts " << sequence << " entries, the ledger holds " << n;
  }
  const std::optional<std::string> head =
      sequence == 0 ? std::nullopt : std::optional<std::string>(entries[sequence - 1].entry_hash);
  if (manifest->current_head_hash != head) return ::testing::AssertionFailure() << "manifest head is not entry " << sequence;
  return ::testing::AssertionSuccess();
}

// How many descriptors of process `pid` are open on `file`.
std::size_t open_descriptors_of(pid_t pid, const fs::path& file) {
  const fs::path wanted = fs::weakly_canonical(file);
  std::size_t count = 0;
  std::error_code error;
  for (const auto& fd : fs::directory_iterator(fs::path("/proc") / std::to_string(pid) / "fd", error)) {
    std::error_code unreadable;
    if (fs::read_symlink(fd.path(), unreadable) == wanted) ++count;
  }
  return count;
}

// The service starts on a ledger whose last line another writer, holding the ledger lock, is
// still writing. It waits for the lock; what the reread under it finds decides: a line completed
// meanwhile is kept and no warning is printed, a line still torn is cut and told once.
TEST(CrashConsistency, ATornTailIsToldAndCutOnlyWhenStillTornUnderTheLock) {
  DaemonWorld world;
  world.add_project({.work_id = "w1", .folder = "Song", .title = "Song"});
  world.store_all_keys();
  {
    ChildProcess daemon(world.daemon());
    for (int n = 1; n <= 2; ++n) {
      ASSERT_TRUE(tallowmere_test::wait_for_lines_starting(daemon, n == 1 ? "Press Ctrl-C to stop." : "[", 1))
          << daemon.stdout_so_far() << daemon.stderr_so_far();
      world.save("w1", "Song.rpp", fmt::format("<SESSION {}>\n", n));
      ASSERT_TRUE(tallowmere_test::wait_for_lines_starting(daemon, "[", static_cast<std::size_t>(n)))
          << daemon.stdout_so_far() << daemon.stderr_so_far();
    }
    daemon.send_signal(SIGINT);
    ASSERT_EQ(daemon.wait().exit_code, 0);
  }
  const std::string whole = tallowmere_test::read_file(world.ledger_file("w1"));
  const auto lines = tallowmere_test::lines_of(whole);
  ASSERT_EQ(lines.size(), 2u);
  const std::string first = lines[0] + "\n";
  const std::string torn = lines[1].substr(0, 40);

  struct Case {
    const char* name;
    bool writer_completes_the_line;
    std::string ledger_after;
    std::size_t warnings;
  };
  const std::vector<Case> cases{
      {"the writer completes its line meanwhile", true, whole, 0},
      {"the writer leaves it torn", false, first, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    tallowmere_test::write_file(world.ledger_file("w1"), first + torn);
    auto lock = std::optional(tallowmere_core::LedgerLock::acquire(world.ledger_file("w1")));
    ASSERT_TRUE(lock->has_value());
    ChildProcess daemon(world.daemon());
    const fs::path lock_file = tallowmere_core::LedgerLock::lock_file_for(world.ledger_file("w1"));
    ASSERT_TRUE(tallowmere_test::wait_until([&] { return open_descriptors_of(daemon.pid(), lock_file) >= 1; }))
        << daemon.stdout_so_far() << daemon.stderr_so_far();
    EXPECT_EQ(daemon.stderr_so_far(), "") << "nothing is said before the check under the lock";
    if (c.writer_completes_the_line) {
      std::ofstream(world.ledger_file("w1"), std::ios::binary | std::ios::app) << lines[1].substr(40) << "\n";
    }
    lock.reset();
    ASSERT_TRUE(tallowmere_test::wait_for_lines_starting(daemon, "Press Ctrl-C to stop.", 1))
        << daemon.stdout_so_far() << daemon.stderr_so_far();
    daemon.send_signal(SIGINT);
    const auto result = daemon.wait();
    ASSERT_EQ(result.exit_code, 0) << result.describe();
    EXPECT_EQ(tallowmere_test::read_file(world.ledger_file("w1")), c.ledger_after);
    EXPECT_EQ(tallowmere_test::count_lines_starting(result.stderr_text, "WARNING: ledger.jsonl line 2 is incomplete ("),
              c.warnings)
        << result.stderr_text;
    if (c.warnings) {
      EXPECT_NE(result.stderr_text.find("Discarding the partial line and continuing; all prior entries are intact.\n"
                                        "  raw: " + torn + "\n"),
                std::string::npos)
          << result.stderr_text;
    }
  }
}

TEST(CrashConsistency, SigkillAtRandomMomentsLosesNoCheckpointAndLeavesEveryLedgerSound) {
  const unsigned long rounds = env_number("TALLOWMERE_CRASH_ROUNDS", 50);
  const unsigned long seed = env_number("TALLOWMERE_CRASH_SEED", std::random_device{}());
  SCOPED_TRACE("TALLOWMERE_CRASH_SEED=" + std::to_string(seed));
  std::mt19937 random(static_cast<std::mt19937::result_type>(seed));
  std::uniform_int_distribution<int> kill_after_ms(0, 1500);

  DaemonWorld world;
  world.add_project({.work_id = "w-alpha", .folder = "Alpha", .title = "Alpha", .contributors = {{"alice", 1}}});
  world.add_project(
      {.work_id = "w-beta", .folder = "Beta", .title = "Beta", .contributors = {{"bob", 2}}, .store_blobs = true});
  world.store_all_keys();
  for (const Stream& stream : kStreams) world.save(stream.work_id, stream.file, "<SESSION 0>\n");

  std::map<std::string, std::set<std::string>> printed;  // work id -> entry hash prefixes printed
  std::size_t torn_tails_repaired = 0, torn_writes_left = 0, kills_before_line_feed = 0;
  Saver saver(world);
  for (unsigned long round = 1; round <= rounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const auto kill_at = std::chrono::steady_clock::now() + std::chrono::milliseconds(kill_after_ms(random));
    ChildProcess daemon(world.daemon());
    // The moment of the kill is the point of the test, so this is the one plain sleep.
    std::this_thread::sleep_until(kill_at);
    daemon.send_signal(SIGKILL);
    const auto result = daemon.wait();
    ASSERT_EQ(result.signal, SIGKILL) << result.describe();

    for (const auto& line : tallowmere_test::checkpoint_lines(result.stdout_text)) {
      printed[line.files == kStreams[0].file ? "w-alpha" : "w-beta"].insert(line.entry_prefix);
    }
    for (const auto& line : tallowmere_test::complete_lines_of(result.stderr_text)) {
      ASSERT_TRUE(is_torn_tail_warning(line)) << result.describe();
      if (line.starts_with("WARNING: ")) ++torn_tails_repaired;
    }
    for (const Stream& stream : kStreams) {
      SCOPED_TRACE(stream.work_id);
      std::vector<tallowmere_core::LedgerEntry> entries;
      ASSERT_TRUE(world.ledger_is_sound(stream.work_id, /*allow_torn_tail=*/true, &entries));
      ASSERT_TRUE(manifest_follows_ledger(world, stream.work_id, entries));
      const std::string text = tallowmere_test::read_file(world.ledger_file(stream.work_id));
      if (!text.empty() && text.back() != '\n') ++kills_before_line_feed;
    }
    // A kill rarely lands inside the one write of a line, so every fifth round leaves what such a
    // kill would: the start of a line without its end, every other time cut inside a character
    // of the name. The next start must cut it off.
    if (round % 5 == 0) {
      const Stream& stream = kStreams[(round / 5) % 2];
      const std::string text = tallowmere_test::read_file(world.ledger_file(stream.work_id));
      if (!text.empty() && text.back() == '\n') {
        const auto start = text.rfind('\n', text.size() - 2);
        const std::string last_line = text.substr(start == std::string::npos ? 0 : start + 1);
        std::uniform_int_distribution<std::size_t> cut(1, last_line.size() - 2);
        const std::size_t inside_character = last_line.find("\xC3\xAA");
        const std::size_t length =
            round % 10 == 5 && inside_character != std::string::npos ? inside_character + 1 : cut(random);
        std::ofstream(world.ledger_file(stream.work_id), std::ios::binary | std::ios::app) << last_line.substr(0, length);
        ++torn_writes_left;
      }
    }
  }
  saver.stop();

  // A clean run repairs a torn tail the last kill may have left, checkpoints one more save of
  // each project (which brings the manifests up to date), then stops.
  ChildProcess daemon(world.daemon());
  ASSERT_TRUE(daemon.wait_for_output([](const std::string& out, const std::string&) {
    return tallowmere_test::count_lines_starting(out, "Press Ctrl-C to stop.") >= 2;
  })) << daemon.stdout_so_far() << daemon.stderr_so_far();
  for (const Stream& stream : kStreams) world.save(stream.work_id, stream.file, "<SESSION last>\n");
  ASSERT_TRUE(daemon.wait_for_output([](const std::string& out, const std::string&) {
    std::set<std::string> files;
    for (const auto& line : tallowmere_test::checkpoint_lines(out)) files.insert(line.files);
    return files.size() == 2;
  })) << daemon.stdout_so_far() << daemon.stderr_so_far();
  daemon.send_signal(SIGINT);
  const auto last = daemon.wait();
  ASSERT_EQ(last.exit_code, 0) << last.describe();
  for (const auto& line : tallowmere_test::checkpoint_lines(last.stdout_text)) {
    printed[line.files == kStreams[0].file ? "w-alpha" : "w-beta"].insert(line.entry_prefix);
  }
  for (const auto& line : tallowmere_test::complete_lines_of(last.stderr_text)) {
    ASSERT_TRUE(is_torn_tail_warning(line)) << last.describe();
    if (line.starts_with("WARNING: ")) ++torn_tails_repaired;
  }

  std::size_t entries_total = 0, entries_lost = 0, printed_total = 0;
  for (const Stream& stream : kStreams) {
    SCOPED_TRACE(stream.work_id);
    std::vector<tallowmere_core::LedgerEntry> entries;
    ASSERT_TRUE(world.ledger_is_sound(stream.work_id, /*allow_torn_tail=*/false, &entries));
    EXPECT_TRUE(manifest_follows_ledger(world, stream.work_id, entries, /*exact=*/true));
    entries_total += entries.size();
    std::set<std::string> in_ledger;
    for (const auto& entry : entries) in_ledger.insert(entry.entry_hash.substr(0, 12));
    for (const auto& prefix : printed[stream.work_id]) {
      ++printed_total;
      if (!in_ledger.contains(prefix)) {
        ++entries_lost;
        ADD_FAILURE() << "checkpoint " << prefix << " was printed but is not in the ledger";
      }
    }
    if (std::string(stream.work_id) == "w-beta") {
      // Every copy an entry refers to is whole: it was on disk before its name was.
      for (const auto& entry : entries) {
        const auto& ref = entry.content_refs.at(0);
        const auto copy = tallowmere_core::hash::hash_file_streaming(world.objects_dir(stream.work_id) / ref.sha256_hash);
        ASSERT_TRUE(copy.has_value()) << "no copy of " << ref.sha256_hash;
        EXPECT_EQ(copy->sha256_hex, ref.sha256_hash);
        EXPECT_EQ(copy->byte_count, ref.byte_size);
      }
    }
  }
  EXPECT_GT(printed_total, rounds / 2) << "too few checkpoints to say anything";
  EXPECT_GE(torn_tails_repaired, torn_writes_left);
  // Temporary files of writes a kill cut short are never read; they are only counted here.
  std::size_t temporaries_left = 0;
  for (const Stream& stream : kStreams) {
    for (const fs::path& folder : {world.central_dir(stream.work_id), world.objects_dir(stream.work_id)}) {
      std::error_code ignored;
      for (const auto& file : fs::directory_iterator(folder, ignored))
        if (file.path().filename().string().find(".tmp-") != std::string::npos) ++temporaries_left;
    }
  }
  std::printf("crash consistency: %lu rounds survived, %zu checkpoints printed, %zu entries in the ledgers, "
              "%zu torn tails repaired (%zu of them left on purpose), %zu kills between a line and its line feed, "
              "%zu temporary files left, %zu entries lost (seed %lu)\n",
              rounds, printed_total, entries_total, torn_tails_repaired, torn_writes_left, kills_before_line_feed,
              temporaries_left, entries_lost, seed);
  RecordProperty("rounds", static_cast<int>(rounds));
  RecordProperty("entries_lost", static_cast<int>(entries_lost));
  RecordProperty("torn_tails_repaired", static_cast<int>(torn_tails_repaired));
}

}  // namespace

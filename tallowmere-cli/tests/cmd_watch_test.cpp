#include "cmd_watch.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "console.h"
#include "hash.h"
#include "ledger.h"
#include "test_support.h"
#include "watch_project_fixture.h"

namespace tallowmere_cli::cmd_watch {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using tallowmere_test::read_file;
using tallowmere_test::wait_until;
using tallowmere_test::write_file;
using namespace watch_testing;

const std::string watching_suffix = " for changes to: .rpp, .als, .ardour, .ptx, .ptf, .logicx, .cpr, .reason, .rns";

// ---------------------------------------------------------------------------------------------
// Start-up lines, without threads.

TEST(StartupLinesTest, CollapseWindowLineOnlyForANonZeroWindow) {
  // The service's windows are whole minutes; one too long for the loop's nanoseconds reaches the
  // loop saturated, and the line still shows the configured length.
  constexpr auto saturated = std::chrono::nanoseconds::max();
  struct Case {
    std::chrono::nanoseconds window;
    std::optional<std::uint32_t> configured_minutes;
    std::optional<std::string> collapse_line;
  };
  const std::vector<Case> cases{
      {0s, std::nullopt, std::nullopt},
      {0s, 0, std::nullopt},
      {300s, std::nullopt, "Collapse window: 300.0s (rapid saves collapse into one checkpoint)"},
      {300s, 5, "Collapse window: 300.0s (rapid saves collapse into one checkpoint)"},
      {90s, std::nullopt, "Collapse window: 90.0s (rapid saves collapse into one checkpoint)"},
      {1500ms, std::nullopt, "Collapse window: 1.5s (rapid saves collapse into one checkpoint)"},
      {std::chrono::minutes(153722867), 153722867,
       "Collapse window: 9223372020.0s (rapid saves collapse into one checkpoint)"},
      {saturated, 153722868, "Collapse window: 9223372080.0s (rapid saves collapse into one checkpoint)"},
      {saturated, 4294967295, "Collapse window: 257698037700.0s (rapid saves collapse into one checkpoint)"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> expected{"Watching /Users/a/My Song" + watching_suffix};
    if (c.collapse_line) expected.push_back(*c.collapse_line);
    expected.emplace_back("Press Ctrl-C to stop.");
    EXPECT_EQ(startup_lines("/Users/a/My Song", c.window, c.configured_minutes), expected) << c.window.count();
  }
}

// ---------------------------------------------------------------------------------------------
// The loop, with real files and real change notifications.

// run_loop on a thread of its own, stopped and joined when the runner goes.
class LoopRunner {
 public:
  LoopRunner(LoadedProject project, std::chrono::nanoseconds window, bool running = true)
      : running_(std::make_shared<Flag>(running)),
        thread_([this, project = std::move(project), window]() mutable {
          result_ = run_loop(std::move(project), window, running_);
          done_ = true;
        }) {}
  ~LoopRunner() { stop(); }

  void stop() {
    running_->store(false);
    if (thread_.joinable()) thread_.join();
  }
  bool done() const { return done_.load(); }
  const Status& result() const { return result_; }

 private:
  SharedFlag running_;
  Status result_;
  std::atomic<bool> done_{false};
  std::thread thread_;
};

class WatchLoopTest : public ::testing::Test {
 protected:
  WatchLoopTest() { disk_.store_key("alice", 1); }

  // An existing session file that has long settled and is already in the ledger, so that the
  // next save of it is a change the loop must record.
  fs::path existing_session(std::string_view name, std::string_view content) {
    const fs::path file = disk_.root / name;
    write_file(file, content);
    age(file);
    return file;
  }

  void start(std::chrono::nanoseconds window) {
    loop_.emplace(disk_.load(), window);
    ASSERT_TRUE(wait_for_out_line(console_, "Press Ctrl-C to stop."));
  }

  std::vector<std::string> checkpoint_lines() const { return lines_starting(console_.out_lines(), "["); }

  bool wait_for_checkpoints(std::size_t count) const {
    return wait_until([&] { return checkpoint_lines().size() >= count; });
  }

  console::Capture console_;
  ProjectOnDisk disk_;
  std::optional<LoopRunner> loop_;  // declared last: stopped before the files and capture go
};

TEST_F(WatchLoopTest, OneSaveBecomesOneVerifiableLedgerLineAndOneConsoleLine) {
  const fs::path song = existing_session("Song.rpp", "<REAPER_PROJECT 0.1>");
  start(0s);
  save_in_place(song, "<REAPER_PROJECT 0.2>");
  ASSERT_TRUE(wait_for_checkpoints(1));
  loop_->stop();

  const auto lines = disk_.ledger_lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(entry_verifies(lines[0], public_key(1)));
  const auto entry = parse_entry(lines[0]);
  ASSERT_EQ(entry.content_refs.size(), 1u);
  EXPECT_EQ(entry.content_refs[0].storage.local_path, "Song.rpp");
  EXPECT_EQ(entry.content_refs[0].sha256_hash, tallowmere_core::hash::sha256_hex("<REAPER_PROJECT 0.2>"));
  ASSERT_TRUE(entry.daw_context.has_value());
  EXPECT_EQ(entry.daw_context->daw_name, "Reaper");

  EXPECT_EQ(console_.out_lines(), (std::vector<std::string>{
                                      "Watching " + disk_.root.string() + watching_suffix,
                                      "Press Ctrl-C to stop.",
                                      fmt::format("[{}] SessionSave files=Song.rpp entry={}", entry.timestamp_local,
                                                  entry.entry_hash.substr(0, 12)),
                                      "Stopped watching.",
                                  }));
  EXPECT_TRUE(console_.err_lines().empty());
  EXPECT_TRUE(loop_->result().has_value());
}

TEST_F(WatchLoopTest, RapidSavesInsideTheWindowBecomeOneBatch) {
  const fs::path song = existing_session("Song.rpp", "save 00");
  const fs::path other = existing_session("Other.rpp", "other 0");
  start(2s);
  for (int i = 1; i <= 10; ++i) save_in_place(song, fmt::format("save {:02}", i));
  save_in_place(other, "other 1");
  ASSERT_TRUE(wait_for_checkpoints(1));
  loop_->stop();

  const auto lines = disk_.ledger_lines();
  ASSERT_EQ(lines.size(), 1u);
  const auto entry = parse_entry(lines[0]);
  ASSERT_EQ(entry.content_refs.size(), 2u);
  EXPECT_EQ(entry.content_refs[0].storage.local_path, "Other.rpp") << "path order";
  EXPECT_EQ(entry.content_refs[1].sha256_hash, tallowmere_core::hash::sha256_hex("save 10"));
  EXPECT_NE(checkpoint_lines().at(0).find("files=Other.rpp,Song.rpp entry="), std::string::npos);
  EXPECT_EQ(console_.out_lines().at(1), "Collapse window: 2.0s (rapid saves collapse into one checkpoint)");
}

TEST_F(WatchLoopTest, SavesOutsideTheFolderOrWithoutASessionExtensionAreIgnored) {
  const fs::path removed = existing_session("Old.rpp", "old");
  fs::create_directories(disk_.root / "sub");
  start(0s);
  write_file(disk_.root / "sub" / "Song.als", "in a sub-folder");
  write_file(disk_.root / "notes.txt", "notes");
  write_file(disk_.root / "Song", "no extension");
  write_file(disk_.root / ".als", "only a leading dot");
  fs::remove(removed);
  // The last save counts; once it is recorded, every event before it has been looked at.
  save_by_rename(disk_.root / "Song.ALS", "<Ableton/>", disk_.root / "staging");
  ASSERT_TRUE(wait_for_checkpoints(1));
  loop_->stop();

  const auto lines = disk_.ledger_lines();
  ASSERT_EQ(lines.size(), 1u);
  const auto entry = parse_entry(lines[0]);
  ASSERT_EQ(entry.content_refs.size(), 1u);
  EXPECT_EQ(entry.content_refs[0].storage.local_path, "Song.ALS");
  EXPECT_TRUE(console_.err_lines().empty()) << console_.err_lines().front();
}

TEST_F(WatchLoopTest, ProjectReachedThroughASymbolicLinkIsWatchedWhereItLies) {
  const fs::path song = existing_session("Song.rpp", "first");
  const fs::path link = disk_.temp / "link-to-song";
  fs::create_directory_symlink(disk_.root, link);
  auto project = project::load_project(link);
  ASSERT_TRUE(project.has_value()) << project.error().one_line();
  loop_.emplace(std::move(*project), 0s);
  ASSERT_TRUE(wait_for_out_line(console_, "Press Ctrl-C to stop."));
  EXPECT_EQ(console_.out_lines().at(0), "Watching " + link.string() + watching_suffix) << "the folder as registered";

  save_in_place(song, "again");
  ASSERT_TRUE(wait_for_checkpoints(1));
  loop_->stop();
  EXPECT_EQ(parse_entry(disk_.ledger_lines().at(0)).content_refs.at(0).storage.local_path, "Song.rpp");
}

TEST_F(WatchLoopTest, DawStyleSaveThroughARenamedTemporaryFileIsCaught) {
  existing_session("Song.als", "<Ableton v1/>");
  start(0s);
  save_by_rename(disk_.root / "Song.als", "<Ableton v2/>", disk_.root / ".Song.als.tmp-save");
  ASSERT_TRUE(wait_for_checkpoints(1));
  loop_->stop();
  const auto entry = parse_entry(disk_.ledger_lines().at(0));
  EXPECT_EQ(entry.content_refs.at(0).sha256_hash, tallowmere_core::hash::sha256_hex("<Ableton v2/>"));
  EXPECT_EQ(entry.daw_context->daw_name, "Ableton Live");
}

TEST_F(WatchLoopTest, UnchangedResaveWritesNothing) {
  const fs::path song = existing_session("Song.rpp", "version A");
  start(0s);
  save_in_place(song, "version B");
  ASSERT_TRUE(wait_for_checkpoints(1));
  save_in_place(song, "version B");
  // A later change of another file shows that the re-save has been looked at.
  save_by_rename(disk_.root / "Next.rpp", "next", disk_.root / "staging");
  ASSERT_TRUE(wait_for_checkpoints(2));
  loop_->stop();

  const auto lines = disk_.ledger_lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(parse_entry(lines[1]).content_refs.at(0).storage.local_path, "Next.rpp");
  EXPECT_EQ(checkpoint_lines().size(), 2u);
  EXPECT_TRUE(entry_verifies(lines[1], public_key(1)));
}

TEST_F(WatchLoopTest, TornTailIsRepairedBeforeTheFirstAppend) {
  const std::string e1 = entry_line(0);
  write_file(disk_.ledger_file(), e1 + "\n" + entry_line(1).substr(0, 14));
  const fs::path song = existing_session("Song.rpp", "one");
  start(0s);
  EXPECT_EQ(read_file(disk_.ledger_file()), e1 + "\n");
  ASSERT_EQ(console_.err_lines().size(), 1u);
  EXPECT_TRUE(console_.err_lines()[0].starts_with("WARNING: ledger.jsonl line 2 is incomplete (EOF while parsing"));

  save_in_place(song, "two");
  ASSERT_TRUE(wait_for_checkpoints(1));
  loop_->stop();
  const auto lines = disk_.ledger_lines();
  ASSERT_EQ(lines.size(), 2u);
  const auto entry = parse_entry(lines[1]);
  EXPECT_EQ(entry.causal_position, 1u);
  EXPECT_EQ(entry.parent_entry_hashes, std::vector<std::string>{"h0"});
}

// A writer killed inside a character of a non-ASCII name leaves bytes that are not UTF-8 on
// their own; the line is still only torn, and the project still loads and is watched.
TEST_F(WatchLoopTest, TailTornInsideACharacterIsRepairedAtStart) {
  const std::string e1 = entry_line(0);
  write_file(disk_.ledger_file(), e1 + "\n" + R"({"entry_id":"caf)" + "\xC3");
  start(0s);
  EXPECT_EQ(read_file(disk_.ledger_file()), e1 + "\n");
  ASSERT_EQ(console_.err_lines().size(), 1u);
  EXPECT_TRUE(console_.err_lines()[0].starts_with(
      "WARNING: ledger.jsonl line 2 is incomplete (EOF while parsing a string at line 1 column 17)"))
      << console_.err_lines()[0];
  EXPECT_TRUE(console_.err_lines()[0].ends_with("raw: {\"entry_id\":\"caf\uFFFD")) << console_.err_lines()[0];
}

TEST_F(WatchLoopTest, TornTailLeftByAnotherWriterWhileWatchingIsRepairedBeforeTheNextAppend) {
  const std::string e0 = entry_line(0);
  write_file(disk_.ledger_file(), e0 + "\n");
  const fs::path song = existing_session("Song.rpp", "one");
  start(0s);
  // The companion tool appends under the same lock; here it died after part of its line.
  const std::string torn = entry_line(1).substr(0, 14);
  {
    std::ofstream ledger(disk_.ledger_file(), std::ios::app | std::ios::binary);
    ledger << torn;
  }

  save_in_place(song, "two");
  ASSERT_TRUE(wait_until([&] {
    return !checkpoint_lines().empty() || !lines_starting(console_.err_lines(), "ERROR: ").empty();
  }));
  loop_->stop();

  EXPECT_TRUE(lines_starting(console_.err_lines(), "ERROR: ").empty()) << console_.err_lines().back();
  const auto lines = disk_.ledger_lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], e0);
  const auto entry = parse_entry(lines[1]);
  EXPECT_EQ(entry.causal_position, 1u);
  EXPECT_EQ(entry.parent_entry_hashes, std::vector<std::string>{"h0"});
  EXPECT_EQ(entry.content_refs.at(0).sha256_hash, tallowmere_core::hash::sha256_hex("two"));
  EXPECT_TRUE(entry_verifies(lines[1], public_key(1)));

  const auto all = console_.all_lines();
  const auto warning = std::find_if(all.begin(), all.end(), [](const std::string& line) {
    return line.starts_with("err: WARNING: ledger.jsonl line 2 is incomplete (EOF while parsing");
  });
  ASSERT_NE(warning, all.end());
  EXPECT_TRUE(warning->ends_with("\n  raw: " + torn)) << *warning;
  const auto checkpoint = std::find_if(all.begin(), all.end(), [](const std::string& line) {
    return line.starts_with("out: [");
  });
  EXPECT_LT(warning - all.begin(), checkpoint - all.begin()) << "the repair comes before the checkpoint line";
}

TEST_F(WatchLoopTest, FlagAlreadyClearedStillPrintsTheStartupLines) {
  LoopRunner loop(disk_.load(), 300s, false);
  ASSERT_TRUE(wait_until([&] { return loop.done(); }));
  EXPECT_TRUE(loop.result().has_value());
  EXPECT_EQ(console_.out_lines(), (std::vector<std::string>{
                                      "Watching " + disk_.root.string() + watching_suffix,
                                      "Collapse window: 300.0s (rapid saves collapse into one checkpoint)",
                                      "Press Ctrl-C to stop.",
                                      "Stopped watching.",
                                  }));
}

// A watcher being replaced may have a batch fall due after its flag was cleared; its successor
// records that save, so this one must not.
TEST_F(WatchLoopTest, ABatchFallingDueAfterTheFlagWasClearedIsDropped) {
  const fs::path song = existing_session("Song.rpp", "before");
  auto session = WatchSession::start(disk_.load(), 300ms);
  ASSERT_TRUE(session.has_value()) << session.error().one_line();
  Flag running{true};
  save_in_place(song, "after!");
  ASSERT_TRUE(wait_until([&] {
    session->step(&running);
    return session->collecting();
  }));
  running.store(false);
  ASSERT_TRUE(wait_until([&] {
    session->step(&running);
    return !session->collecting();
  }));
  EXPECT_TRUE(checkpoint_lines().empty());
  EXPECT_FALSE(fs::exists(disk_.ledger_file()));
}

TEST_F(WatchLoopTest, ClearingTheFlagWhileABatchCollectsDiscardsIt) {
  const fs::path song = existing_session("Song.rpp", "before");
  auto session = WatchSession::start(disk_.load(), 60s);
  ASSERT_TRUE(session.has_value()) << session.error().one_line();
  save_in_place(song, "after!");
  ASSERT_TRUE(wait_until([&] {
    session->step();
    return session->collecting();
  }));

  const Flag running{false};
  watch_until_stopped(*session, running);
  EXPECT_EQ(console_.out_lines().back(), "Stopped watching.");
  EXPECT_TRUE(checkpoint_lines().empty());
  EXPECT_FALSE(fs::exists(disk_.ledger_file()));
}

// The loop sleeps until its batch falls due; nothing else has to happen for the batch to go.
TEST_F(WatchLoopTest, ABatchDueInOneMillisecondIsCheckpointedWithoutAnotherEvent) {
  const fs::path song = existing_session("Song.rpp", "<REAPER_PROJECT 0.1>");
  start(1ms);
  save_in_place(song, "<REAPER_PROJECT 0.2>");
  ASSERT_TRUE(wait_for_checkpoints(1)) << ::testing::PrintToString(console_.all_lines());
  loop_->stop();
  EXPECT_EQ(checkpoint_lines().size(), 1u);
}

// Clearing the flag wakes the loop's wait: it waits neither for an event nor for the deadline of
// the batch it collects (a minute away).
TEST_F(WatchLoopTest, AWatcherWhoseFlagIsClearedWhileItWaitsReturnsAtOnce) {
  const fs::path song = existing_session("Song.rpp", "before");
  for (const bool collecting : {false, true}) {
    SCOPED_TRACE(collecting ? "collecting" : "idle");
    auto session = WatchSession::start(disk_.load(), 60s);
    ASSERT_TRUE(session.has_value()) << session.error().one_line();
    if (collecting) {
      save_in_place(song, "after!");
      ASSERT_TRUE(wait_until([&] {
        session->step();
        return session->collecting();
      }));
    }
    Flag running(true);
    std::atomic<bool> returned{false};
    std::thread loop([&] {
      watch_until_stopped(*session, running);
      returned = true;
    });
    // Once the loop has subscribed it is waiting, or about to: the clearing must reach it either way.
    const bool waiting = wait_until([&] { return running.subscription_count() == 1; });
    running.store(false);
    const bool stopped = wait_until([&] { return returned.load(); });
    // A loop that missed the wake-up still wakes for an event, so that the test ends.
    if (!stopped) write_file(disk_.root / "Wake.rpp", "an event");
    loop.join();
    EXPECT_TRUE(waiting);
    EXPECT_TRUE(stopped);
    EXPECT_EQ(console_.out_lines().back(), "Stopped watching.");
  }
  EXPECT_TRUE(checkpoint_lines().empty());
}

// A project folder moved away and back (a restore, a sync tool) is still this project's: the
// loop goes on through it and records the next save, with no new console line of its own.
TEST_F(WatchLoopTest, LoopGoesOnWhileTheFolderIsAwayAndRecordsTheNextSaveOnceItIsBack) {
  const fs::path song = existing_session("Song.rpp", "one");
  start(0s);
  const fs::path aside = disk_.root.parent_path() / "away";
  fs::rename(disk_.root, aside);
  fs::rename(aside, disk_.root);
  save_in_place(song, "two");
  ASSERT_TRUE(wait_until([&] {
    // Read as the service reads it: an append still under way is a torn tail, not an entry.
    const auto ledger = tallowmere_core::ledger::read_ledger(disk_.ledger_file());
    return ledger && !ledger->entries.empty() &&
           ledger->entries.back().content_refs.at(0).sha256_hash == tallowmere_core::hash::sha256_hex("two");
  })) << ::testing::PrintToString(console_.all_lines());
  EXPECT_FALSE(loop_->done());
  loop_->stop();
  const auto out = console_.out_lines();
  EXPECT_EQ(std::count(out.begin(), out.end(), "Stopped watching."), 1) << ::testing::PrintToString(out);
  EXPECT_EQ(out.back(), "Stopped watching.");
  EXPECT_TRUE(console_.err_lines().empty()) << ::testing::PrintToString(console_.err_lines());
}

TEST_F(WatchLoopTest, StartFailuresComeBackBeforeAnythingIsWatched) {
  struct Case {
    const char* name;
    std::function<void(LoadedProject&)> spoil;
    std::function<std::string(const LoadedProject&)> error;
  };
  const std::vector<Case> cases{
      {"no key for the only contributor",
       [](LoadedProject& project) { project.manifest.contributors[0].contributor_id = "bob"; },
       [](const LoadedProject&) {
         return std::string("no signing key found in OS secure storage for any of this project's 1 recorded "
                            "contributor(s). This usually means this project was initialized on a different device "
                            "or user account, or the key was deleted without running `tallowmere de-init`. If the "
                            "key is unrecoverable, see `tallowmere recover-identity`.");
       }},
      {"folder that cannot be watched",
       [&](LoadedProject& project) {
         project.paths.root = disk_.temp / "a-file";
         write_file(project.paths.root, "not a folder");
       },
       [](const LoadedProject& project) {
         return "failed to watch " + project.paths.root.string() + ": Not a directory (os error 20)";
       }},
      {"torn tail that cannot be repaired",
       [&](LoadedProject& project) {
         project.ledger.trailing_incomplete = tallowmere_core::TrailingIncomplete{1, "{", "EOF"};
         fs::create_directories(project.paths.ledger_file);
       },
       [](const LoadedProject& project) {
         return "failed to repair truncated ledger tail: I/O error at " + project.paths.ledger_file.string() +
                ": Is a directory (os error 21): Is a directory (os error 21)";
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LoadedProject project = disk_.load();
    c.spoil(project);
    const std::string expected = c.error(project);
    const auto before = console_.out_lines().size();
    auto result = run_loop(std::move(project), 0s, std::make_shared<Flag>(true));
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().one_line(), expected);
    EXPECT_EQ(console_.out_lines().size(), before) << "no start-up lines";
  }
}

}  // namespace
}  // namespace tallowmere_cli::cmd_watch

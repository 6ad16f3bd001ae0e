// The supervisor against real projects on disk: what each rescan prints and which watchers it
// starts, replaces and stops, with watch loops that tests control.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include "console.h"
#include "control_socket_support.h"
#include "error_chain.h"
#include "registry.h"
#include "status_client.h"
#include "supervisor.h"
#include "test_support.h"
#include "text.h"

namespace {

namespace fs = std::filesystem;
namespace supervisor = tallowmere_daemon::supervisor;
namespace console = tallowmere_cli::console;
using tallowmere_cli::ErrorChain;
using tallowmere_cli::LoadedProject;
using tallowmere_cli::Status;
using tallowmere_test::control_socket::ScopedEnv;
using Flag = tallowmere_cli::SharedFlag;

// How the fake watch loop behaves once started.
enum class Behaviour { wait_for_flag, fail_at_once, throw_exception, throw_non_exception, end_at_once };

// Watch loops that record their starts. A waiting loop polls its flag the way the real one does;
// the polling is the loop's behaviour, not the test's synchronisation.
class FakeLoops {
 public:
  struct Start {
    fs::path root;
    std::chrono::nanoseconds window;
    Flag running;
  };

  supervisor::WatchLoop loop(Behaviour behaviour) {
    return [this, behaviour](LoadedProject project, std::chrono::nanoseconds window, Flag running) -> Status {
      {
        std::lock_guard lock(mutex_);
        starts_.push_back(Start{project.paths.root, window, running});
      }
      switch (behaviour) {
        case Behaviour::fail_at_once:
          return std::unexpected(ErrorChain("no key for you").context("cannot start"));
        case Behaviour::throw_exception:
          throw std::runtime_error("boom");
        case Behaviour::throw_non_exception:
          throw 42;
        case Behaviour::end_at_once:
          break;
        case Behaviour::wait_for_flag:
          while (running->load()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
          break;
      }
      std::lock_guard lock(mutex_);
      ++ended_;
      return {};
    };
  }

  std::vector<Start> starts() const {
    std::lock_guard lock(mutex_);
    return starts_;
  }
  // The flags of started loops that are still wanted.
  std::vector<Flag> live() const {
    std::vector<Flag> flags;
    for (const auto& start : starts())
      if (start.running->load()) flags.push_back(start.running);
    return flags;
  }
  int ended() const {
    std::lock_guard lock(mutex_);
    return ended_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Start> starts_;
  int ended_ = 0;
};

struct RegistryItem {
  std::string work_id;
  std::string project_path;
  std::optional<std::string> title;
};

class SupervisorTest : public ::testing::Test {
 protected:
  // A project folder with its pointer file naming `work_id`, and (once per work id) its central
  // directory with a manifest and a configuration.
  fs::path make_project(const std::string& folder, const std::string& work_id, const std::string& mode = "hybrid",
                        const std::string& window_json = "") {
    const fs::path root = temp / folder;
    tallowmere_test::write_file(root / ".tallowmere",
                                fmt::format(R"({{"schema_version":"1","work_id":"{}","warning":"x"}})", work_id));
    tallowmere_test::write_file(
        central / "projects" / work_id / "manifest.json",
        fmt::format(R"({{"schema_version":"1","work_id":"{}","title":"Song","created_at":"2026-01-01T00:00:00+01:00",)"
                    R"("contributors":[],"current_head_hash":null,"current_sequence":0}})",
                    work_id));
    write_config(work_id, mode, window_json);
    return root;
  }

  // `window_json` empty: no collapse_window_minutes key at all.
  void write_config(const std::string& work_id, const std::string& mode, const std::string& window_json) {
    const std::string window = window_json.empty() ? "" : ",\"collapse_window_minutes\":" + window_json;
    tallowmere_test::write_file(
        central / "projects" / work_id / "config.json",
        fmt::format(R"({{"checkpoint_policy":{{"mode":"{}","event_triggers":["session_save"]{}}}}})", mode, window));
  }

  void write_registry(const std::vector<RegistryItem>& items) {
    std::string projects;
    for (const auto& item : items) {
      if (!projects.empty()) projects += ",";
      const std::string title = item.title ? fmt::format("\"{}\"", *item.title) : "null";
      projects += fmt::format(R"({{"work_id":"{}","project_path":"{}","title":{},"registered_at":"2026-01-01T00:00:00+01:00"}})",
                              item.work_id, item.project_path, title);
    }
    tallowmere_test::write_file(central / "registry.json", fmt::format(R"({{"schema_version":"0.1","projects":[{}]}})", projects));
  }

  // Console lines since the last call, each prefixed "out: " or "err: ".
  std::vector<std::string> new_lines() {
    const auto all = capture.all_lines();
    std::vector<std::string> fresh(all.begin() + static_cast<std::ptrdiff_t>(seen_), all.end());
    seen_ = all.size();
    return fresh;
  }

  std::optional<tallowmere_daemon::ipc::WatchedProject> entry(const std::string& work_id) {
    std::lock_guard lock(state.watched->mutex);
    auto it = state.watched->by_work_id.find(work_id);
    if (it == state.watched->by_work_id.end()) return std::nullopt;
    return it->second;
  }
  std::size_t map_size() {
    std::lock_guard lock(state.watched->mutex);
    return state.watched->by_work_id.size();
  }

  // Waits until the loops still wanted are exactly those of `expected`, in any order: a watcher
  // thread records its start a moment after the rescan that started it.
  bool wait_live(std::vector<Flag> expected) {
    std::sort(expected.begin(), expected.end());
    return tallowmere_test::wait_until([&] {
      auto live = loops.live();
      std::sort(live.begin(), live.end());
      return live == expected;
    });
  }

  // Waits until the map holds no entry of `work_id` (its watcher has ended and removed it).
  bool wait_unwatched(const std::string& work_id) {
    return tallowmere_test::wait_until([&] { return !entry(work_id).has_value(); });
  }

  tallowmere_test::TempDir temp;
  const fs::path central = temp / "central";
  ScopedEnv tallowmere_home{"TALLOWMERE_HOME", central.string()};
  ScopedEnv home{"HOME", (temp / "home").string()};
  ScopedEnv data_home{"XDG_DATA_HOME", (temp / "data").string()};
  console::Capture capture;
  FakeLoops loops;
  supervisor::Options options{.rescan_interval = std::chrono::milliseconds(20),
                              .watch_loop = loops.loop(Behaviour::wait_for_flag),
                              .start_watcher_thread = {},
                              .serve_control_socket = false};
  // Last, so that its watchers are stopped and joined before anything they use goes.
  supervisor::State state;

 private:
  std::size_t seen_ = 0;
};

// One project's settings at one rescan.
struct Setting {
  std::string mode = "hybrid";
  std::string window_json{};  // empty: absent
  std::optional<std::string> title = "Song";
  std::string path_suffix{};  // appended to the folder as the registry writes it
};

struct ReconcileCase {
  std::string name;
  Setting before;
  Setting after;
  // Lines of the first and of the second rescan; "{p}" stands for the project folder.
  std::vector<std::string> first;
  std::vector<std::string> second;
  std::optional<std::chrono::seconds> watched_window;  // the window of the watcher left running, if any
};

void PrintTo(const ReconcileCase& c, std::ostream* out) { *out << c.name; }

std::string expand(std::string text, const std::string& folder) {
  for (auto at = text.find("{p}"); at != std::string::npos; at = text.find("{p}", at + folder.size())) {
    text.replace(at, 3, folder);
  }
  return text;
}

class Reconciliation : public SupervisorTest, public ::testing::WithParamInterface<ReconcileCase> {};

TEST_P(Reconciliation, PrintsExactLinesAndLeavesOneWatcherPerWatchedProject) {
  const ReconcileCase& c = GetParam();
  const fs::path root = make_project("song", "w1", c.before.mode, c.before.window_json);
  const std::string folder = root.string();

  write_registry({{"w1", folder + c.before.path_suffix, c.before.title}});
  supervisor::rescan(state, options);
  std::vector<std::string> first;
  for (const auto& line : c.first) first.push_back(expand(line, folder));
  EXPECT_EQ(new_lines(), first);
  const std::optional<tallowmere_daemon::ipc::WatchedProject> before = entry("w1");

  write_config("w1", c.after.mode, c.after.window_json);
  write_registry({{"w1", folder + c.after.path_suffix, c.after.title}});
  supervisor::rescan(state, options);
  std::vector<std::string> second;
  for (const auto& line : c.second) second.push_back(expand(line, folder));
  EXPECT_EQ(new_lines(), second);

  // The map and the running loops agree: exactly the map entry's watcher is still wanted.
  const auto after = entry("w1");
  ASSERT_EQ(after.has_value(), c.watched_window.has_value());
  if (after) {
    EXPECT_EQ(after->collapse_window, *c.watched_window);
    EXPECT_EQ(after->project_path, folder + c.after.path_suffix);
    EXPECT_TRUE(wait_live({after->running}));
    // The loop's window is in nanoseconds, which saturate for windows of more than 292 years.
    constexpr auto longest = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::nanoseconds::max());
    const auto loop_window = *c.watched_window >= longest ? std::chrono::nanoseconds::max()
                                                          : std::chrono::nanoseconds(*c.watched_window);
    const auto starts = loops.starts();
    const auto own = std::find_if(starts.begin(), starts.end(), [&](const auto& s) { return s.running == after->running; });
    ASSERT_NE(own, starts.end());
    EXPECT_EQ(own->window, loop_window);
    // Nothing printed means nothing replaced: the same watcher, with the title it started with.
    if (c.second.empty() && before) {
      EXPECT_EQ(after->running, before->running);
      EXPECT_EQ(after->title, before->title);
    }
  } else {
    EXPECT_TRUE(wait_live({}));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Supervisor, Reconciliation,
    ::testing::Values(
        ReconcileCase{"ModeOff", {}, {.mode = "manual"}, {"out: Watching {p} (Song)"},
                      {"out: Reconciling {p} (Song): no longer watch-enabled"}, std::nullopt},
        ReconcileCase{"CapitalisedHybridIsOff", {}, {.mode = "Hybrid"}, {"out: Watching {p} (Song)"},
                      {"out: Reconciling {p} (Song): no longer watch-enabled"}, std::nullopt},
        ReconcileCase{"WindowChanged",
                      {.window_json = "5"},
                      {.window_json = "10"},
                      {"out: Watching {p} (Song)"},
                      {"out: Reconciling {p} (Song): signing interval changed", "out: Watching {p} (Song)"},
                      std::chrono::seconds(600)},
        ReconcileCase{"AbsentWindowEqualsZero", {}, {.window_json = "0"}, {"out: Watching {p} (Song)"}, {},
                      std::chrono::seconds(0)},
        ReconcileCase{"ZeroWindowEqualsNull", {.window_json = "0"}, {.window_json = "null"},
                      {"out: Watching {p} (Song)"}, {}, std::chrono::seconds(0)},
        ReconcileCase{"LargestWindowDoesNotOverflow", {.window_json = "1"}, {.window_json = "4294967295"},
                      {"out: Watching {p} (Song)"},
                      {"out: Reconciling {p} (Song): signing interval changed", "out: Watching {p} (Song)"},
                      std::chrono::seconds(4294967295LL * 60)},
        ReconcileCase{"TrailingSlashIsRelocated", {}, {.path_suffix = "/"}, {"out: Watching {p} (Song)"},
                      {"out: Reconciling {p}/ (Song): relocated", "out: Watching {p}/ (Song)"},
                      std::chrono::seconds(0)},
        ReconcileCase{"ModeOffWinsOverRelocation", {}, {.mode = "manual", .path_suffix = "/"},
                      {"out: Watching {p} (Song)"}, {"out: Reconciling {p}/ (Song): no longer watch-enabled"},
                      std::nullopt},
        ReconcileCase{"TurnedOnLater", {.mode = "manual"}, {.mode = "event_triggered"}, {},
                      {"out: Watching {p} (Song)"}, std::chrono::seconds(0)},
        ReconcileCase{"NeverWatched", {.mode = "manual"}, {.mode = "off"}, {}, {}, std::nullopt},
        ReconcileCase{"TitleChangeAloneChangesNothing", {}, {.title = "Renamed"}, {"out: Watching {p} (Song)"}, {},
                      std::chrono::seconds(0)},
        ReconcileCase{"TitleShownIsTheRegistrysCurrentOne",
                      {.window_json = "1"},
                      {.window_json = "2", .title = "Renamed"},
                      {"out: Watching {p} (Song)"},
                      {"out: Reconciling {p} (Renamed): signing interval changed", "out: Watching {p} (Renamed)"},
                      std::chrono::seconds(120)},
        ReconcileCase{"Untitled", {.title = std::nullopt}, {.mode = "manual", .title = std::nullopt},
                      {"out: Watching {p} (untitled)"}, {"out: Reconciling {p} (untitled): no longer watch-enabled"},
                      std::nullopt}),
    [](const auto& info) { return info.param.name; });

TEST_F(SupervisorTest, ReplacedWatcherIsStoppedAndTheNewEntryIsItsSuccessors) {
  const fs::path root = make_project("song", "w1", "hybrid", "5");
  write_registry({{"w1", root.string(), "Song"}});
  supervisor::rescan(state, options);
  const auto first = entry("w1");
  ASSERT_TRUE(first);

  write_config("w1", "hybrid", "10");
  supervisor::rescan(state, options);
  const auto second = entry("w1");
  ASSERT_TRUE(second);
  EXPECT_NE(second->running, first->running);
  EXPECT_FALSE(first->running->load());
  // The old watcher ends after its replacement was put in; it must leave the new entry alone.
  ASSERT_TRUE(tallowmere_test::wait_until([&] { return loops.ended() == 1; }));
  const auto now = entry("w1");
  ASSERT_TRUE(now);
  EXPECT_EQ(now->running, second->running);
  EXPECT_TRUE(second->running->load());
}

TEST_F(SupervisorTest, TwoEntriesWithOneWorkIdReplaceEachOtherAtEveryRescan) {
  const fs::path first = make_project("first", "w1");
  const fs::path second = make_project("second", "w1");
  write_registry({{"w1", first.string(), "First"}, {"w1", second.string(), "Second"}});

  supervisor::rescan(state, options);
  EXPECT_EQ(new_lines(), (std::vector<std::string>{
                             "out: Watching " + first.string() + " (First)",
                             "out: Reconciling " + second.string() + " (Second): relocated",
                             "out: Watching " + second.string() + " (Second)",
                         }));
  for (int round = 0; round < 2; ++round) {
    supervisor::rescan(state, options);
    EXPECT_EQ(new_lines(), (std::vector<std::string>{
                               "out: Reconciling " + first.string() + " (First): relocated",
                               "out: Watching " + first.string() + " (First)",
                               "out: Reconciling " + second.string() + " (Second): relocated",
                               "out: Watching " + second.string() + " (Second)",
                           }));
  }
  const auto watched = entry("w1");
  ASSERT_TRUE(watched);
  EXPECT_EQ(watched->project_path, second.string());
  EXPECT_TRUE(wait_live({watched->running}));
  const auto starts = loops.starts();
  const auto running = std::find_if(starts.begin(), starts.end(), [&](const auto& s) { return s.running == watched->running; });
  ASSERT_NE(running, starts.end());
  EXPECT_EQ(running->root, second);
}

// Two registry entries of one project folder (a second `tallowmere init` leaves them behind):
// both load the history the pointer names, which gets one watcher.
class OneHistory : public SupervisorTest {
 protected:
  std::string pointer_line(const std::string& entry_work_id, const std::string& pointer_work_id) const {
    return fmt::format("err: WARNING: the pointer file {} names work id {}, not the registry's {}; following the "
                       "pointer to {}",
                       (root / ".tallowmere").string(), pointer_work_id, entry_work_id,
                       (central / "projects" / pointer_work_id).string());
  }
  std::string second_line(const std::string& entry_work_id, const std::string& history,
                          const std::string& owner) const {
    return fmt::format("err: WARNING: not watching {} ({}): its project, {}, is already watched as {}", root.string(),
                       entry_work_id, (central / "projects" / history).string(), owner);
  }
  std::string watching(const std::string& title) const { return "out: Watching " + root.string() + " (" + title + ")"; }

  // The work ids in the map, and that exactly their watchers run.
  std::vector<std::string> watched_ids() {
    std::vector<std::string> ids;
    std::vector<Flag> flags;
    {
      std::lock_guard lock(state.watched->mutex);
      for (const auto& [work_id, project] : state.watched->by_work_id) {
        ids.push_back(work_id);
        flags.push_back(project.running);
      }
    }
    EXPECT_TRUE(wait_live(flags));
    return ids;
  }

  const fs::path root = temp / "song";
};

TEST_F(OneHistory, TheEntryThePointerNamesIsWatchedWhateverTheOrder) {
  make_project("song", "b");
  const std::string f = root.string();
  write_registry({{"a", f, "A"}, {"b", f, "B"}});
  supervisor::rescan(state, options);
  EXPECT_EQ(new_lines(), (std::vector<std::string>{pointer_line("a", "b"), second_line("a", "b", "b"), watching("B")}));
  EXPECT_EQ(watched_ids(), std::vector<std::string>{"b"});
  const Flag first_flag = entry("b")->running;

  // Once said, the warnings hold quietly; the order of the entries changes nothing.
  supervisor::rescan(state, options);
  write_registry({{"b", f, "B"}, {"a", f, "A"}});
  supervisor::rescan(state, options);
  EXPECT_EQ(new_lines(), std::vector<std::string>{});
  EXPECT_EQ(entry("b")->running, first_flag);

  // The kept entry's watcher is replaced; the other stays unwatched without a word.
  write_config("b", "hybrid", "3");
  supervisor::rescan(state, options);
  EXPECT_EQ(new_lines(),
            (std::vector<std::string>{"out: Reconciling " + f + " (B): signing interval changed", watching("B")}));
  EXPECT_EQ(watched_ids(), std::vector<std::string>{"b"});

  // Its entry removed, the other entry takes the history over, and gives it back when it returns.
  write_registry({{"a", f, "A"}});
  supervisor::rescan(state, options);
  EXPECT_EQ(new_lines(), std::vector<std::string>{watching("A")});
  EXPECT_EQ(watched_ids(), std::vector<std::string>{"a"});
  write_registry({{"a", f, "A"}, {"b", f, "B"}});
  supervisor::rescan(state, options);
  EXPECT_EQ(new_lines(), (std::vector<std::string>{second_line("a", "b", "b"), watching("B")}));
  EXPECT_EQ(watched_ids(), std::vector<std::string>{"b"});

  // Turned off, neither is watched; turned on again, the one the pointer names.
  write_config("b", "manual", "");
  supervisor::rescan(state, options);
  EXPECT_EQ(new_lines(), std::vector<std::string>{"out: Reconciling " + f + " (B): no longer watch-enabled"});
  EXPECT_EQ(watched_ids(), std::vector<std::string>{});
  write_config("b", "hybrid", "");
  supervisor::rescan(state, options);
  EXPECT_EQ(new_lines(), std::vector<std::string>{watching("B")});
  EXPECT_EQ(watched_ids(), std::vector<std::string>{"b"});
}

// A watched folder initialised again: its pointer names the new work id, and the old entry's
// watcher, which appends to the old history, gives way to the new entry's.
TEST_F(OneHistory, AFolderInitialisedAgainMovesItsWatcherToTheNewHistory) {
  make_project("song", "a");
  const std::string f = root.string();
  write_registry({{"a", f, "A"}});
  supervisor::rescan(state, options);
  EXPECT_EQ(new_lines(), std::vector<std::string>{watching("A")});

  make_project("song", "b");
  write_registry({{"a", f, "A"}, {"b", f, "B"}});
  supervisor::rescan(state, options);
  EXPECT_EQ(new_lines(), (std::vector<std::string>{pointer_line("a", "b"), second_line("a", "b", "b"), watching("B")}));
  // Only the new entry's watcher is still wanted: the old one appended to the old history.
  EXPECT_EQ(watched_ids(), std::vector<std::string>{"b"});
  EXPECT_TRUE(tallowmere_test::wait_until([&] { return loops.starts().size() == 2; }));
}

// With only one entry, a pointer that names another history is followed, and said once.
TEST_F(OneHistory, APointerNamingAnotherHistoryIsFollowedAndSaidOnce) {
  make_project("song", "z");
  const std::string f = root.string();
  write_registry({{"a", f, "A"}});
  supervisor::rescan(state, options);
  EXPECT_EQ(new_lines(), (std::vector<std::string>{pointer_line("a", "z"), watching("A")}));
  supervisor::rescan(state, options);
  EXPECT_EQ(new_lines(), std::vector<std::string>{});
  EXPECT_EQ(watched_ids(), std::vector<std::string>{"a"});
  ASSERT_EQ(loops.starts().size(), 1u);
}

// Neither entry is the one the pointer names: the first keeps the history, whatever the order
// becomes, until it leaves the registry.
TEST_F(OneHistory, WithoutTheNamedEntryTheWatchingOneKeepsItUntilItLeaves) {
  make_project("song", "z");
  const std::string f = root.string();
  write_registry({{"a", f, "A"}, {"c", f, "C"}});
  supervisor::rescan(state, options);
  EXPECT_EQ(new_lines(), (std::vector<std::string>{pointer_line("a", "z"), watching("A"), pointer_line("c", "z"),
                                                   second_line("c", "z", "a")}));
  write_registry({{"c", f, "C"}, {"a", f, "A"}});
  supervisor::rescan(state, options);
  EXPECT_EQ(new_lines(), std::vector<std::string>{});
  EXPECT_EQ(watched_ids(), std::vector<std::string>{"a"});

  // The project turns briefly unreadable: the watching entry keeps its watcher silently, the other
  // is skipped as any unwatched project is, and once readable again still waits.
  tallowmere_test::write_file(central / "projects" / "z" / "config.json", "{\"checkpoint_policy\":");
  write_registry({{"a", f, "A"}, {"c", f, "C"}});
  supervisor::rescan(state, options);
  const auto lines = new_lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(lines[0].starts_with("err: WARNING: skipping C (c): ")) << lines[0];
  write_config("z", "hybrid", "");
  supervisor::rescan(state, options);
  EXPECT_EQ(new_lines(), std::vector<std::string>{});
  EXPECT_EQ(watched_ids(), std::vector<std::string>{"a"});

  write_registry({{"c", f, "C"}});
  supervisor::rescan(state, options);
  EXPECT_EQ(new_lines(), std::vector<std::string>{watching("C")});
  EXPECT_EQ(watched_ids(), std::vector<std::string>{"c"});
}

TEST_F(SupervisorTest, ProjectThatFailsToLoadWarnsOnlyWhileUnwatched) {
  const fs::path watched = make_project("watched", "w1");
  const fs::path missing = temp / "missing";
  write_registry({{"w1", watched.string(), "Song"},
                  {"w2", missing.string(), "Lost Song"},
                  {"w3", missing.string(), std::nullopt}});
  const std::string cause = fmt::format(
      "{0} is not a tallowmere project (run `tallowmere init --project {0} --contributor-name <name>` first)",
      missing.string());
  const std::vector<std::string> warnings{
      "err: WARNING: skipping Lost Song (w2): " + cause,
      "err: WARNING: skipping " + missing.string() + " (w3): " + cause,
  };

  supervisor::rescan(state, options);
  std::vector<std::string> expected{"out: Watching " + watched.string() + " (Song)"};
  expected.insert(expected.end(), warnings.begin(), warnings.end());
  EXPECT_EQ(new_lines(), expected);
  const auto before = entry("w1");
  ASSERT_TRUE(before);

  // A watched project whose configuration is briefly broken, or whose pointer file is gone, keeps
  // its watcher without a word; the unwatched ones are retried and warned about again.
  tallowmere_test::write_file(central / "projects" / "w1" / "config.json", "{\"checkpoint_policy\":");
  supervisor::rescan(state, options);
  EXPECT_EQ(new_lines(), warnings);
  fs::remove(watched / ".tallowmere");
  supervisor::rescan(state, options);
  EXPECT_EQ(new_lines(), warnings);

  const auto after = entry("w1");
  ASSERT_TRUE(after);
  EXPECT_EQ(after->running, before->running);
  EXPECT_TRUE(after->running->load());
  EXPECT_EQ(map_size(), 1u);
}

struct FailingLoopCase {
  std::string name;
  std::optional<Behaviour> behaviour;  // none: the real watch loop, which finds no signing key
  std::string error;                   // the chain in the ERROR line
};

void PrintTo(const FailingLoopCase& c, std::ostream* out) { *out << c.name; }

class FailingLoop : public SupervisorTest, public ::testing::WithParamInterface<FailingLoopCase> {};

TEST_P(FailingLoop, PrintsOneErrorAndOneWatchingLinePerRescan) {
  const FailingLoopCase& c = GetParam();
  options.watch_loop = c.behaviour ? loops.loop(*c.behaviour) : supervisor::WatchLoop{};
  const fs::path root = make_project("song", "w1");
  write_registry({{"w1", root.string(), "Song"}});

  for (int round = 0; round < 3; ++round) {
    supervisor::rescan(state, options);
    // The watcher removes its own entry as it ends, so the next rescan sees the project as new.
    ASSERT_TRUE(wait_unwatched("w1"));
    ASSERT_TRUE(tallowmere_test::wait_until([&] { return capture.all_lines().size() >= 2u * (round + 1); }));
  }
  std::vector<std::string> expected;
  for (int round = 0; round < 3; ++round) {
    expected.push_back("out: Watching " + root.string() + " (Song)");
    expected.push_back("err: ERROR: watcher for " + root.string() + " (w1) stopped: " + c.error);
  }
  // The real loop prints nothing before its key search fails; its lines are the ones above.
  EXPECT_EQ(new_lines(), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Supervisor, FailingLoop,
    ::testing::Values(
        FailingLoopCase{"ReturnsAnError", Behaviour::fail_at_once, "cannot start: no key for you"},
        FailingLoopCase{"ThrowsAnException", Behaviour::throw_exception, "watcher thread failed: boom"},
        FailingLoopCase{"ThrowsSomethingElse", Behaviour::throw_non_exception,
                        "watcher thread failed: unknown exception"},
        FailingLoopCase{"RealLoopWithoutKey", std::nullopt,
                        "no signing key found in OS secure storage for any of this project's 0 recorded "
                        "contributor(s). This usually means this project was initialized on a different device or "
                        "user account, or the key was deleted without running `tallowmere de-init`. If the key is "
                        "unrecoverable, see `tallowmere recover-identity`."}),
    [](const auto& info) { return info.param.name; });

TEST_F(SupervisorTest, LoopThatEndsBySelfIsStartedAgainWithoutAnError) {
  options.watch_loop = loops.loop(Behaviour::end_at_once);
  const fs::path root = make_project("song", "w1");
  write_registry({{"w1", root.string(), "Song"}});
  supervisor::rescan(state, options);
  ASSERT_TRUE(wait_unwatched("w1"));
  supervisor::rescan(state, options);
  ASSERT_TRUE(wait_unwatched("w1"));
  EXPECT_EQ(new_lines(), (std::vector<std::string>{"out: Watching " + root.string() + " (Song)",
                                                   "out: Watching " + root.string() + " (Song)"}));
}

TEST_F(SupervisorTest, RefusedThreadIsReportedAndTriedAgainAtTheNextRescan) {
  int refusals_left = 1;
  options.start_watcher_thread = [&refusals_left](tallowmere_core::UniqueFunction<void()> body) {
    if (refusals_left-- > 0) throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    return std::thread(std::move(body));
  };
  const fs::path first = make_project("first", "w1");
  const fs::path second = make_project("second", "w2");
  write_registry({{"w1", first.string(), "First"}, {"w2", second.string(), "Second"}});

  supervisor::rescan(state, options);
  EXPECT_EQ(new_lines(), (std::vector<std::string>{
                             "out: Watching " + first.string() + " (First)",
                             "err: ERROR: watcher for " + first.string() +
                                 " (w1) stopped: failed to start the watcher thread: Resource temporarily "
                                 "unavailable (os error 11)",
                             "out: Watching " + second.string() + " (Second)",
                         }));
  EXPECT_FALSE(entry("w1"));
  ASSERT_TRUE(entry("w2"));
  EXPECT_EQ(state.watchers.size(), 1u);

  supervisor::rescan(state, options);
  EXPECT_EQ(new_lines(), std::vector<std::string>{"out: Watching " + first.string() + " (First)"});
  const auto first_entry = entry("w1");
  const auto second_entry = entry("w2");
  ASSERT_TRUE(first_entry);
  ASSERT_TRUE(second_entry);
  EXPECT_TRUE(wait_live({first_entry->running, second_entry->running}));
}

TEST_F(SupervisorTest, MissingRegistryPrintsNothingAndIsPickedUpOnceWritten) {
  make_project("song", "w1");
  supervisor::rescan(state, options);
  supervisor::rescan(state, options);
  EXPECT_EQ(new_lines(), std::vector<std::string>{});
  EXPECT_EQ(map_size(), 0u);

  write_registry({{"w1", (temp / "song").string(), "Song"}});
  supervisor::rescan(state, options);
  EXPECT_EQ(new_lines(), std::vector<std::string>{"out: Watching " + (temp / "song").string() + " (Song)"});
}

TEST_F(SupervisorTest, UnreadableRegistryWarnsAtEveryRescanAndWatchersGoOn) {
  const fs::path root = make_project("song", "w1");
  write_registry({{"w1", root.string(), "Song"}});
  supervisor::rescan(state, options);
  new_lines();
  const auto before = entry("w1");
  ASSERT_TRUE(before);
  const fs::path registry = central / "registry.json";

  struct Broken {
    const char* name;
    std::function<void()> make;
  };
  const std::vector<Broken> cases{
      {"not JSON", [&] { tallowmere_test::write_file(registry, "{\"schema_version\": "); }},
      {"wrong shape", [&] { tallowmere_test::write_file(registry, R"({"schema_version":"0.1"})"); }},
      {"a folder", [&] {
         fs::remove(registry);
         fs::create_directory(registry);
       }},
  };
  for (const auto& broken : cases) {
    SCOPED_TRACE(broken.name);
    std::error_code ignored;
    fs::remove_all(registry, ignored);
    broken.make();
    const auto error = tallowmere_core::registry::load_registry(registry);
    ASSERT_FALSE(error.has_value());
    const std::string line = "err: WARNING: failed to read project registry: failed to load " + registry.string() +
                             ": " + ErrorChain(error.error()).one_line();
    for (int round = 0; round < 2; ++round) {
      supervisor::rescan(state, options);
      EXPECT_EQ(new_lines(), std::vector<std::string>{line});
    }
  }
  const auto after = entry("w1");
  ASSERT_TRUE(after);
  EXPECT_EQ(after->running, before->running);
  EXPECT_TRUE(after->running->load());
}

TEST_F(SupervisorTest, ProjectRemovedFromTheRegistryStaysWatched) {
  const fs::path root = make_project("song", "w1");
  write_registry({{"w1", root.string(), "Song"}});
  supervisor::rescan(state, options);
  new_lines();
  const auto before = entry("w1");
  ASSERT_TRUE(before);

  write_registry({});
  supervisor::rescan(state, options);
  // Even turned off, it is not visited any more.
  write_config("w1", "manual", "");
  supervisor::rescan(state, options);
  EXPECT_EQ(new_lines(), std::vector<std::string>{});
  const auto after = entry("w1");
  ASSERT_TRUE(after);
  EXPECT_EQ(after->running, before->running);
  EXPECT_TRUE(after->running->load());
}

TEST_F(SupervisorTest, StopWatchersStopsEveryWatcherBeforeJoiningAny) {
  // Each loop ends only once every loop has been told to stop: joining one before clearing the
  // others' flags would never finish.
  std::vector<Flag> all;
  std::mutex all_mutex;
  std::atomic<int> saw_all_stopped{0};
  options.watch_loop = [&](LoadedProject, std::chrono::nanoseconds, Flag running) -> Status {
    {
      std::lock_guard lock(all_mutex);
      all.push_back(running);
    }
    const bool all_stopped = tallowmere_test::wait_until([&] {
      std::lock_guard lock(all_mutex);
      return all.size() == 4 && std::none_of(all.begin(), all.end(), [](const Flag& f) { return f->load(); });
    });
    if (all_stopped) ++saw_all_stopped;
    return {};
  };
  const fs::path a = make_project("a", "w1");
  const fs::path b = make_project("b", "w2", "hybrid", "1");
  const fs::path c = make_project("c", "w3");
  write_registry({{"w1", a.string(), "A"}, {"w2", b.string(), "B"}, {"w3", c.string(), "C"}});
  supervisor::rescan(state, options);
  // w2 is replaced (its old watcher's entry is gone), and w3 leaves the registry (its entry stays).
  write_config("w2", "hybrid", "2");
  write_registry({{"w1", a.string(), "A"}, {"w2", b.string(), "B"}});
  supervisor::rescan(state, options);
  ASSERT_TRUE(tallowmere_test::wait_until([&] {
    std::lock_guard lock(all_mutex);
    return all.size() == 4;
  }));
  supervisor::stop_watchers(state);
  EXPECT_EQ(saw_all_stopped.load(), 4);
  EXPECT_TRUE(state.watchers.empty());
}

// run(): the waiting loop, the rescan request flag and the shutdown, through the running flag.
class SupervisorRun : public SupervisorTest {
 protected:
  void start(supervisor::Options run_options) {
    thread_ = std::thread([this, run_options = std::move(run_options)] {
      supervisor::run(running, run_options, state);
      returned = true;
    });
  }
  void stop() {
    running->store(false);
    if (thread_.joinable()) thread_.join();
  }
  void TearDown() override { stop(); }

  bool wait_for_line(const std::string& line) {
    return tallowmere_test::wait_until([&] {
      const auto lines = capture.all_lines();
      return std::find(lines.begin(), lines.end(), line) != lines.end();
    });
  }

  Flag running = std::make_shared<tallowmere_cli::Flag>(true);
  std::atomic<bool> returned{false};

 private:
  std::thread thread_;
};

TEST_F(SupervisorRun, RescansAtTheIntervalAndStopsEveryWatcherOnReturn) {
  const fs::path a = make_project("a", "w1", "hybrid", "5");
  const fs::path b = make_project("b", "w2");
  write_registry({{"w1", a.string(), "A"}, {"w2", b.string(), "B"}});
  start(options);
  ASSERT_TRUE(wait_for_line("out: Watching " + b.string() + " (B)"));

  // Picked up by a later rescan, with no request: the interval is short.
  write_config("w1", "hybrid", "10");
  write_registry({{"w1", a.string(), "A"}});
  ASSERT_TRUE(wait_for_line("out: Reconciling " + a.string() + " (A): signing interval changed"));
  ASSERT_TRUE(tallowmere_test::wait_until([&] { return loops.starts().size() == 3; }));

  stop();
  EXPECT_TRUE(returned);
  // Every loop ever started has ended, also that of w2, which left the registry while watched.
  EXPECT_EQ(loops.ended(), 3);
  EXPECT_TRUE(loops.live().empty());
  EXPECT_TRUE(state.watchers.empty());
}

TEST_F(SupervisorRun, RescanRequestIsTakenWithinTheWait) {
  options.rescan_interval = std::chrono::hours(1);
  const fs::path root = make_project("song", "w1");
  write_registry({{"w1", root.string(), "Song"}});
  start(options);
  ASSERT_TRUE(wait_for_line("out: Watching " + root.string() + " (Song)"));

  write_config("w1", "manual", "");
  state.rescan->store(true);
  ASSERT_TRUE(wait_for_line("out: Reconciling " + root.string() + " (Song): no longer watch-enabled"));
  // The request was consumed by that rescan.
  EXPECT_TRUE(tallowmere_test::wait_until([&] { return !state.rescan->load(); }));
}

// The wait between rescans sleeps until it is told otherwise; a stop an hour before the next rescan
// is due ends it, and the service, at once.
TEST_F(SupervisorRun, StopDuringTheWaitEndsItAndStopsEveryWatcher) {
  options.rescan_interval = std::chrono::hours(1);
  const fs::path root = make_project("song", "w1");
  write_registry({{"w1", root.string(), "Song"}});
  start(options);
  ASSERT_TRUE(wait_for_line("out: Watching " + root.string() + " (Song)"));
  // Subscribed to the flag: the supervisor is waiting, or about to.
  ASSERT_TRUE(tallowmere_test::wait_until([&] { return running->subscription_count() == 1; }));

  running->store(false);
  const bool stopped = tallowmere_test::wait_until([&] { return returned.load(); });
  // A wait that missed the stop still ends for a request, so that the test ends.
  if (!stopped) state.rescan->store(true);
  stop();
  EXPECT_TRUE(stopped);
  EXPECT_EQ(loops.ended(), 1);
  EXPECT_TRUE(state.watchers.empty());
}

TEST_F(SupervisorRun, FlagClearedBeforeTheFirstRescanStartsNothing) {
  const fs::path root = make_project("song", "w1");
  write_registry({{"w1", root.string(), "Song"}});
  running->store(false);
  supervisor::run(running, options, state);
  EXPECT_EQ(new_lines(), std::vector<std::string>{});
  EXPECT_TRUE(loops.starts().empty());
}

TEST_F(SupervisorRun, ControlSocketSharesTheMapAndTakesRescanRequests) {
  options.rescan_interval = std::chrono::hours(1);
  options.serve_control_socket = true;
  const fs::path root = make_project("song", "w1");
  write_registry({{"w1", root.string(), "Song"}});
  start(options);
  ASSERT_TRUE(wait_for_line("out: Watching " + root.string() + " (Song)"));
  const fs::path socket = central / "run" / "daemon.sock";

  // The socket file appears at bind, a moment before the server listens.
  tallowmere_cli::Result<std::vector<tallowmere_daemon::ipc::ProjectStatus>> projects;
  ASSERT_TRUE(tallowmere_test::wait_until([&] {
    projects = tallowmere_daemon::ipc::query_status();
    return projects.has_value();
  })) << projects.error().one_line();
  ASSERT_EQ(projects->size(), 1u);
  EXPECT_EQ(projects->front().work_id, "w1");
  EXPECT_EQ(projects->front().project_path, root.string());

  write_config("w1", "hybrid", "3");
  EXPECT_EQ(tallowmere_test::control_socket::request_reply(socket, "\"Rescan\"\n"), "\"Ack\"\n");
  ASSERT_TRUE(wait_for_line("out: Reconciling " + root.string() + " (Song): signing interval changed"));

  stop();
  EXPECT_TRUE(returned);
}

}  // namespace

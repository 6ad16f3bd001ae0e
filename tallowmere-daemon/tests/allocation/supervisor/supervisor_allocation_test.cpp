// The supervisor when memory runs out: the allocation probe replaces the global operator new, so it
// has a program of its own. Each run fails one allocation of the supervisor's thread, the n-th
// since it started, for n across the first pass (the control-socket thread's start, the rescan,
// the wait's subscriptions); whichever it is, the service goes on and stops cleanly.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "console.h"
#include "supervisor.h"
#include "test_support.h"

namespace allocation_probe {

// Counted and failed only on the thread that set `on_this_thread`.
thread_local bool on_this_thread = false;
std::atomic<long> allocations{0};
std::atomic<long> fail_at{0};  // 0: count only
std::atomic<bool> failed{false};

}  // namespace allocation_probe

// The sanitizers bring allocators of their own, which a replacement would hide from them.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool allocation_probe_built = false;
#else
constexpr bool allocation_probe_built = true;

// Only this one is replaced: the others forward to it, and the library's operator delete gives
// the block back to free().
void* operator new(std::size_t size) {
  if (allocation_probe::on_this_thread) {
    const long number = ++allocation_probe::allocations;
    if (number == allocation_probe::fail_at.load()) {
      allocation_probe::failed = true;
      throw std::bad_alloc();
    }
  }
  if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}
#endif

namespace {

namespace fs = std::filesystem;
namespace supervisor = tallowmere_daemon::supervisor;
using Flag = tallowmere_cli::SharedFlag;

// A watched project, one that cannot load, and a watch loop that waits for its flag.
class World {
 public:
  World() {
    const fs::path song = temp / "song";
    tallowmere_test::write_file(song / ".tallowmere", R"({"schema_version":"1","work_id":"w1","warning":"x"})");
    tallowmere_test::write_file(central / "projects" / "w1" / "manifest.json",
                                R"({"schema_version":"1","work_id":"w1","title":"Song","created_at":)"
                                R"("2026-01-01T00:00:00+01:00","contributors":[],"current_head_hash":null,)"
                                R"("current_sequence":0})");
    tallowmere_test::write_file(central / "projects" / "w1" / "config.json",
                                R"({"checkpoint_policy":{"mode":"hybrid","event_triggers":["session_save"]}})");
    tallowmere_test::write_file(
        central / "registry.json",
        R"({"schema_version":"0.1","projects":[)"
        R"({"work_id":"w1","project_path":")" + song.string() +
            R"(","title":"Song","registered_at":"2026-01-01T00:00:00+01:00"},)"
            R"({"work_id":"w2","project_path":")" + (temp / "lost").string() +
            R"(","title":"Lost","registered_at":"2026-01-01T00:00:00+01:00"}]})");
  }

  tallowmere_test::TempDir temp;
  const fs::path central = temp / "central";
  tallowmere_test::ScopedEnv tallowmere_home{"TALLOWMERE_HOME", central.string()};
  tallowmere_test::ScopedEnv home{"HOME", (temp / "home").string()};
  tallowmere_test::ScopedEnv data_home{"XDG_DATA_HOME", (temp / "data").string()};
};

struct Outcome {
  bool failed = false;   // the chosen allocation was reached and failed
  bool escaped = false;  // an exception left run()
  bool watched_later = false;
  bool rescanned_after = false;  // a rescan after the one that watched the project
  bool all_joined = false;
  long allocations = 0;
  std::vector<std::string> errors;  // the "ERROR: " lines
};

// Runs the supervisor until it watches w1, failing its `fail_at`-th allocation (0: none), then
// stops it. `until_waiting`: with nothing failed, also until it has begun its wait.
Outcome run_supervisor(long fail_at, bool until_waiting = false) {
  World world;
  tallowmere_cli::console::Capture capture;
  std::atomic<int> loops_started{0};
  std::atomic<int> loops_ended{0};
  supervisor::Options options{
      .rescan_interval = std::chrono::hours(1),
      .watch_loop = [&](tallowmere_cli::LoadedProject, std::chrono::nanoseconds,
                        Flag running) -> tallowmere_cli::Status {
        ++loops_started;
        while (running->load()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ++loops_ended;
        return {};
      },
      .start_watcher_thread = {},
      .serve_control_socket = true};
  supervisor::State state;
  const Flag running = std::make_shared<tallowmere_cli::Flag>(true);

  Outcome outcome;
  allocation_probe::allocations = 0;
  allocation_probe::failed = false;
  allocation_probe::fail_at = fail_at;
  std::thread thread([&] {
    allocation_probe::on_this_thread = true;
    try {
      supervisor::run(running, options, state);
    } catch (...) {
      outcome.escaped = true;
    }
    allocation_probe::on_this_thread = false;
  });
  const auto watched = [&] {
    std::lock_guard lock(state.watched->mutex);
    const auto it = state.watched->by_work_id.find("w1");
    return it != state.watched->by_work_id.end() && it->second.running->load();
  };
  // Whatever failed, a later rescan watches the project; requests bring it on.
  outcome.watched_later = tallowmere_test::wait_until([&] {
    if (watched() && (!until_waiting || state.rescan->subscription_count() == 1)) return true;
    if (!until_waiting) state.rescan->store(true);
    return false;
  });
  outcome.allocations = allocation_probe::allocations.load();
  // And the loop goes on after a failed wait too: a changed window is seen at a later rescan.
  if (!until_waiting) {
    tallowmere_test::write_file(world.central / "projects" / "w1" / "config.json",
                                R"({"checkpoint_policy":{"mode":"hybrid","event_triggers":["session_save"],)"
                                R"("collapse_window_minutes":1}})");
    outcome.rescanned_after = tallowmere_test::wait_until([&] {
      const auto lines = capture.out_lines();
      if (std::find_if(lines.begin(), lines.end(), [](const std::string& line) {
            return line.starts_with("Reconciling ") && line.ends_with(": signing interval changed");
          }) != lines.end()) {
        return true;
      }
      state.rescan->store(true);
      return false;
    });
  }
  running->store(false);
  thread.join();
  allocation_probe::fail_at = 0;
  outcome.failed = allocation_probe::failed.load();
  outcome.all_joined = state.watchers.empty() && loops_started.load() == loops_ended.load();
  for (const auto& line : capture.err_lines())
    if (line.starts_with("ERROR: ")) outcome.errors.push_back(line);
  return outcome;
}

TEST(SupervisorOutOfMemory, AFailedAllocationFailsOnePassAndEveryThreadIsJoined) {
  if (!allocation_probe_built) GTEST_SKIP() << "the allocation probe is left out of sanitizer builds";
  const Outcome clean = run_supervisor(0, true);
  ASSERT_TRUE(clean.watched_later);
  ASSERT_TRUE(clean.errors.empty()) << clean.errors.front();
  const long first_pass = clean.allocations;
  ASSERT_GT(first_pass, 20);

  // Every one of the first allocations, a spread of the middle ones, and the last ones, which are
  // the wait's subscriptions.
  std::set<long> chosen;
  for (long n = 1; n <= 10; ++n) chosen.insert(n);
  for (long step = 1; step <= 8; ++step) chosen.insert(10 + (first_pass - 14) * step / 9);
  for (long n = first_pass - 3; n <= first_pass; ++n) chosen.insert(n);

  int pass_failures = 0;
  for (const long n : chosen) {
    SCOPED_TRACE("allocation " + std::to_string(n) + " of " + std::to_string(first_pass));
    const Outcome outcome = run_supervisor(n);
    EXPECT_TRUE(outcome.failed);
    EXPECT_FALSE(outcome.escaped);
    EXPECT_TRUE(outcome.watched_later);
    EXPECT_TRUE(outcome.rescanned_after);
    EXPECT_TRUE(outcome.all_joined);
    EXPECT_LE(outcome.errors.size(), 1u);
    for (const auto& line : outcome.errors)
      if (line == "ERROR: rescan failed: out of memory") ++pass_failures;
  }
  // Most failures end their pass; some are one project's or one thread's own.
  EXPECT_GT(pass_failures, 0);
}

}  // namespace

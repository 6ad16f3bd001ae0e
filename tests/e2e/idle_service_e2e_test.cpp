// An idle service through the real executable: nothing in it wakes by itself, and whatever it
// waits for wakes it. Ctrl-C ends a service watching 20 idle projects, and a Rescan request starts
// a rescan though the next one of its own is five minutes away.
#include <gtest/gtest.h>

#include <csignal>
#include <string>

#include <fmt/format.h>

#include "daemon_world.h"
#include "test_support.h"

namespace {

using namespace std::chrono_literals;
using tallowmere_test::ChildProcess;
using tallowmere_test::DaemonWorld;

// Far beyond what a stop or a request needs even on a loaded machine, and far below the time
// between two rescans.
constexpr auto kWoken = 20s;

TEST(IdleService, CtrlCEndsAServiceWatchingTwentyIdleProjects) {
  constexpr int kProjects = 20;
  DaemonWorld world;
  for (int i = 0; i < kProjects; ++i) {
    world.add_project({.work_id = fmt::format("w{:02}", i), .folder = fmt::format("Song {:02}", i),
                       .title = fmt::format("Song {:02}", i)});
  }
  world.store_all_keys();
  ChildProcess daemon(world.daemon());
  ASSERT_TRUE(tallowmere_test::wait_for_lines_starting(daemon, "Press Ctrl-C to stop.", kProjects))
      << daemon.stdout_so_far() << daemon.stderr_so_far();

  daemon.send_signal(SIGINT);
  EXPECT_TRUE(tallowmere_test::wait_for_line(daemon, [](const std::string& line) { return line == "Stopped."; },
                                             false, kWoken))
      << daemon.stdout_so_far();
  const auto result = daemon.wait();
  EXPECT_EQ(result.exit_code, 0) << result.describe();
  EXPECT_FALSE(result.timed_out);
  EXPECT_TRUE(result.stdout_text.ends_with("\nStopped watching.\nStopped.\n")) << result.describe();
  EXPECT_EQ(tallowmere_test::count_lines_starting(result.stdout_text, "Stopped watching."), kProjects);
  EXPECT_EQ(result.stderr_text, "");
}

TEST(IdleService, ARescanRequestStartsARescanLongBeforeOneIsDue) {
  DaemonWorld world;
  world.add_project({.work_id = "w-first", .folder = "First", .title = "First"});
  world.store_all_keys();
  ChildProcess daemon(world.daemon());
  ASSERT_TRUE(tallowmere_test::wait_for_lines_starting(daemon, "Press Ctrl-C to stop.", 1))
      << daemon.stdout_so_far() << daemon.stderr_so_far();

  world.add_project({.work_id = "w-second", .folder = "Second", .title = "Second"});
  world.store_all_keys();
  // The socket may not listen yet when the first project is watched.
  ASSERT_TRUE(tallowmere_test::wait_until([&] { return world.request_rescan(); }));
  const std::string watching = "Watching " + world.project_folder("w-second").string() + " (Second)";
  EXPECT_TRUE(tallowmere_test::wait_for_line(daemon, [&](const std::string& line) { return line == watching; },
                                             false, kWoken))
      << daemon.stdout_so_far() << daemon.stderr_so_far();

  daemon.send_signal(SIGINT);
  const auto result = daemon.wait();
  EXPECT_EQ(result.exit_code, 0) << result.describe();
  EXPECT_TRUE(result.stdout_text.ends_with("\nStopped.\n")) << result.describe();
}

}  // namespace

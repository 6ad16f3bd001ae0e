// More watched projects than a user may have change-notification sources of the system (128 by
// default), through the real executable: every one of them is watched and checkpoints its save.
#include <gtest/gtest.h>

#include <csignal>
#include <string>

#include <fmt/format.h>

#include "daemon_world.h"
#include "test_support.h"

namespace {

using tallowmere_test::ChildProcess;
using tallowmere_test::DaemonWorld;

TEST(ManyProjects, TwoHundredWatchedProjectsAllCheckpoint) {
  constexpr int kProjects = 200;
  DaemonWorld world;
  const auto work_id = [](int i) { return fmt::format("w{:03}", i); };
  for (int i = 0; i < kProjects; ++i) {
    // A few folders share a parent, as projects under one music folder do.
    world.add_project({.work_id = work_id(i), .folder = fmt::format("Music {}/Song {:03}", i % 4, i), .title = work_id(i)});
  }
  world.store_all_keys();
  ChildProcess daemon(world.daemon());
  ASSERT_TRUE(tallowmere_test::wait_for_lines_starting(daemon, "Press Ctrl-C to stop.", kProjects,
                                                       std::chrono::seconds(120)))
      << daemon.stdout_so_far() << daemon.stderr_so_far();

  for (int i = 0; i < kProjects; ++i) world.save(work_id(i), "Song.rpp", fmt::format("<SESSION {}>\n", i));
  EXPECT_TRUE(tallowmere_test::wait_for_lines_starting(daemon, "[", kProjects, std::chrono::seconds(120)))
      << daemon.stdout_so_far() << daemon.stderr_so_far();

  daemon.send_signal(SIGINT);
  const auto result = daemon.wait();
  EXPECT_EQ(result.exit_code, 0) << result.describe();
  EXPECT_EQ(result.stderr_text, "");
  for (int i = 0; i < kProjects; ++i) {
    EXPECT_TRUE(world.last_entry_records(work_id(i), fmt::format("<SESSION {}>\n", i))) << work_id(i);
  }
}

}  // namespace

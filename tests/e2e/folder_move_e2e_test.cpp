// A watched project folder that is moved away and back, or replaced by a restored copy with the
// same pointer file, through the real executable: the watcher goes on watching the path, the
// project stays in `status` while no folder stands there, and the next save is recorded without
// any rescan (the next one is five minutes away).
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "daemon_world.h"
#include "hash.h"
#include "ledger.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using tallowmere_test::ChildProcess;
using tallowmere_test::DaemonWorld;

constexpr const char* kWorkId = "w-moved";

struct MoveCase {
  const char* label;
  // Takes `folder` away to `aside`'s place (or a copy of it there); `back` puts a folder back.
  std::function<void(const fs::path& folder, const fs::path& aside)> away;
  std::function<void(const fs::path& folder, const fs::path& aside)> back;
  friend void PrintTo(const MoveCase& c, std::ostream* out) { *out << c.label; }
};

class FolderMove : public ::testing::TestWithParam<MoveCase> {};

TEST_P(FolderMove, TheNextSaveIsRecordedWithoutARescanAndTheProjectStaysListed) {
  DaemonWorld world;
  world.add_project({.work_id = kWorkId, .folder = "Album", .title = "Album"});
  world.store_all_keys();
  world.save(kWorkId, "Song.rpp", "<SESSION 1>\n");
  const fs::path folder = world.project_folder(kWorkId);
  const fs::path aside = world.temp / "Album-aside";

  ChildProcess daemon(world.daemon());
  ASSERT_TRUE(tallowmere_test::wait_for_line(daemon, [](const std::string& l) { return l == "Press Ctrl-C to stop."; }))
      << daemon.stdout_so_far() << daemon.stderr_so_far();

  GetParam().away(folder, aside);
  const auto status = tallowmere_test::run_process(world.daemon({"status"}));
  EXPECT_EQ(status.exit_code, 0) << status.describe();
  EXPECT_TRUE(tallowmere_test::has_line(status.stdout_text, "  path:            " + folder.string()))
      << status.stdout_text;
  GetParam().back(folder, aside);

  world.save(kWorkId, "Song.rpp", "<SESSION 2>\n");
  const std::string saved = tallowmere_core::hash::sha256_hex("<SESSION 2>\n");
  EXPECT_TRUE(tallowmere_test::wait_until(
      [&] {
        const auto ledger = tallowmere_core::ledger::read_ledger(world.ledger_file(kWorkId));
        return ledger && !ledger->entries.empty() && ledger->entries.back().content_refs.at(0).sha256_hash == saved;
      },
      std::chrono::seconds(30)))
      << daemon.stdout_so_far() << daemon.stderr_so_far();

  daemon.send_signal(SIGINT);
  const auto result = daemon.wait();
  EXPECT_EQ(result.exit_code, 0) << result.describe();
  EXPECT_EQ(result.stderr_text, "");
  // One watcher all along: its start-up lines and its end, nothing in between.
  EXPECT_EQ(tallowmere_test::count_lines_starting(result.stdout_text, "Watching "), 2u) << result.stdout_text;
  EXPECT_EQ(tallowmere_test::count_lines_starting(result.stdout_text, "Stopped watching."), 1u) << result.stdout_text;
  EXPECT_TRUE(world.ledger_is_sound(kWorkId));
}

INSTANTIATE_TEST_SUITE_P(
    Ways, FolderMove,
    ::testing::Values(MoveCase{"MovedAwayAndBack", [](const fs::path& folder, const fs::path& aside) { fs::rename(folder, aside); },
                               [](const fs::path& folder, const fs::path& aside) { fs::rename(aside, folder); }},
                      MoveCase{"ReplacedByACopy",
                               [](const fs::path& folder, const fs::path& aside) {
                                 fs::copy(folder, aside, fs::copy_options::recursive);
                                 fs::rename(folder, aside.string() + "-old");
                               },
                               [](const fs::path& folder, const fs::path& aside) { fs::rename(aside, folder); }}),
    [](const auto& info) { return std::string(info.param.label); });

}  // namespace

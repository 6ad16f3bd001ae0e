// A watched project folder that is moved away and back, or replaced by a restored copy with the
// same pointer file, through the real executable: the watcher goes on watching the path, the
// project stays in `status` while no folder stands there, and the next save is recorded without
// any rescan (the next one is five minutes away). A folder at the path that is not the project's
// (another project, one without a pointer file) gives one warning and reaches no ledger.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <csignal>
#include <ctime>
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

// The folder's name with its contents: a file named `name` in `folder` holding `bytes`, aged so
// that it counts as settled at once, written the way a DAW saves.
void save_in(const fs::path& folder, const std::string& name, std::string_view bytes) {
  const fs::path staging = folder / ("." + name + ".saving");
  tallowmere_test::write_file(staging, bytes);
  const timespec times[2] = {{0, UTIME_OMIT}, {::time(nullptr) - 60, 0}};
  ::utimensat(AT_FDCWD, staging.c_str(), times, 0);
  fs::rename(staging, folder / name);
}

bool ledger_mentions(const DaemonWorld& world, const std::string& work_id, std::string_view bytes) {
  const auto ledger = tallowmere_core::ledger::read_ledger(world.ledger_file(work_id));
  if (!ledger) return false;
  const std::string hash = tallowmere_core::hash::sha256_hex(bytes);
  for (const auto& entry : ledger->entries)
    for (const auto& ref : entry.content_refs)
      if (ref.sha256_hash == hash) return true;
  return false;
}

std::string refusal_line(const fs::path& folder, const std::string& work_id, const std::string& finding) {
  return "WARNING: " + folder.string() + " does not hold project " + work_id + " now: " + finding +
         "; nothing there is recorded until the project's own folder is back at that path";
}

// Two projects swap places: B's folder now stands where A's stood. Nothing B saves there may reach
// A's ledger; once both folders are back where they belong, B's save is B's.
TEST(FolderIdentity, AnotherProjectsFolderAtThePathReachesNoneOfItsLedger) {
  DaemonWorld world;
  world.add_project({.work_id = "w-a", .folder = "Music/SongA", .title = "A"});
  world.add_project({.work_id = "w-b", .folder = "Music/SongB", .title = "B"});
  world.store_all_keys();
  world.save("w-a", "A.rpp", "<A 1>\n");
  const fs::path song_a = world.project_folder("w-a");
  const fs::path song_b = world.project_folder("w-b");
  const fs::path a_aside = song_a.string() + "-old";

  ChildProcess daemon(world.daemon());
  ASSERT_TRUE(tallowmere_test::wait_for_lines_starting(daemon, "Press Ctrl-C to stop.", 2))
      << daemon.stdout_so_far() << daemon.stderr_so_far();

  fs::rename(song_a, a_aside);
  fs::rename(song_b, song_a);
  const std::string refused = refusal_line(song_a, "w-a", "its pointer file names work id w-b");
  EXPECT_TRUE(tallowmere_test::wait_for_line(daemon, [&](const std::string& l) { return l == refused; }, true))
      << daemon.stdout_so_far() << daemon.stderr_so_far();
  save_in(song_a, "B.rpp", "<B 1>\n");

  // Back in place: B's watcher finds its folder, with the save in it.
  fs::rename(song_a, song_b);
  fs::rename(a_aside, song_a);
  EXPECT_TRUE(tallowmere_test::wait_until([&] { return ledger_mentions(world, "w-b", "<B 1>\n"); },
                                          std::chrono::seconds(30)))
      << daemon.stdout_so_far() << daemon.stderr_so_far();
  world.save("w-a", "A.rpp", "<A 2>\n");
  EXPECT_TRUE(tallowmere_test::wait_until([&] { return world.last_entry_records("w-a", "<A 2>\n"); },
                                          std::chrono::seconds(30)))
      << daemon.stdout_so_far() << daemon.stderr_so_far();

  daemon.send_signal(SIGINT);
  const auto result = daemon.wait();
  EXPECT_EQ(result.exit_code, 0) << result.describe();
  EXPECT_EQ(tallowmere_test::complete_lines_of(result.stderr_text), std::vector<std::string>{refused});
  EXPECT_FALSE(ledger_mentions(world, "w-a", "<B 1>\n")) << tallowmere_test::read_file(world.ledger_file("w-a"));
  EXPECT_TRUE(world.ledger_is_sound("w-a"));
  EXPECT_TRUE(world.ledger_is_sound("w-b"));
}

struct StrangerCase {
  const char* label;
  // Puts the stranger's pointer file (or none) into `folder`.
  void (*mark)(const fs::path& folder);
  std::string (*finding)(const fs::path& folder);
  friend void PrintTo(const StrangerCase& c, std::ostream* out) { *out << c.label; }
};

class StrangerAtThePath : public ::testing::TestWithParam<StrangerCase> {};

// A folder that is not the project's stands at its path (a template, an older copy unpacked
// there, a hand-made folder): one warning, nothing recorded from it; once the project's folder is
// back, its next save is recorded.
TEST_P(StrangerAtThePath, GivesOneWarningNothingIsRecordedAndTheReturningFolderIsWatched) {
  DaemonWorld world;
  world.add_project({.work_id = kWorkId, .folder = "Album", .title = "Album"});
  world.store_all_keys();
  world.save(kWorkId, "Song.rpp", "<SESSION 1>\n");
  const fs::path folder = world.project_folder(kWorkId);
  const fs::path aside = world.temp / "Album-aside";

  ChildProcess daemon(world.daemon());
  ASSERT_TRUE(tallowmere_test::wait_for_line(daemon, [](const std::string& l) { return l == "Press Ctrl-C to stop."; }))
      << daemon.stdout_so_far() << daemon.stderr_so_far();

  fs::rename(folder, aside);
  const fs::path staging = world.temp / "stranger";
  fs::create_directory(staging);
  GetParam().mark(staging);
  save_in(staging, "Song.rpp", "<STRANGER 1>\n");
  fs::rename(staging, folder);
  const std::string refused = refusal_line(folder, kWorkId, GetParam().finding(folder));
  EXPECT_TRUE(tallowmere_test::wait_for_line(daemon, [&](const std::string& l) { return l == refused; }, true))
      << daemon.stdout_so_far() << daemon.stderr_so_far();
  save_in(folder, "Song.rpp", "<STRANGER 2>\n");
  save_in(folder, "Other.rpp", "<STRANGER 3>\n");

  fs::rename(folder, world.temp / "stranger-gone");
  fs::rename(aside, folder);
  world.save(kWorkId, "Song.rpp", "<SESSION 2>\n");
  EXPECT_TRUE(tallowmere_test::wait_until([&] { return world.last_entry_records(kWorkId, "<SESSION 2>\n"); },
                                          std::chrono::seconds(30)))
      << daemon.stdout_so_far() << daemon.stderr_so_far();

  daemon.send_signal(SIGINT);
  const auto result = daemon.wait();
  EXPECT_EQ(result.exit_code, 0) << result.describe();
  EXPECT_EQ(tallowmere_test::complete_lines_of(result.stderr_text), std::vector<std::string>{refused});
  for (const char* stranger : {"<STRANGER 1>\n", "<STRANGER 2>\n", "<STRANGER 3>\n"}) {
    EXPECT_FALSE(ledger_mentions(world, kWorkId, stranger)) << stranger;
  }
  EXPECT_TRUE(world.ledger_is_sound(kWorkId));
}

INSTANTIATE_TEST_SUITE_P(
    Strangers, StrangerAtThePath,
    ::testing::Values(StrangerCase{"NoPointerFile", [](const fs::path&) {},
                                   [](const fs::path&) { return std::string("it has no pointer file .tallowmere"); }},
                      StrangerCase{"AnotherProjectsPointer",
                                   [](const fs::path& folder) {
                                     tallowmere_test::write_file(
                                         folder / ".tallowmere",
                                         R"({"schema_version":"0.1","work_id":"w-\nother","warning":"x"})");
                                   },
                                   [](const fs::path&) { return std::string("its pointer file names work id w-\\nother"); }},
                      StrangerCase{"PointerFileThatIsAFolder",
                                   [](const fs::path& folder) { fs::create_directory(folder / ".tallowmere"); },
                                   [](const fs::path& folder) {
                                     return "its pointer file cannot be read: failed to read pointer file " +
                                            (fs::canonical(folder) / ".tallowmere").string() +
                                            ": Is a directory (os error 21)";
                                   }}),
    [](const auto& info) { return std::string(info.param.label); });

}  // namespace

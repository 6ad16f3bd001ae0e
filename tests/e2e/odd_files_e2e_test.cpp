// What archives, sync clients and other programs leave where the service looks, through the real
// executable: FIFOs, links to devices and to private files, folders with a session extension,
// files gone before their batch, sparse 64 GiB files and names that hold a line feed. The service
// never blocks or aborts on them, never copies a private file readably, and keeps recording the
// real saves beside them.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/stat.h>

#include "daemon_world.h"
#include "ledger.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using tallowmere_test::ChildProcess;
using tallowmere_test::DaemonWorld;
using tallowmere_test::has_line;

bool printed_line_containing(ChildProcess& daemon, const std::string& text) {
  return tallowmere_test::wait_for_line(daemon,
                                        [&](const std::string& l) { return l.find(text) != std::string::npos; });
}

bool ready(ChildProcess& daemon) {
  return tallowmere_test::wait_for_line(daemon, [](const std::string& l) { return l == "Press Ctrl-C to stop."; });
}

// SIGINT ends the service promptly: nothing it met keeps a thread blocked.
void stop_promptly(ChildProcess& daemon, std::string& out, std::string& err) {
  daemon.send_signal(SIGINT);
  EXPECT_TRUE(daemon.wait_for_output([](const std::string& o, const std::string&) { return has_line(o, "Stopped."); },
                                     std::chrono::seconds(10)))
      << daemon.stdout_so_far() << daemon.stderr_so_far();
  const auto result = daemon.wait();
  EXPECT_EQ(result.exit_code, 0) << result.describe();
  out = result.stdout_text;
  err = result.stderr_text;
}

std::size_t entries_in(const fs::path& ledger_file) {
  auto ledger = tallowmere_core::ledger::read_ledger(ledger_file);
  return ledger ? ledger->entries.size() : 0;
}

TEST(OddFiles, EntriesThatAreNoRegularFilesLeaveTheirBatchAndTheRealSaveIsRecorded) {
  DaemonWorld world;
  world.add_project({.work_id = "w1", .folder = "Song", .title = "Song", .store_blobs = true});
  world.store_all_keys();
  const fs::path folder = world.project_folder("w1");
  const fs::path private_file = world.temp / "id_ed25519";
  tallowmere_test::write_file(private_file, "PRIVATE KEY");
  fs::permissions(private_file, fs::perms::owner_read | fs::perms::owner_write);

  ChildProcess daemon(world.daemon());
  ASSERT_TRUE(ready(daemon)) << daemon.stdout_so_far() << daemon.stderr_so_far();

  struct Odd {
    const char* name;
    std::function<void(const fs::path&)> make;
  };
  const std::vector<Odd> odd{
      {"Pipe.rpp", [](const fs::path& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0644), 0); }},
      {"Zero.rpp", [](const fs::path& p) { fs::create_symlink("/dev/zero", p); }},
      {"Key.rpp", [&](const fs::path& p) { fs::create_symlink(private_file, p); }},
      {"Song.logicx", [](const fs::path& p) { fs::create_directory(p); }},
  };
  for (const Odd& o : odd) o.make(folder / o.name);
  // Gone before its batch is checkpointed.
  tallowmere_test::write_file(folder / "Gone.als", "x");
  fs::remove(folder / "Gone.als");
  world.save("w1", "Song.als", "<ABLETON 1>");

  EXPECT_TRUE(printed_line_containing(daemon, "files=Song.als "))
      << daemon.stdout_so_far() << daemon.stderr_so_far();
  for (const Odd& o : odd) {
    if (std::string(o.name) == "Song.logicx") continue;  // a folder may not be reported as a change at all
    const std::string warning = "WARNING: " + (folder / o.name).string() + " left out of the checkpoint: ";
    EXPECT_TRUE(daemon.wait_for_output(
        [&](const std::string&, const std::string& e) { return e.find(warning) != std::string::npos; }))
        << o.name << "\n" << daemon.stderr_so_far();
  }
  std::string out, err;
  stop_promptly(daemon, out, err);

  EXPECT_EQ(tallowmere_test::count_lines_starting(out, "["), 1u) << out;
  EXPECT_EQ(err.find("ERROR"), std::string::npos) << err;
  EXPECT_EQ(entries_in(world.ledger_file("w1")), 1u);
  EXPECT_TRUE(world.ledger_is_sound("w1"));
  // The one copy is the real save's, and no copy is wider than its source; no partial copy left.
  for (const auto& object : fs::directory_iterator(world.objects_dir("w1"))) {
    EXPECT_EQ(tallowmere_test::read_file(object.path()), "<ABLETON 1>") << object.path();
    const auto perms = fs::status(object.path()).permissions();
    EXPECT_EQ(perms & (fs::perms::group_write | fs::perms::others_write), fs::perms::none);
  }
}

TEST(OddFiles, APrivateFileSavedInPlaceIsCopiedNoWiderThanItIs) {
  DaemonWorld world;
  world.add_project({.work_id = "w1", .folder = "Song", .title = "Song", .store_blobs = true});
  world.store_all_keys();
  ChildProcess daemon(world.daemon());
  ASSERT_TRUE(ready(daemon)) << daemon.stdout_so_far() << daemon.stderr_so_far();
  const fs::path session = world.project_folder("w1") / "Private.rpp";
  const fs::path staging = world.project_folder("w1") / ".Private.rpp.saving";
  tallowmere_test::write_file(staging, "<REAPER private>");
  fs::permissions(staging, fs::perms::owner_read | fs::perms::owner_write);
  fs::rename(staging, session);
  EXPECT_TRUE(printed_line_containing(daemon, "files=Private.rpp "))
      << daemon.stdout_so_far() << daemon.stderr_so_far();
  std::string out, err;
  stop_promptly(daemon, out, err);
  std::size_t objects = 0;
  for (const auto& object : fs::directory_iterator(world.objects_dir("w1"))) {
    ++objects;
    EXPECT_EQ(fs::status(object.path()).permissions() & (fs::perms::group_all | fs::perms::others_all), fs::perms::none)
        << object.path();
  }
  EXPECT_EQ(objects, 1u);
}

// One bad file of one project (or the registry) costs that project, never the service: it keeps
// running, answers `status`, records the other project's saves and ends on SIGINT.
TEST(OddFiles, NonRegularAndHugeFilesOfOneProjectLeaveTheOthersWorking) {
  const auto fifo = [](const fs::path& file) {
    fs::remove(file);
    ASSERT_EQ(::mkfifo(file.c_str(), 0644), 0);
  };
  const auto sparse = [](const fs::path& file) {
    tallowmere_test::write_file(file, "");
    fs::resize_file(file, std::uintmax_t{64} << 30);
  };
  struct Case {
    const char* name;
    std::function<fs::path(const DaemonWorld&)> file;
    std::function<void(const fs::path&)> make;
    bool whole_registry = false;
  };
  const std::vector<Case> cases{
      {"pointer FIFO", [](const DaemonWorld& w) { return w.project_folder("bad") / ".tallowmere"; }, fifo},
      {"huge pointer", [](const DaemonWorld& w) { return w.project_folder("bad") / ".tallowmere"; }, sparse},
      {"manifest FIFO", [](const DaemonWorld& w) { return w.manifest_file("bad"); }, fifo},
      {"huge manifest", [](const DaemonWorld& w) { return w.manifest_file("bad"); }, sparse},
      {"huge config", [](const DaemonWorld& w) { return w.config_file("bad"); }, sparse},
      {"ledger FIFO", [](const DaemonWorld& w) { return w.ledger_file("bad"); }, fifo},
      {"huge ledger", [](const DaemonWorld& w) { return w.ledger_file("bad"); },
       [&](const fs::path& f) {
         sparse(f);
         std::ofstream(f, std::ios::app) << '\n';
       }},
      {"lock FIFO", [](const DaemonWorld& w) { return w.ledger_file("bad").string() + ".lock"; }, fifo},
      {"registry FIFO", [](const DaemonWorld& w) { return w.central_root / "registry.json"; }, fifo, true},
      {"huge registry", [](const DaemonWorld& w) { return w.central_root / "registry.json"; }, sparse, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DaemonWorld world;
    world.add_project({.work_id = "bad", .folder = "Bad", .title = "Bad"});
    world.add_project({.work_id = "good", .folder = "Good", .title = "Good"});
    world.store_all_keys();
    c.make(c.file(world));

    ChildProcess daemon(world.daemon());
    if (c.whole_registry) {
      ASSERT_TRUE(tallowmere_test::wait_for_line(
          daemon, [](const std::string& l) { return l.starts_with("WARNING: failed to read project registry: "); }, true))
          << daemon.stdout_so_far() << daemon.stderr_so_far();
    } else {
      ASSERT_TRUE(ready(daemon)) << daemon.stdout_so_far() << daemon.stderr_so_far();
    }
    const auto status = tallowmere_test::run_process(world.daemon({"status"}));
    EXPECT_EQ(status.exit_code, 0) << status.describe();
    if (!c.whole_registry) {
      world.save("bad", "Bad.rpp", "<REAPER bad>");
      world.save("good", "Good.rpp", "<REAPER good>");
      EXPECT_TRUE(printed_line_containing(daemon, "files=Good.rpp "))
          << daemon.stdout_so_far() << daemon.stderr_so_far();
    }
    std::string out, err;
    stop_promptly(daemon, out, err);
    EXPECT_NE(err.find("WARNING"), std::string::npos) << err;
  }
}

TEST(OddFiles, AFileNameCannotForgeACheckpointLine) {
  DaemonWorld world;
  world.add_project({.work_id = "w1", .folder = "Song", .title = "Song"});
  world.store_all_keys();
  ChildProcess daemon(world.daemon());
  ASSERT_TRUE(ready(daemon)) << daemon.stdout_so_far() << daemon.stderr_so_far();
  const std::string name = "evil\n[2030-01-01T00:00:00+00:00] SessionSave files=Forged.rpp entry=deadbeef0000\nx.rpp";
  world.save("w1", name, "<REAPER>");
  EXPECT_TRUE(printed_line_containing(daemon, "x.rpp entry="))
      << daemon.stdout_so_far() << daemon.stderr_so_far();
  std::string out, err;
  stop_promptly(daemon, out, err);
  EXPECT_EQ(tallowmere_test::count_lines_starting(out, "["), 1u) << out;
  EXPECT_EQ(out.find("\n[2030-01-01"), std::string::npos) << out;
  EXPECT_NE(out.find("files=evil\\n[2030-01-01T00:00:00+00:00] SessionSave files=Forged.rpp entry=deadbeef0000\\nx.rpp"),
            std::string::npos)
      << out;
}

// A log reader or terminal also breaks lines at NEL (U+0085) and the line separator, and a
// right-to-left override reorders what follows it: each is shown escaped, so the checkpoint of
// such a file is still one line that forges nothing.
TEST(OddFiles, NoLineBreakOrReorderingInAFileNameReachesTheConsole) {
  struct Case {
    const char* name;
    std::string file;
    std::string shown;
  };
  const std::string forged = "[2030-01-01T00:00:00+00:00] SessionSave files=Forged.rpp entry=deadbeef0000";
  const std::vector<Case> cases{
      {"next line", "evil\u0085" + forged + "\u0085x.rpp", "evil\\u0085" + forged + "\\u0085x.rpp"},
      {"line separator", "sep\u2028" + forged + "\u2029y.rpp", "sep\\u2028" + forged + "\\u2029y.rpp"},
      {"right-to-left override", "mix\u202Eppr.als", "mix\\u202eppr.als"},
  };
  DaemonWorld world;
  world.add_project({.work_id = "w1", .folder = "Song", .title = "Song"});
  world.store_all_keys();
  ChildProcess daemon(world.daemon());
  ASSERT_TRUE(ready(daemon)) << daemon.stdout_so_far() << daemon.stderr_so_far();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    world.save("w1", c.file, "<SESSION " + c.file + ">");
    EXPECT_TRUE(printed_line_containing(daemon, "files=" + c.shown + " entry="))
        << daemon.stdout_so_far() << daemon.stderr_so_far();
  }
  std::string out, err;
  stop_promptly(daemon, out, err);
  EXPECT_EQ(tallowmere_test::count_lines_starting(out, "["), cases.size()) << out;
  for (const std::string raw : {"\u0085", "\u2028", "\u2029", "\u202E"}) {
    EXPECT_EQ(out.find(raw), std::string::npos) << out;
    EXPECT_EQ(err.find(raw), std::string::npos) << err;
  }
}

}  // namespace

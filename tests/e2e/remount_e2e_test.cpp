// A project folder that is the root of a disk, through the real executable: the disk is unmounted
// (leaving the empty mount-point folder, which is not the project's) and mounted again, which no
// notification reports. The service warns once about the empty folder, finds the disk back within a
// few seconds, records what changed meanwhile and every later save. The disk is a tmpfs mounted in
// a private mount namespace of the service's own (a bind mount's removal takes no file system
// away, so it would not show the fault); the test is skipped where the machine allows no such
// namespace.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <csignal>
#include <ctime>
#include <string>

#include "daemon_world.h"
#include "forked_child.h"
#include "linux_process.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using tallowmere_test::ChildProcess;
using tallowmere_test::DaemonWorld;

constexpr const char* kWorkId = "w-disk";

bool private_mount_namespace() {
  return ::unshare(CLONE_NEWNS) == 0 && ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}

bool mount_disk(const char* folder) { return ::mount("tmpfs", folder, "tmpfs", 0, "size=4m,mode=0755") == 0; }

// Writes `bytes` to `path` through `staging`, aged a minute, the way a DAW saves. System calls only.
bool save_file(const char* staging, const char* path, const char* bytes, std::size_t size) {
  const int fd = ::open(staging, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const bool written = ::write(fd, bytes, size) == static_cast<ssize_t>(size);
  ::close(fd);
  const timespec times[2] = {{0, UTIME_OMIT}, {::time(nullptr) - 60, 0}};
  return written && ::utimensat(AT_FDCWD, staging, times, 0) == 0 && ::rename(staging, path) == 0;
}

bool enter_mount_namespace_of(const char* namespace_file) {
  const int fd = ::open(namespace_file, O_RDONLY | O_CLOEXEC);
  return fd >= 0 && ::setns(fd, CLONE_NEWNS) == 0;
}

TEST(Remount, ADiskMountedAgainAtTheProjectPathIsFoundAndRecorded) {
  DaemonWorld world;
  world.add_project({.work_id = kWorkId, .folder = "Disk", .title = "Disk"});
  world.store_all_keys();
  const fs::path folder = world.project_folder(kWorkId);
  // The pointer file lives on the disk; the mount-point folder under it holds none.
  const std::string pointer = tallowmere_test::read_file(folder / ".tallowmere");
  fs::remove(folder / ".tallowmere");

  const fs::path probe = world.temp / "probe";
  fs::create_directories(probe);
  const std::string probe_path = probe.string();
  if (!tallowmere_test::system_calls_in_child([&] {
        return private_mount_namespace() && mount_disk(probe_path.c_str()) && ::umount(probe_path.c_str()) == 0;
      })) {
    GTEST_SKIP() << "no private mount namespaces with tmpfs mounts here";
  }

  const std::string folder_path = folder.string();
  const std::string pointer_path = (folder / ".tallowmere").string();
  const std::string pointer_staging = (folder / ".tallowmere.new").string();
  const std::string song_path = (folder / "Song.rpp").string();
  const std::string song_staging = (folder / ".Song.rpp.saving").string();
  // Mounts the disk at the folder and puts the project's pointer file (and a session) on it.
  const auto put_disk_in_place = [&](const std::string& song) {
    return mount_disk(folder_path.c_str()) &&
           save_file(pointer_staging.c_str(), pointer_path.c_str(), pointer.data(), pointer.size()) &&
           save_file(song_staging.c_str(), song_path.c_str(), song.data(), song.size());
  };

  const std::string song_1 = "<SESSION 1>\n", song_2 = "<SESSION 2, saved while away>\n", song_3 = "<SESSION 3>\n";
  auto options = world.daemon();
  options.in_child = [&] {
    if (!private_mount_namespace() || !put_disk_in_place(song_1)) ::_exit(125);
  };
  ChildProcess daemon(options);
  ASSERT_TRUE(tallowmere_test::wait_for_line(daemon, [](const std::string& l) { return l == "Press Ctrl-C to stop."; }))
      << daemon.stdout_so_far() << daemon.stderr_so_far();
  const std::string namespace_file = (tallowmere_test::linux_process::process(daemon.pid()) / "ns" / "mnt").string();
  const auto in_daemon_namespace = [&](const std::function<bool()>& body) {
    return tallowmere_test::system_calls_in_child([&] { return enter_mount_namespace_of(namespace_file.c_str()) && body(); });
  };

  ASSERT_TRUE(in_daemon_namespace([&] { return ::umount(folder_path.c_str()) == 0; }));
  const std::string refused = "WARNING: " + folder.string() + " does not hold project " + kWorkId +
                              " now: it has no pointer file .tallowmere; nothing there is recorded until the "
                              "project's own folder is back at that path";
  EXPECT_TRUE(tallowmere_test::wait_for_line(daemon, [&](const std::string& l) { return l == refused; }, true))
      << daemon.stdout_so_far() << daemon.stderr_so_far();

  // Back, with a session saved elsewhere meanwhile: found by the slow check, reported whole.
  ASSERT_TRUE(in_daemon_namespace([&] { return put_disk_in_place(song_2); }));
  EXPECT_TRUE(tallowmere_test::wait_until([&] { return world.last_entry_records(kWorkId, song_2); },
                                          std::chrono::seconds(30)))
      << daemon.stdout_so_far() << daemon.stderr_so_far();
  ASSERT_TRUE(in_daemon_namespace(
      [&] { return save_file(song_staging.c_str(), song_path.c_str(), song_3.data(), song_3.size()); }));
  EXPECT_TRUE(tallowmere_test::wait_until([&] { return world.last_entry_records(kWorkId, song_3); },
                                          std::chrono::seconds(30)))
      << daemon.stdout_so_far() << daemon.stderr_so_far();

  daemon.send_signal(SIGINT);
  const auto result = daemon.wait();
  EXPECT_EQ(result.exit_code, 0) << result.describe();
  EXPECT_EQ(tallowmere_test::complete_lines_of(result.stderr_text), std::vector<std::string>{refused});
  std::vector<tallowmere_core::LedgerEntry> entries;
  EXPECT_TRUE(world.ledger_is_sound(kWorkId, false, &entries));
  EXPECT_EQ(entries.size(), 2u) << "one entry for the session found on the disk back, one for the save after it";
}

}  // namespace

// Faults of the file system under the running daemon. Each fault is injected after two
// checkpoints and held for one save: that save gives one "ERROR: checkpoint failed: ..." line and
// changes nothing of the ledger; once the fault is cleared, the next save is checkpointed and
// chains onto the entries from before. The tests run as root, so every fault is one that holds for
// root too: a read-only mount, a file where a folder belongs, a file size limit.
#include <gtest/gtest.h>

#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <functional>
#include <memory>
#include <thread>

#include "daemon_world.h"
#include "forked_child.h"
#include "linux_process.h"

namespace {

namespace fs = std::filesystem;
using tallowmere_test::ChildProcess;
using tallowmere_test::DaemonWorld;

constexpr const char* kWorkId = "w-fault";

std::string song_text(int version) { return fmt::format("<REAPER_PROJECT 0.1 \"7.0\"\n  <VERSION {}>\n>\n", version); }

// Whether this machine lets us make a private mount namespace with a read-only bind mount.
bool read_only_bind_mounts_available(const fs::path& scratch) {
  fs::create_directories(scratch);
  const std::string folder = scratch.string();
  return tallowmere_test::system_calls_in_child([&] {
    return ::unshare(CLONE_NEWNS) == 0 && ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           ::mount(folder.c_str(), folder.c_str(), nullptr, MS_BIND, nullptr) == 0 &&
           ::mount(nullptr, folder.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0;
  });
}

// Remounts `folder`, bind-mounted onto itself in the mount namespace of process `pid`, read-only
// or writable again.
bool remount_in_namespace_of(pid_t pid, const fs::path& folder, bool read_only) {
  const std::string namespace_file = (tallowmere_test::linux_process::process(pid) / "ns" / "mnt").string();
  const std::string target = folder.string();
  return tallowmere_test::system_calls_in_child([&] {
    const int fd = ::open(namespace_file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || ::setns(fd, CLONE_NEWNS) != 0) return false;
    const unsigned long flags = MS_REMOUNT | MS_BIND | (read_only ? MS_RDONLY : 0);
    return ::mount(nullptr, target.c_str(), nullptr, flags, nullptr) == 0;
  });
}

bool set_file_size_limit(pid_t pid, rlim_t limit) {
  const rlimit value{limit, RLIM_INFINITY};
  return ::prlimit(pid, RLIMIT_FSIZE, &value, nullptr) == 0;
}

// What a fault needs to know of the running test.
struct FaultContext {
  DaemonWorld& world;
  ChildProcess& daemon;
};

struct FaultCase {
  const char* name;
  bool store_blobs;
  bool needs_mount_namespace;
  // Runs in the daemon's process right before exec; system calls only.
  std::function<void()> (*prepare_child)(const DaemonWorld&);
  void (*inject)(FaultContext&);
  void (*clear)(FaultContext&);
  // The whole error line, from the world's paths.
  std::string (*error_line)(const DaemonWorld&);
};

fs::path saved_file(const DaemonWorld& world) { return fs::canonical(world.project_folder(kWorkId)) / "Song.rpp"; }

std::string lock_failure(const DaemonWorld& world, const char* cause) {
  const fs::path ledger = world.ledger_file(kWorkId);
  // The I/O error's text ends the core error's message and is also its cause, so it shows twice.
  return fmt::format("ERROR: checkpoint failed: failed to acquire the ledger lock for {} (another tallowmere process "
                     "may be checkpointing this project): I/O error at {}.lock: {}: {}",
                     ledger.string(), ledger.string(), cause, cause);
}

fs::path aside(const fs::path& path) { return fs::path(path.string() + ".aside"); }

// Moves the folder away and puts a plain file in its place; clearing puts the folder back, with
// everything that was in it.
void replace_folder_by_file(const fs::path& folder) {
  fs::rename(folder, aside(folder));
  tallowmere_test::write_file(folder, "a file where a folder belongs\n");
}
void restore_folder(const fs::path& folder) {
  fs::remove(folder);
  fs::rename(aside(folder), folder);
}

const FaultCase kFaults[] = {
    {"LedgerFolderReadOnly", false, true,
     [](const DaemonWorld& world) -> std::function<void()> {
       // The daemon gets a mount namespace of its own in which its central directory is a bind
       // mount of itself; the test flips that mount to read-only and back.
       return [folder = world.central_dir(kWorkId).string()] {
         if (::unshare(CLONE_NEWNS) != 0 || ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
             ::mount(folder.c_str(), folder.c_str(), nullptr, MS_BIND, nullptr) != 0) {
           ::_exit(125);
         }
       };
     },
     [](FaultContext& c) {
       ASSERT_TRUE(remount_in_namespace_of(c.daemon.pid(), c.world.central_dir(kWorkId), true));
     },
     [](FaultContext& c) {
       ASSERT_TRUE(remount_in_namespace_of(c.daemon.pid(), c.world.central_dir(kWorkId), false));
     },
     [](const DaemonWorld& world) { return lock_failure(world, "Read-only file system (os error 30)"); }},

    {"LedgerFolderReplacedByAFile", false, false, nullptr,
     [](FaultContext& c) { replace_folder_by_file(c.world.central_dir(kWorkId)); },
     [](FaultContext& c) { restore_folder(c.world.central_dir(kWorkId)); },
     [](const DaemonWorld& world) { return lock_failure(world, "Not a directory (os error 20)"); }},

    {"AppendCutOffByTheFileSizeLimit", false, false,
     [](const DaemonWorld&) -> std::function<void()> { return [] { ::signal(SIGXFSZ, SIG_IGN); }; },
     [](FaultContext& c) {
       // Room for a part of the next line only: the append's write stops in the middle of it.
       const auto size = fs::file_size(c.world.ledger_file(kWorkId));
       ASSERT_TRUE(set_file_size_limit(c.daemon.pid(), size + 100)) << std::strerror(errno);
     },
     [](FaultContext& c) { ASSERT_TRUE(set_file_size_limit(c.daemon.pid(), RLIM_INFINITY)) << std::strerror(errno); },
     [](const DaemonWorld& world) {
       const fs::path ledger = world.ledger_file(kWorkId);
       return fmt::format("ERROR: checkpoint failed: failed to append to {}: I/O error at {}: File too large (os error 27): "
                          "File too large (os error 27)",
                          ledger.string(), ledger.string());
     }},

    {"BlobStoreFolderReplacedByAFile", true, false, nullptr,
     [](FaultContext& c) { replace_folder_by_file(c.world.objects_dir(kWorkId)); },
     [](FaultContext& c) { restore_folder(c.world.objects_dir(kWorkId)); },
     [](const DaemonWorld& world) {
       return fmt::format("ERROR: checkpoint failed: failed to store a copy of {}: I/O error at {}: Not a directory (os error 20): "
                          "Not a directory (os error 20)",
                          saved_file(world).string(), world.objects_dir(kWorkId).string());
     }},
};

void PrintTo(const FaultCase& fault, std::ostream* out) { *out << fault.name; }

class FileSystemFault : public ::testing::TestWithParam<FaultCase> {
 protected:
  void SetUp() override {
    world.add_project({.work_id = kWorkId, .folder = "Song", .title = "Song", .store_blobs = GetParam().store_blobs});
    world.store_all_keys();
    world.save(kWorkId, "Song.rpp", song_text(0));
  }

  DaemonWorld world;
};

TEST_P(FileSystemFault, GivesItsErrorLineKeepsEveryEntryAndTheNextCheckpointChains) {
  const FaultCase& fault = GetParam();
  if (fault.needs_mount_namespace && !read_only_bind_mounts_available(world.temp / "probe")) {
    GTEST_SKIP() << "no private mount namespaces with read-only bind mounts here";
  }
  auto options = world.daemon();
  if (fault.prepare_child) options.in_child = fault.prepare_child(world);
  ChildProcess daemon(options);
  ASSERT_TRUE(tallowmere_test::wait_for_line(daemon, [](const std::string& l) { return l == "Press Ctrl-C to stop."; }))
      << daemon.stdout_so_far() << daemon.stderr_so_far();

  for (int version = 1; version <= 2; ++version) {
    world.save(kWorkId, "Song.rpp", song_text(version));
    ASSERT_TRUE(tallowmere_test::wait_for_lines_starting(daemon, "[", static_cast<std::size_t>(version)))
        << daemon.stdout_so_far() << daemon.stderr_so_far();
  }
  const std::string ledger_before = tallowmere_test::read_file(world.ledger_file(kWorkId));

  FaultContext context{world, daemon};
  fault.inject(context);
  if (HasFatalFailure()) return;
  world.save(kWorkId, "Song.rpp", song_text(3));
  const std::string expected_error = fault.error_line(world);
  ASSERT_TRUE(tallowmere_test::wait_for_line(
      daemon, [](const std::string& line) { return line.starts_with("ERROR: "); }, /*on_error=*/true))
      << daemon.stdout_so_far() << daemon.stderr_so_far();
  EXPECT_EQ(tallowmere_test::complete_lines_of(daemon.stderr_so_far()), std::vector<std::string>{expected_error});
  fault.clear(context);
  if (HasFatalFailure()) return;
  EXPECT_EQ(tallowmere_test::read_file(world.ledger_file(kWorkId)), ledger_before)
      << "the failed checkpoint changed the ledger";

  world.save(kWorkId, "Song.rpp", song_text(4));
  ASSERT_TRUE(tallowmere_test::wait_for_lines_starting(daemon, "[", 3)) << daemon.stdout_so_far() << daemon.stderr_so_far();
  daemon.send_signal(SIGINT);
  const auto result = daemon.wait();
  EXPECT_EQ(result.exit_code, 0) << result.describe();
  EXPECT_EQ(tallowmere_test::complete_lines_of(result.stderr_text), std::vector<std::string>{expected_error});

  std::vector<tallowmere_core::LedgerEntry> entries;
  ASSERT_TRUE(world.ledger_is_sound(kWorkId, false, &entries));
  ASSERT_EQ(entries.size(), 3u);
  const std::string ledger_after = tallowmere_test::read_file(world.ledger_file(kWorkId));
  EXPECT_TRUE(ledger_after.starts_with(ledger_before)) << "an earlier entry changed";
  const auto checkpoints = tallowmere_test::checkpoint_lines(result.stdout_text);
  ASSERT_EQ(checkpoints.size(), 3u);
  EXPECT_TRUE(entries[2].entry_hash.starts_with(checkpoints[2].entry_prefix));
  const auto manifest = tallowmere_core::json::read_document<tallowmere_core::WorkManifest>(
      tallowmere_test::read_file(world.manifest_file(kWorkId)));
  ASSERT_TRUE(manifest.has_value());
  EXPECT_EQ(manifest->current_sequence, 3u);
  EXPECT_EQ(manifest->current_head_hash, entries[2].entry_hash);
  if (fault.store_blobs) {
    for (const auto& entry : entries) {
      const auto& ref = entry.content_refs.at(0);
      const auto copy = tallowmere_core::hash::hash_file_streaming(world.objects_dir(kWorkId) / ref.sha256_hash);
      ASSERT_TRUE(copy.has_value()) << "no copy of " << ref.sha256_hash;
      EXPECT_EQ(copy->sha256_hex, ref.sha256_hash);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Faults, FileSystemFault, ::testing::ValuesIn(kFaults),
                         [](const ::testing::TestParamInfo<FaultCase>& info) { return std::string(info.param.name); });

// Shared by the tests below: one watched project "Song" with one checkpoint already made.
class RunningDaemon : public ::testing::Test {
 protected:
  void SetUp() override {
    world.add_project({.work_id = kWorkId, .folder = "Song", .title = "Song"});
    world.store_all_keys();
    world.save(kWorkId, "Song.rpp", song_text(0));
    daemon.emplace(world.daemon());
    ASSERT_TRUE(wait_watching(1)) << output();
    world.save(kWorkId, "Song.rpp", song_text(1));
    ASSERT_TRUE(tallowmere_test::wait_for_lines_starting(*daemon, "[", 1)) << output();
  }

  bool wait_watching(std::size_t times) {
    return daemon->wait_for_output([&](const std::string& out, const std::string&) {
      return tallowmere_test::count_lines_starting(out, "Press Ctrl-C to stop.") >= times;
    });
  }
  std::string output() const { return daemon->stdout_so_far() + "\n--- stderr ---\n" + daemon->stderr_so_far(); }

  // Sends Rescan requests until `line` shows on standard error: a rescan that comes too early (a
  // watcher still on its way out) may not print it yet.
  bool rescan_until_error_line(const std::function<bool(const std::string&)>& matches) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
      world.request_rescan();
      if (tallowmere_test::wait_for_line(*daemon, matches, /*on_error=*/true, std::chrono::seconds(1))) return true;
    }
    return false;
  }

  // Stops the daemon and checks that the ledger holds `count` sound entries.
  tallowmere_test::ProcessResult stop_and_check_ledger(std::size_t count) {
    daemon->send_signal(SIGINT);
    auto result = daemon->wait();
    EXPECT_EQ(result.exit_code, 0) << result.describe();
    std::vector<tallowmere_core::LedgerEntry> entries;
    EXPECT_TRUE(world.ledger_is_sound(kWorkId, false, &entries));
    EXPECT_EQ(entries.size(), count);
    return result;
  }

  DaemonWorld world;
  std::optional<ChildProcess> daemon;
};

TEST_F(RunningDaemon, AProjectFolderDeletedWhileWatchedIsWatchedAgainOnceItIsBackAndThenChains) {
  const fs::path folder = world.project_folder(kWorkId);
  const std::string pointer = tallowmere_test::read_file(folder / ".tallowmere");
  const std::string ledger_before = tallowmere_test::read_file(world.ledger_file(kWorkId));
  fs::remove_all(folder);
  // The watcher goes on watching the path; a rescan leaves a watched project that does not load
  // alone, and says nothing.
  ASSERT_TRUE(world.request_rescan());

  // The folder comes back (restored from a backup, say): the watcher watches it again by itself.
  tallowmere_test::write_file(folder / ".tallowmere", pointer);
  world.save(kWorkId, "Song.rpp", song_text(2));
  ASSERT_TRUE(tallowmere_test::wait_for_lines_starting(*daemon, "[", 2)) << output();

  const auto result = stop_and_check_ledger(2);
  EXPECT_TRUE(tallowmere_test::read_file(world.ledger_file(kWorkId)).starts_with(ledger_before));
  EXPECT_EQ(result.stderr_text, "");
  EXPECT_EQ(tallowmere_test::count_lines_starting(result.stdout_text, "Stopped watching."), 1u) << result.stdout_text;
  EXPECT_EQ(tallowmere_test::count_lines_starting(result.stdout_text, "Watching "), 2u) << result.stdout_text;
}

TEST_F(RunningDaemon, ARegistryReplacedWhileBeingReadNeverDisturbsTheWatchers) {
  // A second project that only one of the two registry versions lists: a rescan that read that
  // version starts its watcher, which then stays (rescans visit only the listed projects).
  const fs::path registry = world.central_root / "registry.json";
  const std::string with_one = tallowmere_test::read_file(registry);
  world.add_project({.work_id = "w-extra", .folder = "Extra", .title = "Extra"});
  world.store_all_keys();
  const std::string with_two = world.registry_text(" (renamed)");
  tallowmere_test::write_file(registry, with_one);

  std::atomic<bool> replacing{true};
  std::atomic<int> replacements{0};
  std::thread replacer([&] {
    for (int i = 0; replacing.load(); ++i) {
      const fs::path staging = world.central_root / ".registry.json.new";
      tallowmere_test::write_file(staging, i % 2 == 0 ? with_two : with_one);
      fs::rename(staging, registry);
      ++replacements;
    }
  });
  // Stops the replacer on every way out of the test, a failed assertion included.
  const std::unique_ptr<std::thread, std::function<void(std::thread*)>> stop_replacer(&replacer, [&](std::thread* t) {
    replacing = false;
    if (t->joinable()) t->join();
  });
  // Rescans while the file keeps being replaced, until one has read the second version, and a
  // few more after that.
  const std::string extra_watched = "Watching " + world.project_folder("w-extra").string() + " (Extra (renamed))";
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  for (int rescans = 0; rescans < 20 || (!tallowmere_test::has_line(daemon->stdout_so_far(), extra_watched) &&
                                         std::chrono::steady_clock::now() < deadline);
       ++rescans) {
    ASSERT_TRUE(world.request_rescan()) << output();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // spacing between requests, not a wait for an effect
  }
  replacing = false;
  replacer.join();
  EXPECT_GT(replacements.load(), 0);
  ASSERT_TRUE(wait_watching(2)) << output();

  // A registry caught half-written in place is reported; every watcher stays.
  tallowmere_test::write_file(registry, with_one.substr(0, with_one.size() / 2));
  const std::string unreadable = "WARNING: failed to read project registry: failed to load " + registry.string() + ": ";
  ASSERT_TRUE(rescan_until_error_line([&](const std::string& line) { return line.starts_with(unreadable); })) << output();
  tallowmere_test::write_file(registry, with_one);

  world.save(kWorkId, "Song.rpp", song_text(2));
  ASSERT_TRUE(tallowmere_test::wait_for_lines_starting(*daemon, "[", 2)) << output();
  const auto result = stop_and_check_ledger(2);
  const auto out = tallowmere_test::complete_lines_of(result.stdout_text);
  EXPECT_EQ(std::count_if(out.begin(), out.end(), [](const std::string& l) { return l.starts_with("Watching ") && l.ends_with(")"); }), 2)
      << result.stdout_text;
  EXPECT_EQ(std::count_if(out.begin(), out.end(), [](const std::string& l) { return l.starts_with("Reconciling "); }), 0)
      << result.stdout_text;
  EXPECT_EQ(std::count(out.begin(), out.end(), std::string("Stopped watching.")), 2) << "a watcher ended early";
  for (const auto& line : tallowmere_test::complete_lines_of(result.stderr_text)) {
    EXPECT_TRUE(line.starts_with(unreadable)) << line;
  }
}

}  // namespace

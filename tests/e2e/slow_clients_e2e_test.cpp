// Clients of the control socket that connect and then send a byte now and then, through the real
// executable: with 200 of them connected, `status` still answers, a save is still checkpointed,
// and the service holds no more threads and descriptors than its connection limit allows.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "daemon_world.h"
#include "ipc.h"
#include "posix.h"
#include "test_support.h"
#include "unique_fd.h"

namespace {

namespace fs = std::filesystem;
using tallowmere_core::UniqueFd;
using tallowmere_test::ChildProcess;
using tallowmere_test::DaemonWorld;

constexpr const char* kWorkId = "w-slow";

UniqueFd connect_to(const fs::path& socket) {
  UniqueFd fd = tallowmere_core::posix::unix_stream_socket();
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (!fd || socket.native().size() >= sizeof address.sun_path) return {};
  std::memcpy(address.sun_path, socket.c_str(), socket.native().size());
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return {};
  return fd;
}

std::size_t entries_in(const fs::path& folder) {
  std::error_code error;
  std::size_t count = 0;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) ++count;
  return count;
}

TEST(SlowClients, StatusAndSavesGetThroughWhileTwoHundredClientsDribble) {
  DaemonWorld world;
  world.add_project({.work_id = kWorkId, .folder = "Album", .title = "Album"});
  world.store_all_keys();
  ChildProcess daemon(world.daemon());
  ASSERT_TRUE(tallowmere_test::wait_for_line(daemon, [](const std::string& l) { return l == "Press Ctrl-C to stop."; }))
      << daemon.stdout_so_far() << daemon.stderr_so_far();
  const fs::path proc = fs::path("/proc") / std::to_string(daemon.pid());
  const std::size_t threads_before = entries_in(proc / "task");
  const std::size_t fds_before = entries_in(proc / "fd");

  std::vector<UniqueFd> slow;
  for (int i = 0; i < 200; ++i) {
    slow.push_back(connect_to(world.socket_path()));
    ASSERT_TRUE(slow.back()) << i;
  }
  // One byte a second from each, the request never finished.
  std::atomic<bool> dribbling = true;
  std::thread dribbler([&] {
    while (dribbling.load()) {
      for (const UniqueFd& fd : slow) (void)::send(fd.get(), " ", 1, MSG_NOSIGNAL | MSG_DONTWAIT);
      for (int i = 0; i < 20 && dribbling.load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  });

  world.save(kWorkId, "Song.rpp", "<SESSION during the flood>\n");
  // The checkpoint's line comes once its ledger line and manifest are both written.
  EXPECT_TRUE(tallowmere_test::wait_for_line(daemon, [](const std::string& line) {
    return line.find("] SessionSave files=Song.rpp entry=") != std::string::npos;
  }))
      << daemon.stdout_so_far() << daemon.stderr_so_far();
  EXPECT_TRUE(world.last_entry_records(kWorkId, "<SESSION during the flood>\n"));
  const auto status = tallowmere_test::run_process(world.daemon({"status"}));
  EXPECT_EQ(status.exit_code, 0) << status.describe();
  EXPECT_TRUE(tallowmere_test::has_line(status.stdout_text, "  checkpoints:     1")) << status.stdout_text;

  // Connections are taken in the order they came, so every slow client has been by now. What they
  // hold stays within the connection limit: a thread and a descriptor each (evicted connections
  // may take a moment to let theirs go).
  const std::size_t limit = tallowmere_daemon::ipc::connection_limit;
  EXPECT_TRUE(tallowmere_test::wait_until([&] {
    return entries_in(proc / "task") <= threads_before + limit && entries_in(proc / "fd") <= fds_before + limit;
  })) << entries_in(proc / "task") << " threads, " << entries_in(proc / "fd") << " descriptors";

  dribbling.store(false);
  dribbler.join();
  slow.clear();
  daemon.send_signal(SIGINT);
  const auto result = daemon.wait();
  EXPECT_EQ(result.exit_code, 0) << result.describe();
  // One warning for the burst; the slow clients still held when they hung up each end with the
  // refusal of their unfinished request.
  EXPECT_EQ(tallowmere_test::count_lines_starting(
                result.stderr_text, "WARNING: daemon control socket is at its limit of 64 connections: "),
            1u)
      << result.stderr_text;
  EXPECT_TRUE(world.ledger_is_sound(kWorkId));
}

}  // namespace

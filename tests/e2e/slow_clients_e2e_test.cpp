// Clients of the control socket that crowd it, through the real executable: with 200 of them
// connected and sending a byte now and then, or 100 asking for the status back to back, `status`
// still answers, a save is still checkpointed, and the service holds no more threads and
// descriptors than its connection limit allows.
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

#include <fmt/format.h>

#include "daemon_world.h"
#include "model.h"
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

// A ledger of `entries` lines as a load reads them: well-formed entries, chained by position only.
void write_long_ledger(const fs::path& ledger, int entries) {
  std::string text;
  for (int i = 0; i < entries; ++i) {
    tallowmere_core::LedgerEntry entry;
    entry.entry_id = fmt::format("00000000-0000-4000-8000-{:012}", i);
    entry.contributor_id = "alice";
    entry.causal_position = static_cast<std::uint64_t>(i);
    entry.timestamp_local = "2026-01-01T00:00:00+01:00";
    entry.entry_hash = std::string(64, 'a');
    entry.signature = std::string(88, 'A');
    text += tallowmere_core::model::write_entry_line(entry).value() + "\n";
  }
  tallowmere_test::write_file(ledger, text);
}

// Every connection of the flood is being answered, so none can be closed for a newcomer: new
// clients (`status`, a `Rescan`) wait their turn instead of being turned away.
TEST(SlowClients, StatusAnswersWhileAHundredClientsAskForItBackToBack) {
  // Two projects with long ledgers, so that answering takes a while and the flood keeps every
  // connection busy (few projects: the test's neighbours need inotify instances too).
  DaemonWorld world;
  for (int i = 0; i < 2; ++i) {
    const std::string id = "w-flood-" + std::to_string(i);
    world.add_project({.work_id = id, .folder = "Song " + std::to_string(i), .title = "Song " + std::to_string(i)});
    write_long_ledger(world.ledger_file(id), 20000);
  }
  world.store_all_keys();
  ChildProcess daemon(world.daemon());
  ASSERT_TRUE(tallowmere_test::wait_for_line(daemon, [](const std::string& l) { return l == "Press Ctrl-C to stop."; }))
      << daemon.stdout_so_far() << daemon.stderr_so_far();
  const std::string status_request = "\"Status\"\n";
  ASSERT_TRUE(tallowmere_test::wait_until([&] {
    return tallowmere_test::control_request(world.socket_path(), status_request).starts_with("{\"Status\"");
  }));

  // Each flood client asks, reads the reply to its end and asks again, until told to stop or its
  // own deadline passes, whichever comes first.
  std::atomic<bool> flooding = true;
  std::atomic<long> replies = 0;
  std::vector<std::thread> flood;
  for (int i = 0; i < 100; ++i) {
    flood.emplace_back([&] {
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
      while (flooding.load() && std::chrono::steady_clock::now() < deadline) {
        UniqueFd fd = connect_to(world.socket_path());
        if (!fd) continue;
        if (::send(fd.get(), status_request.data(), status_request.size(), MSG_NOSIGNAL) < 0) continue;
        char buffer[4096];
        bool answered = false;
        for (ssize_t got; (got = ::recv(fd.get(), buffer, sizeof buffer, 0)) > 0;) answered = true;
        if (answered) ++replies;
      }
    });
  }
  const auto stop_flood = [&] {
    flooding.store(false);
    for (auto& client : flood) client.join();
    flood.clear();
  };
  // Under way once each client has had a couple of replies.
  EXPECT_TRUE(tallowmere_test::wait_until([&] { return replies.load() >= 200; }, std::chrono::seconds(90)))
      << replies.load();

  for (int attempt = 0; attempt < 10; ++attempt) {
    const auto status = tallowmere_test::run_process(world.daemon({"status"}));
    EXPECT_EQ(status.exit_code, 0) << "attempt " << attempt << ": " << status.describe();
    EXPECT_TRUE(tallowmere_test::has_line(status.stdout_text, "Song 1")) << status.stdout_text;
    EXPECT_EQ(tallowmere_test::control_request(world.socket_path(), "\"Rescan\"\n"), "\"Ack\"\n") << attempt;
  }
  const long replies_while_asking = replies.load();
  stop_flood();

  daemon.send_signal(SIGINT);
  const auto result = daemon.wait();
  EXPECT_EQ(result.exit_code, 0) << result.describe();
  EXPECT_GE(replies_while_asking, 200);
  // Nothing was refused or closed: the only lines on standard error are the limit's warnings.
  for (const auto& line : tallowmere_test::complete_lines_of(result.stderr_text)) {
    EXPECT_TRUE(line.starts_with("WARNING: daemon control socket is at its limit of 64 connections: ")) << line;
  }
}

}  // namespace

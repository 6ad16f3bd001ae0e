// The control-socket server over a real socket: which request lines it answers and how, which it
// refuses without a reply, the socket file's life, and clients that misbehave.
#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include "console.h"
#include "control_socket_support.h"
#include "ipc.h"
#include "posix.h"
#include "project_list.h"

namespace {

namespace fs = std::filesystem;
namespace ipc = tallowmere_daemon::ipc;
using namespace tallowmere_test;
using namespace tallowmere_test::control_socket;

constexpr std::string_view kEmptyStatus = "{\"Status\":{\"projects\":[]}}\n";
constexpr std::string_view kAck = "\"Ack\"\n";
constexpr std::string_view kVersion = "{\"Version\":{\"version\":\"0.2.0\"}}\n";
constexpr std::string_view kConnectionFailed = "WARNING: daemon control connection failed: ";
constexpr std::string_view kAtLimit = "WARNING: daemon control socket is at its limit of ";

class ControlSocket : public ::testing::Test {
 protected:
  // Whether a warning line that starts with `prefix` arrives before the deadline.
  bool warned(std::string_view prefix) {
    return wait_until([&] {
      const auto lines = console.err_lines();
      return std::any_of(lines.begin(), lines.end(), [&](const std::string& line) { return line.starts_with(prefix); });
    });
  }
  std::string warnings() const {
    std::string all;
    for (const auto& line : console.err_lines()) all += line + "\n";
    return all;
  }

  TempDir temp;
  fs::path central = temp / "central";
  ScopedEnv home{"TALLOWMERE_HOME", central.string()};
  fs::path socket = central / "run" / "daemon.sock";
  tallowmere_cli::console::Capture console;
};

TEST_F(ControlSocket, AnswersEveryAcceptedFormOfARequest) {
  ServerThread server;
  const struct {
    std::string_view request;
    bool half_close;
    std::string_view reply;
  } cases[] = {
      {"\"Status\"\n", false, kEmptyStatus},
      {"\"Status\"", true, kEmptyStatus},
      {" \t \"Status\"  \r\n", false, kEmptyStatus},
      // Unicode white space (no-break space, em space) counts as blank too.
      {"\u00a0\"Status\"\u2003\n", false, kEmptyStatus},
      {"{\"Status\":null}\n", false, kEmptyStatus},
      {"{ \"Status\" : null }", true, kEmptyStatus},
      {"\"Version\"\n", false, kVersion},
      {"{\"Version\":null}\n", false, kVersion},
      {"\"Rescan\"\n", false, kAck},
      {"{\"Rescan\":null}\n", false, kAck},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(request_reply(socket, c.request, c.half_close), c.reply) << "request: " << c.request;
  }
  EXPECT_EQ(warnings(), "");
}

TEST_F(ControlSocket, RefusesOtherRequestsWithAWarningAndNoReply) {
  ServerThread server;
  const struct {
    std::string_view request;
    bool half_close;
    std::string_view warning;
  } cases[] = {
      {"{\"Status\":{}}\n", false, "failed to parse request: invalid type: map, expected unit at line 1 column 10"},
      {"\"status\"\n", false,
       "failed to parse request: unknown variant `status`, expected one of `Status`, `Rescan`, `Version` at line 1 "
       "column 8"},
      {"\"Ack\"\n", false,
       "failed to parse request: unknown variant `Ack`, expected one of `Status`, `Rescan`, `Version` at line 1 "
       "column 5"},
      {"5\n", false, "failed to parse request: expected value at line 1 column 1"},
      {"\"Status\" \"Status\"\n", false, "failed to parse request: trailing characters at line 1 column 10"},
      {"\n", false, "failed to parse request: EOF while parsing a value at line 1 column 0"},
      {"", true, "failed to parse request: EOF while parsing a value at line 1 column 0"},
      {"\"St\xff\"\n", false, "failed to read request: stream did not contain valid UTF-8"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(request_reply(socket, c.request, c.half_close), "") << "request: " << c.request;
    const std::string expected = std::string(kConnectionFailed) + std::string(c.warning);
    EXPECT_TRUE(warned(expected)) << "expected: " << expected << "\nwarnings:\n" << warnings();
  }
}

TEST_F(ControlSocket, AnswersOnlyTheFirstOfTwoRequestsInOneWrite) {
  ServerThread server;
  EXPECT_EQ(request_reply(socket, "\"Version\"\n\"Rescan\"\n"), kVersion);
  EXPECT_FALSE(server.rescan()->load());
}

TEST_F(ControlSocket, RescanRaisesTheRescanFlagBeforeItAcknowledges) {
  ServerThread server;
  ASSERT_FALSE(server.rescan()->load());
  EXPECT_EQ(request_reply(socket, "\"Rescan\"\n"), kAck);
  EXPECT_TRUE(server.rescan()->load());
}

TEST_F(ControlSocket, StatusListsEveryWatchedProjectAsLoadedNow) {
  const fs::path folder = temp / "music" / "night drive";
  write_project(central, folder, "w1", "Night Drive", 2, {"2024-03-02T11:00:00+01:00", "2024-03-03T12:30:00.250+01:00"});
  auto watched = std::make_shared<ipc::WatchedProjects>();
  watched->by_work_id.emplace("w1", watched_project(folder.string(), "Registry title", "2024-03-01T10:00:00+01:00"));
  // Its folder is gone: still listed, from what the service knows of it.
  watched->by_work_id.emplace("w2", watched_project((temp / "gone" / "old song").string(), std::nullopt,
                                                    "2024-02-29T23:59:59.5-05:30"));
  ServerThread server(watched);

  const std::string expected = fmt::format(
      R"({{"Status":{{"projects":[)"
      R"({{"work_id":"w1","project_path":"{}","title":"Night Drive","watching_since":"2024-03-01T10:00:00+01:00",)"
      R"("current_sequence":2,"last_checkpoint_at":"2024-03-03T12:30:00.250+01:00"}},)"
      R"({{"work_id":"w2","project_path":"{}","title":"old song","watching_since":"2024-02-29T23:59:59.500-05:30",)"
      R"("current_sequence":0,"last_checkpoint_at":null}}]}}}})"
      "\n",
      folder.string(), (temp / "gone" / "old song").string());
  EXPECT_EQ(request_reply(socket, "\"Status\"\n"), expected);
}

TEST_F(ControlSocket, WarnsWhenTheReplyCannotBeWritten) {
  auto watched = std::make_shared<ipc::WatchedProjects>();
  ServerThread server(watched);
  {
    // Holding the map keeps the handler from replying until the client has gone.
    std::lock_guard hold(watched->mutex);
    UniqueFd client = connect_when_listening(socket);
    ASSERT_TRUE(client);
    ASSERT_TRUE(send_all(client.get(), "\"Status\"\n"));
  }
  EXPECT_TRUE(warned(std::string(kConnectionFailed) + "failed to write response: ")) << warnings();
  EXPECT_EQ(request_reply(socket, "\"Version\"\n"), kVersion);
}

TEST_F(ControlSocket, RunFolderIsRestrictedAndTheSocketFileGoesAtStop) {
  fs::create_directories(central / "run");
  fs::permissions(central / "run", fs::perms::all);
  ServerThread server;
  ASSERT_TRUE(wait_until_serving(socket));
  EXPECT_EQ(fs::status(central / "run").permissions() & fs::perms::all, fs::perms::owner_all);
  server.stop();
  EXPECT_FALSE(fs::exists(fs::symlink_status(socket)));
}

TEST_F(ControlSocket, TakesOverAFileLeftAtTheSocketPath) {
  const struct {
    const char* name;
    void (*leave_behind)(const fs::path&);
  } cases[] = {
      {"socket of a service that died",
       [](const fs::path& path) {
         auto listener = ipc::listen_at(path);
         ASSERT_TRUE(listener) << listener.error().one_line();
       }},
      {"regular file", [](const fs::path& path) { write_file(path, "stale"); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::create_directories(socket.parent_path());
    c.leave_behind(socket);
    ASSERT_TRUE(fs::exists(fs::symlink_status(socket)));
    ServerThread server;
    EXPECT_EQ(request_reply(socket, "\"Version\"\n"), kVersion);
    server.stop();
    EXPECT_FALSE(fs::exists(fs::symlink_status(socket)));
  }
  EXPECT_EQ(warnings(), "");
}

TEST_F(ControlSocket, AServiceThatLostItsPathLeavesTheNewOwnersSocketInPlace) {
  auto first_map = std::make_shared<ipc::WatchedProjects>();
  ServerThread first(first_map);
  ASSERT_TRUE(wait_until_serving(socket));

  auto second_map = std::make_shared<ipc::WatchedProjects>();
  second_map->by_work_id.emplace("w9", watched_project("/", std::nullopt));
  ServerThread second(second_map);
  const std::string second_reply =
      R"({"Status":{"projects":[{"work_id":"w9","project_path":"/","title":null,)"
      R"("watching_since":"2024-03-01T10:00:00+01:00","current_sequence":0,"last_checkpoint_at":null}]}})"
      "\n";
  // The second service answers once it has taken the path over.
  ASSERT_TRUE(wait_until([&] { return request_reply(socket, "\"Status\"\n") == second_reply; }));

  first.stop();
  EXPECT_TRUE(fs::exists(fs::symlink_status(socket)));
  EXPECT_EQ(request_reply(socket, "\"Status\"\n"), second_reply);
  second.stop();
  EXPECT_FALSE(fs::exists(fs::symlink_status(socket)));
}

// The central root's name is padded so that the socket path has exactly `length` bytes.
TEST_F(ControlSocket, ServesOnlyWhenTheSocketPathFitsASocketAddress) {
  for (const std::size_t length : {ipc::max_socket_path_bytes - 1, ipc::max_socket_path_bytes, ipc::max_socket_path_bytes + 1}) {
    const std::size_t fixed = temp.path().native().size() + std::string_view("/" "/run/daemon.sock").size();
    ASSERT_LT(fixed, length);
    const fs::path root = temp / std::string(length - fixed, 'r');
    const fs::path path = root / "run" / "daemon.sock";
    ASSERT_EQ(path.native().size(), length);
    ScopedEnv home_here("TALLOWMERE_HOME", root.string());

    ServerThread server;
    if (length <= ipc::max_socket_path_bytes) {
      EXPECT_EQ(request_reply(path, "\"Version\"\n"), kVersion) << length;
    } else {
      const std::string expected = "WARNING: daemon control socket unavailable: failed to bind daemon control socket at " +
                                   path.string() + ": local socket name length exceeds capacity of sun_path of sockaddr_un";
      EXPECT_TRUE(warned(expected)) << warnings();
      server.join();  // it ends by itself, the running flag still set
      EXPECT_FALSE(fs::exists(fs::symlink_status(path)));
    }
  }
}

TEST_F(ControlSocket, WarnsAndEndsWhenTheRunFolderCannotBeMade) {
  write_file(central / "run", "a file where the folder belongs");
  ServerThread server;
  EXPECT_TRUE(warned("WARNING: daemon control socket unavailable: failed to create daemon run directory: ")) << warnings();
  server.join();
}

TEST(ControlSocketName, RefusesAPathWithANulByte) {
  auto listener = ipc::listen_at(fs::path(std::string("/tmp/da\0emon.sock", 17)));
  ASSERT_FALSE(listener);
  EXPECT_EQ(listener.error().messages(),
            (std::vector<std::string>{"failed to build daemon control socket name",
                                      "filesystem paths cannot contain interior nuls"}));
}

TEST_F(ControlSocket, SilentClientsDoNotHoldUpOthers) {
  ServerThread server;
  std::vector<UniqueFd> silent;
  for (int i = 0; i < 200; ++i) {
    silent.push_back(connect_when_listening(socket));
    ASSERT_TRUE(silent.back()) << i;
  }
  EXPECT_EQ(request_reply(socket, "\"Status\"\n"), kEmptyStatus);
  silent.clear();
  // The oldest were closed to make room, quietly: one warning for the whole burst. The others
  // (all but the one whose place the request took) end once they see the end of the stream.
  const std::string eof = std::string(kConnectionFailed) + "failed to parse request: EOF while parsing a value at line 1 column 0";
  const std::size_t still_held = ipc::connection_limit - 1;
  EXPECT_TRUE(wait_until([&] {
    const auto lines = console.err_lines();
    return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), eof)) == still_held;
  })) << warnings();
  const auto lines = console.err_lines();
  EXPECT_EQ(lines.size(), still_held + 1) << warnings();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](const std::string& line) { return line.starts_with(kAtLimit); }), 1)
      << warnings();
}

// Holding a connection open means nothing to the deadline: a byte now and then does not renew it.
TEST_F(ControlSocket, DropsAClientThatDribblesItsRequestPastTheDeadline) {
  ipc::ServeOptions options;
  options.request_time_limit = std::chrono::milliseconds(300);
  ServerThread server(std::make_shared<ipc::WatchedProjects>(), std::move(options));
  UniqueFd dribbler = connect_when_listening(socket);
  ASSERT_TRUE(dribbler);
  // One blank every 20 ms, far inside any time-out that restarts with each byte, until the
  // server has closed the connection.
  bool closed = false;
  for (int sent = 0; !closed && sent < 2000; ++sent) {
    if (!send_all(dribbler.get(), " ")) break;
    pollfd readable{dribbler.get(), POLLIN, 0};
    closed = ::poll(&readable, 1, 20) > 0;
  }
  EXPECT_TRUE(closed);
  EXPECT_EQ(read_to_end(dribbler.get()), "");
  EXPECT_TRUE(warned(std::string(kConnectionFailed) + "failed to read request: timed out waiting for the line"))
      << warnings();
}

// A full table of connections that never send: a new client takes the oldest one's place.
TEST_F(ControlSocket, AFullTableClosesTheOldestIdleConnectionForTheNewOne) {
  ipc::ServeOptions options;
  options.max_connections = 4;
  options.eviction_grace = std::chrono::milliseconds(100);
  ServerThread server(std::make_shared<ipc::WatchedProjects>(), std::move(options));
  std::vector<UniqueFd> silent;
  for (int i = 0; i < 4; ++i) silent.push_back(connect_when_listening(socket));

  EXPECT_EQ(request_reply(socket, "\"Status\"\n"), kEmptyStatus);
  EXPECT_EQ(read_to_end(silent[0].get()), "");  // closed, unanswered
  for (std::size_t i = 1; i < silent.size(); ++i) {
    char byte;
    EXPECT_EQ(::recv(silent[i].get(), &byte, 1, MSG_DONTWAIT), -1) << i;  // still open, nothing to read
    EXPECT_EQ(errno, EAGAIN) << i;
  }
  // The request's slot is free again once its reply has ended; a new silent client fills it.
  silent.push_back(connect_when_listening(socket));
  EXPECT_EQ(request_reply(socket, "\"Rescan\"\n"), kAck);
  EXPECT_EQ(read_to_end(silent[1].get()), "");
  const std::string limit_warning = std::string(kAtLimit) + "4 connections: closing the oldest ones still waiting for a "
                                    "request to make room, or keeping new ones waiting until one ends";
  EXPECT_EQ(warnings(), limit_warning + "\n");

  // The three still held end with the end of their stream, here rather than in another test.
  silent.clear();
  const std::string eof = std::string(kConnectionFailed) + "failed to parse request: EOF while parsing a value at line 1 column 0";
  EXPECT_TRUE(wait_until([&] { return warnings() == limit_warning + "\n" + eof + "\n" + eof + "\n" + eof + "\n"; }))
      << warnings();
}

// While no connection may be closed for it, a new client is left waiting in the listen queue, not
// turned away, and is answered once a connection ends; a stop still ends the wait at once.
TEST_F(ControlSocket, AFullTableWithNoneToCloseKeepsNewClientsWaiting) {
  ipc::ServeOptions options;
  options.max_connections = 4;
  options.eviction_grace = std::chrono::hours(1);
  auto server = std::make_unique<ServerThread>(std::make_shared<ipc::WatchedProjects>(), std::move(options));
  std::vector<UniqueFd> silent;
  for (int i = 0; i < 4; ++i) silent.push_back(connect_when_listening(socket));

  UniqueFd waiting = connect_when_listening(socket);
  ASSERT_TRUE(waiting);
  ASSERT_TRUE(send_all(waiting.get(), "\"Version\"\n"));
  EXPECT_TRUE(warned(kAtLimit)) << warnings();
  for (const UniqueFd& fd : silent) {
    char byte;
    EXPECT_EQ(::recv(fd.get(), &byte, 1, MSG_DONTWAIT), -1);  // still open, nothing to read
    EXPECT_EQ(errno, EAGAIN);
  }
  char byte;
  EXPECT_EQ(::recv(waiting.get(), &byte, 1, MSG_DONTWAIT), -1);  // not answered yet, not closed
  EXPECT_EQ(errno, EAGAIN);

  silent[0].reset();
  EXPECT_EQ(read_to_end(waiting.get()), kVersion);
  const std::string eof = std::string(kConnectionFailed) + "failed to parse request: EOF while parsing a value at line 1 column 0";
  const std::string limit_warning = std::string(kAtLimit) + "4 connections: closing the oldest ones still waiting for a "
                                    "request to make room, or keeping new ones waiting until one ends\n";
  EXPECT_TRUE(wait_until([&] { return warnings() == limit_warning + eof + "\n"; })) << warnings();

  // Full again, with a newcomer waiting: the stop does not wait for room.
  silent.push_back(connect_when_listening(socket));
  UniqueFd another = connect_when_listening(socket);
  ASSERT_TRUE(another);
  auto stopped = std::make_shared<std::atomic<bool>>(false);
  std::thread stopper([server = server.get(), stopped] {
    server->stop();
    stopped->store(true);
  });
  if (wait_until([&] { return stopped->load(); })) {
    stopper.join();
  } else {
    ADD_FAILURE() << "the server did not stop";
    stopper.detach();
    (void)server.release();  // still running: left to the process's end
  }
  EXPECT_FALSE(fs::exists(socket));
  // One burst, for the table never had half its room again. The connections still held end with
  // the end of their stream: three, and the newest one too when the server took it from the listen
  // queue before the stop (nothing tells the test which).
  silent.clear();
  const auto ended = [&](int held) {
    std::string expected = limit_warning + eof + "\n";
    for (int i = 0; i < held; ++i) expected += eof + "\n";
    return expected;
  };
  EXPECT_TRUE(wait_until([&] { return warnings() == ended(3) || warnings() == ended(4); })) << warnings();
}

// Accepting fails until descriptors come free; the service says so once, not at every retry.
TEST_F(ControlSocket, ReportsFailingAcceptsOncePerBurst) {
  auto failures_left = std::make_shared<std::atomic<int>>(3);
  auto attempts = std::make_shared<std::atomic<int>>(0);
  ipc::ServeOptions options;
  options.accept_connection = [failures_left, attempts](int listener) {
    ++*attempts;
    if (failures_left->load() > 0) {
      --*failures_left;
      errno = EMFILE;
      return -1;
    }
    return tallowmere_core::posix::accept_connection(listener);
  };
  ServerThread server(std::make_shared<ipc::WatchedProjects>(), std::move(options));
  const std::string failed = "WARNING: daemon control socket accept failed: Too many open files (os error 24)";
  const auto failure_lines = [&] {
    const auto lines = console.err_lines();
    return std::count(lines.begin(), lines.end(), failed);
  };

  EXPECT_EQ(request_reply(socket, "\"Version\"\n"), kVersion);
  EXPECT_EQ(failures_left->load(), 0);
  EXPECT_EQ(failure_lines(), 1) << warnings();

  // A connection accepted ends the burst: the next failures warn again, once.
  failures_left->store(2);
  EXPECT_EQ(request_reply(socket, "\"Version\"\n"), kVersion);
  EXPECT_EQ(failure_lines(), 2) << warnings();
  EXPECT_EQ(warnings(), failed + "\n" + failed + "\n");
}

TEST_F(ControlSocket, DropsAClientThatStaysSilentPastTheTimeOut) {
  ipc::ServeOptions options;
  options.request_time_limit = std::chrono::milliseconds(100);
  ServerThread server(std::make_shared<ipc::WatchedProjects>(), std::move(options));
  UniqueFd silent = connect_when_listening(socket);
  ASSERT_TRUE(silent);
  EXPECT_EQ(read_to_end(silent.get()), "");  // closed by the server, unanswered
  EXPECT_TRUE(warned(std::string(kConnectionFailed) + "failed to read request: timed out waiting for the line"))
      << warnings();
}

TEST_F(ControlSocket, BoundsTheLengthOfARequestLine) {
  ServerThread server;
  // Blanks pad a valid request to the longest accepted line, line feed included.
  std::string longest = "\"Status\"";
  longest.append(ipc::max_request_line_bytes - longest.size() - 1, ' ');
  longest += '\n';
  EXPECT_EQ(request_reply(socket, longest), kEmptyStatus);

  const std::string too_long = " " + longest;
  EXPECT_EQ(request_reply(socket, too_long), "");
  const std::string mebibyte(1 << 20, ' ');
  EXPECT_EQ(request_reply(socket, mebibyte), "");
  const std::string refused = std::string(kConnectionFailed) + "failed to read request: line is longer than 65536 bytes";
  EXPECT_TRUE(wait_until([&] {
    const auto lines = console.err_lines();
    return std::count(lines.begin(), lines.end(), refused) == 2;
  })) << warnings();
  EXPECT_EQ(request_reply(socket, "\"Version\"\n"), kVersion);
}

TEST_F(ControlSocket, KeepsServingWhenAConnectionGetsNoThread) {
  auto refusals = std::make_shared<std::atomic<int>>(1);
  ipc::ServeOptions options;
  options.start_connection_thread = [refusals](tallowmere_core::UniqueFunction<void()> task) {
    if (refusals->fetch_sub(1) > 0) throw std::system_error(EAGAIN, std::generic_category(), "thread");
    std::thread(std::move(task)).detach();
  };
  ServerThread server(std::make_shared<ipc::WatchedProjects>(), std::move(options));

  EXPECT_EQ(request_reply(socket, "\"Version\"\n"), "");
  EXPECT_TRUE(warned(std::string(kConnectionFailed) +
                     "failed to start a thread for the connection: Resource temporarily unavailable (os error 11)"))
      << warnings();
  EXPECT_EQ(request_reply(socket, "\"Version\"\n"), kVersion);
}

// --- the project list ---------------------------------------------------------------------------

TEST_F(ControlSocket, TitleComesFromTheManifestTheRegistryOrTheFolder) {
  const struct {
    const char* name;
    std::optional<std::string> manifest_title;  // none: no project on disk at all
    bool on_disk;
    std::optional<std::string> registry_title;
    std::string folder;
    std::optional<std::string> title;
  } cases[] = {
      {"manifest title", "Night Drive", true, "Registry", "song", "Night Drive"},
      {"manifest title keeps its blanks", " Night Drive\t", true, "Registry", "song", " Night Drive\t"},
      {"blank manifest title falls back to the folder, not the registry", " \u3000 ", true, "Registry", "song", "song"},
      {"no manifest title gives the registry title", std::nullopt, true, "Registry", "song", "Registry"},
      {"blank registry title gives the folder", std::nullopt, true, "  ", "song", "song"},
      {"nothing gives the folder", std::nullopt, true, std::nullopt, "song", "song"},
      {"unloadable project: registry title", std::nullopt, false, "Registry", "song", "Registry"},
      {"unloadable project: folder", std::nullopt, false, std::nullopt, "song", "song"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path folder = temp / c.name / c.folder;
    if (c.on_disk) write_project(central, folder, "w1", c.manifest_title, 4, {});
    const auto status = ipc::project_status("w1", watched_project(folder.string(), c.registry_title));
    EXPECT_EQ(status.title, c.title);
    EXPECT_EQ(status.current_sequence, c.on_disk ? 4u : 0u);
    EXPECT_EQ(status.last_checkpoint_at, std::nullopt);
  }
}

// While one load runs, every request that comes waits for the next load and they all share it:
// two loads for any number of requests, and none answered from a load that began before it came.
TEST(SharedLoad, RequestsThatArriveDuringALoadShareTheNextOne) {
  std::mutex gate;
  std::unique_lock first_load_held(gate);
  std::atomic<int> loads = 0;
  ipc::SharedLoad shared([&] {
    const int number = ++loads;
    if (number == 1) std::lock_guard wait_for_the_gate(gate);
    ipc::ProjectStatus status;
    status.work_id = fmt::format("load {}", number);
    return std::vector<ipc::ProjectStatus>{status};
  });

  std::vector<std::string> answers(9);
  std::vector<std::thread> requests;
  requests.emplace_back([&] { answers[0] = shared.get().at(0).work_id; });
  ASSERT_TRUE(wait_until([&] { return loads.load() == 1; }));
  for (std::size_t i = 1; i < answers.size(); ++i) requests.emplace_back([&, i] { answers[i] = shared.get().at(0).work_id; });
  ASSERT_TRUE(wait_until([&] { return shared.waiting() == answers.size(); }));
  first_load_held.unlock();
  for (auto& request : requests) request.join();

  EXPECT_EQ(loads.load(), 2);
  EXPECT_EQ(answers[0], "load 1");
  for (std::size_t i = 1; i < answers.size(); ++i) EXPECT_EQ(answers[i], "load 2") << i;
  EXPECT_EQ(shared.get().at(0).work_id, "load 3");
}

TEST(SharedLoad, AFailedLoadFailsTheRequestsThatSharedItAndNotTheNext) {
  std::atomic<int> loads = 0;
  ipc::SharedLoad shared([&]() -> std::vector<ipc::ProjectStatus> {
    if (++loads == 1) throw std::bad_alloc();
    return {};
  });
  EXPECT_THROW(shared.get(), std::bad_alloc);
  EXPECT_EQ(shared.get().size(), 0u);
  EXPECT_EQ(shared.waiting(), 0u);
}

TEST(FolderName, IsTheLastComponentOfThePath) {
  const struct {
    std::string_view path;
    std::optional<std::string> name;
  } cases[] = {
      {"/music/song", "song"},   {"/music/song/", "song"}, {"/music/song//.", "song"}, {"song", "song"},
      {"/", std::nullopt},       {"", std::nullopt},       {"/music/..", std::nullopt}, {".", std::nullopt},
      {"/music/s\xffng", "s\uFFFDng"},
  };
  for (const auto& c : cases) EXPECT_EQ(ipc::folder_name(c.path), c.name) << c.path;
}

}  // namespace

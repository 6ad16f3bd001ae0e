// `tallowmere-daemon status` against a running server, against fake services that answer oddly,
// and with nothing to talk to.
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "console.h"
#include "control_socket_support.h"
#include "posix.h"
#include "status_client.h"

namespace {

namespace fs = std::filesystem;
namespace ipc = tallowmere_daemon::ipc;
using namespace tallowmere_test;
using namespace tallowmere_test::control_socket;
using Messages = std::vector<std::string>;

// A service stand-in: takes one connection, keeps its request line and answers with `reply`
// (which may be anything), then closes.
class FakeDaemon {
 public:
  FakeDaemon(const fs::path& path, std::string reply) {
    listener_ = tallowmere_core::posix::unix_stream_socket();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::copy(path.native().begin(), path.native().end(), address.sun_path);
    fs::create_directories(path.parent_path());
    if (::bind(listener_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_.get(), 1) != 0) {
      throw std::runtime_error("fake daemon cannot listen");
    }
    thread_ = std::thread([this, reply = std::move(reply)] {
      UniqueFd connection(::accept(listener_.get(), nullptr, nullptr));
      if (!connection) return;
      char c;
      while (::recv(connection.get(), &c, 1, 0) == 1) {
        request_ += c;
        if (c == '\n') break;
      }
      send_all(connection.get(), reply);
    });
  }
  ~FakeDaemon() {
    ::shutdown(listener_.get(), SHUT_RDWR);  // wakes an accept that no client came to
    if (thread_.joinable()) thread_.join();
  }
  std::string request() {
    if (thread_.joinable()) thread_.join();
    return request_;
  }

 private:
  UniqueFd listener_;
  std::string request_;
  std::thread thread_;
};

class StatusClient : public ::testing::Test {
 protected:
  TempDir temp;
  fs::path central = temp / "central";
  ScopedEnv home{"TALLOWMERE_HOME", central.string()};
  fs::path socket = central / "run" / "daemon.sock";
  tallowmere_cli::console::Capture console;
};

Messages messages_of(const tallowmere_cli::Status& result) {
  return result ? Messages{} : result.error().messages();
}

TEST_F(StatusClient, ReportsEveryProjectARunningServiceWatches) {
  const fs::path folder = temp / "music" / "night drive";
  write_project(central, folder, "w1", "Night Drive", 2, {"2024-03-02T11:00:00+01:00", "2024-03-03T12:30:00.250+01:00"});
  auto watched = std::make_shared<ipc::WatchedProjects>();
  watched->by_work_id.emplace("w1", watched_project(folder.string(), std::nullopt, "2024-03-01T10:00:00+01:00"));
  watched->by_work_id.emplace("w2", watched_project("/", std::nullopt, "2024-03-04T08:15:00-05:00"));
  ServerThread server(watched);
  ASSERT_TRUE(wait_until_serving(socket));

  ASSERT_EQ(messages_of(ipc::status_client()), Messages{});
  EXPECT_EQ(console.out_lines(), (Messages{
                                     "Night Drive",
                                     "  path:            " + folder.string(),
                                     "  watching since:  2024-03-01T10:00:00+01:00",
                                     "  checkpoints:     2",
                                     "  last checkpoint: 2024-03-03T12:30:00.250+01:00",
                                     "(untitled)",
                                     "  path:            /",
                                     "  watching since:  2024-03-04T08:15:00-05:00",
                                     "  checkpoints:     0",
                                     "  last checkpoint: none yet",
                                 }));
}

TEST_F(StatusClient, SaysSoWhenNothingIsWatched) {
  ServerThread server;
  ASSERT_TRUE(wait_until_serving(socket));
  ASSERT_EQ(messages_of(ipc::status_client()), Messages{});
  EXPECT_EQ(console.out_lines(), Messages{"No projects currently being watched."});
}

TEST(StatusReport, PrintsValuesExactlyAsReceived) {
  const std::vector<ipc::ProjectStatus> projects{
      {"w1", " /odd path ", "", "not a date", 18446744073709551615u, "  later  "},
  };
  EXPECT_EQ(ipc::report_lines(projects), (Messages{
                                             "",
                                             "  path:             /odd path ",
                                             "  watching since:  not a date",
                                             "  checkpoints:     18446744073709551615",
                                             "  last checkpoint:   later  ",
                                         }));
}

// A title or path holding a line feed or an escape sequence must not add a line to the block or
// reach the terminal.
TEST(StatusReport, ControlCharactersInValuesAreShownEscaped) {
  const std::vector<ipc::ProjectStatus> projects{
      {"w1", "/songs/a\nb", "Evil\n  checkpoints:     999\x1b[2J", "2026-01-01T00:00:00+00:00", 1, std::nullopt},
  };
  EXPECT_EQ(ipc::report_lines(projects), (Messages{
                                             R"(Evil\n  checkpoints:     999\u001b[2J)",
                                             R"(  path:            /songs/a\nb)",
                                             "  watching since:  2026-01-01T00:00:00+00:00",
                                             "  checkpoints:     1",
                                             "  last checkpoint: none yet",
                                         }));
}

TEST_F(StatusClient, ActsOnWhatTheServiceReplies) {
  const struct {
    const char* name;
    std::string reply;
    Messages error;  // empty: the report is printed
    Messages report;
  } cases[] = {
      {"blanks around the reply", " \t{\"Status\":{\"projects\":[]}}  \r\n", {}, {"No projects currently being watched."}},
      {"no line feed before the end", "{\"Status\":{\"projects\":[]}}", {}, {"No projects currently being watched."}},
      {"optional keys left out",
       R"({"Status":{"projects":[{"work_id":"w","project_path":"/p","watching_since":"t","current_sequence":1}]}})"
       "\n",
       {},
       {"(untitled)", "  path:            /p", "  watching since:  t", "  checkpoints:     1", "  last checkpoint: none yet"}},
      {"acknowledgement", "\"Ack\"\n", {"daemon returned an unexpected acknowledgement for a status request"}, {}},
      {"version", "{\"Version\":{\"version\":\"0.2.0\"}}\n", {"daemon returned an unexpected version reply for a status request"}, {}},
      {"error", "{\"Error\":{\"message\":\"disk on fire: see log\"}}\n", {"daemon returned an error: disk on fire: see log"}, {}},
      {"extra text after the reply",
       "{\"Status\":{\"projects\":[]}} x\n",
       {"failed to parse response", "trailing characters at line 1 column 28"},
       {}},
      {"closed without a reply", "", {"failed to parse response", "EOF while parsing a value at line 1 column 0"}, {}},
      {"a project without its sequence",
       R"({"Status":{"projects":[{"work_id":"w","project_path":"/p","watching_since":"t"}]}})"
       "\n",
       {"failed to parse response", "missing field `current_sequence` at line 1 column 79"},
       {}},
      {"not UTF-8", "\"Ack\xff\"\n", {"failed to read response", "stream did not contain valid UTF-8"}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    tallowmere_cli::console::Capture report;
    FakeDaemon daemon(socket, c.reply);
    EXPECT_EQ(messages_of(ipc::status_client()), c.error);
    EXPECT_EQ(report.out_lines(), c.report);
    EXPECT_EQ(daemon.request(), "\"Status\"\n");
    fs::remove(socket);
  }
}

TEST_F(StatusClient, FailsWhenNoServiceListens) {
  const std::string context = "no daemon appears to be running (couldn't connect to " + socket.string() + ")";
  const struct {
    const char* name;
    void (*arrange)(const fs::path& socket);
    std::string cause;
  } cases[] = {
      {"no run folder yet", [](const fs::path&) {}, "No such file or directory (os error 2)"},
      {"an open run folder",
       [](const fs::path& socket) {
         fs::create_directories(socket.parent_path());
         fs::permissions(socket.parent_path(), fs::perms::all);
       },
       "No such file or directory (os error 2)"},
      {"a socket file left by a service that died",
       [](const fs::path& socket) {
         fs::create_directories(socket.parent_path());
         ASSERT_TRUE(ipc::listen_at(socket));  // closed again at once, its file left behind
       },
       "Connection refused (os error 111)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(central);
    c.arrange(socket);
    EXPECT_EQ(messages_of(ipc::status_client()), (Messages{context, c.cause}));
    EXPECT_EQ(fs::status(central / "run").permissions() & fs::perms::all, fs::perms::owner_all);
  }
  EXPECT_EQ(console.out_lines(), Messages{});
}

TEST_F(StatusClient, FailsWhenTheSocketPathCannotBeUsed) {
  const fs::path long_root = temp / std::string(100, 'r');
  {
    ScopedEnv long_home("TALLOWMERE_HOME", long_root.string());
    EXPECT_EQ(messages_of(ipc::status_client()),
              (Messages{"no daemon appears to be running (couldn't connect to " + (long_root / "run" / "daemon.sock").string() + ")",
                        "local socket name length exceeds capacity of sun_path of sockaddr_un"}));
  }
  write_file(central / "run", "a file where the folder belongs");
  EXPECT_EQ(messages_of(ipc::status_client()),
            (Messages{"failed to create daemon run directory", "Not a directory (os error 20)"}));
}

}  // namespace

// A request line on the control socket: any local process may connect and write anything. The
// input goes through the whole connection handler over a socket pair, and what the handler does
// is compared with what the request reader alone says of the same line.
#include <atomic>
#include <csignal>
#include <cstring>
#include <memory>

#include <sys/socket.h>
#include <unistd.h>

#include "fuzz_support.h"
#include "ipc.h"
#include "posix.h"
#include "protocol.h"
#include "text.h"
#include "version.h"

namespace {

namespace ipc = tallowmere_daemon::ipc;
using tallowmere_fuzz::broken;

// Everything the peer sends until it closes.
std::string read_all(int fd) {
  std::string out;
  char buffer[4096];
  for (;;) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return out;
    out.append(buffer, static_cast<std::size_t>(got));
  }
}

// The reply the handler must give to `request`, with nothing watched.
ipc::Response expected_reply(ipc::Request request) {
  switch (request) {
    case ipc::Request::Status: return {ipc::Response::Status{}};
    case ipc::Request::Rescan: return {ipc::Response::Ack{}};
    case ipc::Request::Version: return {ipc::Response::Version{tallowmere_daemon::daemon_version}};
  }
  broken("a request is one of three", "");
}

void check_request_reader(std::string_view text) {
  auto request = ipc::read_request(text);
  if (!request) {
    tallowmere_fuzz::check_rejection(text, request.error());
    return;
  }
  tallowmere_fuzz::check_is_json(text);
  auto written = ipc::write_request(*request);
  if (!written) broken("an accepted request can be written", written.error().to_string());
  auto again = ipc::read_request(*written);
  if (!again || *again != *request) broken("a written request reads back as itself", *written);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::signal(SIGPIPE, SIG_IGN);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input = tallowmere_fuzz::as_text(data, size);
  check_request_reader(input);

  // The handler reads the first line only, refuses text that is not UTF-8 and trims the line
  // before reading it; anything longer than a socket buffer holds is left to the reader above.
  if (size > 60'000) return 0;
  const std::string_view line = input.substr(0, std::min(input.find('\n'), input.size() - 1) + 1);
  std::optional<ipc::Response> expected;
  if (tallowmere_core::text::is_valid_utf8(line)) {
    const std::string_view trimmed = tallowmere_core::text::trim_whitespace(line);
    check_request_reader(trimmed);
    if (auto request = ipc::read_request(trimmed)) expected = expected_reply(*request);
  }

  auto ends = tallowmere_core::posix::unix_stream_socket_pair();
  if (!ends) broken("a socket pair can be made", std::strerror(ends.error()));
  tallowmere_core::UniqueFd client = std::move(ends->first);
  tallowmere_core::UniqueFd server = std::move(ends->second);
  if (size > 0 && ::write(client.get(), data, size) != static_cast<ssize_t>(size)) broken("the request fits the socket", "");
  ::shutdown(client.get(), SHUT_WR);

  auto watched = std::make_shared<ipc::WatchedProjects>();
  auto rescan = std::make_shared<tallowmere_cli::Flag>(false);
  const auto handled = ipc::handle_connection(std::move(server), watched, rescan);
  const std::string reply = read_all(client.get());

  if (!expected) {
    if (handled) broken("a request the reader refuses is refused by the handler", std::string(line));
    if (!reply.empty()) broken("a refused request gets no reply", reply);
    if (rescan->load()) broken("a refused request starts no rescan", std::string(line));
    return 0;
  }
  if (!handled) broken("a request the reader accepts is answered", handled.error().one_line());
  if (!reply.ends_with('\n') || reply.find('\n') != reply.size() - 1) broken("the reply is one line", reply);
  auto response = ipc::read_response(std::string_view(reply).substr(0, reply.size() - 1));
  if (!response) broken("the reply reads as a response", fmt::format("{}: {}", response.error().to_string(), reply));
  if (*response != *expected) broken("the reply answers the request", reply);
  if (rescan->load() != std::holds_alternative<ipc::Response::Ack>(expected->value)) {
    broken("only a Rescan request asks for a rescan", std::string(line));
  }
  return 0;
}

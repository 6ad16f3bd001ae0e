// A reply line on the control socket, as `status` reads it: whatever listens on the socket path
// writes it.
#include "fuzz_support.h"
#include "protocol.h"
#include "status_client.h"
#include "text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  namespace ipc = tallowmere_daemon::ipc;
  using tallowmere_fuzz::broken;

  const std::string_view input = tallowmere_fuzz::as_text(data, size);
  // The client refuses a reply that is not UTF-8 before it trims and reads it.
  if (!tallowmere_core::text::is_valid_utf8(input)) return 0;
  const std::string_view text = tallowmere_core::text::trim_whitespace(input);
  auto response = ipc::read_response(text);
  if (!response) {
    tallowmere_fuzz::check_rejection(text, response.error());
    return 0;
  }
  tallowmere_fuzz::check_is_json(text);
  const auto read = [](std::string_view line) { return ipc::read_response(line); };
  const auto write = [](const ipc::Response& reply) { return ipc::write_response(reply); };
  const std::string written = tallowmere_fuzz::check_rewrite_is_stable(*response, read, write);
  if (*read(written) != *response) broken("a written reply reads back as itself", written);

  if (const auto* status = std::get_if<ipc::Response::Status>(&response->value)) {
    const auto lines = ipc::report_lines(status->projects);
    const std::size_t expected = status->projects.empty() ? 1 : 5 * status->projects.size();
    if (lines.size() != expected) broken("the report has five lines per project", written);
  }
  return 0;
}

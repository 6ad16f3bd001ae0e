#pragma once
// The control socket's wire records: a request line from a client, a reply line from the service,
// and one watched project inside a `Status` reply. Each is described once for the strict reader
// and the compact writer.
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "error.h"
#include "json/record.h"

namespace tallowmere_daemon::ipc {

enum class Request { Status, Rescan, Version };

struct ProjectStatus {
  std::string work_id;
  std::string project_path;
  std::optional<std::string> title;
  std::string watching_since;
  std::uint64_t current_sequence = 0;
  std::optional<std::string> last_checkpoint_at;

  friend bool operator==(const ProjectStatus&, const ProjectStatus&) = default;
};

// Externally tagged on the wire: `"Ack"`, or an object whose single key names the variant and
// holds its fields.
struct Response {
  struct Status {
    std::vector<ProjectStatus> projects;
    friend bool operator==(const Status&, const Status&) = default;
  };
  struct Ack {
    friend bool operator==(const Ack&, const Ack&) = default;
  };
  struct Version {
    std::string version;
    friend bool operator==(const Version&, const Version&) = default;
  };
  struct Error {
    std::string message;
    friend bool operator==(const Error&, const Error&) = default;
  };

  std::variant<Status, Ack, Version, Error> value;
  friend bool operator==(const Response&, const Response&) = default;
};

// One request from the text of a trimmed line; the error carries " at line L column C".
std::expected<Request, tallowmere_core::JsonError> read_request(std::string_view text);
std::expected<Response, tallowmere_core::JsonError> read_response(std::string_view text);

// Compact JSON without the line feed. Fails only on text that is not UTF-8.
std::expected<std::string, tallowmere_core::JsonError> write_request(Request request);
std::expected<std::string, tallowmere_core::JsonError> write_response(const Response& response);

}  // namespace tallowmere_daemon::ipc

namespace tallowmere_core::json {

template <>
struct EnumTraits<tallowmere_daemon::ipc::Request> {
  static constexpr std::array<std::pair<std::string_view, tallowmere_daemon::ipc::Request>, 3> values{{
      {"Status", tallowmere_daemon::ipc::Request::Status},
      {"Rescan", tallowmere_daemon::ipc::Request::Rescan},
      {"Version", tallowmere_daemon::ipc::Request::Version},
  }};
};

template <>
struct RecordTraits<tallowmere_daemon::ipc::ProjectStatus> {
  using P = tallowmere_daemon::ipc::ProjectStatus;
  static constexpr std::string_view name = "ProjectStatus";
  static constexpr auto fields = std::tuple{
      field("work_id", &P::work_id),
      field("project_path", &P::project_path),
      field("title", &P::title),
      field("watching_since", &P::watching_since),
      field("current_sequence", &P::current_sequence),
      field("last_checkpoint_at", &P::last_checkpoint_at),
  };
};

// The field sets of the variants with data. Their names read "struct variant Response::…" in the
// reader's messages, which is how a struct variant is named there.
template <>
struct RecordTraits<tallowmere_daemon::ipc::Response::Status> {
  static constexpr std::string_view name = "variant Response::Status";
  static constexpr auto fields = std::tuple{field("projects", &tallowmere_daemon::ipc::Response::Status::projects)};
};

template <>
struct RecordTraits<tallowmere_daemon::ipc::Response::Version> {
  static constexpr std::string_view name = "variant Response::Version";
  static constexpr auto fields = std::tuple{field("version", &tallowmere_daemon::ipc::Response::Version::version)};
};

template <>
struct RecordTraits<tallowmere_daemon::ipc::Response::Error> {
  static constexpr std::string_view name = "variant Response::Error";
  static constexpr auto fields = std::tuple{field("message", &tallowmere_daemon::ipc::Response::Error::message)};
};

template <>
struct Codec<tallowmere_daemon::ipc::Response> {
  static bool read(Reader& r, tallowmere_daemon::ipc::Response& out);
  static Value to_value(const tallowmere_daemon::ipc::Response& response);
};

}  // namespace tallowmere_core::json

#include "protocol.h"

#include <array>

#include "json/document.h"

namespace tallowmere_core::json {
namespace {

using tallowmere_daemon::ipc::Response;

constexpr std::array<std::string_view, 4> variant_names{"Status", "Ack", "Version", "Error"};

// The fields of a variant with data, from an object or a one-element array.
template <class Variant>
bool read_variant_fields(Reader& r, Response& out) {
  Variant fields{};
  if (!read_record(r, fields)) return false;
  out.value = std::move(fields);
  return true;
}

template <class Variant>
Value tagged(std::string_view name, const Variant& fields) {
  Value object = Value::object();
  object[std::string(name)] = record_value(fields);
  return object;
}

}  // namespace

bool Codec<Response>::read(Reader& r, Response& out) {
  if (r.failed()) return false;
  std::string scratch;
  std::string_view name;
  const char c = r.peek();
  if (r.at_end()) return r.fail_here("EOF while parsing a value");
  if (c == '"') {
    if (!r.read_string_view(name, scratch)) return false;
    if (name == "Ack") {
      out.value = Response::Ack{};
      return true;
    }
    for (std::string_view known : variant_names) {
      if (name == known) return r.fail("invalid type: unit variant, expected struct variant");
    }
    return r.fail(fmt::format("unknown variant `{}`, expected {}", name, expected_one_of(variant_names)));
  }
  if (c != '{') return r.fail_here("expected value");

  if (!r.enter()) return false;
  if (r.peek() != '"' || r.at_end()) return r.fail_invalid_type("variant identifier");
  if (!r.read_string_view(name, scratch)) return false;
  std::size_t index = 0;
  while (index < variant_names.size() && variant_names[index] != name) ++index;
  if (index == variant_names.size()) {
    return r.fail(fmt::format("unknown variant `{}`, expected {}", name, expected_one_of(variant_names)));
  }
  if (!r.expect_colon()) return false;
  bool ok = false;
  switch (index) {
    case 0: ok = read_variant_fields<Response::Status>(r, out); break;
    case 1:
      ok = r.take_null();
      if (ok) {
        out.value = Response::Ack{};
      } else if (!r.failed()) {
        r.fail_invalid_type("unit");
      }
      break;
    case 2: ok = read_variant_fields<Response::Version>(r, out); break;
    case 3: ok = read_variant_fields<Response::Error>(r, out); break;
  }
  if (!ok || !r.end_enum_object()) return false;
  r.leave();
  return true;
}

Value Codec<Response>::to_value(const Response& response) {
  return std::visit(
      [](const auto& variant) -> Value {
        using V = std::remove_cvref_t<decltype(variant)>;
        if constexpr (std::is_same_v<V, Response::Status>) return tagged("Status", variant);
        if constexpr (std::is_same_v<V, Response::Ack>) return "Ack";
        if constexpr (std::is_same_v<V, Response::Version>) return tagged("Version", variant);
        if constexpr (std::is_same_v<V, Response::Error>) return tagged("Error", variant);
      },
      response.value);
}

}  // namespace tallowmere_core::json

namespace tallowmere_daemon::ipc {

namespace json = tallowmere_core::json;

std::expected<Request, tallowmere_core::JsonError> read_request(std::string_view text) {
  return json::read_document<Request>(text);
}

std::expected<Response, tallowmere_core::JsonError> read_response(std::string_view text) {
  return json::read_document<Response>(text);
}

std::expected<std::string, tallowmere_core::JsonError> write_request(Request request) {
  return json::to_compact(request);
}

std::expected<std::string, tallowmere_core::JsonError> write_response(const Response& response) {
  return json::to_compact(response);
}

}  // namespace tallowmere_daemon::ipc

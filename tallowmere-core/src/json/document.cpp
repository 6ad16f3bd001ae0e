#include "json/document.h"

namespace tallowmere_core::json {
namespace {

std::expected<std::string, JsonError> dump(const Value& value, int indent) {
  try {
    std::string text = value.dump(indent, ' ', false, nlohmann::ordered_json::error_handler_t::strict);
    return text;
  } catch (const nlohmann::ordered_json::exception& error) {
    return std::unexpected(JsonError{error.what(), 0, 0});
  }
}

}  // namespace

std::expected<std::string, JsonError> write_compact(const Value& value) { return dump(value, -1); }
std::expected<std::string, JsonError> write_pretty(const Value& value) { return dump(value, 2); }

}  // namespace tallowmere_core::json

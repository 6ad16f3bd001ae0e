#include "pointer.h"

#include <fmt/format.h>

namespace tallowmere_cli::pointer {
namespace {

// The work id as a JSON string, so that a NUL byte or another control character shows as an
// escape instead of cutting or garbling the console line.
std::string quoted(std::string_view work_id) {
  return tallowmere_core::json::Value(std::string(work_id))
      .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::optional<std::string_view> reason(std::string_view work_id) {
  if (work_id.empty()) return "it is empty";
  if (work_id.find('\0') != std::string_view::npos) return "it holds a NUL byte";
  if (work_id.front() == '/') return "it is an absolute path";
  if (work_id == ".") return "it names the projects folder itself";
  if (work_id == "..") return "it names the folder above the projects folder";
  if (work_id.find('/') != std::string_view::npos) return "it holds the path separator \"/\"";
  return std::nullopt;
}

}  // namespace

std::optional<std::string> unsafe_work_id(std::string_view work_id) {
  const auto why = reason(work_id);
  if (!why) return std::nullopt;
  return fmt::format("unsafe work_id {}: {}; a work id must be a single folder name under the central root's "
                     "\"projects\" folder",
                     quoted(work_id), *why);
}

}  // namespace tallowmere_cli::pointer

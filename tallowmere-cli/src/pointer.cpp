#include "pointer.h"

#include <new>

#include <fmt/format.h>

#include "durable_file.h"
#include "json/document.h"
#include "text.h"

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

Result<ProjectPointer> read_pointer_file(const std::filesystem::path& pointer_file) {
  using tallowmere_core::text::display;
  try {
    auto text = tallowmere_core::durable_file::read_text_file(pointer_file);
    if (!text) {
      // The system's own words, without the core's "I/O error at" around them.
      const auto* io = text.error().get<tallowmere_core::core_error::Io>();
      return std::unexpected(ErrorChain(io != nullptr ? io->source.to_string() : text.error().message())
                                 .context(fmt::format("failed to read pointer file {}", display(pointer_file))));
    }
    const std::string malformed =
        fmt::format("pointer file {} is malformed (if it was hand-edited, that's likely why)", display(pointer_file));
    auto pointer = tallowmere_core::json::read_document<ProjectPointer>(*text);
    if (!pointer) return std::unexpected(ErrorChain(pointer.error().to_string()).context(malformed));
    // The work id becomes a path component; one that escapes the projects folder would let a
    // hand-edited pointer file aim every later read and write of the service elsewhere.
    if (auto unsafe = unsafe_work_id(pointer->work_id)) return std::unexpected(ErrorChain(std::move(*unsafe)).context(malformed));
    return std::move(*pointer);
  } catch (const std::bad_alloc&) {
    return std::unexpected(ErrorChain("out of memory").context(fmt::format("failed to read pointer file {}",
                                                                           display(pointer_file))));
  }
}

}  // namespace tallowmere_cli::pointer

#pragma once
// The pointer file `.tallowmere` in a project folder: it names the project's work id, and
// through it the project's central directory.
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "error_chain.h"
#include "json/record.h"

namespace tallowmere_cli {

struct ProjectPointer {
  std::string schema_version;
  std::string work_id;
  std::string warning;
};

namespace pointer {

// Why `work_id` cannot name a central directory, or none when it can. The work id becomes one
// path component under `<central root>/projects/`, so anything that would resolve elsewhere
// (empty, absolute, ".", "..", a "/" inside, a NUL byte) is refused; the text names the work id.
std::optional<std::string> unsafe_work_id(std::string_view work_id);

// Reads and parses the pointer file at `pointer_file`, read as a project load reads it: the read
// error under "failed to read pointer file {}", a JSON error or an unsafe work id under "pointer
// file {} is malformed (if it was hand-edited, that's likely why)". Never blocks (a FIFO is no
// regular file), never throws.
Result<ProjectPointer> read_pointer_file(const std::filesystem::path& pointer_file);

}  // namespace pointer
}  // namespace tallowmere_cli

namespace tallowmere_core::json {

template <>
struct RecordTraits<tallowmere_cli::ProjectPointer> {
  static constexpr std::string_view name = "ProjectPointer";
  static constexpr auto fields = std::tuple{
      field("schema_version", &tallowmere_cli::ProjectPointer::schema_version),
      field("work_id", &tallowmere_cli::ProjectPointer::work_id),
      field("warning", &tallowmere_cli::ProjectPointer::warning),
  };
};

}  // namespace tallowmere_core::json

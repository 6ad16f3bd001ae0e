// The pointer file `.tallowmere` in a project folder: anyone who can write the folder writes it,
// and its work id becomes a path under the central root.
#include <filesystem>

#include "fuzz_support.h"
#include "json/document.h"
#include "pointer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  namespace json = tallowmere_core::json;
  using tallowmere_cli::ProjectPointer;
  using tallowmere_fuzz::broken;

  const std::string_view text = tallowmere_fuzz::as_text(data, size);
  tallowmere_fuzz::check_document<ProjectPointer>(text);
  auto pointer = json::read_document<ProjectPointer>(text);
  if (!pointer) return 0;

  // A work id that passes must name exactly one folder directly under "projects".
  const std::string& work_id = pointer->work_id;
  const auto unsafe = tallowmere_cli::pointer::unsafe_work_id(work_id);
  if (unsafe) {
    if (unsafe->empty()) broken("a refused work id comes with a reason", work_id);
    return 0;
  }
  const std::filesystem::path projects = "projects";
  const std::filesystem::path central_dir = (projects / work_id).lexically_normal();
  if (work_id.find('\0') != std::string::npos || central_dir.parent_path() != projects ||
      central_dir.filename() != work_id) {
    broken("an accepted work id names one folder under projects/", work_id);
  }
  return 0;
}

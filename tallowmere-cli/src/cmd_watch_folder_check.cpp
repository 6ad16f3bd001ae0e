#include "cmd_watch_folder_check.h"

#include <system_error>

#include <fmt/format.h>

#include "console.h"
#include "pointer.h"
#include "text.h"

namespace tallowmere_cli::cmd_watch {

namespace fs = std::filesystem;
using tallowmere_core::text::display;
using tallowmere_core::text::escape_control;

namespace {

constexpr std::string_view names_prefix = "its pointer file names work id ";

}  // namespace

std::optional<std::string> foreign_folder_finding(const fs::path& folder, const std::string& work_id) {
  const fs::path pointer_file = folder / ".tallowmere";
  std::error_code error;
  if (fs::status(pointer_file, error).type() == fs::file_type::not_found) {
    return std::string("it has no pointer file .tallowmere");
  }
  auto pointer = pointer::read_pointer_file(pointer_file);
  if (!pointer) return "its pointer file cannot be read: " + escape_control(pointer.error().one_line());
  if (pointer->work_id == work_id) return std::nullopt;
  return fmt::format("{}{}", names_prefix, escape_control(pointer->work_id));
}

bool ProjectFolderCheck::operator()(const fs::path& folder, Clock::time_point now) {
  auto finding = foreign_folder_finding(folder, work_id_);
  if (!finding) {
    finding_.reset();
    return true;
  }
  if (finding != finding_) {
    finding_ = std::move(finding);
    found_at_ = now;
    foreign_ = finding_->starts_with(names_prefix);
    reported_ = false;
  }
  if (!reported_ && (foreign_ || now - found_at_ >= unfinished_folder_grace)) {
    reported_ = true;
    console::err(fmt::format("WARNING: {} does not hold project {} now: {}; nothing there is recorded until the "
                             "project's own folder is back at that path",
                             display(shown_root_), escape_control(work_id_), *finding_));
  }
  return false;
}

}  // namespace tallowmere_cli::cmd_watch

#pragma once
// Whether the folder standing at a watched project's path is that project's: the change source
// asks each time it finds a folder there, and reports nothing of a folder refused. A folder is the
// project's only when its pointer file names the project's work id; anything else (another
// project moved or un-tarred into the path, a template, the empty folder an unmounted disk leaves)
// is refused, and said so once on standard error.
#include <chrono>
#include <filesystem>
#include <optional>
#include <string>

#include "cmd_watch_pending_saves.h"

namespace tallowmere_cli::cmd_watch {

// What stands at `folder` instead of the folder of project `work_id`, in words for a console line
// ("its pointer file names work id ...", "it has no pointer file .tallowmere", "its pointer file
// cannot be read: ..."), or none when it is that project's folder.
std::optional<std::string> foreign_folder_finding(const std::filesystem::path& folder, const std::string& work_id);

// The check one watch loop hands its change source; times are passed in, so tests can drive it
// without waiting. Not thread-safe: the change source calls it one call at a time.
class ProjectFolderCheck {
 public:
  // A folder without a pointer file, or with one that cannot be read yet, may be one being copied
  // or restored into place, its pointer file still to come; it is reported once it has stood so
  // this long. A pointer file naming another project is reported at once.
  static constexpr std::chrono::seconds unfinished_folder_grace{2};

  // `shown_root` is the project folder as the user registered it, for the warning.
  ProjectFolderCheck(std::filesystem::path shown_root, std::string work_id)
      : shown_root_(std::move(shown_root)), work_id_(std::move(work_id)) {}

  // True when `folder` is the project's. Otherwise prints one "WARNING: " line per finding: a
  // finding that differs from the last one starts anew, and an accepted folder forgets it.
  bool operator()(const std::filesystem::path& folder, Clock::time_point now);

 private:
  std::filesystem::path shown_root_;
  std::string work_id_;
  std::optional<std::string> finding_;  // the last refusal's, until a folder is accepted
  Clock::time_point found_at_{};
  bool foreign_ = false;  // the finding names another project's work id
  bool reported_ = false;
};

}  // namespace tallowmere_cli::cmd_watch

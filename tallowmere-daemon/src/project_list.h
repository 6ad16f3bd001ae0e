#pragma once
// The project list of a `Status` reply: what the service watches, with each project loaded afresh
// from disk.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol.h"
#include "watched.h"

namespace tallowmere_daemon::ipc {

// The last component of `project_path` (a trailing separator does not count), invalid UTF-8
// replaced by U+FFFD; none for an empty path, the root folder or one that ends in "..".
std::optional<std::string> folder_name(std::string_view project_path);

// One watched project as a `Status` reply lists it. The project is loaded now; a project that
// cannot be loaded is still listed, with sequence 0 and no last checkpoint.
ProjectStatus project_status(const std::string& work_id, const WatchedProject& watched);

// One entry per project in the map. The map's lock is held only while the entries are copied,
// never while projects load.
std::vector<ProjectStatus> project_list(const WatchedMap& watched);

}  // namespace tallowmere_daemon::ipc

#pragma once
// The watched-project map: work id → what the service knows of its running watcher. Shared by the
// supervisor, the control-socket threads and every watcher thread; its mutex is held only for a
// look-up, an insertion, a removal, clearing flags or copying all entries.
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "flag.h"
#include "timestamp.h"

namespace tallowmere_daemon::ipc {

using RunningFlag = tallowmere_cli::SharedFlag;

struct WatchedProject {
  std::string project_path;              // as the registry entry gives it
  std::optional<std::string> title;      // the registry title when the watcher started
  std::chrono::seconds collapse_window{0};
  tallowmere_core::timestamp::Timestamp watching_since;
  // Shared with the watcher thread and its loop; it also identifies the watcher (by identity).
  RunningFlag running;
};

struct WatchedProjects {
  std::mutex mutex;
  std::map<std::string, WatchedProject> by_work_id;
};

using WatchedMap = std::shared_ptr<WatchedProjects>;

}  // namespace tallowmere_daemon::ipc

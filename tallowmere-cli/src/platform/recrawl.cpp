#include "platform/file_watcher.h"

#include <algorithm>
#include <system_error>

namespace tallowmere_cli::platform {

namespace fs = std::filesystem;

ChangeEvent recrawl(const fs::path& folder) {
  ChangeEvent event{EventKind::Any, {}};
  std::error_code error;
  for (fs::directory_iterator entry(folder, error), end; !error && entry != end; entry.increment(error)) {
    std::error_code status_error;
    if (entry->symlink_status(status_error).type() == fs::file_type::regular) event.paths.push_back(entry->path());
  }
  std::sort(event.paths.begin(), event.paths.end());
  return event;
}

}  // namespace tallowmere_cli::platform

#pragma once
// The project list of a `Status` reply: what the service watches, with each project loaded afresh
// from disk, its ledger counted rather than kept.
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
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

// Serves concurrent requests for the project list from one load at a time, so that what the
// loads hold does not grow with the number of clients. Each request gets the list of a load that
// began after it came: the one it starts itself, or the next one, shared by all that waited for
// it. Thread-safe.
class SharedLoad {
 public:
  explicit SharedLoad(std::function<std::vector<ProjectStatus>()> load);

  // The list, or what the load threw (to every request that shared it); std::bad_alloc when even
  // the load's failure could not be recorded. Whatever is thrown, the load counts as finished and
  // the requests that waited for it go on.
  std::vector<ProjectStatus> get();
  // How many requests are in get() now, the one loading included.
  std::size_t waiting() const;

 private:
  struct Outcome {
    std::vector<ProjectStatus> projects;
    std::exception_ptr failure;
  };

  // Runs the load; what it gives or throws, never throwing itself.
  std::shared_ptr<const Outcome> run_load() noexcept;
  // Re-takes `lock` (released for the load), records `outcome` and wakes the waiters.
  void publish(std::unique_lock<std::mutex>& lock, std::shared_ptr<const Outcome> outcome) noexcept;

  std::function<std::vector<ProjectStatus>()> load_;
  // Made at construction, for a failure whose own outcome cannot be allocated.
  const std::shared_ptr<const Outcome> out_of_memory_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool loading_ = false;
  std::uint64_t started_ = 0;   // loads begun
  std::uint64_t finished_ = 0;  // the load whose outcome `latest_` is
  std::size_t waiting_ = 0;
  std::shared_ptr<const Outcome> latest_;
};

}  // namespace tallowmere_daemon::ipc

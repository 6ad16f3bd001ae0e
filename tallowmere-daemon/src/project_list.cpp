#include "project_list.h"

#include <exception>
#include <mutex>
#include <new>
#include <utility>

#include "project.h"
#include "text.h"
#include "timestamp.h"

namespace tallowmere_daemon::ipc {

std::optional<std::string> folder_name(std::string_view project_path) {
  // Path components the way a path library counts them: empty ones (doubled or trailing
  // separators) and "." ones vanish, so "/music/song/" and "/music/song/." both end in "song".
  std::optional<std::string_view> last;
  std::size_t start = 0;
  while (start <= project_path.size()) {
    std::size_t end = project_path.find('/', start);
    if (end == std::string_view::npos) end = project_path.size();
    const std::string_view component = project_path.substr(start, end - start);
    if (!component.empty() && component != ".") last = component;
    start = end + 1;
  }
  if (!last || *last == "..") return std::nullopt;
  return tallowmere_core::text::lossy_utf8(*last);
}

ProjectStatus project_status(const std::string& work_id, const WatchedProject& watched) {
  ProjectStatus status;
  status.work_id = work_id;
  status.project_path = watched.project_path;
  status.watching_since = tallowmere_core::timestamp::format_rfc3339(watched.watching_since);

  // A project that cannot be loaded right now (moved, half-written, deleted) is still being
  // watched, so it is listed with what the map alone knows.
  auto loaded = tallowmere_cli::project::load_project_summary(watched.project_path);
  std::optional<std::string> candidate = watched.title;
  if (loaded) {
    status.current_sequence = loaded->manifest.current_sequence;
    status.last_checkpoint_at = std::move(loaded->ledger.last_timestamp_local);
    // A blank manifest title still wins over the registry's: it falls back to the folder name.
    if (loaded->manifest.title) candidate = loaded->manifest.title;
  }
  if (candidate && !tallowmere_core::text::is_blank(*candidate)) {
    status.title = std::move(candidate);
  } else {
    status.title = folder_name(watched.project_path);
  }
  return status;
}

std::vector<ProjectStatus> project_list(const WatchedMap& watched) {
  std::vector<std::pair<std::string, WatchedProject>> entries;
  {
    std::lock_guard lock(watched->mutex);
    entries.assign(watched->by_work_id.begin(), watched->by_work_id.end());
  }
  std::vector<ProjectStatus> projects;
  projects.reserve(entries.size());
  for (const auto& [work_id, project] : entries) projects.push_back(project_status(work_id, project));
  return projects;
}

SharedLoad::SharedLoad(std::function<std::vector<ProjectStatus>()> load)
    : load_(std::move(load)),
      out_of_memory_(std::make_shared<const Outcome>(Outcome{{}, std::make_exception_ptr(std::bad_alloc())})) {}

std::shared_ptr<const SharedLoad::Outcome> SharedLoad::run_load() noexcept {
  try {
    return std::make_shared<const Outcome>(Outcome{load_(), nullptr});
  } catch (...) {
    try {
      return std::make_shared<const Outcome>(Outcome{{}, std::current_exception()});
    } catch (...) {
      // No memory even to say what went wrong: the answer made for this at the start.
      return out_of_memory_;
    }
  }
}

void SharedLoad::publish(std::unique_lock<std::mutex>& lock, std::shared_ptr<const Outcome> outcome) noexcept {
  // Locking a mutex this thread does not hold fails only when the mutex itself is broken, and then
  // no request could ever be answered again; ending here (noexcept) beats leaving every later
  // request waiting for a load that never finishes.
  lock.lock();
  latest_ = std::move(outcome);
  finished_ = started_;
  loading_ = false;
  changed_.notify_all();
}

std::vector<ProjectStatus> SharedLoad::get() {
  std::unique_lock lock(mutex_);
  // A load already running may have read a project before this request came; only one that
  // starts from now on answers it.
  const std::uint64_t wanted = started_ + 1;
  ++waiting_;
  // Nothing from here to the unlock below throws, so every way out leaves the count right, and a
  // load that began is always finished, its waiters woken.
  while (finished_ < wanted) {
    if (loading_) {
      changed_.wait(lock);
      continue;
    }
    started_ = wanted;
    loading_ = true;
    lock.unlock();
    publish(lock, run_load());
  }
  --waiting_;
  const std::shared_ptr<const Outcome> outcome = latest_;
  lock.unlock();
  if (outcome->failure) std::rethrow_exception(outcome->failure);
  return outcome->projects;
}

std::size_t SharedLoad::waiting() const {
  std::lock_guard lock(mutex_);
  return waiting_;
}

}  // namespace tallowmere_daemon::ipc

#include "supervisor.h"

#include <algorithm>
#include <exception>
#include <filesystem>
#include <map>
#include <new>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>
#include <system_error>

#include <fmt/format.h>

#include "cmd_watch.h"
#include "console.h"
#include "ipc.h"
#include "registry.h"
#include "text.h"
#include "timestamp.h"

namespace tallowmere_daemon::supervisor {
namespace {

namespace fs = std::filesystem;
using tallowmere_cli::ErrorChain;
using tallowmere_cli::Status;
namespace console = tallowmere_cli::console;

// What the registry holds is shown on one line whatever it is.
std::string shown(std::string_view value) { return tallowmere_core::text::escape_control(value); }

bool is_watch_enabled(const tallowmere_core::ProjectConfig& config) {
  const std::string& mode = config.checkpoint_policy.mode;
  return mode == "hybrid" || mode == "event_triggered";
}

std::chrono::seconds collapse_window_of(const tallowmere_core::ProjectConfig& config) {
  const auto minutes = config.checkpoint_policy.collapse_window_minutes;
  return std::chrono::seconds(minutes ? static_cast<std::int64_t>(*minutes) * 60 : 0);
}

// The watch loop counts its window in nanoseconds, which cover only about 292 years; the
// configuration allows 2^32 minutes. A longer window is as good as endless, so it saturates
// rather than wrapping into a negative one.
std::chrono::nanoseconds loop_window(std::chrono::seconds window) {
  constexpr auto longest = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::nanoseconds::max());
  return window >= longest ? std::chrono::nanoseconds::max() : std::chrono::nanoseconds(window);
}

// A thread boundary: an exception that left the loop would end the whole process, so it becomes
// an error chain like any other failure of the loop.
Status run_guarded(const WatchLoop& loop, tallowmere_cli::LoadedProject project, std::chrono::nanoseconds window,
                   ipc::RunningFlag running) noexcept {
  try {
    return loop(std::move(project), window, std::move(running));
  } catch (...) {
    return std::unexpected(ErrorChain(tallowmere_cli::current_exception_text()).context("watcher thread failed"));
  }
}

// Removes the map entry of `work_id` only while it still belongs to the watcher of `flag`: a
// stopped watcher must never remove its successor's entry.
void remove_own_entry(ipc::WatchedProjects& watched, const std::string& work_id, const ipc::RunningFlag& flag) {
  std::lock_guard lock(watched.mutex);
  auto it = watched.by_work_id.find(work_id);
  if (it != watched.by_work_id.end() && it->second.running == flag) watched.by_work_id.erase(it);
}

void report_stopped(const std::string& project_path, const std::string& work_id, const ErrorChain& error) {
  console::err(fmt::format("ERROR: watcher for {} ({}) stopped: {}", shown(project_path), shown(work_id), error.one_line()));
}

std::string display_title(const tallowmere_core::RegistryEntry& entry) { return shown(entry.title.value_or("untitled")); }

// The body of one watcher thread. It catches everything itself, so `finished` is always set and the
// process never ends because of one project.
tallowmere_core::UniqueFunction<void()> watcher_body(WatchLoop loop, tallowmere_cli::LoadedProject project,
                                                     std::chrono::nanoseconds window, ipc::RunningFlag flag,
                                                     std::shared_ptr<std::atomic<bool>> finished,
                                                     ipc::WatchedMap watched, std::string work_id,
                                                     std::string project_path) {
  return [loop = std::move(loop), project = std::move(project), window, flag = std::move(flag),
          finished = std::move(finished), watched = std::move(watched), work_id = std::move(work_id),
          project_path = std::move(project_path)]() mutable noexcept {
    const Status result = run_guarded(loop, std::move(project), window, flag);
    try {
      if (!result) report_stopped(project_path, work_id, result.error());
    } catch (...) {
      // A line that cannot be printed does not keep the entry in the map.
    }
    try {
      remove_own_entry(*watched, work_id, flag);
    } catch (...) {
      // Only a broken mutex throws here; the entry then stays until the next replacement.
    }
    finished->store(true);
  };
}

// What one rescan learns as it visits the registry's entries in order.
struct Pass {
  explicit Pass(const tallowmere_core::Registry& registry) {
    for (const auto& entry : registry.projects) {
      listed_work_ids.insert(entry.work_id);
      listed_entries.insert(entry_key(entry.work_id, entry.project_path));
    }
  }

  static std::string entry_key(const std::string& work_id, const std::string& project_path) {
    return work_id + '\0' + project_path;
  }

  std::set<std::string> listed_work_ids;
  std::set<std::string> listed_entries;
  // Each history to the work id of the entry that watches it, among the entries visited so far.
  std::map<fs::path, std::string> claimed;
  std::map<std::string, std::vector<std::string>> warnings;  // becomes State::entry_warnings
};

bool is_live(const Watcher& watcher) { return watcher.running->load() && !watcher.finished->load(); }

const Watcher* watcher_of(const State& state, const ipc::RunningFlag& flag) {
  for (const auto& watcher : state.watchers)
    if (watcher.running == flag) return &watcher;
  return nullptr;
}

// The old watcher is not waited for; it sees its flag in its own time and its handle stays.
void stop_watcher(State& state, const std::string& work_id, const ipc::RunningFlag& flag) {
  flag->store(false);
  remove_own_entry(*state.watched, work_id, flag);
}

void start_watcher(State& state, const Options& options, const tallowmere_core::RegistryEntry& entry,
                   tallowmere_cli::LoadedProject project, std::chrono::seconds window) {
  console::out(fmt::format("Watching {} ({})", shown(entry.project_path), display_title(entry)));
  // Everything that allocates comes before the map entry: a pass that fails on the way leaves no
  // entry without a watcher, which the next rescan would keep as watched.
  auto flag = std::make_shared<tallowmere_cli::Flag>(true);
  auto finished = std::make_shared<std::atomic<bool>>(false);
  Watcher kept{{}, flag, finished, entry.work_id, project.paths.central_dir};
  ipc::WatchedProject watched{entry.project_path, entry.title, window, tallowmere_core::timestamp::now_local(), flag};
  WatchLoop loop = options.watch_loop ? options.watch_loop : WatchLoop(tallowmere_cli::cmd_watch::run_loop);
  auto body = watcher_body(std::move(loop), std::move(project), loop_window(window), flag, std::move(finished),
                           state.watched, entry.work_id, entry.project_path);
  // Room for the handle first, so that once the thread runs nothing can fail before it is kept.
  state.watchers.reserve(state.watchers.size() + 1);
  {
    std::lock_guard lock(state.watched->mutex);
    state.watched->by_work_id.insert_or_assign(entry.work_id, std::move(watched));
  }
  try {
    kept.thread = options.start_watcher_thread ? options.start_watcher_thread(std::move(body))
                                               : std::thread(std::move(body));
    state.watchers.push_back(std::move(kept));
  } catch (const std::system_error& error) {
    // The entry was put in only for this watcher; without it the next rescan sees the project as
    // unwatched and tries again.
    remove_own_entry(*state.watched, entry.work_id, flag);
    report_stopped(entry.project_path, entry.work_id,
                   tallowmere_cli::os_error("failed to start the watcher thread", error.code().value()));
  } catch (const std::exception& error) {
    remove_own_entry(*state.watched, entry.work_id, flag);
    report_stopped(entry.project_path, entry.work_id,
                   ErrorChain(error.what()).context("failed to start the watcher thread"));
  }
}

// The entry other than `entry` that watches the history at `central_dir`, or is to: the entry the
// pointer names, for the same folder, comes first; then one visited earlier in this rescan; then
// the running watcher of an entry the registry still lists, so that the watcher of one history
// does not move from entry to entry when their order changes. An entry the pointer names is
// second only to one visited before it.
std::optional<std::string> other_watcher_of(const State& state, const Pass& pass,
                                            const tallowmere_core::RegistryEntry& entry, const fs::path& central_dir) {
  const std::string pointer_work_id = central_dir.filename().string();
  if (pointer_work_id != entry.work_id &&
      pass.listed_entries.contains(Pass::entry_key(pointer_work_id, entry.project_path))) {
    return pointer_work_id;
  }
  const auto claim = pass.claimed.find(central_dir);
  if (claim != pass.claimed.end() && claim->second != entry.work_id) return claim->second;
  if (pointer_work_id == entry.work_id) return std::nullopt;
  for (const auto& watcher : state.watchers) {
    if (is_live(watcher) && watcher.central_dir == central_dir && watcher.work_id != entry.work_id &&
        pass.listed_work_ids.contains(watcher.work_id)) {
      return watcher.work_id;
    }
  }
  return std::nullopt;
}

// Prints those of the entry's warnings that the previous rescan did not find, and keeps them all.
void warn_once(const State& state, Pass& pass, const std::string& key, std::vector<std::string> warnings) {
  const auto before = state.entry_warnings.find(key);
  for (const auto& line : warnings) {
    const bool printed = before != state.entry_warnings.end() &&
                         std::find(before->second.begin(), before->second.end(), line) != before->second.end();
    if (!printed) console::err(line);
  }
  auto& kept = pass.warnings[key];
  kept.insert(kept.end(), std::make_move_iterator(warnings.begin()), std::make_move_iterator(warnings.end()));
}

void reconcile(State& state, const Options& options, Pass& pass, const tallowmere_core::RegistryEntry& entry) {
  struct Existing {
    std::string project_path;
    std::chrono::seconds collapse_window;
    ipc::RunningFlag running;
  };
  std::optional<Existing> existing;
  {
    std::lock_guard lock(state.watched->mutex);
    auto it = state.watched->by_work_id.find(entry.work_id);
    if (it != state.watched->by_work_id.end()) {
      existing = Existing{it->second.project_path, it->second.collapse_window, it->second.running};
    }
  }
  const Watcher* existing_watcher = existing ? watcher_of(state, existing->running) : nullptr;
  const std::string key = Pass::entry_key(entry.work_id, entry.project_path);

  auto loaded = tallowmere_cli::project::load_project(entry.project_path);
  if (!loaded) {
    // A watched project that is briefly unreadable keeps its watcher, silently, and the history
    // that watcher appends to stays its own.
    if (!existing) {
      console::err(fmt::format("WARNING: skipping {} ({}): {}", shown(entry.title.value_or(entry.project_path)),
                               shown(entry.work_id), loaded.error().one_line()));
    } else if (existing_watcher != nullptr) {
      pass.claimed.emplace(existing_watcher->central_dir, entry.work_id);
    }
    // What was last found about its pointer is not news when it loads again.
    if (auto before = state.entry_warnings.find(key); before != state.entry_warnings.end()) {
      pass.warnings[key] = before->second;
    }
    return;
  }
  const fs::path central_dir = loaded->paths.central_dir;
  const std::string pointer_work_id = central_dir.filename().string();
  const std::string history = shown(tallowmere_core::text::display(central_dir));
  std::vector<std::string> warnings;
  if (pointer_work_id != entry.work_id) {
    warnings.push_back(fmt::format(
        "WARNING: the pointer file {} names work id {}, not the registry's {}; following the pointer to {}",
        shown(tallowmere_core::text::display(loaded->paths.pointer_file)), shown(pointer_work_id),
        shown(entry.work_id), history));
  }

  // One history, one watcher: a second entry that leads to it stays unwatched, and a watcher it
  // had is stopped.
  if (const auto owner = other_watcher_of(state, pass, entry, central_dir)) {
    warnings.push_back(fmt::format("WARNING: not watching {} ({}): its project, {}, is already watched as {}",
                                   shown(entry.project_path), shown(entry.work_id), history, shown(*owner)));
    warn_once(state, pass, key, std::move(warnings));
    if (existing) stop_watcher(state, entry.work_id, existing->running);
    return;
  }
  warn_once(state, pass, key, std::move(warnings));

  const bool watch_enabled = is_watch_enabled(loaded->config);
  const auto window = collapse_window_of(loaded->config);

  if (existing) {
    const bool same_path = existing->project_path == entry.project_path;
    // A pointer file that now names another history moves the project as much as a new folder.
    const bool same_history = existing_watcher == nullptr || existing_watcher->central_dir == central_dir;
    if (same_path && same_history && existing->collapse_window == window && watch_enabled) {
      pass.claimed.emplace(central_dir, entry.work_id);
      return;
    }
    const char* reason = !watch_enabled                ? "no longer watch-enabled"
                         : same_path && same_history ? "signing interval changed"
                                                     : "relocated";
    console::out(fmt::format("Reconciling {} ({}): {}", shown(entry.project_path), display_title(entry), reason));
    stop_watcher(state, entry.work_id, existing->running);
  }
  if (!watch_enabled) return;
  // The watcher of an entry that has left the registry, or of one the pointer does not name, gives
  // way to this one.
  std::vector<std::pair<std::string, ipc::RunningFlag>> displaced;
  for (const auto& watcher : state.watchers) {
    if (is_live(watcher) && watcher.central_dir == central_dir && watcher.work_id != entry.work_id) {
      displaced.emplace_back(watcher.work_id, watcher.running);
    }
  }
  for (const auto& [work_id, flag] : displaced) stop_watcher(state, work_id, flag);
  pass.claimed.emplace(central_dir, entry.work_id);
  start_watcher(state, options, entry, std::move(*loaded), window);
}

// Threads that have marked themselves finished are past their last act, so joining them does not
// wait.
void release_finished(State& state) {
  std::erase_if(state.watchers, [](Watcher& watcher) {
    if (!watcher.finished->load()) return false;
    watcher.thread.join();
    return true;
  });
}

// Requests that come within this time of a rescan's start wait for its end and make one rescan
// together, so that a client asking again and again does not keep every project reloading.
constexpr auto rescan_spacing = std::chrono::milliseconds(200);

std::chrono::steady_clock::time_point deadline_after(std::chrono::nanoseconds interval) {
  const auto start = std::chrono::steady_clock::now();
  return interval >= std::chrono::steady_clock::time_point::max() - start ? std::chrono::steady_clock::time_point::max()
                                                                          : start + interval;
}

// Sleeps until the next rescan is due, a rescan is requested or the service stops, whichever
// comes first; a request is taken no sooner than `rescan_spacing` after `last_began`, the start of
// the rescan before. Both flags wake it, so it looks at them only when one of them has changed;
// a request already pending changes nothing, so the wait for the spacing to pass is no poll.
// Throws std::bad_alloc when it cannot subscribe to the flags.
void wait_for_next_rescan(const tallowmere_cli::SharedFlag& running, const State& state,
                          std::chrono::nanoseconds interval, std::chrono::steady_clock::time_point last_began) {
  const auto deadline = deadline_after(interval);
  const auto earliest_request = last_began + rescan_spacing;
  tallowmere_cli::Wakeup wakeup;
  const auto stop_wakes = wakeup.follow(*running);
  const auto request_wakes = wakeup.follow(*state.rescan);
  while (true) {
    if (!running->load()) return;
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return;
    if (!state.rescan->load()) {
      wakeup.wait_until(deadline);
    } else if (now < earliest_request) {
      wakeup.wait_until(std::min(deadline, earliest_request));
    } else if (state.rescan->exchange(false)) {
      // An exchange, not a store: a request made right after it is kept for the next rescan.
      return;
    }
  }
}

// The same wait after a pass that failed, most likely for want of memory: it allocates nothing,
// and so looks at the flags every 200 ms instead of being woken.
void poll_for_next_rescan(const tallowmere_cli::SharedFlag& running, const State& state,
                          std::chrono::nanoseconds interval, std::chrono::steady_clock::time_point last_began) {
  constexpr auto poll = std::chrono::milliseconds(200);
  const auto deadline = deadline_after(interval);
  const auto earliest_request = last_began + rescan_spacing;
  while (running->load()) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return;
    if (now >= earliest_request && state.rescan->exchange(false)) return;
    std::this_thread::sleep_for(std::min<std::chrono::nanoseconds>(deadline - now, poll));
  }
}

// One line for a pass that failed as a whole; the loop goes on. A line that cannot be printed is
// lost rather than ending the loop.
void report_pass_failure() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    try {
      console::err("ERROR: rescan failed: out of memory");
    } catch (...) {
    }
  } catch (...) {
    try {
      console::err("ERROR: rescan failed: " + tallowmere_cli::current_exception_text());
    } catch (...) {
    }
  }
}

void warn_control_socket(const std::string& cause) {
  console::err("WARNING: daemon control socket unavailable: " + cause);
}

std::thread start_server(const tallowmere_cli::SharedFlag& running, const State& state) {
  try {
    return std::thread([running, watched = state.watched, rescan_flag = state.rescan]() noexcept {
      try {
        ipc::serve(running, watched, rescan_flag);
      } catch (...) {
        warn_control_socket(tallowmere_cli::current_exception_text());
      }
    });
  } catch (const std::system_error& error) {
    // The service goes on without its control socket: watching matters more than answering.
    warn_control_socket(tallowmere_cli::os_error("failed to start its thread", error.code().value()).one_line());
  } catch (...) {
    try {
      const auto cause = ErrorChain(tallowmere_cli::current_exception_text()).context("failed to start its thread");
      warn_control_socket(cause.one_line());
    } catch (...) {
    }
  }
  return {};
}

// Stops and joins every thread of one run of the supervisor, however the run ends: a std::thread
// still joinable when it goes would end the process. The server follows the service-wide flag,
// which is why a run that ends any other way than by that flag clears it first.
class Shutdown {
 public:
  Shutdown(const tallowmere_cli::SharedFlag& running, State& state, std::thread& server)
      : running_(running), state_(state), server_(server) {}
  Shutdown(const Shutdown&) = delete;
  Shutdown& operator=(const Shutdown&) = delete;
  ~Shutdown() {
    try {
      running_->store(false);
    } catch (...) {
    }
    try {
      stop_watchers(state_);
    } catch (...) {
      // Only a broken mutex throws there; the state's own destructor tries again.
    }
    if (server_.joinable()) server_.join();
  }

 private:
  const tallowmere_cli::SharedFlag& running_;
  State& state_;
  std::thread& server_;
};

}  // namespace

State::~State() { stop_watchers(*this); }

void rescan(State& state, const Options& options) {
  auto root = tallowmere_cli::project::central_root();
  if (!root) {
    console::err("WARNING: failed to read project registry: " + root.error().one_line());
    return;
  }
  const auto path = *root / "registry.json";
  auto registry = tallowmere_core::registry::load_registry(path);
  if (!registry) {
    const auto error = ErrorChain(registry.error()).context("failed to load " + tallowmere_core::text::display(path));
    console::err("WARNING: failed to read project registry: " + error.one_line());
    return;
  }
  Pass pass(*registry);
  // A rescan that has begun is finished, also when the service is being stopped meanwhile.
  for (const auto& entry : registry->projects) reconcile(state, options, pass, entry);
  state.entry_warnings = std::move(pass.warnings);
}

void stop_watchers(State& state) {
  {
    std::lock_guard lock(state.watched->mutex);
    for (auto& [work_id, project] : state.watched->by_work_id) project.running->store(false);
  }
  // Every started watcher, also one whose entry is gone, is told to stop before any join, so the
  // joins overlap rather than add up.
  for (auto& watcher : state.watchers) watcher.running->store(false);
  for (auto& watcher : state.watchers) watcher.thread.join();
  state.watchers.clear();
}

void run(const tallowmere_cli::SharedFlag& running, const Options& options, State& state) {
  std::thread server;
  const Shutdown shutdown(running, state, server);
  if (options.serve_control_socket) server = start_server(running, state);

  while (running->load()) {
    const auto began = std::chrono::steady_clock::now();
    // A pass that throws (memory running out in a rescan, or in the wait's subscriptions) fails
    // alone: the next rescan comes when it is due, as after any other pass.
    try {
      rescan(state, options);
      release_finished(state);
      wait_for_next_rescan(running, state, options.rescan_interval, began);
      continue;
    } catch (...) {
      report_pass_failure();
    }
    poll_for_next_rescan(running, state, options.rescan_interval, began);
  }
}

}  // namespace tallowmere_daemon::supervisor

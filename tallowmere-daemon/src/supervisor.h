#pragma once
// The supervisor: keeps one watcher thread per watch-enabled registered project, rereading the
// registry at a fixed interval or on request. Its moving parts are open to tests: the rescan
// interval, the watch loop each watcher runs and the way watcher threads are started can be
// replaced, and one rescan can be driven without the waiting loop.
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "error_chain.h"
#include "project.h"
#include "unique_function.h"
#include "watched.h"

namespace tallowmere_daemon::supervisor {

using WatchLoop =
    std::function<tallowmere_cli::Status(tallowmere_cli::LoadedProject, std::chrono::nanoseconds, ipc::RunningFlag)>;
// Starts `body` on a new thread and hands back its handle; throws std::system_error when the
// system refuses a thread.
using ThreadStarter = std::function<std::thread(tallowmere_core::UniqueFunction<void()> body)>;

struct Options {
  std::chrono::nanoseconds rescan_interval = std::chrono::seconds(300);
  WatchLoop watch_loop;               // empty: cmd_watch::run_loop
  ThreadStarter start_watcher_thread;  // empty: std::thread
  bool serve_control_socket = true;
};

// One started watcher thread; `finished` turns true as the thread's last act, so the handle can be
// released without waiting. `work_id` is its registry entry's, `central_dir` the history it
// appends to (the one its pointer file names).
struct Watcher {
  std::thread thread;
  ipc::RunningFlag running;
  std::shared_ptr<std::atomic<bool>> finished;
  std::string work_id;
  std::filesystem::path central_dir;
};

// What one supervisor owns across rescans: the shared map, the rescan request flag and the
// watcher threads it started, in start order. Dropping it stops and joins those threads.
struct State {
  ipc::WatchedMap watched = std::make_shared<ipc::WatchedProjects>();
  tallowmere_cli::SharedFlag rescan = std::make_shared<tallowmere_cli::Flag>(false);
  std::vector<Watcher> watchers;
  // The warnings about a registry entry's pointer and about a second entry of one project that
  // the last rescan found, by entry (work id, NUL, project path): each is printed when it first
  // holds, not at every rescan.
  std::map<std::string, std::vector<std::string>> entry_warnings;

  State() = default;
  State(const State&) = delete;
  State& operator=(const State&) = delete;
  ~State();
};

// Reads the registry once and reconciles every entry with the watched-project map, starting,
// replacing and stopping watchers. Problems are console lines; it never fails.
void rescan(State& state, const Options& options);

// Clears every watcher's running flag (those in the map under its lock), then joins every watcher
// thread in start order.
void stop_watchers(State& state);

// Starts the control socket (when asked), rescans at once and then every interval or on request,
// and once `running` is false stops and joins every watcher, then the control-socket thread. A
// pass that throws is one "ERROR: " line and the loop goes on; however it returns, every thread it
// started has been joined.
void run(const tallowmere_cli::SharedFlag& running, const Options& options, State& state);

}  // namespace tallowmere_daemon::supervisor

#pragma once
// The per-project watcher: repairs a torn ledger tail, finds the signing key, then turns each
// burst of saves of DAW session files in the project folder into one checkpoint.
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "channel.h"
#include "checkpoint_ops_batch.h"
#include "cmd_watch_pending_saves.h"
#include "cmd_watch_signing_identity.h"
#include "error_chain.h"
#include "flag.h"
#include "merging_queue.h"
#include "platform/file_watcher.h"
#include "project.h"

namespace tallowmere_cli::cmd_watch {

// Runs until `running` turns false (or the change source goes away) and returns success; returns
// an error chain only when the start fails, before anything is watched.
Status run_loop(LoadedProject project, std::chrono::nanoseconds collapse_window, SharedFlag running);

// The lines printed once the watch is set up: "Watching ...", "Collapse window: ..." (only for a
// non-zero window) and "Press Ctrl-C to stop.". A saturated window (nanoseconds::max()) is shown
// as `configured_minutes` times 60 seconds when those are given.
std::vector<std::string> startup_lines(const std::filesystem::path& root, std::chrono::nanoseconds collapse_window,
                                       std::optional<std::uint32_t> configured_minutes = std::nullopt);

// One batch, start to end: keeps the files that really changed, checkpoints them and reports the
// outcome on the console; a successful entry joins `project.ledger.entries`. Never fails. Yields
// the reads whose result stands: those of unchanged files, and those recorded by the checkpoint
// when it succeeded; when it failed, the changed files count as read when the attempt began, so
// the notifications that were already waiting for them do not bring the same save back.
// `before_read` (when set) is called before each read of a file.
std::vector<checkpoint_ops::FileRead> process_batch(LoadedProject& project,
                                                    const std::vector<std::filesystem::path>& batch,
                                                    const std::filesystem::path& canonical_root,
                                                    const std::string& contributor_id,
                                                    const tallowmere_core::SigningKey& key,
                                                    const checkpoint_ops::BeforeRead& before_read = {});

// A started watch of one project, which run_loop drives one step at a time; tests drive it the
// same way without a thread of their own. Owns the project, the signing key (wiped when the
// session goes) and the change watcher. Move-only.
class WatchSession {
 public:
  // Repairs a torn ledger tail, finds the signing key, starts watching the project folder and
  // prints the start-up lines; any failure comes back before anything is watched. Only a folder
  // whose pointer file names this project's work id is watched at the path (ProjectFolderCheck).
  static Result<WatchSession> start(LoadedProject project, std::chrono::nanoseconds collapse_window);

  // One pass of the loop: takes one change event (one taken in during the last batch, else one
  // waited for), and checkpoints the pending batch when its deadline has come. With `running`, the
  // wait lasts until an event, the batch's deadline or the flag's clearing, without time-out while
  // idle, and not at all once the flag is false; without it, at most 200 ms. A batch that falls due
  // once `running` (when given) is false is dropped unrecorded, as at shutdown. False when the
  // change source has gone and nothing more will arrive.
  bool step(const Flag* running = nullptr);

  // Ends the watch: prints "Stopped watching.", drops saves still collecting without checkpointing
  // them, and stops the change watcher. Idempotent.
  void finish();

  bool collecting() const { return pending_.collecting(); }

  WatchSession(WatchSession&&) noexcept = default;
  WatchSession& operator=(WatchSession&&) noexcept = default;
  ~WatchSession();

 private:
  WatchSession(LoadedProject project, SigningIdentity identity, std::filesystem::path canonical_root,
               std::unique_ptr<platform::FileWatcher> watcher,
               Channel<platform::ChangeEvent>::Receiver receiver, std::chrono::nanoseconds collapse_window);

  // An event and when the loop took it from the channel.
  struct ReceivedEvent {
    platform::ChangeEvent event;
    Clock::time_point received;
  };

  // Moves every event waiting in the channel to `received_`, without waiting.
  void take_in_waiting_events();

  LoadedProject project_;
  SigningIdentity identity_;
  std::filesystem::path canonical_root_;
  std::unique_ptr<platform::FileWatcher> watcher_;
  Channel<platform::ChangeEvent>::Receiver receiver_;
  // Events taken from the channel while a batch was being checkpointed, oldest first, each with
  // when it was last taken in: an event taken in again joins its waiting equal and counts from
  // its latest arrival, so a write after a read began is never taken for one the read covered.
  MergingQueue<platform::ChangeEvent, Clock::time_point> received_;
  PendingSaves pending_;
  bool finished_ = false;
};

// Steps `session` while `running` holds and the change source lasts, then finishes it. Clearing
// the flag ends an idle wait at once (a batch being checkpointed runs to its end first).
void watch_until_stopped(WatchSession& session, const Flag& running);

}  // namespace tallowmere_cli::cmd_watch

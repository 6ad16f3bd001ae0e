#include "cmd_watch.h"

#include <cstdint>
#include <optional>
#include <system_error>
#include <utility>

#include <fmt/format.h>

#include "checkpoint_ops.h"
#include "checkpoint_ops_batch.h"
#include "checkpoint_ops_tail_repair.h"
#include "cmd_watch_folder_check.h"
#include "console.h"
#include "daw.h"
#include "text.h"

namespace tallowmere_cli::cmd_watch {

namespace fs = std::filesystem;
using platform::ChangeEvent;
using tallowmere_core::text::display;

std::vector<std::string> startup_lines(const fs::path& root, std::chrono::nanoseconds collapse_window,
                                       std::optional<std::uint32_t> configured_minutes) {
  std::string extensions;
  for (const auto& row : tallowmere_core::daw::extension_table) {
    if (!extensions.empty()) extensions += ", ";
    extensions += '.';
    extensions += row.extension;
  }
  std::vector<std::string> lines{fmt::format("Watching {} for changes to: {}", display(root), extensions)};
  if (collapse_window != collapse_window.zero()) {
    // A window too long for nanoseconds reaches the loop saturated; only the configured minutes
    // still say how long it is.
    const bool saturated = collapse_window == std::chrono::nanoseconds::max() && configured_minutes;
    const double seconds = saturated ? static_cast<double>(*configured_minutes) * 60
                                     : std::chrono::duration<double>(collapse_window).count();
    lines.push_back(fmt::format("Collapse window: {:.1f}s (rapid saves collapse into one checkpoint)", seconds));
  }
  lines.emplace_back("Press Ctrl-C to stop.");
  return lines;
}

std::vector<checkpoint_ops::FileRead> process_batch(LoadedProject& project, const std::vector<fs::path>& batch,
                                                    const fs::path& canonical_root, const std::string& contributor_id,
                                                    const tallowmere_core::SigningKey& key,
                                                    const checkpoint_ops::BeforeRead& before_read) {
  auto filtered = checkpoint_ops::filter_changes(batch, canonical_root, project.ledger.entries, before_read);
  std::vector<checkpoint_ops::FileRead> reads = std::move(filtered.unchanged);
  if (filtered.changed.empty()) return reads;
  // What the change source delivered so far is taken in before the attempt counts as begun, so
  // that a failed attempt covers it (below).
  if (before_read) before_read();
  const auto attempt_began = Clock::now();
  auto outcome = checkpoint_ops::checkpoint_batch(project, filtered.changed, contributor_id, key, before_read);
  if (!outcome) {
    console::err("ERROR: checkpoint failed: " + outcome.error().one_line());
    // A failed batch is not retried: the notifications of its files that were already waiting
    // when the attempt began report the very save that failed (a file written in many pieces
    // would otherwise fail once per piece). Only a later save brings the files back.
    for (const fs::path& file : filtered.changed) reads.push_back(checkpoint_ops::FileRead{file, attempt_began});
    return reads;
  }
  reads.insert(reads.end(), outcome->reads.begin(), outcome->reads.end());
  if (outcome->files.empty()) return reads;  // every file was left out, and nothing appended
  // Later change filters compare against this entry's references.
  project.ledger.entries.push_back(outcome->entry);
  console::out(checkpoint_ops::checkpoint_line(*outcome));
  return reads;
}

Result<WatchSession> WatchSession::start(LoadedProject project, std::chrono::nanoseconds collapse_window) {
  if (project.ledger.trailing_incomplete) {
    if (auto repaired = checkpoint_ops::repair_ledger_tail(project.paths, *project.ledger.trailing_incomplete);
        !repaired) {
      return std::unexpected(std::move(repaired.error()));
    }
    project.ledger.trailing_incomplete.reset();
  }
  // A manifest left behind its ledger would show the wrong count in `status` until the next
  // checkpoint; it never stops the watch.
  if (auto settled = checkpoint_ops::settle_manifest_head(project.paths, project.manifest); !settled) {
    console::err(fmt::format("WARNING: failed to bring {} up to date with the ledger: {}",
                             display(project.paths.manifest_file), settled.error().one_line()));
  }

  auto identity = find_signing_key(project.manifest);
  if (!identity) return std::unexpected(std::move(identity.error()));
  if (auto warning = mismatched_key_warning(*identity, project.paths)) console::err(*warning);

  std::error_code canonical_error;
  fs::path canonical_root = fs::canonical(project.paths.root, canonical_error);
  if (canonical_error) canonical_root = project.paths.root;

  auto [sender, receiver] = Channel<ChangeEvent>::create();
  // The project's work id is the one its pointer file gave at the load: the name of its central
  // directory. Another folder at the path (another project moved there, a template, an empty
  // mount point) is not this project's, and nothing in it may reach this ledger.
  auto accept = [check = ProjectFolderCheck(project.paths.root, project.paths.central_dir.filename().string())](
                    const fs::path& folder) mutable { return check(folder, Clock::now()); };
  auto watcher = platform::FileWatcher::watch(canonical_root, std::move(sender), std::move(accept));
  if (!watcher) {
    return std::unexpected(
        ErrorChain(std::move(watcher.error())).context(fmt::format("failed to watch {}", display(canonical_root))));
  }

  const auto configured_minutes = project.config.checkpoint_policy.collapse_window_minutes;
  for (const std::string& line : startup_lines(project.paths.root, collapse_window, configured_minutes)) {
    console::out(line);
  }
  return WatchSession(std::move(project), std::move(*identity), std::move(canonical_root), std::move(*watcher),
                      std::move(receiver), collapse_window);
}

WatchSession::WatchSession(LoadedProject project, SigningIdentity identity, fs::path canonical_root,
                           std::unique_ptr<platform::FileWatcher> watcher,
                           Channel<ChangeEvent>::Receiver receiver, std::chrono::nanoseconds collapse_window)
    : project_(std::move(project)),
      identity_(std::move(identity)),
      canonical_root_(canonical_root),
      watcher_(std::move(watcher)),
      receiver_(std::move(receiver)),
      pending_(std::move(canonical_root), collapse_window) {}

WatchSession::~WatchSession() {
  // A moved-from session has no watcher and nothing to stop.
  if (watcher_) watcher_->stop();
}

bool WatchSession::step(const Flag* running) {
  std::optional<ReceivedEvent> next;
  if (auto taken = received_.pop()) {
    next = ReceivedEvent{std::move(taken->first), taken->second};
  } else {
    // Subscribed before the flag is read: a stop between the read and the wait still ends it.
    Flag::Subscription stop_ends_wait;
    if (running != nullptr) stop_ends_wait = running->subscribe([waker = receiver_.waker()] { waker.wake(); });
    const auto now = Clock::now();
    const auto wait = running == nullptr ? pending_.receive_timeout(now)
                      : running->load()  ? pending_.time_to_deadline(now)
                                         : std::chrono::nanoseconds::zero();
    auto event = receiver_.receive(wait);
    if (!event && event.error() == ReceiveFailure::Disconnected) return false;
    if (event) next = ReceivedEvent{std::move(*event), Clock::now()};
  }
  // A time-out still lets a due batch go: its deadline may have passed while nothing arrived.
  if (next) pending_.add(next->event, next->received, Clock::now());
  if (auto batch = pending_.take_due(Clock::now())) {
    // A watcher told to stop may already have a successor watching the same folder, which records
    // these saves itself; checkpointing them here too would record each one twice.
    if (running != nullptr && !running->load()) return true;
    // Each read of the batch first takes in what the change source has delivered, so that the
    // notifications of writes it will see are known to precede it. Notifications taken in later
    // (from the channel, after the batch) may report writes the read missed, and always count.
    const auto reads = process_batch(project_, *batch, canonical_root_, identity_.contributor.contributor_id,
                                     identity_.key, [this] { take_in_waiting_events(); });
    for (const auto& read : reads) pending_.note_read(read.file, read.began);
  }
  return true;
}

void WatchSession::take_in_waiting_events() {
  while (auto event = receiver_.try_receive()) received_.push(std::move(*event), Clock::now());
}

void WatchSession::finish() {
  if (finished_) return;
  finished_ = true;
  console::out("Stopped watching.");
  // Saves still collecting are dropped rather than checkpointed: a stopping watcher must not sit
  // in settle waits, and a later save of those files is seen by the next watcher.
  pending_ = PendingSaves(canonical_root_, std::chrono::nanoseconds::zero());
  received_.clear();
  if (watcher_) watcher_->stop();
}

void watch_until_stopped(WatchSession& session, const Flag& running) {
  while (running.load() && session.step(&running)) {
  }
  session.finish();
}

Status run_loop(LoadedProject project, std::chrono::nanoseconds collapse_window, SharedFlag running) {
  auto session = WatchSession::start(std::move(project), collapse_window);
  if (!session) return std::unexpected(std::move(session.error()));
  watch_until_stopped(*session, *running);
  return {};
}

}  // namespace tallowmere_cli::cmd_watch

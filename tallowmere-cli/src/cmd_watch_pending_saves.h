#pragma once
// The watch loop's step without threads: which reported paths count as saves of session files,
// and how accepted saves gather into a batch that falls due when the collapse window has passed.
#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <vector>

#include "platform/file_watcher.h"

namespace tallowmere_cli::cmd_watch {

using Clock = std::chrono::steady_clock;

// The longest a step waits for an event when nothing but an event can end its wait.
inline constexpr std::chrono::milliseconds longest_receive_wait{200};

// A path counts when it lies directly in the watched folder (its parent equals `canonical_root`,
// component by component) and its file name has an extension the DAW table knows, in any ASCII
// case.
bool accepts_path(const std::filesystem::path& path, const std::filesystem::path& canonical_root);

// The pending set (sorted, no duplicates) and the batch deadline, fixed by the first accepted save
// of a batch and never moved by later ones. Times are passed in, so tests can drive it without
// waiting.
class PendingSaves {
 public:
  PendingSaves(std::filesystem::path canonical_root, std::chrono::nanoseconds collapse_window)
      : canonical_root_(std::move(canonical_root)), collapse_window_(collapse_window) {}

  // How long the next receive may wait when a stop wakes it: without end (nanoseconds::max()) while
  // idle, else the time left to the deadline but at least 1 ms, so the loop neither oversleeps a
  // deadline nor spins on one.
  std::chrono::nanoseconds time_to_deadline(Clock::time_point now) const;

  // The same, at most 200 ms: for a receive that nothing else can cut short.
  std::chrono::nanoseconds receive_timeout(Clock::time_point now) const;

  // Takes in the accepted paths of a create, modify or any event (other kinds change nothing),
  // exactly as reported, and opens the collapse window at `now` on the first one. `received` is
  // when the loop took the event from the change source: the writes it reports were finished by
  // then, so a path whose noted read began later was read with them, and is left out.
  void add(const platform::ChangeEvent& event, Clock::time_point received, Clock::time_point now);
  void add(const platform::ChangeEvent& event, Clock::time_point now) { add(event, now, now); }

  // Notes that a read of `file` began at `began` whose content the ledger now records (or already
  // held). Only the latest read of each file is kept.
  void note_read(const std::filesystem::path& file, Clock::time_point began);

  // The whole pending set, in path order, when its deadline has come at `now`; the set is then
  // empty and the window closed. None while idle or before the deadline.
  std::optional<std::vector<std::filesystem::path>> take_due(Clock::time_point now);

  bool collecting() const { return deadline_.has_value(); }
  const std::set<std::filesystem::path>& pending() const { return pending_; }

 private:
  std::filesystem::path canonical_root_;
  std::chrono::nanoseconds collapse_window_;
  std::set<std::filesystem::path> pending_;
  std::optional<Clock::time_point> deadline_;
  std::map<std::filesystem::path, Clock::time_point> read_began_;
};

}  // namespace tallowmere_cli::cmd_watch

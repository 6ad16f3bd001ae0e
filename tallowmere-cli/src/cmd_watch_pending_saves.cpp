#include "cmd_watch_pending_saves.h"

#include <algorithm>

#include "daw.h"

namespace tallowmere_cli::cmd_watch {

namespace fs = std::filesystem;
using platform::EventKind;

bool accepts_path(const fs::path& path, const fs::path& canonical_root) {
  if (!path.has_relative_path()) return false;  // a root has no parent folder of its own
  // path's == compares component by component, so "a//b" and "a/b" are one folder.
  if (path.parent_path() != canonical_root) return false;
  return tallowmere_core::daw::is_session_file(path);
}

std::chrono::nanoseconds PendingSaves::time_to_deadline(Clock::time_point now) const {
  if (!deadline_) return std::chrono::nanoseconds::max();
  // A deadline saturated at the clock's end is as good as none.
  if (*deadline_ == Clock::time_point::max()) return std::chrono::nanoseconds::max();
  return std::max<std::chrono::nanoseconds>(*deadline_ - now, std::chrono::milliseconds(1));
}

std::chrono::nanoseconds PendingSaves::receive_timeout(Clock::time_point now) const {
  return std::min<std::chrono::nanoseconds>(time_to_deadline(now), longest_receive_wait);
}

void PendingSaves::add(const platform::ChangeEvent& event, Clock::time_point received, Clock::time_point now) {
  if (event.kind != EventKind::Any && event.kind != EventKind::Create && event.kind != EventKind::Modify) return;
  for (const fs::path& path : event.paths) {
    if (!accepts_path(path, canonical_root_)) continue;
    // A save of one file arrives as several notifications (truncate, each write, close); those
    // taken in before a read of the file that stands began ask for nothing that read did not see.
    // A write still under way when the read began sends its own notification once it is done, and
    // that one is taken in later. Equal times prove nothing, so they keep the path.
    if (const auto read = read_began_.find(path); read != read_began_.end() && received < read->second) continue;
    pending_.insert(path);
  }
  if (!deadline_ && !pending_.empty()) {
    // A window of centuries (the configuration allows minutes up to 2^32) must not wrap around.
    const auto room = Clock::time_point::max() - now;
    deadline_ = collapse_window_ >= room ? Clock::time_point::max() : now + collapse_window_;
  }
}

void PendingSaves::note_read(const fs::path& file, Clock::time_point began) {
  auto [read, inserted] = read_began_.try_emplace(file, began);
  if (!inserted) read->second = std::max(read->second, began);
}

std::optional<std::vector<fs::path>> PendingSaves::take_due(Clock::time_point now) {
  if (!deadline_ || now < *deadline_) return std::nullopt;
  std::vector<fs::path> batch(pending_.begin(), pending_.end());
  pending_.clear();
  deadline_.reset();
  return batch;
}

}  // namespace tallowmere_cli::cmd_watch

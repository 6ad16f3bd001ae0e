#pragma once
// Change notifications for one folder, not recursive: the stand-in for the FSEvents stream that
// the watch loop reads. A FileWatcher forwards every change directly inside the folder, as a
// ChangeEvent, into a channel from a thread of its own. The backend is chosen by the source file
// the build compiles: on Linux, inotify (file_watcher.cpp).
#include <compare>
#include <cstddef>
#include <expected>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/channel.h"

namespace tallowmere_cli::platform {

enum class EventKind { Any, Access, Create, Modify, Remove, Other };

// One change: its kind and the full paths (watched folder / name) it concerns, in the order the
// system reported them. Kind Any means "may have changed in any way" (after lost events).
struct ChangeEvent {
  EventKind kind = EventKind::Any;
  std::vector<std::filesystem::path> paths;
  bool operator==(const ChangeEvent&) const = default;
  // Any order will do; the channel needs one to find an equal event still waiting.
  auto operator<=>(const ChangeEvent&) const = default;
};

class FileWatcher {
 public:
  // Starts watching `folder`: changes made after this returns are reported, from a thread of the
  // watcher's own, through `sender`. The watcher holds the only sender it is given until it stops,
  // so a receiver whose senders all came from watchers reads "disconnected" once they have
  // stopped. An event the receiver is no longer there for is dropped. The watch is on the path:
  // when the folder is deleted, moved away, replaced or unmounted, or a folder further up moves,
  // the path is tried every quarter of a second, and a folder standing there again is watched and
  // everything in it reported as one event of kind Any, as after lost events. While a folder is
  // watched the thread sleeps until the system reports something (or, when a folder further up
  // cannot be watched, looks at the path every five seconds). Fails with the system's text
  // ("... (os error N)") when the folder cannot be watched at the start: missing, not a folder,
  // out of watches.
  static std::expected<std::unique_ptr<FileWatcher>, std::string> watch(
      const std::filesystem::path& folder, Channel<ChangeEvent>::Sender sender);

  // Stops the watch: wakes the watcher's thread and joins it, so no event is sent after this
  // returns. Idempotent. Not to be called from several threads at once.
  virtual void stop() = 0;
  virtual ~FileWatcher() = default;  // a backend stops in its destructor

  FileWatcher(const FileWatcher&) = delete;
  FileWatcher& operator=(const FileWatcher&) = delete;

 protected:
  FileWatcher() = default;
};

// The inotify backend's step, without threads: what one read() of an inotify descriptor that
// watches `folder` means. Exposed so that tests can drive the translation with crafted records.
namespace inotify {

struct Translation {
  std::vector<ChangeEvent> events;  // in the order of the records
  bool watch_ended = false;         // the folder went (deleted, moved, unmounted); this watch is over
};

// Translates the records in `buffer`, as the kernel packs them: created or moved in → Create,
// written or closed after writing → Modify, deleted or moved away → Remove, attributes → Other;
// a record repeating the kind and path of the event just before it adds nothing. A queue overflow
// (events were lost) becomes recrawl(folder) at its place. Records after the end of the watch, and
// a truncated record at the end of the buffer, are ignored.
Translation translate(std::span<const std::byte> buffer, const std::filesystem::path& folder);

// The records of one read() of a descriptor that watches a folder (as `folder_wd`) and the
// folders above it (as `ancestor_wds`): the folder's own records, packed as the kernel packs
// them, for translate(); and whether any of them may mean that the path now leads elsewhere: a
// folder above moved, deleted or unmounted, an entry named `folder_name` moved or deleted in the
// parent, or records lost. Records of other watches (a folder above no longer watched) are left
// out; a queue overflow counts for both.
struct SortedRecords {
  std::vector<std::byte> folder_records;
  bool path_may_have_moved = false;
};
SortedRecords sort_records(std::span<const std::byte> buffer, int folder_wd, std::span<const int> ancestor_wds,
                           std::string_view folder_name);

// One event of kind Any naming every regular file directly in `folder` (symbolic links are not
// followed), in path order; no paths when the folder cannot be listed.
ChangeEvent recrawl(const std::filesystem::path& folder);

}  // namespace inotify

}  // namespace tallowmere_cli::platform

#pragma once
// The inotify backend's internals, for its own source file and its tests; the watch loop sees only
// file_watcher.h. Its own timings: a missing folder is looked for every quarter of a second, and
// when a folder further up cannot be watched the path is looked at every five seconds.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/file_watcher.h"

namespace tallowmere_cli::platform {

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

// Which watchers of the one shared inotify descriptor hold each watch descriptor, and what each
// asked for. Within one descriptor, watching an inode that is watched already hands back the same
// watch descriptor, so many watchers (projects under one ~/Music, a project folder that is another
// one's parent) share one; it is given up only when its last holder lets go, and each record goes
// only to the holders that asked for its kind. Plain data, driven by the notification thread.
class WatchTable {
 public:
  struct Hold {
    int wd = -1;
    std::uint32_t mask = 0;  // the kinds this holder asked for
  };

  // Makes `holds` all that `watcher` holds, in place of what it held before; a descriptor named
  // twice counts once, with both masks. Hands back the descriptors nobody holds any more, for
  // inotify_rm_watch.
  std::vector<int> replace(std::uint64_t watcher, std::span<const Hold> holds);
  // The same with nothing held: the watcher leaves.
  std::vector<int> remove(std::uint64_t watcher) { return replace(watcher, {}); }
  // Forgets `wd`, which the kernel has dropped (IN_IGNORED): it needs no inotify_rm_watch.
  void forget(int wd);

  // The watchers a record of `wd` with `mask` is for, in the order they took the descriptor:
  // those that asked for one of its kinds, and every holder for the end of the watch (IN_IGNORED)
  // and an unmount.
  std::vector<std::uint64_t> recipients(int wd, std::uint32_t mask) const;

  bool empty() const { return by_wd_.empty(); }

 private:
  std::map<int, std::vector<std::pair<std::uint64_t, std::uint32_t>>> by_wd_;
  std::map<std::uint64_t, std::vector<int>> by_watcher_;
};

// What a failed inotify_init1 (`adding_watch` false) or inotify_add_watch (true) with `error`
// means: the system's text, and for the per-user limits the limit and the setting that raises it.
std::string error_text(int error, bool adding_watch);

}  // namespace inotify

}  // namespace tallowmere_cli::platform

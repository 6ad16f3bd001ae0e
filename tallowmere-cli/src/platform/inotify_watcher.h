#pragma once
// The inotify backend's internals, for its own source file and its tests; the watch loop sees only
// file_watcher.h. Its own timings: a missing folder is looked for every quarter of a second, and
// when a folder further up cannot be watched the path is looked at every five seconds.
#include <cstddef>
#include <filesystem>
#include <span>
#include <string_view>
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

}  // namespace inotify

}  // namespace tallowmere_cli::platform

#pragma once
// Change notifications for one folder, not recursive: the stand-in for the FSEvents stream that
// the watch loop reads. A FileWatcher forwards every change directly inside the folder, as a
// ChangeEvent, into a channel from a thread of its own. The backend is chosen by the source file
// the build compiles, one per system: on Linux, inotify (inotify_watcher.cpp); how often each
// looks at a missing folder is its own affair.
#include <compare>
#include <expected>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "channel.h"

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
  // stopped. An event the receiver is no longer there for is dropped. When the system loses
  // events, everything in the folder is reported as one event of kind Any. The watch is on the
  // path: when the folder is deleted, moved away, replaced or unmounted, or a folder further up
  // moves, the backend keeps looking at the path, and a folder standing there again is watched and
  // everything in it reported as one event of kind Any, within a second of its arrival. While
  // nothing changes the thread waits on the system rather than polling the folder. Fails with the
  // system's text ("... (os error N)") when the folder cannot be watched at the start: missing,
  // not a folder, out of watches.
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

// What a backend reports when it cannot tell what changed (events lost, the folder back at its
// path): one event of kind Any naming every regular file directly in `folder` (symbolic links are not
// followed), in path order; no paths when the folder cannot be listed.
ChangeEvent recrawl(const std::filesystem::path& folder);

}  // namespace tallowmere_cli::platform

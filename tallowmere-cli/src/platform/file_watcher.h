#pragma once
// Change notifications for one folder, not recursive: the stand-in for the FSEvents stream that
// the watch loop reads. A FileWatcher forwards every change directly inside the folder, as a
// ChangeEvent, into a channel. The backend is chosen by the source file the build compiles, one
// per system: on Linux, inotify (inotify_watcher.cpp).
#include <compare>
#include <expected>
#include <filesystem>
#include <functional>
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

// Whether the folder now standing at the watched path is the one the caller wants watched. Called
// on the watcher's notification thread, one call at a time, whenever a folder is found at the path
// (at the start, after the path led elsewhere) and again, while a folder is refused, when
// something in it was created, moved in or written, and at every slow check. It must return soon
// and must not call back into the watcher. An empty check accepts every folder.
using FolderCheck = std::function<bool(const std::filesystem::path& folder)>;

// The contract every backend keeps:
// - Reports changes directly inside the watched folder (not in sub-folders) as ChangeEvents with
//   full paths, sent from a thread of the backend's own (which it may share among all watchers of
//   the process), from the moment watch() returns; an event the receiver is no longer there for
//   is dropped, and sending never blocks that thread.
// - When the system lost events, reports every file in the folder as one event of kind Any.
// - Watches the path, not the folder: when the folder is deleted, moved, replaced or unmounted, or
//   a folder above it moves, it waits for a folder to stand at the path again. A folder found
//   there is watched only once `accept` takes it, and is then reported whole, as one event of kind
//   Any, as after lost events; nothing is reported from a refused folder or while none stands
//   there.
// - While it waits, it sleeps until the system reports a name made or moved in along the path (or
//   a change in the refused folder), and looks at the path itself only every few seconds, for what
//   no notification reports (a disk mounted at the path). While an accepted folder is watched it
//   sleeps until the system reports something.
// - stop() ends the watch: no event is sent after it returns, and the watcher lets go of the only
//   sender it was given, so a receiver whose senders all came from watchers reads "disconnected"
//   once they have stopped. A watch whose thread fails (out of memory) lets go of its sender too.
class FileWatcher {
 public:
  // Starts watching `folder`. Fails with the system's text ("... (os error N)") when the folder
  // cannot be watched at the start: missing, not a folder, or a system limit reached (the text
  // then names the limit and the setting that raises it). A folder present but refused by
  // `accept` is no failure: it is waited on as above.
  static std::expected<std::unique_ptr<FileWatcher>, std::string> watch(const std::filesystem::path& folder,
                                                                        Channel<ChangeEvent>::Sender sender,
                                                                        FolderCheck accept = {});

  // Stops the watch and waits until the notification thread is done with it, so no event is sent
  // after this returns. Idempotent. Not to be called from several threads at once, nor from a
  // FolderCheck.
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

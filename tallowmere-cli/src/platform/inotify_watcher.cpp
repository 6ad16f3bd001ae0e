// The inotify backend of FileWatcher.
#include "platform/inotify_watcher.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>
#include <system_error>
#include <thread>

#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include "error.h"
#include "posix.h"
#include "unique_fd.h"
#include "wake_fd.h"

namespace tallowmere_cli::platform {

namespace fs = std::filesystem;
using tallowmere_core::os_error_text;
using tallowmere_core::WakeFd;
using tallowmere_core::posix::retry_on_eintr;

namespace {

constexpr std::uint32_t created = IN_CREATE | IN_MOVED_TO;
constexpr std::uint32_t modified = IN_MODIFY | IN_CLOSE_WRITE;
constexpr std::uint32_t removed = IN_DELETE | IN_MOVED_FROM;
constexpr std::uint32_t attributes = IN_ATTRIB;
// Once one of these arrives the folder is no longer where we watch it: names under the old path
// would be wrong, so that watch ends. A deleted or unmounted folder's watch is dropped by the
// kernel (IN_IGNORED follows); a moved folder's is not, and goes with its descriptor.
constexpr std::uint32_t watch_gone = IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT;

// IN_EXCL_UNLINK: no events for a file after it was unlinked (a DAW writing on through an open
// handle to a replaced file). IN_ONLYDIR: watching a file instead of a folder fails at once.
constexpr std::uint32_t watch_mask =
    created | modified | removed | attributes | IN_DELETE_SELF | IN_MOVE_SELF | IN_EXCL_UNLINK | IN_ONLYDIR;

// Room for some 240 records even of the longest names; the kernel packs as many whole records
// as fit.
constexpr std::size_t read_buffer_size = 64 * 1024;

// A folder further up that moves sends the watched folder no event of its own, so the folders
// above it are watched too: each for its own move or deletion, the direct parent also for the
// watched folder's name moved or deleted in it (an entry moved over that name included). The
// rest of the parent's traffic is not asked for: those folders may be busy ones.
constexpr std::uint32_t parent_mask =
    IN_MOVE_SELF | IN_DELETE_SELF | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE | IN_ONLYDIR;
constexpr std::uint32_t ancestor_mask = IN_MOVE_SELF | IN_DELETE_SELF | IN_ONLYDIR;

// When a folder above cannot be watched (no read permission, no watches left), how often the
// path is checked to still lead to the watched folder instead. Saves made meanwhile are found by
// the report of every file that follows.
constexpr std::chrono::milliseconds path_check_interval{5000};
// While no folder stands at the path, how often it is tried again.
constexpr std::chrono::milliseconds retry_interval{250};

// A watch on the folder standing at the path: its own inotify descriptor (closing it ends the
// watch, whatever became of the folder), which also watches the folders above it, and the
// folder's identity when the watch was set. One descriptor per project: the system allows a user
// only some 128 of them.
struct ArmedWatch {
  tallowmere_core::UniqueFd inotify_fd;
  int folder_wd = -1;
  std::vector<int> ancestor_wds;
  bool ancestors_watched = false;  // false: one of them could not be watched
  dev_t device = 0;
  ino_t inode = 0;
};

// Watches the folders that hold `folder`, up to the root (which cannot move), in place of those
// `watch` watched so far; false when one of them cannot be watched.
bool watch_ancestors(ArmedWatch& watch, const fs::path& folder) {
  std::vector<int> watched;
  bool all = true;
  std::uint32_t mask = parent_mask;
  for (fs::path above = folder.parent_path(); !above.empty() && above != above.root_path();
       above = above.parent_path()) {
    // A folder watched already keeps its descriptor and takes the new mask.
    const int wd = ::inotify_add_watch(watch.inotify_fd.get(), above.c_str(), mask);
    if (wd < 0) {
      all = false;
      break;
    }
    watched.push_back(wd);
    mask = ancestor_mask;
  }
  for (const int old : watch.ancestor_wds) {
    if (std::find(watched.begin(), watched.end(), old) == watched.end()) {
      ::inotify_rm_watch(watch.inotify_fd.get(), old);
    }
  }
  watch.ancestor_wds = std::move(watched);
  watch.ancestors_watched = all;
  return all;
}

// Watches whatever folder stands at `folder` now; the errno when none can be watched.
std::expected<ArmedWatch, int> arm(const fs::path& folder) {
  // Non-blocking, so that a read after poll() can never hang the thread (and stop() with it).
  ArmedWatch watch;
  watch.inotify_fd.reset(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (!watch.inotify_fd) return std::unexpected(errno);
  watch.folder_wd = ::inotify_add_watch(watch.inotify_fd.get(), folder.c_str(), watch_mask);
  if (watch.folder_wd < 0) return std::unexpected(errno);
  watch_ancestors(watch, folder);
  // Taken after the watches are set: a folder replaced, or one above it moved, in between is
  // reported by them.
  struct stat status {};
  if (::stat(folder.c_str(), &status) != 0) return std::unexpected(errno);
  watch.device = status.st_dev;
  watch.inode = status.st_ino;
  return watch;
}

// False once the path leads to no folder or to another one than `watch` watches. A path that
// cannot be looked at for another reason is given the benefit of the doubt.
bool still_at_path(const ArmedWatch& watch, const fs::path& folder) {
  struct stat status {};
  if (::stat(folder.c_str(), &status) != 0) return errno != ENOENT && errno != ENOTDIR;
  return status.st_dev == watch.device && status.st_ino == watch.inode;
}

class InotifyWatcher final : public FileWatcher {
 public:
  InotifyWatcher(fs::path folder, ArmedWatch watch, WakeFd wake)
      : folder_(std::move(folder)),
        folder_name_(folder_.filename().string()),
        first_watch_(std::move(watch)),
        wake_(std::move(wake)) {}

  ~InotifyWatcher() override { stop(); }

  // Throws std::system_error when no thread can be started.
  void start(Channel<ChangeEvent>::Sender sender) {
    thread_ = std::thread(&InotifyWatcher::run, this, std::move(sender));
  }

  void stop() override {
    if (thread_.joinable()) {
      wake_.notify();
      thread_.join();
    }
    first_watch_.inotify_fd.reset();
  }

 private:
  // The thread's body. `sender` is its parameter so that it is let go of when the thread ends,
  // whichever way it ends; that is what tells the receiver the watch is over.
  void run(Channel<ChangeEvent>::Sender sender) noexcept {
    try {
      forward(sender);
    } catch (...) {
      // Out of memory while translating or queueing: the watch ends rather than the process.
    }
  }

  // Watches the path, not the folder: when the folder goes (deleted, moved, replaced, a folder
  // above it moved) the path is tried again until a folder stands there, which is then watched
  // and everything in it reported, as after lost events. While it is watched, the thread sleeps
  // until something happens.
  void forward(const Channel<ChangeEvent>::Sender& sender) {
    alignas(inotify_event) std::array<std::byte, read_buffer_size> buffer;
    std::optional<ArmedWatch> watch(std::move(first_watch_));
    auto next_path_check = std::chrono::steady_clock::now() + path_check_interval;
    for (;;) {
      if (!watch) {
        if (woken_within(retry_interval)) return;
        if (auto again = arm(folder_)) {
          watch = std::move(*again);
          next_path_check = std::chrono::steady_clock::now() + path_check_interval;
          sender.send(recrawl(folder_));
        }
        continue;
      }
      int timeout = -1;
      if (!watch->ancestors_watched) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= next_path_check) {
          next_path_check = now + path_check_interval;
          if (!still_at_path(*watch, folder_)) {
            watch.reset();
            continue;
          }
        }
        timeout = static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(next_path_check - now).count());
      }
      std::array<pollfd, 2> descriptors{pollfd{watch->inotify_fd.get(), POLLIN, 0}, pollfd{wake_.fd(), POLLIN, 0}};
      if (::poll(descriptors.data(), descriptors.size(), timeout) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (descriptors[1].revents != 0) return;
      const short inotify_events = descriptors[0].revents;
      if ((inotify_events & POLLIN) == 0) {
        if ((inotify_events & (POLLERR | POLLHUP | POLLNVAL)) != 0) watch.reset();
        continue;
      }
      const ssize_t got = retry_on_eintr([&] { return ::read(watch->inotify_fd.get(), buffer.data(), buffer.size()); });
      if (got < 0) {
        // Not reported: the watch is set up afresh, as after the folder went.
        if (errno != EAGAIN) watch.reset();
        continue;
      }
      const auto sorted = inotify::sort_records(std::span(buffer.data(), static_cast<std::size_t>(got)),
                                                watch->folder_wd, watch->ancestor_wds, folder_name_);
      // The folder's own records first: they were made before anything that moved it.
      auto translation = inotify::translate(sorted.folder_records, folder_);
      for (auto& event : translation.events) sender.send(std::move(event));  // false: receiver gone, dropped
      if (translation.watch_ended) {
        watch.reset();
        continue;
      }
      if (sorted.path_may_have_moved) {
        // The folders above may be other ones now even where the path still leads to the watched
        // folder, so they are watched afresh before the path is looked at.
        watch_ancestors(*watch, folder_);
        next_path_check = std::chrono::steady_clock::now() + path_check_interval;
        if (!still_at_path(*watch, folder_)) watch.reset();
      }
    }
  }

  // Waits up to `interval` for stop(); true when it came (or the wait cannot be made at all).
  bool woken_within(std::chrono::milliseconds interval) const {
    pollfd wake{wake_.fd(), POLLIN, 0};
    const int ready = ::poll(&wake, 1, static_cast<int>(interval.count()));
    if (ready < 0) return errno != EINTR;
    return ready > 0;
  }

  fs::path folder_;
  std::string folder_name_;  // the last component of folder_, as its parent's records name it
  ArmedWatch first_watch_;   // set up by watch(), taken over by the thread
  WakeFd wake_;              // notified by stop() to end the thread's poll
  std::thread thread_;
};

}  // namespace

std::expected<std::unique_ptr<FileWatcher>, std::string> FileWatcher::watch(const fs::path& folder,
                                                                            Channel<ChangeEvent>::Sender sender) {
  auto first_watch = arm(folder);
  if (!first_watch) return std::unexpected(os_error_text(first_watch.error()));
  auto wake = WakeFd::create();
  if (!wake) return std::unexpected(os_error_text(wake.error()));

  auto watcher = std::make_unique<InotifyWatcher>(folder, std::move(*first_watch), std::move(*wake));
  try {
    watcher->start(std::move(sender));
  } catch (const std::system_error& error) {
    return std::unexpected(os_error_text(error.code().value()));
  }
  return watcher;
}

namespace inotify {

namespace {

// Calls `visit(record, name, whole record)` for each whole record in `buffer`, in order, for as
// long as it returns true. A truncated record at the end is left out.
template <class Visit>
void for_each_record(std::span<const std::byte> buffer, Visit&& visit) {
  std::size_t offset = 0;
  while (buffer.size() - offset >= sizeof(inotify_event)) {
    // Copied out rather than cast in place: a crafted buffer need not be aligned.
    inotify_event record;
    std::memcpy(&record, buffer.data() + offset, sizeof record);
    const std::size_t record_size = sizeof(inotify_event) + record.len;
    if (record_size > buffer.size() - offset) return;
    // The name is padded with NULs to `len` bytes; a record about a watched folder itself has none.
    const char* name_bytes = reinterpret_cast<const char*>(buffer.data() + offset + sizeof(inotify_event));
    const std::string_view name(name_bytes, ::strnlen(name_bytes, record.len));
    const auto whole = buffer.subspan(offset, record_size);
    offset += record_size;
    if (!visit(record, name, whole)) return;
  }
}

}  // namespace

Translation translate(std::span<const std::byte> buffer, const fs::path& folder) {
  Translation translation;
  auto& events = translation.events;
  auto add = [&](EventKind kind, const fs::path& path) {
    // The kernel merges only identical records still unread; a write burst read in pieces
    // repeats itself, and a repetition tells the watch loop nothing new.
    if (!events.empty() && events.back().kind == kind && events.back().paths.size() == 1 &&
        events.back().paths.front() == path) {
      return;
    }
    events.push_back(ChangeEvent{kind, {path}});
  };

  for_each_record(buffer, [&](const inotify_event& record, std::string_view name, std::span<const std::byte>) {
    const std::uint32_t mask = record.mask;
    if ((mask & IN_Q_OVERFLOW) != 0) {
      // Events were lost: report everything that is there now and let the watch loop's change
      // filter find what really changed.
      events.push_back(recrawl(folder));
      return true;
    }
    if ((mask & watch_gone) != 0) {
      translation.watch_ended = true;
      return false;
    }
    const fs::path path = name.empty() ? folder : folder / name;
    if ((mask & created) != 0) add(EventKind::Create, path);
    if ((mask & modified) != 0) add(EventKind::Modify, path);
    if ((mask & removed) != 0) add(EventKind::Remove, path);
    if ((mask & attributes) != 0) add(EventKind::Other, path);
    return true;
  });
  return translation;
}

SortedRecords sort_records(std::span<const std::byte> buffer, int folder_wd, std::span<const int> ancestor_wds,
                           std::string_view folder_name) {
  SortedRecords sorted;
  for_each_record(buffer, [&](const inotify_event& record, std::string_view name, std::span<const std::byte> whole) {
    const bool lost = (record.mask & IN_Q_OVERFLOW) != 0;
    if (record.wd == folder_wd || lost) {
      sorted.folder_records.insert(sorted.folder_records.end(), whole.begin(), whole.end());
    }
    const bool from_above = std::find(ancestor_wds.begin(), ancestor_wds.end(), record.wd) != ancestor_wds.end();
    // A record without a name is about a folder above itself (moved, deleted, unmounted, its
    // watch dropped); the parent's records with a name are about its entries.
    if (lost || (from_above && (name.empty() || name == folder_name))) sorted.path_may_have_moved = true;
    return true;
  });
  return sorted;
}

}  // namespace inotify

}  // namespace tallowmere_cli::platform

// The inotify backend of FileWatcher.
#include "platform/file_watcher.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <system_error>
#include <thread>

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include "error.h"
#include "platform/eintr.h"
#include "unique_fd.h"

namespace tallowmere_cli::platform {

namespace fs = std::filesystem;
using tallowmere_core::os_error_text;

namespace {

constexpr std::uint32_t created = IN_CREATE | IN_MOVED_TO;
constexpr std::uint32_t modified = IN_MODIFY | IN_CLOSE_WRITE;
constexpr std::uint32_t removed = IN_DELETE | IN_MOVED_FROM;
constexpr std::uint32_t attributes = IN_ATTRIB;
// Once one of these arrives the folder is no longer where we watch it: names under the old path
// would be wrong, so the watch ends. IN_IGNORED always follows, as the kernel drops the watch.
constexpr std::uint32_t watch_gone = IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT;

// IN_EXCL_UNLINK: no events for a file after it was unlinked (a DAW writing on through an open
// handle to a replaced file). IN_ONLYDIR: watching a file instead of a folder fails at once.
constexpr std::uint32_t watch_mask =
    created | modified | removed | attributes | IN_DELETE_SELF | IN_MOVE_SELF | IN_EXCL_UNLINK | IN_ONLYDIR;

// Room for some 240 records even of the longest names; the kernel packs as many whole records
// as fit.
constexpr std::size_t read_buffer_size = 64 * 1024;

class InotifyWatcher final : public FileWatcher {
 public:
  InotifyWatcher(fs::path folder, tallowmere_core::UniqueFd inotify_fd, tallowmere_core::UniqueFd wake_fd)
      : folder_(std::move(folder)), inotify_fd_(std::move(inotify_fd)), wake_fd_(std::move(wake_fd)) {}

  ~InotifyWatcher() override { stop(); }

  // Throws std::system_error when no thread can be started.
  void start(Channel<ChangeEvent>::Sender sender) {
    thread_ = std::thread(&InotifyWatcher::run, this, std::move(sender));
  }

  void stop() override {
    if (thread_.joinable()) {
      // The wake descriptor stays readable from here on; the thread never reads it, only sees it.
      const std::uint64_t one = 1;
      retry_on_eintr([&] { return ::write(wake_fd_.get(), &one, sizeof one); });
      thread_.join();
    }
    inotify_fd_.reset();
    wake_fd_.reset();
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

  void forward(const Channel<ChangeEvent>::Sender& sender) {
    alignas(inotify_event) std::array<std::byte, read_buffer_size> buffer;
    std::array<pollfd, 2> descriptors{pollfd{inotify_fd_.get(), POLLIN, 0}, pollfd{wake_fd_.get(), POLLIN, 0}};
    for (;;) {
      // No time-out: the thread sleeps until there is something to read or it is told to stop.
      if (::poll(descriptors.data(), descriptors.size(), -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (descriptors[1].revents != 0) return;
      const short inotify_events = descriptors[0].revents;
      if ((inotify_events & POLLIN) == 0) {
        if ((inotify_events & (POLLERR | POLLHUP | POLLNVAL)) != 0) return;
        continue;
      }
      const ssize_t got = retry_on_eintr([&] { return ::read(inotify_fd_.get(), buffer.data(), buffer.size()); });
      if (got < 0) {
        if (errno == EAGAIN) continue;
        return;  // errors are not reported: the watch ends, and the receiver sees it end
      }
      auto translation = inotify::translate(std::span(buffer.data(), static_cast<std::size_t>(got)), folder_);
      for (auto& event : translation.events) sender.send(std::move(event));  // false: receiver gone, dropped
      if (translation.watch_ended) return;
    }
  }

  fs::path folder_;
  tallowmere_core::UniqueFd inotify_fd_;
  tallowmere_core::UniqueFd wake_fd_;  // an eventfd: written once by stop() to end the thread's poll
  std::thread thread_;
};

}  // namespace

std::expected<std::unique_ptr<FileWatcher>, std::string> FileWatcher::watch(const fs::path& folder,
                                                                            Channel<ChangeEvent>::Sender sender) {
  // Non-blocking, so that a read after poll() can never hang the thread (and stop() with it).
  tallowmere_core::UniqueFd inotify_fd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (!inotify_fd) return std::unexpected(os_error_text(errno));
  if (::inotify_add_watch(inotify_fd.get(), folder.c_str(), watch_mask) < 0) {
    return std::unexpected(os_error_text(errno));
  }
  tallowmere_core::UniqueFd wake_fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!wake_fd) return std::unexpected(os_error_text(errno));

  auto watcher = std::make_unique<InotifyWatcher>(folder, std::move(inotify_fd), std::move(wake_fd));
  try {
    watcher->start(std::move(sender));
  } catch (const std::system_error& error) {
    return std::unexpected(os_error_text(error.code().value()));
  }
  return watcher;
}

namespace inotify {

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

  std::size_t offset = 0;
  while (buffer.size() - offset >= sizeof(inotify_event)) {
    // Copied out rather than cast in place: a crafted buffer need not be aligned.
    inotify_event record;
    std::memcpy(&record, buffer.data() + offset, sizeof record);
    const std::size_t record_size = sizeof(inotify_event) + record.len;
    if (record_size > buffer.size() - offset) break;
    // The name is padded with NULs to `len` bytes; a record about the folder itself has none.
    const char* name_bytes = reinterpret_cast<const char*>(buffer.data() + offset + sizeof(inotify_event));
    const std::string_view name(name_bytes, ::strnlen(name_bytes, record.len));
    offset += record_size;

    if ((record.mask & IN_Q_OVERFLOW) != 0) {
      // Events were lost: report everything that is there now and let the watch loop's change
      // filter find what really changed.
      events.push_back(recrawl(folder));
      continue;
    }
    if ((record.mask & watch_gone) != 0) {
      translation.watch_ended = true;
      break;
    }
    const fs::path path = name.empty() ? folder : folder / name;
    if ((record.mask & created) != 0) add(EventKind::Create, path);
    if ((record.mask & modified) != 0) add(EventKind::Modify, path);
    if ((record.mask & removed) != 0) add(EventKind::Remove, path);
    if ((record.mask & attributes) != 0) add(EventKind::Other, path);
  }
  return translation;
}

ChangeEvent recrawl(const fs::path& folder) {
  ChangeEvent event{EventKind::Any, {}};
  std::error_code error;
  for (fs::directory_iterator entry(folder, error), end; !error && entry != end; entry.increment(error)) {
    std::error_code status_error;
    if (entry->symlink_status(status_error).type() == fs::file_type::regular) event.paths.push_back(entry->path());
  }
  std::sort(event.paths.begin(), event.paths.end());
  return event;
}

}  // namespace inotify

}  // namespace tallowmere_cli::platform

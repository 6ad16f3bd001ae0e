// The inotify backend of FileWatcher: one inotify descriptor and one notification thread for the
// whole process, shared by every watch.
#include "platform/inotify_watcher.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <future>
#include <map>
#include <memory>
#include <mutex>
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
// kernel (IN_IGNORED follows); a moved folder's is not, and is given up by the watch.
constexpr std::uint32_t watch_gone = IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT;

// IN_EXCL_UNLINK: no events for a file after it was unlinked (a DAW writing on through an open
// handle to a replaced file). IN_ONLYDIR: watching a file instead of a folder fails at once.
constexpr std::uint32_t watch_mask =
    created | modified | removed | attributes | IN_DELETE_SELF | IN_MOVE_SELF | IN_EXCL_UNLINK | IN_ONLYDIR;

// A folder at the path that the watch's check refused is watched only for what could change the
// check's mind (a name made, moved in or written: its pointer file, say) and for its own going.
constexpr std::uint32_t refused_mask = IN_CREATE | IN_MOVED_TO | IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF |
                                       IN_EXCL_UNLINK | IN_ONLYDIR;

// A folder further up that moves sends the watched folder no event of its own, so the folders
// above it are watched too: each for its own move or deletion, the direct parent also for the
// watched folder's name moved or deleted in it (an entry moved over that name included). The
// rest of the parent's traffic is not asked for: those folders may be busy ones.
constexpr std::uint32_t parent_mask =
    IN_MOVE_SELF | IN_DELETE_SELF | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE | IN_ONLYDIR;
constexpr std::uint32_t ancestor_mask = IN_MOVE_SELF | IN_DELETE_SELF | IN_ONLYDIR;

// While nothing stands at the path, the deepest folder that does is watched for the next name
// along the path made or moved in, and for its own going.
constexpr std::uint32_t arrival_mask = IN_CREATE | IN_MOVED_TO | IN_MOVE_SELF | IN_DELETE_SELF | IN_ONLYDIR;

// How often the path itself is looked at while no notification can tell what it leads to: while
// no accepted folder stands there (a disk mounted at the path sends nothing, nor does a refused
// folder whose check would now say yes for a reason it cannot see), and while a folder above
// cannot be watched (no read permission, no watches left). Saves made meanwhile are found by the
// report of every file that follows.
constexpr std::chrono::milliseconds slow_check_interval{2500};

// Room for some 240 records even of the longest names; the kernel packs as many whole records
// as fit.
constexpr std::size_t read_buffer_size = 64 * 1024;

}  // namespace

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


std::vector<int> WatchTable::replace(std::uint64_t watcher, std::span<const Hold> holds) {
  std::vector<int> before;
  if (auto found = by_watcher_.find(watcher); found != by_watcher_.end()) {
    before = std::move(found->second);
    by_watcher_.erase(found);
  }
  for (const int wd : before) {
    if (auto entry = by_wd_.find(wd); entry != by_wd_.end()) {
      std::erase_if(entry->second, [&](const auto& holder) { return holder.first == watcher; });
    }
  }
  std::vector<int> now;
  for (const Hold& hold : holds) {
    auto& holders = by_wd_[hold.wd];
    auto mine = std::find_if(holders.begin(), holders.end(), [&](const auto& holder) { return holder.first == watcher; });
    if (mine == holders.end()) {
      holders.emplace_back(watcher, hold.mask);
      now.push_back(hold.wd);
    } else {
      mine->second |= hold.mask;
    }
  }
  std::vector<int> unused;
  for (const int wd : before) {
    auto entry = by_wd_.find(wd);
    if (entry != by_wd_.end() && entry->second.empty()) {
      by_wd_.erase(entry);
      unused.push_back(wd);
    }
  }
  if (!now.empty()) by_watcher_.emplace(watcher, std::move(now));
  return unused;
}

void WatchTable::forget(int wd) {
  auto entry = by_wd_.find(wd);
  if (entry == by_wd_.end()) return;
  for (const auto& [watcher, mask] : entry->second) {
    auto held = by_watcher_.find(watcher);
    if (held == by_watcher_.end()) continue;
    std::erase(held->second, wd);
    if (held->second.empty()) by_watcher_.erase(held);
  }
  by_wd_.erase(entry);
}

std::vector<std::uint64_t> WatchTable::recipients(int wd, std::uint32_t mask) const {
  std::vector<std::uint64_t> found;
  const auto entry = by_wd_.find(wd);
  if (entry == by_wd_.end()) return found;
  const bool for_every_holder = (mask & (IN_IGNORED | IN_UNMOUNT)) != 0;
  // Only the kinds count; IN_ISDIR and the like describe the record.
  const std::uint32_t kinds = mask & IN_ALL_EVENTS;
  for (const auto& [watcher, asked] : entry->second) {
    if (for_every_holder || (kinds & asked) != 0) found.push_back(watcher);
  }
  return found;
}

std::string error_text(int error, bool adding_watch) {
  std::string text = os_error_text(error);
  if (!adding_watch && error == EMFILE) {
    text += ": the per-user limit of inotify instances is reached; raise /proc/sys/fs/inotify/max_user_instances";
  } else if (adding_watch && error == ENOSPC) {
    text += ": the per-user limit of inotify watches is reached; raise /proc/sys/fs/inotify/max_user_watches";
  }
  return text;
}

}  // namespace inotify

namespace {

using Clock = std::chrono::steady_clock;
using inotify::WatchTable;

// Where a watch stands with the folder at its path.
enum class Stand {
  Accepted,  // a folder the check took stands there and is watched for changes
  Refused,   // a folder stands there, but the check refused it
  Missing,   // nothing (or no folder) stands there
};

// One watch, as the notification thread keeps it; only that thread touches it once it is added.
struct Watch {
  std::uint64_t id = 0;
  fs::path folder;
  std::string folder_name;  // the last component of `folder`, as its parent's records name it
  FolderCheck accept;
  Channel<ChangeEvent>::Sender sender;

  Stand stand = Stand::Missing;
  // The folder watched itself: `folder` unless Missing, else the deepest folder that stands along
  // the path, whose entry `awaited_name` is awaited.
  fs::path deepest;
  std::string awaited_name;
  int deepest_wd = -1;
  std::vector<int> above_wds;  // the folders above `deepest`, up to the root
  bool complete = false;       // `deepest` and every folder above it are watched
  dev_t device = 0;            // the identity of `deepest` when it was watched
  ino_t inode = 0;
  Clock::time_point next_check{};  // the next slow check, while one is needed
  std::vector<std::byte> records;  // its share of the read being dispatched
  bool ended = false;              // failed: holds nothing, and its sender is gone

  bool needs_slow_check() const { return !ended && (stand != Stand::Accepted || !complete); }
};

// The process's inotify descriptor and the thread that reads it and dispatches its records to the
// watches by watch descriptor. Watches are added and removed by that thread too, on request, so
// that it alone owns them and calls their checks and sends their events without holding a lock.
class Notifier {
 public:
  static std::expected<std::shared_ptr<Notifier>, std::string> shared();

  Notifier(tallowmere_core::UniqueFd inotify_fd, WakeFd wake)
      : inotify_fd_(std::move(inotify_fd)), wake_(std::move(wake)) {}
  ~Notifier();
  Notifier(const Notifier&) = delete;
  Notifier& operator=(const Notifier&) = delete;

  // Throws std::system_error when no thread can be started.
  void start() { thread_ = std::thread(&Notifier::run, this); }

  // Adds a watch of `folder` and waits until it is set up; its id, or why it could not be.
  std::expected<std::uint64_t, std::string> add(const fs::path& folder, Channel<ChangeEvent>::Sender sender,
                                                FolderCheck accept);
  // Removes the watch and waits until the thread is done with it and has let go of its sender.
  void remove(std::uint64_t id);

 private:
  struct Request {
    std::uint64_t id = 0;
    std::unique_ptr<Watch> watch;  // to add; none: remove `id`
    std::promise<std::expected<void, std::string>> done;
  };

  // Hands `request` to the thread and waits for its answer.
  std::expected<void, std::string> ask(Request request);

  void run() noexcept;
  void loop();
  bool serve_requests();  // false once the notifier is to end
  std::optional<int> poll_timeout() const;
  void dispatch(std::span<const std::byte> buffer);
  void run_slow_checks();
  void guarded(Watch& watch, void (Notifier::*step)(Watch&));

  // The steps of one watch.
  std::expected<void, int> resolve(Watch& watch, bool first);
  [[nodiscard]] bool await_path(Watch& watch);
  void handle_records(Watch& watch);
  void slow_check(Watch& watch);
  void watch_above(Watch& watch);
  bool still_at_path(const Watch& watch) const;
  void end(Watch& watch);

  int add_watch(const fs::path& path, std::uint32_t mask) const;
  bool watch_chain(fs::path from, std::uint32_t first_mask, std::vector<WatchTable::Hold>& holds,
                   std::vector<int>& wds) const;
  void hold(Watch& watch, const std::vector<WatchTable::Hold>& holds);

  tallowmere_core::UniqueFd inotify_fd_;
  WakeFd wake_;  // notified for each request and for the end
  std::thread thread_;

  std::mutex mutex_;  // guards what follows, up to the thread's own state
  std::vector<Request> requests_;
  std::uint64_t next_id_ = 1;
  bool stopping_ = false;
  bool serving_ = true;  // false once the thread has ended: requests are answered at once

  // The thread's own.
  std::map<std::uint64_t, std::unique_ptr<Watch>> watches_;
  WatchTable table_;
};

// Every project's watcher runs on a thread the supervisor starts, and knows nothing of the others,
// while the system gives each user only some 128 inotify descriptors for all of their programs
// (editors, file managers, sync clients). So the watches of the whole process share one notifier,
// found here rather than handed down through the supervisor: made by the first watch, ended with
// the last (each watcher holds it), made afresh by a watch after that.
struct SharedNotifier {
  std::mutex mutex;
  std::weak_ptr<Notifier> current;
};

SharedNotifier& shared_notifier() {
  static SharedNotifier shared;
  return shared;
}

std::expected<std::shared_ptr<Notifier>, std::string> Notifier::shared() {
  SharedNotifier& shared = shared_notifier();
  std::lock_guard lock(shared.mutex);
  if (auto existing = shared.current.lock()) {
    std::lock_guard serving(existing->mutex_);
    if (existing->serving_) return existing;
  }
  // Non-blocking, so that a read after poll() can never hang the thread.
  tallowmere_core::UniqueFd inotify_fd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (!inotify_fd) return std::unexpected(inotify::error_text(errno, false));
  auto wake = WakeFd::create();
  if (!wake) return std::unexpected(os_error_text(wake.error()));
  auto notifier = std::make_shared<Notifier>(std::move(inotify_fd), std::move(*wake));
  try {
    notifier->start();
  } catch (const std::system_error& error) {
    return std::unexpected(os_error_text(error.code().value()));
  }
  shared.current = notifier;
  return notifier;
}

Notifier::~Notifier() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify();
  if (thread_.joinable()) thread_.join();
}

std::expected<void, std::string> Notifier::ask(Request request) {
  auto answer = request.done.get_future();
  {
    std::lock_guard lock(mutex_);
    if (!serving_) {
      if (request.watch) return std::unexpected(std::string("the notification thread has ended"));
      return {};
    }
    requests_.push_back(std::move(request));
  }
  wake_.notify();
  return answer.get();
}

std::expected<std::uint64_t, std::string> Notifier::add(const fs::path& folder, Channel<ChangeEvent>::Sender sender,
                                                        FolderCheck accept) {
  auto watch = std::make_unique<Watch>();
  watch->folder = folder;
  watch->folder_name = folder.filename().string();
  watch->accept = std::move(accept);
  watch->sender = std::move(sender);
  Request request;
  {
    std::lock_guard lock(mutex_);
    request.id = watch->id = next_id_++;
  }
  request.watch = std::move(watch);
  const std::uint64_t id = request.id;
  auto added = ask(std::move(request));
  if (!added) return std::unexpected(std::move(added.error()));
  return id;
}

void Notifier::remove(std::uint64_t id) {
  Request request;
  request.id = id;
  (void)ask(std::move(request));
}

void Notifier::run() noexcept {
  try {
    loop();
  } catch (...) {
    // Out of memory outside any one watch: the notifier ends rather than the process.
  }
  // Every watch ends with the thread: their senders go, so their receivers read "disconnected".
  watches_.clear();
  std::vector<Request> unanswered;
  {
    std::lock_guard lock(mutex_);
    serving_ = false;
    unanswered.swap(requests_);
  }
  for (auto& request : unanswered) {
    const bool adding = request.watch != nullptr;
    request.watch.reset();  // its sender goes before the answer
    if (adding) {
      request.done.set_value(std::unexpected(std::string("the notification thread has ended")));
    } else {
      request.done.set_value({});
    }
  }
}

void Notifier::loop() {
  alignas(inotify_event) std::array<std::byte, read_buffer_size> buffer;
  for (;;) {
    if (!serve_requests()) return;
    const auto timeout = poll_timeout();
    std::array<pollfd, 2> descriptors{pollfd{inotify_fd_.get(), POLLIN, 0}, pollfd{wake_.fd(), POLLIN, 0}};
    if (::poll(descriptors.data(), descriptors.size(), timeout.value_or(-1)) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (descriptors[1].revents != 0) wake_.clear();  // the requests are served at the top
    const short inotify_events = descriptors[0].revents;
    if ((inotify_events & POLLIN) != 0) {
      const ssize_t got = retry_on_eintr([&] { return ::read(inotify_fd_.get(), buffer.data(), buffer.size()); });
      if (got < 0 && errno != EAGAIN) return;
      if (got > 0) dispatch(std::span(buffer.data(), static_cast<std::size_t>(got)));
    } else if ((inotify_events & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
      return;
    }
    run_slow_checks();
  }
}

bool Notifier::serve_requests() {
  std::vector<Request> taken;
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return false;
    taken.swap(requests_);
  }
  for (auto& request : taken) {
    if (request.watch) {
      Watch& watch = *request.watch;
      std::expected<void, std::string> outcome;
      try {
        if (auto started = resolve(watch, true); !started) {
          outcome = std::unexpected(inotify::error_text(started.error(), started.error() == ENOSPC));
        }
      } catch (...) {
        outcome = std::unexpected(os_error_text(ENOMEM));
      }
      if (outcome) {
        try {
          watches_.emplace(request.id, std::move(request.watch));
        } catch (...) {
          outcome = std::unexpected(os_error_text(ENOMEM));
        }
      }
      if (!outcome) {
        end(watch);
        request.watch.reset();  // its sender goes before the answer
      }
      request.done.set_value(std::move(outcome));
    } else {
      if (auto found = watches_.find(request.id); found != watches_.end()) {
        end(*found->second);
        watches_.erase(found);
      }
      request.done.set_value({});
    }
  }
  return true;
}

std::optional<int> Notifier::poll_timeout() const {
  std::optional<Clock::time_point> next;
  for (const auto& [id, watch] : watches_) {
    if (watch->needs_slow_check() && (!next || watch->next_check < *next)) next = watch->next_check;
  }
  if (!next) return std::nullopt;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(*next - Clock::now()).count();
  return static_cast<int>(std::clamp<decltype(left)>(left, 0, slow_check_interval.count()));
}

void Notifier::dispatch(std::span<const std::byte> buffer) {
  inotify::for_each_record(buffer, [&](const inotify_event& record, std::string_view, std::span<const std::byte> whole) {
    if ((record.mask & IN_Q_OVERFLOW) != 0) {
      // Lost records may have concerned any watch.
      for (auto& [id, watch] : watches_) {
        if (!watch->ended) watch->records.insert(watch->records.end(), whole.begin(), whole.end());
      }
    } else {
      for (const std::uint64_t id : table_.recipients(record.wd, record.mask)) {
        auto& records = watches_.at(id)->records;
        records.insert(records.end(), whole.begin(), whole.end());
      }
    }
    if ((record.mask & IN_IGNORED) != 0) table_.forget(record.wd);
    return true;
  });
  for (auto& [id, watch] : watches_) {
    if (watch->records.empty()) continue;
    guarded(*watch, &Notifier::handle_records);
    watch->records.clear();
    // A burst's worth of room is not kept by every watch for good.
    if (watch->records.capacity() > 4096) watch->records.shrink_to_fit();
  }
}

void Notifier::run_slow_checks() {
  const auto now = Clock::now();
  for (auto& [id, watch] : watches_) {
    if (watch->needs_slow_check() && watch->next_check <= now) guarded(*watch, &Notifier::slow_check);
  }
}

void Notifier::guarded(Watch& watch, void (Notifier::*step)(Watch&)) {
  try {
    (this->*step)(watch);
  } catch (...) {
    // Out of memory while translating, queueing or re-arming: this watch ends, as its thread
    // would, and the others go on.
    end(watch);
  }
}

int Notifier::add_watch(const fs::path& path, std::uint32_t mask) const {
  // IN_MASK_ADD: an inode watched already (for another watch) keeps what it was asked for.
  return ::inotify_add_watch(inotify_fd_.get(), path.c_str(), mask | IN_MASK_ADD);
}

// Watches `from` with `first_mask` and the folders above it with ancestor_mask, up to the root
// (which cannot move); false when one of them cannot be watched.
bool Notifier::watch_chain(fs::path from, std::uint32_t first_mask, std::vector<WatchTable::Hold>& holds,
                           std::vector<int>& wds) const {
  std::uint32_t mask = first_mask;
  for (fs::path above = std::move(from); !above.empty() && above != above.root_path(); above = above.parent_path()) {
    const int wd = add_watch(above, mask);
    if (wd < 0) return false;
    holds.push_back({wd, mask});
    wds.push_back(wd);
    mask = ancestor_mask;
  }
  return true;
}

void Notifier::hold(Watch& watch, const std::vector<WatchTable::Hold>& holds) {
  for (const int unused : table_.replace(watch.id, holds)) ::inotify_rm_watch(inotify_fd_.get(), unused);
}

void Notifier::end(Watch& watch) {
  hold(watch, {});
  watch.sender = Channel<ChangeEvent>::Sender();
  watch.ended = true;
}

bool identity_of(const fs::path& path, dev_t& device, ino_t& inode) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) return false;
  device = status.st_dev;
  inode = status.st_ino;
  return true;
}

// Watches whatever stands at the path now: an accepted folder for its changes, a refused one for
// what could change the check's mind, or, when no folder stands there, the deepest folder along
// the path for the next name's arrival. The folders above are watched before the folder itself,
// so that a replacement after that is reported by them. Only the first time can it fail: with the
// errno of a path that leads to no folder or a folder that cannot be watched; later, whatever
// cannot be watched is looked at by the slow check instead.
std::expected<void, int> Notifier::resolve(Watch& watch, bool first) {
  struct stat status {};
  // Records of the read being dispatched were sorted out by what the watch held before, so what
  // happened along the path before the new watches were set is looked at once they are: a folder
  // made meanwhile is followed down. Bounded, for a path that keeps changing; the slow check does
  // the rest.
  for (int round = 0;; ++round) {
    const bool stands = ::stat(watch.folder.c_str(), &status) == 0;
    if (stands && S_ISDIR(status.st_mode)) break;
    if (first) return std::unexpected(stands ? ENOTDIR : errno);
    if (!await_path(watch) || round == 8) return {};
  }
  std::vector<WatchTable::Hold> holds;
  std::vector<int> above;
  const bool above_watched = watch_chain(watch.folder.parent_path(), parent_mask, holds, above);
  const bool accepted = !watch.accept || watch.accept(watch.folder);
  const std::uint32_t mask = accepted ? watch_mask : refused_mask;
  const int wd = add_watch(watch.folder, mask);
  if (wd < 0) {
    const int error = errno;
    if (first) {
      hold(watch, holds);
      return std::unexpected(error);
    }
    (void)await_path(watch);
    watch.complete = false;  // the folder stands there: only the slow check can tell when it can be watched
    return {};
  }
  holds.push_back({wd, mask});
  hold(watch, holds);
  watch.stand = accepted ? Stand::Accepted : Stand::Refused;
  watch.deepest = watch.folder;
  watch.awaited_name.clear();
  watch.deepest_wd = wd;
  watch.above_wds = std::move(above);
  watch.complete = above_watched;
  // Taken after the watches are set: a folder replaced, or one above it moved, in between is
  // reported by them.
  if (!identity_of(watch.folder, watch.device, watch.inode)) {
    watch.device = status.st_dev;
    watch.inode = status.st_ino;
  }
  watch.next_check = Clock::now() + slow_check_interval;
  // Whatever happened in it while it was not watched (or was another folder) is not known.
  if (accepted && !first) watch.sender.send(recrawl(watch.folder));
  return {};
}

// Watches the deepest folder along the path for the next name's arrival; true when that name
// stands there as a folder by the time the watches are set, so that it must be followed now.
bool Notifier::await_path(Watch& watch) {
  fs::path deepest = watch.folder.parent_path();
  std::string awaited = watch.folder_name;
  struct stat status {};
  while (!deepest.empty() && (::stat(deepest.c_str(), &status) != 0 || !S_ISDIR(status.st_mode))) {
    awaited = deepest.filename().string();
    deepest = deepest.parent_path();
  }
  std::vector<WatchTable::Hold> holds;
  std::vector<int> above;
  bool complete = false;
  int wd = -1;
  if (!deepest.empty()) {
    wd = add_watch(deepest, arrival_mask);
    if (wd >= 0) {
      holds.push_back({wd, arrival_mask});
      complete = watch_chain(deepest.parent_path(), ancestor_mask, holds, above);
    }
  }
  hold(watch, holds);
  watch.stand = Stand::Missing;
  watch.deepest = deepest;
  watch.awaited_name = std::move(awaited);
  watch.deepest_wd = wd;
  watch.above_wds = std::move(above);
  watch.complete = complete;
  if (!identity_of(watch.deepest, watch.device, watch.inode)) watch.device = watch.inode = 0;
  watch.next_check = Clock::now() + slow_check_interval;
  if (watch.deepest.empty() || watch.deepest_wd < 0) return false;
  return ::stat((watch.deepest / watch.awaited_name).c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

void Notifier::handle_records(Watch& watch) {
  switch (watch.stand) {
    case Stand::Accepted: {
      const auto sorted = inotify::sort_records(watch.records, watch.deepest_wd, watch.above_wds, watch.folder_name);
      // The folder's own records first: they were made before anything that moved it.
      auto translation = inotify::translate(sorted.folder_records, watch.folder);
      for (auto& event : translation.events) watch.sender.send(std::move(event));  // false: receiver gone, dropped
      if (translation.watch_ended) {
        resolve(watch, false);
      } else if (sorted.path_may_have_moved) {
        // The folders above may be other ones now even where the path still leads to the watched
        // folder, so they are watched afresh before the path is looked at.
        watch_above(watch);
        if (!still_at_path(watch)) resolve(watch, false);
      }
      return;
    }
    case Stand::Refused:
      // Something was made or written in it, or it or a folder above went: ask again.
      resolve(watch, false);
      return;
    case Stand::Missing: {
      std::vector<int> along = watch.above_wds;
      if (watch.deepest_wd >= 0) along.insert(along.begin(), watch.deepest_wd);
      if (inotify::sort_records(watch.records, -1, along, watch.awaited_name).path_may_have_moved) {
        resolve(watch, false);
      }
      return;
    }
  }
}

void Notifier::slow_check(Watch& watch) {
  if (watch.stand == Stand::Accepted) {
    watch_above(watch);
    if (!still_at_path(watch)) resolve(watch, false);
  } else {
    resolve(watch, false);
  }
}

// Watches the folders above the accepted folder afresh, in place of those watched so far.
void Notifier::watch_above(Watch& watch) {
  std::vector<WatchTable::Hold> holds{{watch.deepest_wd, watch_mask}};
  std::vector<int> above;
  watch.complete = watch_chain(watch.folder.parent_path(), parent_mask, holds, above);
  hold(watch, holds);
  watch.above_wds = std::move(above);
  watch.next_check = Clock::now() + slow_check_interval;
}

// False once the path leads to no folder or to another one than the watch watches. A path that
// cannot be looked at for another reason is given the benefit of the doubt.
bool Notifier::still_at_path(const Watch& watch) const {
  struct stat status {};
  if (::stat(watch.folder.c_str(), &status) != 0) return errno != ENOENT && errno != ENOTDIR;
  return status.st_dev == watch.device && status.st_ino == watch.inode;
}

class InotifyWatcher final : public FileWatcher {
 public:
  InotifyWatcher(std::shared_ptr<Notifier> notifier, std::uint64_t id) : notifier_(std::move(notifier)), id_(id) {}
  ~InotifyWatcher() override { stop(); }

  void stop() override {
    if (!notifier_) return;
    notifier_->remove(id_);
    notifier_.reset();  // the last watcher's stop ends the notifier and joins its thread
  }

 private:
  std::shared_ptr<Notifier> notifier_;
  std::uint64_t id_;
};

}  // namespace

std::expected<std::unique_ptr<FileWatcher>, std::string> FileWatcher::watch(const fs::path& folder,
                                                                            Channel<ChangeEvent>::Sender sender,
                                                                            FolderCheck accept) {
  auto notifier = Notifier::shared();
  if (!notifier) return std::unexpected(std::move(notifier.error()));
  auto id = (*notifier)->add(folder, std::move(sender), std::move(accept));
  if (!id) return std::unexpected(std::move(id.error()));
  return std::make_unique<InotifyWatcher>(std::move(*notifier), *id);
}

}  // namespace tallowmere_cli::platform

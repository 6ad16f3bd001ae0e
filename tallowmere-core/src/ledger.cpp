#include "ledger.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <fmt/format.h>

#include "posix.h"
#include "text.h"

namespace tallowmere_core {
namespace {

using namespace std::chrono_literals;

constexpr auto lock_retry_interval = 50ms;
constexpr auto lock_timeout = 10s;

// Ledger lines run to about a kilobyte; sizing the entries by half that spares the reallocations
// without a pass over the text to count its lines. Capacity never touched costs no memory.
constexpr std::size_t short_line_bytes = 512;

// Room for `count` entries. Filling a large fresh buffer faults in a page every 4 KiB, which
// costs more than writing the entries; asked for huge pages the kernel faults once per 2 MiB. It
// is only advice: without them the read is merely slower. Only a buffer of 32 MiB or more is
// advised, since glibc always maps one that large on its own and unmaps it when freed, so the
// advice never outlives it on memory the heap hands out again.
void reserve_entries(std::vector<LedgerEntry>& entries, std::size_t count) {
  entries.reserve(count);
  const std::size_t size = entries.capacity() * sizeof(LedgerEntry);
  if (size < std::size_t{32} << 20) return;
  posix::advise_huge_pages(entries.data(), size);
}

// Whether a line certainly is not blank and its first byte is ASCII: the lines a writer of this
// system produces all start with '{'. Others take the slow path of a UTF-8 check and the Unicode
// blank test.
bool starts_like_entry(std::string_view line) {
  if (line.empty()) return false;
  const auto c = static_cast<unsigned char>(line.front());
  return c < 0x80 && c != ' ' && (c < 0x09 || c > 0x0D);
}

}  // namespace

std::filesystem::path LedgerLock::lock_file_for(const std::filesystem::path& ledger_file) {
  std::filesystem::path lock_file = ledger_file;
  lock_file += ".lock";
  return lock_file;
}

std::expected<LedgerLock, CoreError> LedgerLock::acquire(const std::filesystem::path& ledger_file) {
  const std::filesystem::path lock_file = lock_file_for(ledger_file);
  auto opened = posix::open_regular_file(lock_file, O_WRONLY | O_CREAT, 0666);
  if (!opened) return std::unexpected(CoreError::io(lock_file, std::move(opened).error()));
  UniqueFd fd = std::move(opened->fd);

  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    if (posix::retry_on_eintr([&] { return ::flock(fd.get(), LOCK_EX | LOCK_NB); }) == 0) return LedgerLock(std::move(fd));
    const int error = errno;
    if (error != EWOULDBLOCK) return std::unexpected(CoreError::io(lock_file, error));
    if (std::chrono::steady_clock::now() - start >= lock_timeout) {
      // Read again so that the reported wait covers everything up to the moment of giving up.
      const auto waited = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start);
      return std::unexpected(core_error::LockTimeout{lock_file, waited});
    }
    std::this_thread::sleep_for(lock_retry_interval);
  }
}

LedgerLock& LedgerLock::operator=(LedgerLock&& other) noexcept {
  if (this != &other) {
    release();
    fd_ = std::move(other.fd_);
  }
  return *this;
}

LedgerLock::~LedgerLock() { release(); }

void LedgerLock::release() noexcept {
  if (!fd_) return;
  // Closing would drop the lock anyway, but only once every duplicate of the descriptor is
  // closed; unlocking first frees it for the next writer at once. Nothing useful can be done
  // about a failed unlock: the close that follows ends the lock regardless.
  (void)::flock(fd_.get(), LOCK_UN);
  fd_.reset();
}

namespace ledger {

LedgerLines::LedgerLines(std::filesystem::path path, UniqueFd fd, std::uint64_t size_hint)
    : path_(std::move(path)), fd_(std::move(fd)), size_hint_(size_hint) {}

std::expected<LedgerLines, CoreError> LedgerLines::open(const std::filesystem::path& path) {
  auto opened = posix::open_regular_file(path, O_RDONLY);
  if (!opened) return std::unexpected(CoreError::io(path, std::move(opened).error()));
  return LedgerLines(path, std::move(opened->fd), opened->size);
}

std::expected<void, CoreError> LedgerLines::refill() {
  if (begin_ > 0) {
    std::memmove(buffer_.get(), buffer_.get() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
  }
  if (end_ == capacity_) {
    // Small enough to stay in the processor's cache while its lines are read, which copying a
    // whole large file into fresh memory never does; it grows only for a longer line.
    constexpr std::size_t chunk = 128 * 1024;
    const std::size_t capacity = capacity_ == 0 ? chunk : capacity_ * 2;
    auto buffer = std::make_unique_for_overwrite<char[]>(capacity);
    if (end_ > 0) std::memcpy(buffer.get(), buffer_.get(), end_);
    buffer_ = std::move(buffer);
    capacity_ = capacity;
  }
  const ssize_t n = posix::retry_on_eintr([&] { return ::read(fd_.get(), buffer_.get() + end_, capacity_ - end_); });
  if (n < 0) return std::unexpected(CoreError::io(path_, errno));
  if (n == 0) at_eof_ = true;
  end_ += static_cast<std::size_t>(n);
  return {};
}

std::expected<bool, CoreError> LedgerLines::next(std::string_view& line) {
  overlong_ = false;
  for (;;) {
    const char* const start = buffer_.get() + begin_;
    const std::size_t available = end_ - begin_;
    const auto* feed =
        scanned_ < available ? static_cast<const char*>(std::memchr(start + scanned_, '\n', available - scanned_)) : nullptr;
    if (feed != nullptr) {
      const auto length = static_cast<std::size_t>(feed - start);
      line = std::string_view(start, length > 0 && feed[-1] == '\r' ? length - 1 : length);
      begin_ += length + 1;
      scanned_ = 0;
      terminated_ = true;
      cut_if_overlong(line);
      return true;
    }
    scanned_ = available;
    if (available > max_line_bytes) return skip_overlong(line);
    if (at_eof_) {
      if (available == 0) return false;
      line = std::string_view(start, available);
      begin_ = end_;
      scanned_ = 0;
      terminated_ = false;
      cut_if_overlong(line);
      return true;
    }
    if (auto filled = refill(); !filled) return std::unexpected(std::move(filled.error()));
  }
}

void LedgerLines::cut_if_overlong(std::string_view& line) {
  if (line.size() <= max_line_bytes) return;
  overlong_ = true;
  line = line.substr(0, overlong_head_bytes);
}

std::expected<bool, CoreError> LedgerLines::skip_overlong(std::string_view& line) {
  overlong_head_.assign(buffer_.get() + begin_, overlong_head_bytes);
  for (;;) {
    begin_ = end_ = scanned_ = 0;
    if (at_eof_) {
      terminated_ = false;
      break;
    }
    // A hole in a sparse file reads as zeros, which hold no line feed: skipped unread.
    const off_t here = ::lseek(fd_.get(), 0, SEEK_CUR);
    if (here >= 0 && ::lseek(fd_.get(), here, SEEK_DATA) < 0 && errno == ENXIO) {
      at_eof_ = true;
      continue;
    }
    if (auto filled = refill(); !filled) return std::unexpected(std::move(filled.error()));
    if (const void* feed = std::memchr(buffer_.get(), '\n', end_)) {
      begin_ = static_cast<std::size_t>(static_cast<const char*>(feed) - buffer_.get()) + 1;
      terminated_ = true;
      break;
    }
  }
  overlong_ = true;
  line = overlong_head_;
  return true;
}

namespace {

// Reads every line of the ledger at `path` into the entries `sink` hands out, under the failure
// rules of read_ledger. The sink's `reserve(size_hint)` hears the file's size once; `slot()` gives
// a value-initialised entry for the next line, `keep()` takes it, `discard()` drops a failed read.
// The torn last line, if any, comes back.
template <class Sink>
std::expected<std::optional<TrailingIncomplete>, CoreError> scan_ledger(const std::filesystem::path& path, Sink& sink) {
  struct stat metadata {};
  if (::stat(path.c_str(), &metadata) != 0) return std::nullopt;

  auto opened = LedgerLines::open(path);
  if (!opened) return std::unexpected(std::move(opened.error()));
  LedgerLines& lines = *opened;
  const auto not_utf8 = [&path] {
    return std::unexpected(CoreError::io(path, IoSource::from_message("stream did not contain valid UTF-8")));
  };
  // A writer that died mid-character leaves an unterminated last line ending inside one: a torn
  // line, not a file in some other encoding. Every earlier line must be UTF-8 throughout.
  const auto utf8_as_written = [&lines](std::string_view line) {
    return lines.line_terminated() ? text::is_valid_utf8(line) : text::is_utf8_prefix(line);
  };

  sink.reserve(lines.size_hint());
  std::optional<TrailingIncomplete> trailing_incomplete;
  std::string_view line;
  std::uint64_t line_number = 0;  // blank lines counted
  for (;;) {
    auto more = lines.next(line);
    if (!more) return std::unexpected(std::move(more.error()));
    if (!*more) break;
    ++line_number;
    if (lines.overlong()) {
      std::string message = fmt::format("line is longer than {} bytes", LedgerLines::max_line_bytes);
      if (!lines.line_terminated()) {
        trailing_incomplete = TrailingIncomplete{line_number, text::lossy_utf8(line), std::move(message)};
        break;
      }
      return std::unexpected(core_error::MalformedLedgerLine{path, line_number, std::move(message)});
    }
    // The file is checked for UTF-8 as its lines are read rather than in a pass of its own: a
    // line that reads as an entry is UTF-8 throughout, since the reader checks every byte of
    // its strings and allows nothing but ASCII outside them.
    if (!starts_like_entry(line)) {
      const bool whole = text::is_valid_utf8(line);
      if (!whole && !utf8_as_written(line)) return not_utf8();
      if (whole && text::is_blank(line)) continue;
    }
    auto error = model::read_entry_line_into(line, sink.slot());
    if (!error) {
      sink.keep();
      continue;
    }
    sink.discard();
    // A file that is not UTF-8 anywhere is unreadable as a whole, which comes before any of its
    // lines being malformed; the lines before this one have been proven UTF-8 already.
    if (!utf8_as_written(line)) return not_utf8();
    std::string message = error->to_string();
    // A writer that died mid-line leaves a file without its final line feed; only that last,
    // unterminated line may be torn.
    if (lines.line_terminated()) {
      std::string_view rest;
      for (;;) {
        auto more_rest = lines.next(rest);
        if (!more_rest) return std::unexpected(std::move(more_rest.error()));
        if (!*more_rest) break;
        if (!utf8_as_written(rest)) return not_utf8();
      }
      return std::unexpected(core_error::MalformedLedgerLine{path, line_number, std::move(message)});
    }
    trailing_incomplete = TrailingIncomplete{line_number, std::string(line), std::move(message)};
  }
  return trailing_incomplete;
}

// Keeps every entry, in file order.
struct EntryList {
  std::vector<LedgerEntry>& entries;
  // A guess from the size, bounded: a sparse or garbage file must not reserve gigabytes.
  void reserve(std::uint64_t size_hint) {
    constexpr std::uint64_t max_reserved_entries = std::uint64_t{1} << 20;
    reserve_entries(entries, static_cast<std::size_t>(std::min(size_hint / short_line_bytes + 1, max_reserved_entries)));
  }
  LedgerEntry& slot() { return entries.emplace_back(); }
  void keep() {}
  void discard() { entries.pop_back(); }
};

// Keeps one entry at a time: the count and the last one's timestamp.
struct EntryTally {
  LedgerSummary& summary;
  LedgerEntry scratch;
  void reserve(std::uint64_t) {}
  LedgerEntry& slot() {
    scratch = LedgerEntry{};
    return scratch;
  }
  void keep() {
    ++summary.entry_count;
    summary.last_timestamp_local = std::move(scratch.timestamp_local);
  }
  void discard() {}
};

}  // namespace

std::expected<LedgerReadResult, CoreError> read_ledger(const std::filesystem::path& path) {
  LedgerReadResult result;
  EntryList sink{result.entries};
  auto scanned = scan_ledger(path, sink);
  if (!scanned) return std::unexpected(std::move(scanned.error()));
  result.trailing_incomplete = std::move(*scanned);
  return result;
}

std::expected<LedgerSummary, CoreError> summarize_ledger(const std::filesystem::path& path) {
  LedgerSummary summary;
  EntryTally sink{summary, {}};
  auto scanned = scan_ledger(path, sink);
  if (!scanned) return std::unexpected(std::move(scanned.error()));
  summary.trailing_incomplete = std::move(*scanned);
  return summary;
}

}  // namespace ledger
}  // namespace tallowmere_core

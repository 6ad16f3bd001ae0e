#pragma once
// Reading a project's append-only ledger, and the lock that serialises appends to it across
// processes (this service and the companion tool).
#include <cstdint>
#include <expected>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "error.h"
#include "model.h"
#include "unique_fd.h"

namespace tallowmere_core {

// A last line cut off by a writer that died mid-write.
struct TrailingIncomplete {
  std::uint64_t line_number = 0;  // 1-based, blank lines counted
  std::string raw_line;           // exactly as in the file (a final carriage return kept)
  std::string parse_error;        // the reader's message with its position
};

struct LedgerReadResult {
  std::vector<LedgerEntry> entries;  // file order
  std::optional<TrailingIncomplete> trailing_incomplete;
};

// What a full read would give, without holding more than one entry at a time.
struct LedgerSummary {
  std::uint64_t entry_count = 0;
  std::optional<std::string> last_timestamp_local;  // of the last entry; none without entries
  std::optional<TrailingIncomplete> trailing_incomplete;
};

// The held exclusive whole-file lock on `<ledger>.lock`. Releasing it (destruction) unlocks, then
// closes; the lock file itself always stays in place.
class LedgerLock {
 public:
  // Opens (creating, never truncating) the lock file and takes the lock, retrying every 50 ms for
  // up to 10 seconds: Io for the lock file, or LockTimeout with the time waited.
  static std::expected<LedgerLock, CoreError> acquire(const std::filesystem::path& ledger_file);
  // `<ledger file>.lock`, next to the ledger.
  static std::filesystem::path lock_file_for(const std::filesystem::path& ledger_file);

  LedgerLock(LedgerLock&&) noexcept = default;
  LedgerLock& operator=(LedgerLock&&) noexcept;
  ~LedgerLock();

 private:
  explicit LedgerLock(UniqueFd fd) : fd_(std::move(fd)) {}
  void release() noexcept;
  UniqueFd fd_;
};

namespace ledger {

// The lines of a ledger file, read in chunks into one small buffer that is reused, so that the
// text of even a ledger of a hundred megabytes never sits in memory whole. Lines come in file order, each
// without its line feed and without a carriage return directly before that feed (a lone CR at
// the very end, a torn write, stays in the line). The file is read to its end, so lines appended
// while reading are seen.
class LedgerLines {
 public:
  // The longest line kept whole; an entry is a few hundred bytes. A longer line comes back as its
  // first overlong_head_bytes, with overlong() set, and its rest is skipped.
  static constexpr std::size_t max_line_bytes = std::size_t{16} << 20;
  static constexpr std::size_t overlong_head_bytes = 1024;

  // Io for `path` when the file cannot be opened.
  static std::expected<LedgerLines, CoreError> open(const std::filesystem::path& path);

  // The next line into `line` (valid until the next call): true, false at the end of the file, or
  // Io for a failed read (a folder fails here, EISDIR).
  std::expected<bool, CoreError> next(std::string_view& line);
  // Whether a line feed ended the line `next` gave last; only the file's last line may lack one.
  bool line_terminated() const { return terminated_; }
  // Whether the line `next` gave last was longer than max_line_bytes (and so cut to its head).
  bool overlong() const { return overlong_; }
  // The file's size when opened (0 when not a regular file): a hint for sizing what is read.
  std::uint64_t size_hint() const { return size_hint_; }

  LedgerLines(LedgerLines&&) noexcept = default;
  LedgerLines& operator=(LedgerLines&&) noexcept = default;

 private:
  LedgerLines(std::filesystem::path path, UniqueFd fd, std::uint64_t size_hint);
  // Moves the unread bytes to the front (growing the buffer when they fill it) and reads more.
  std::expected<void, CoreError> refill();
  // A line found whole but too long: cut to its head, overlong() set.
  void cut_if_overlong(std::string_view& line);
  // Keeps the head of the overlong line at begin_ and reads past its end.
  std::expected<bool, CoreError> skip_overlong(std::string_view& line);

  std::filesystem::path path_;
  UniqueFd fd_;
  std::uint64_t size_hint_ = 0;
  std::unique_ptr<char[]> buffer_;
  std::size_t capacity_ = 0;
  std::size_t begin_ = 0;    // the first byte not yet returned
  std::size_t scanned_ = 0;  // bytes from begin_ on already searched for a line feed
  std::size_t end_ = 0;      // the end of the bytes read
  bool at_eof_ = false;
  bool terminated_ = false;
  bool overlong_ = false;
  std::string overlong_head_;
};

// Reads every line of the ledger. A missing or inaccessible file is an empty result; an unreadable
// or non-UTF-8 file is Io; a malformed line is MalformedLedgerLine, except a torn last line of a
// file that does not end in a line feed, which comes back as trailing_incomplete. A line longer
// than LedgerLines::max_line_bytes is malformed ("line is longer than 16777216 bytes") by the
// same rules; no memory is set aside in proportion to the file's size beyond a bound.
std::expected<LedgerReadResult, CoreError> read_ledger(const std::filesystem::path& path);

// The same read keeping only the count of entries and the last one's timestamp: memory stays that
// of one line however long the ledger, and every success and failure is read_ledger's.
std::expected<LedgerSummary, CoreError> summarize_ledger(const std::filesystem::path& path);

}  // namespace ledger
}  // namespace tallowmere_core

#pragma once
// Reading a project's append-only ledger, and the lock that serialises appends to it across
// processes (this service and the companion tool).
#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
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

// Reads every line of the ledger. A missing or inaccessible file is an empty result; an unreadable
// or non-UTF-8 file is Io; a malformed line is MalformedLedgerLine, except a torn last line of a
// file that does not end in a line feed, which comes back as trailing_incomplete.
std::expected<LedgerReadResult, CoreError> read_ledger(const std::filesystem::path& path);

}  // namespace ledger
}  // namespace tallowmere_core

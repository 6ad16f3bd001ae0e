#include "checkpoint_ops_tail_repair.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>

#include "console.h"
#include "durable_file.h"
#include "posix.h"
#include "text.h"
#include "unique_fd.h"

namespace tallowmere_cli::checkpoint_ops {

namespace fs = std::filesystem;
using tallowmere_core::CoreError;
using tallowmere_core::IoSource;

namespace {

constexpr std::size_t raw_text_shown = 120;
constexpr std::string_view repair_failed = "failed to repair truncated ledger tail";

// Where the last line feed of the file ends, found by reading back from the end: the torn line
// is short, the ledger before it may be large, and what precedes the cut is never looked at, so
// bytes a dying writer left mid-character cannot stand in the way.
std::expected<off_t, CoreError> end_of_last_whole_line(int fd, off_t size, const fs::path& ledger_file) {
  char block[4096];
  for (off_t end = size; end > 0;) {
    const off_t start = end > static_cast<off_t>(sizeof block) ? end - static_cast<off_t>(sizeof block) : 0;
    const auto wanted = static_cast<std::size_t>(end - start);
    std::size_t got = 0;
    while (got < wanted) {
      const ssize_t n = tallowmere_core::posix::retry_on_eintr(
          [&] { return ::pread(fd, block + got, wanted - got, start + static_cast<off_t>(got)); });
      if (n < 0) return std::unexpected(CoreError::io(ledger_file, errno));
      if (n == 0) break;
      got += static_cast<std::size_t>(n);
    }
    if (got < wanted) return std::unexpected(CoreError::io(ledger_file, IoSource::from_message("failed to fill whole buffer")));
    if (const auto feed = std::string_view(block, wanted).rfind('\n'); feed != std::string_view::npos)
      return start + static_cast<off_t>(feed) + 1;
    end = start;
  }
  return 0;
}

// The warning for `torn` goes out only once a line to cut has been found: a file that ends in a
// line feed by now has nothing to discard.
std::expected<void, CoreError> cut_after_last_line_feed(const fs::path& ledger_file,
                                                        const tallowmere_core::TrailingIncomplete& torn) {
  auto opened = tallowmere_core::posix::open_regular_file(ledger_file, O_RDWR);
  if (!opened) return std::unexpected(CoreError::io(ledger_file, std::move(opened).error()));
  tallowmere_core::UniqueFd file = std::move(opened->fd);
  const auto size = static_cast<off_t>(opened->size);
  if (size == 0) return {};
  auto cut = end_of_last_whole_line(file.get(), size, ledger_file);
  if (!cut) return std::unexpected(std::move(cut.error()));
  if (*cut == size) return {};
  console::err(torn_line_warning(torn));
  if (tallowmere_core::posix::retry_on_eintr([&] { return ::ftruncate(file.get(), *cut); }) != 0) {
    return std::unexpected(CoreError::io(ledger_file, errno));
  }
  if (auto synced = tallowmere_core::posix::full_sync(file.get(), ledger_file); !synced) return synced;
  if (const int close_error = file.close(); close_error != 0) {
    return std::unexpected(CoreError::io(ledger_file, close_error));
  }
  return {};
}

Status cut_torn_line(const ProjectPaths& paths, const tallowmere_core::TrailingIncomplete& torn) {
  if (auto cut = cut_after_last_line_feed(paths.ledger_file, torn); !cut) {
    return std::unexpected(ErrorChain(cut.error()).context(std::string(repair_failed)));
  }
  return {};
}

}  // namespace

std::string torn_line_warning(const tallowmere_core::TrailingIncomplete& torn) {
  namespace text = tallowmere_core::text;
  // The raw line may hold anything a dying writer left; shown lossily so the warning stays UTF-8.
  const std::string raw = text::escape_control(text::lossy_utf8(torn.raw_line));
  const std::string shown = text::scalar_count(raw) <= raw_text_shown
                                ? raw
                                : std::string(text::first_scalars(raw, raw_text_shown)) + "...";
  return fmt::format(
      "WARNING: ledger.jsonl line {} is incomplete ({}) — this is the signature of a process killed mid-write. "
      "Discarding the partial line and continuing; all prior entries are intact.\n  raw: {}",
      torn.line_number, torn.parse_error, shown);
}

Status repair_ledger_tail(const ProjectPaths& paths, const tallowmere_core::TrailingIncomplete& /*seen_at_load*/) {
  auto lock = tallowmere_core::LedgerLock::acquire(paths.ledger_file);
  if (!lock) return std::unexpected(ErrorChain(lock.error()).context(std::string(repair_failed)));
  // What loading saw may since have been completed by the writer it belonged to; only a line that
  // is still torn now, with every other writer held off, may be cut.
  auto reread = tallowmere_core::ledger::read_ledger(paths.ledger_file);
  if (!reread) return std::unexpected(ErrorChain(reread.error()).context(std::string(repair_failed)));
  if (!reread->trailing_incomplete) return {};
  // The line as it stands now is the one cut, and the one the warning shows.
  return cut_torn_line(paths, *reread->trailing_incomplete);
}

Status repair_ledger_tail_under_lock(const ProjectPaths& paths, const tallowmere_core::TrailingIncomplete& torn) {
  return cut_torn_line(paths, torn);
}

}  // namespace tallowmere_cli::checkpoint_ops

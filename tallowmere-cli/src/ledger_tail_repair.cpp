#include "ledger_tail_repair.h"

#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

#include <fmt/format.h>

#include "console.h"
#include "durable_file.h"
#include "platform/eintr.h"
#include "text.h"
#include "unique_fd.h"

namespace tallowmere_cli::cmd_watch {

namespace fs = std::filesystem;
using tallowmere_core::CoreError;

namespace {

constexpr std::size_t raw_text_shown = 120;
constexpr std::string_view repair_failed = "failed to repair truncated ledger tail";

std::expected<void, CoreError> cut_after_last_line_feed(const fs::path& ledger_file) {
  auto text = tallowmere_core::durable_file::read_text_file(ledger_file);
  if (!text) return std::unexpected(text.error());
  if (text->empty() || text->back() == '\n') return {};
  const auto last_line_feed = text->rfind('\n');
  const off_t cut = last_line_feed == std::string::npos ? 0 : static_cast<off_t>(last_line_feed + 1);

  tallowmere_core::UniqueFd file(
      platform::retry_on_eintr([&] { return ::open(ledger_file.c_str(), O_WRONLY | O_CLOEXEC); }));
  if (!file) return std::unexpected(CoreError::io(ledger_file, errno));
  if (platform::retry_on_eintr([&] { return ::ftruncate(file.get(), cut); }) != 0) {
    return std::unexpected(CoreError::io(ledger_file, errno));
  }
  if (auto synced = tallowmere_core::durable_file::full_sync(file.get(), ledger_file); !synced) return synced;
  if (const int close_error = file.close(); close_error != 0) {
    return std::unexpected(CoreError::io(ledger_file, close_error));
  }
  return {};
}

Status cut_torn_line(const ProjectPaths& paths) {
  if (auto cut = cut_after_last_line_feed(paths.ledger_file); !cut) {
    return std::unexpected(ErrorChain(cut.error()).context(std::string(repair_failed)));
  }
  return {};
}

}  // namespace

std::string torn_line_warning(const tallowmere_core::TrailingIncomplete& torn) {
  namespace text = tallowmere_core::text;
  // The raw line may hold anything a dying writer left; shown lossily so the warning stays UTF-8.
  const std::string raw = text::lossy_utf8(torn.raw_line);
  const std::string shown = text::scalar_count(raw) <= raw_text_shown
                                ? raw
                                : std::string(text::first_scalars(raw, raw_text_shown)) + "...";
  return fmt::format(
      "WARNING: ledger.jsonl line {} is incomplete ({}) — this is the signature of a process killed mid-write. "
      "Discarding the partial line and continuing; all prior entries are intact.\n  raw: {}",
      torn.line_number, torn.parse_error, shown);
}

Status repair_ledger_tail(const ProjectPaths& paths, const tallowmere_core::TrailingIncomplete& torn) {
  console::err(torn_line_warning(torn));

  auto lock = tallowmere_core::LedgerLock::acquire(paths.ledger_file);
  if (!lock) return std::unexpected(ErrorChain(lock.error()).context(std::string(repair_failed)));
  // What loading saw may since have been completed by the writer it belonged to; only a line that
  // is still torn now, with every other writer held off, may be cut.
  auto reread = tallowmere_core::ledger::read_ledger(paths.ledger_file);
  if (!reread) return std::unexpected(ErrorChain(reread.error()).context(std::string(repair_failed)));
  if (!reread->trailing_incomplete) return {};
  return cut_torn_line(paths);
}

Status repair_ledger_tail_under_lock(const ProjectPaths& paths, const tallowmere_core::TrailingIncomplete& torn) {
  console::err(torn_line_warning(torn));
  return cut_torn_line(paths);
}

}  // namespace tallowmere_cli::cmd_watch

#include "ledger.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include "durable_file.h"
#include "text.h"

namespace tallowmere_core {
namespace {

using namespace std::chrono_literals;

constexpr auto kLockRetryInterval = 50ms;
constexpr auto kLockTimeout = 10s;

// The lines of `text`, each a view into it without its line feed. A CR is dropped only directly
// before an LF, so a lone CR at the very end (a torn write) stays in the line for the caller.
std::vector<std::string_view> split_lines(std::string_view text) {
  std::vector<std::string_view> lines;
  // Ledger lines run to about a kilobyte; the guess saves most reallocations.
  lines.reserve(text.size() / 512 + 1);
  const char* cursor = text.data();
  const char* const end = text.data() + text.size();
  while (cursor < end) {
    const auto rest = static_cast<std::size_t>(end - cursor);
    const auto* line_feed = static_cast<const char*>(std::memchr(cursor, '\n', rest));
    if (line_feed == nullptr) {
      lines.emplace_back(cursor, rest);
      break;
    }
    const char* line_end = line_feed;
    if (line_end > cursor && line_end[-1] == '\r') --line_end;
    lines.emplace_back(cursor, static_cast<std::size_t>(line_end - cursor));
    cursor = line_feed + 1;
  }
  return lines;
}

}  // namespace

std::filesystem::path LedgerLock::lock_file_for(const std::filesystem::path& ledger_file) {
  std::filesystem::path lock_file = ledger_file;
  lock_file += ".lock";
  return lock_file;
}

std::expected<LedgerLock, CoreError> LedgerLock::acquire(const std::filesystem::path& ledger_file) {
  const std::filesystem::path lock_file = lock_file_for(ledger_file);
  UniqueFd fd;
  do {
    fd.reset(::open(lock_file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666));
  } while (!fd && errno == EINTR);
  if (!fd) return std::unexpected(CoreError::io(lock_file, errno));

  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) == 0) return LedgerLock(std::move(fd));
    const int error = errno;
    if (error == EINTR) continue;
    if (error != EWOULDBLOCK) return std::unexpected(CoreError::io(lock_file, error));
    if (std::chrono::steady_clock::now() - start >= kLockTimeout) {
      // Read again so that the reported wait covers everything up to the moment of giving up.
      const auto waited = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start);
      return std::unexpected(core_error::LockTimeout{lock_file, waited});
    }
    std::this_thread::sleep_for(kLockRetryInterval);
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

std::expected<LedgerReadResult, CoreError> read_ledger(const std::filesystem::path& path) {
  LedgerReadResult result;
  struct stat metadata {};
  if (::stat(path.c_str(), &metadata) != 0) return result;

  auto text = durable_file::read_text_file(path);
  if (!text) return std::unexpected(std::move(text.error()));
  const std::string_view contents = *text;

  // A writer that died mid-line leaves a file without its final line feed; only then may the
  // last line be torn.
  const bool complete = !contents.empty() && contents.back() == '\n';
  const std::vector<std::string_view> lines = split_lines(contents);
  result.entries.reserve(lines.size());

  for (std::size_t index = 0; index < lines.size(); ++index) {
    const std::string_view line = lines[index];
    if (text::is_blank(line)) continue;
    auto entry = model::read_entry_line(line);
    if (entry) {
      result.entries.push_back(std::move(*entry));
      continue;
    }
    const std::uint64_t line_number = index + 1;
    std::string message = entry.error().to_string();
    if (complete || index + 1 != lines.size()) {
      return std::unexpected(core_error::MalformedLedgerLine{path, line_number, std::move(message)});
    }
    result.trailing_incomplete = TrailingIncomplete{line_number, std::string(line), std::move(message)};
  }
  return result;
}

}  // namespace ledger
}  // namespace tallowmere_core

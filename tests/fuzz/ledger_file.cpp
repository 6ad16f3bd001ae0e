// A whole ledger.jsonl: line splitting, blank lines, carriage returns and the rule for a torn last
// line (one cut inside a character too), compared with a plain model of the same rules built on
// the line reader alone.
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <optional>
#include <vector>

#include "fuzz_support.h"
#include "ledger.h"
#include "text.h"

namespace {

using tallowmere_fuzz::broken;
namespace core = tallowmere_core;

struct Expected {
  std::vector<std::string> entries;  // each as written again
  std::optional<core::TrailingIncomplete> torn;
  std::optional<std::pair<std::uint64_t, std::string>> malformed;  // line number, message
};

Expected model_of(std::string_view text) {
  Expected expected;
  const bool complete = !text.empty() && text.back() == '\n';
  std::vector<std::string_view> lines;
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t feed = text.find('\n', start);
    if (feed == std::string_view::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    std::string_view line = text.substr(start, feed - start);
    if (line.ends_with('\r')) line.remove_suffix(1);
    lines.push_back(line);
    start = feed + 1;
  }
  for (std::size_t i = 0; i < lines.size(); ++i) {
    // Only the last line may end inside a character, and such a line is no blank.
    if (core::text::is_valid_utf8(lines[i]) && core::text::is_blank(lines[i])) continue;
    auto entry = core::model::read_entry_line(lines[i]);
    if (entry) {
      expected.entries.push_back(*core::model::write_entry_line(*entry));
      continue;
    }
    tallowmere_fuzz::check_rejection(lines[i], entry.error());
    if (complete || i + 1 != lines.size()) {
      expected.malformed.emplace(i + 1, entry.error().to_string());
      return expected;
    }
    expected.torn = core::TrailingIncomplete{i + 1, std::string(lines[i]), entry.error().to_string()};
  }
  return expected;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text = tallowmere_fuzz::as_text(data, size);

  // The ledger lives in memory and is opened by path through /proc, as a real one is.
  const int fd = ::memfd_create("ledger.jsonl", MFD_CLOEXEC);
  if (fd < 0) broken("a memory file can be made", std::strerror(errno));
  if (size > 0 && ::write(fd, data, size) != static_cast<ssize_t>(size)) broken("the ledger can be written", "");
  const std::string path = "/proc/self/fd/" + std::to_string(fd);
  auto read = core::ledger::read_ledger(path);
  ::close(fd);

  // A writer cut short inside a character leaves a file that is UTF-8 but for its unfinished end.
  if (!core::text::is_utf8_prefix(text)) {
    if (read || !read.error().is<core::core_error::Io>()) broken("a ledger that is not UTF-8 is an I/O error", "");
    return 0;
  }
  const Expected expected = model_of(text);
  if (expected.malformed) {
    const auto* malformed = read ? nullptr : read.error().get<core::core_error::MalformedLedgerLine>();
    if (!malformed) broken("a malformed line fails the read", expected.malformed->second);
    if (malformed->line != expected.malformed->first || malformed->message != expected.malformed->second) {
      broken("the failure names the malformed line",
             fmt::format("line {}: {} (expected line {}: {})", malformed->line, malformed->message,
                         expected.malformed->first, expected.malformed->second));
    }
    return 0;
  }
  if (!read) broken("a readable ledger reads", read.error().message());
  if (read->entries.size() != expected.entries.size()) {
    broken("every whole line is an entry", fmt::format("{} entries, expected {}", read->entries.size(), expected.entries.size()));
  }
  for (std::size_t i = 0; i < expected.entries.size(); ++i) {
    if (*core::model::write_entry_line(read->entries[i]) != expected.entries[i]) broken("entries come in file order", expected.entries[i]);
  }
  const auto& torn = read->trailing_incomplete;
  if (torn.has_value() != expected.torn.has_value()) broken("only a torn last line is reported as torn", "");
  if (torn && (torn->line_number != expected.torn->line_number || torn->raw_line != expected.torn->raw_line ||
               torn->parse_error != expected.torn->parse_error)) {
    broken("the torn line is reported as it stands", fmt::format("line {}: {}", torn->line_number, torn->parse_error));
  }
  return 0;
}

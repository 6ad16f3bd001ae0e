// RFC 3339 timestamps as ledgers hold them; the last entry's time is parsed to form the next one.
// An accepted text is checked against the C library's own calendar arithmetic (timegm).
#include <cctype>
#include <ctime>

#include "fuzz_support.h"
#include "timestamp.h"

namespace {

int digits(std::string_view text, std::size_t at, std::size_t count) {
  int value = 0;
  for (std::size_t i = at; i < at + count; ++i) value = value * 10 + (text[i] - '0');
  return value;
}

// The instant of an accepted text by a second, independent route: the fields at their fixed
// places, the calendar of timegm, the offset at the end, the first nine fraction digits.
tallowmere_core::timestamp::Instant expected_instant(std::string_view text) {
  std::tm fields{};
  fields.tm_year = digits(text, 0, 4) - 1900;
  fields.tm_mon = digits(text, 5, 2) - 1;
  fields.tm_mday = digits(text, 8, 2);
  fields.tm_hour = digits(text, 11, 2);
  fields.tm_min = digits(text, 14, 2);
  fields.tm_sec = digits(text, 17, 2);  // a leap second 60 carries into the next minute here too
  long long seconds = static_cast<long long>(timegm(&fields));
  const char zone = text.back();
  if (zone != 'Z' && zone != 'z') {
    const std::string_view offset = text.substr(text.size() - 6);
    const int minutes = digits(offset, 1, 2) * 60 + digits(offset, 4, 2);
    seconds -= (offset[0] == '-' ? -minutes : minutes) * 60LL;
  }
  std::uint32_t nanoseconds = 0;
  if (text.size() > 19 && text[19] == '.') {
    std::size_t i = 20;
    for (int place = 0; place < 9; ++place) {
      const bool digit = i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]));
      nanoseconds = nanoseconds * 10 + (digit ? static_cast<std::uint32_t>(text[i] - '0') : 0);
      if (digit) ++i;
    }
  }
  return {std::chrono::sys_seconds(std::chrono::seconds(seconds)), nanoseconds};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  namespace timestamp = tallowmere_core::timestamp;
  using tallowmere_fuzz::broken;

  const std::string_view text = tallowmere_fuzz::as_text(data, size);
  const auto parsed = timestamp::parse_rfc3339(text);
  if (!parsed) return 0;
  if (parsed->instant.nanoseconds > 999'999'999) broken("nanoseconds stay below one second", text);
  if (parsed->instant != expected_instant(text)) {
    broken("the instant agrees with timegm", fmt::format("{} read as {}", text, timestamp::format_rfc3339(*parsed)));
  }

  // The written form reads back as the same timestamp and is written the same way again, except
  // for the one instant past four-digit years that parses: a leap second at the end of 9999.
  const std::string written = timestamp::format_rfc3339(*parsed);
  const auto again = timestamp::parse_rfc3339(written);
  if (!again) {
    if (!written.starts_with("10000-01-01T00:00:00")) broken("a written timestamp reads back", written);
    return 0;
  }
  if (*again != *parsed) broken("a written timestamp reads back as itself", fmt::format("{} -> {}", text, written));
  if (timestamp::format_rfc3339(*again) != written) broken("writing is stable", written);
  return 0;
}

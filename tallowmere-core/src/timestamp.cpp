#include "timestamp.h"

#include <ctime>
#include <fmt/format.h>

namespace tallowmere_core::timestamp {
namespace {

constexpr std::int64_t nanoseconds_per_second = 1'000'000'000;
constexpr std::int64_t seconds_per_day = 86'400;

constexpr std::int64_t floor_div(std::int64_t a, std::int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

// Days since 1970-01-01 of a proleptic Gregorian date, and back (H. Hinnant's algorithms), in
// 64-bit arithmetic so that no representable instant overflows them.
constexpr std::int64_t days_from_civil(std::int64_t year, unsigned month, unsigned day) {
  year -= month <= 2;
  const std::int64_t era = floor_div(year, 400);
  const std::int64_t year_of_era = year - era * 400;
  const std::int64_t day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const std::int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146'097 + day_of_era - 719'468;
}

struct CivilDate {
  std::int64_t year;
  unsigned month;
  unsigned day;
};

constexpr CivilDate civil_from_days(std::int64_t days) {
  days += 719'468;
  const std::int64_t era = floor_div(days, 146'097);
  const std::int64_t day_of_era = days - era * 146'097;
  const std::int64_t year_of_era = (day_of_era - day_of_era / 1460 + day_of_era / 36'524 - day_of_era / 146'096) / 365;
  const std::int64_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const std::int64_t shifted_month = (5 * day_of_year + 2) / 153;
  const auto day = static_cast<unsigned>(day_of_year - (153 * shifted_month + 2) / 5 + 1);
  const auto month = static_cast<unsigned>(shifted_month < 10 ? shifted_month + 3 : shifted_month - 9);
  return {year_of_era + era * 400 + (month <= 2), month, day};
}

constexpr bool is_leap_year(std::int64_t year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

constexpr unsigned days_in_month(std::int64_t year, unsigned month) {
  constexpr unsigned days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && is_leap_year(year) ? 29 : days[month - 1];
}

// Reads exactly `count` ASCII digits at `position`, advancing it; none when any is missing.
std::optional<unsigned> digits(std::string_view text, std::size_t& position, std::size_t count) {
  if (text.size() - position < count) return std::nullopt;
  unsigned value = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const char c = text[position + i];
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  position += count;
  return value;
}

bool take(std::string_view text, std::size_t& position, char expected) {
  if (position >= text.size() || text[position] != expected) return false;
  ++position;
  return true;
}

}  // namespace

Instant Instant::from(std::chrono::sys_time<std::chrono::nanoseconds> time) {
  const std::int64_t count = time.time_since_epoch().count();
  const std::int64_t whole = floor_div(count, nanoseconds_per_second);
  return {std::chrono::sys_seconds(std::chrono::seconds(whole)),
          static_cast<std::uint32_t>(count - whole * nanoseconds_per_second)};
}

Instant Instant::plus(std::chrono::nanoseconds duration) const {
  const std::int64_t total = static_cast<std::int64_t>(nanoseconds) + duration.count() % nanoseconds_per_second;
  const std::int64_t carry = floor_div(total, nanoseconds_per_second);
  return {seconds + std::chrono::seconds(duration.count() / nanoseconds_per_second + carry),
          static_cast<std::uint32_t>(total - carry * nanoseconds_per_second)};
}

Timestamp now_local() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  std::tm local{};
  // localtime_r only fails for a time far outside any calendar; UTC is then the sane reading.
  const long offset_seconds = ::localtime_r(&now.tv_sec, &local) ? local.tm_gmtoff : 0;
  return {Instant{std::chrono::sys_seconds(std::chrono::seconds(now.tv_sec)), static_cast<std::uint32_t>(now.tv_nsec)},
          std::chrono::minutes(offset_seconds / 60)};
}

std::string format_rfc3339(const Timestamp& timestamp) {
  const std::int64_t local_seconds = timestamp.instant.seconds.time_since_epoch().count() +
                                     std::chrono::duration_cast<std::chrono::seconds>(timestamp.offset).count();
  const std::int64_t days = floor_div(local_seconds, seconds_per_day);
  const std::int64_t second_of_day = local_seconds - days * seconds_per_day;
  const CivilDate date = civil_from_days(days);

  std::string text;
  text.reserve(35);
  if (date.year < 0) text += '-';
  fmt::format_to(std::back_inserter(text), "{:04}-{:02}-{:02}T{:02}:{:02}:{:02}",
                 date.year < 0 ? -static_cast<std::uint64_t>(date.year) : static_cast<std::uint64_t>(date.year),
                 date.month, date.day, second_of_day / 3600, second_of_day / 60 % 60, second_of_day % 60);
  const std::uint32_t fraction = timestamp.instant.nanoseconds;
  if (fraction != 0) {
    if (fraction % 1'000'000 == 0)
      fmt::format_to(std::back_inserter(text), ".{:03}", fraction / 1'000'000);
    else if (fraction % 1'000 == 0)
      fmt::format_to(std::back_inserter(text), ".{:06}", fraction / 1'000);
    else
      fmt::format_to(std::back_inserter(text), ".{:09}", fraction);
  }
  const std::int64_t offset = timestamp.offset.count();
  const std::int64_t magnitude = offset < 0 ? -offset : offset;
  fmt::format_to(std::back_inserter(text), "{}{:02}:{:02}", offset < 0 ? '-' : '+', magnitude / 60, magnitude % 60);
  return text;
}

std::optional<Timestamp> parse_rfc3339(std::string_view text) {
  std::size_t p = 0;
  const auto year = digits(text, p, 4);
  if (!year || !take(text, p, '-')) return std::nullopt;
  const auto month = digits(text, p, 2);
  if (!month || !take(text, p, '-')) return std::nullopt;
  const auto day = digits(text, p, 2);
  if (!day) return std::nullopt;
  if (!(take(text, p, 'T') || take(text, p, 't') || take(text, p, ' '))) return std::nullopt;
  const auto hour = digits(text, p, 2);
  if (!hour || !take(text, p, ':')) return std::nullopt;
  const auto minute = digits(text, p, 2);
  if (!minute || !take(text, p, ':')) return std::nullopt;
  const auto second = digits(text, p, 2);
  if (!second) return std::nullopt;

  std::uint32_t nanoseconds = 0;
  if (take(text, p, '.')) {
    const std::size_t first_digit = p;
    std::uint32_t scale = 100'000'000;
    while (p < text.size() && text[p] >= '0' && text[p] <= '9') {
      nanoseconds += static_cast<std::uint32_t>(text[p] - '0') * scale;
      scale /= 10;  // 0 after the ninth digit: later digits are read but add nothing
      ++p;
    }
    if (p == first_digit) return std::nullopt;
  }

  std::int64_t offset_minutes = 0;
  if (take(text, p, 'Z') || take(text, p, 'z')) {
    offset_minutes = 0;
  } else {
    const bool negative = p < text.size() && text[p] == '-';
    if (!(take(text, p, '+') || take(text, p, '-'))) return std::nullopt;
    const auto offset_hours = digits(text, p, 2);
    if (!offset_hours || !take(text, p, ':')) return std::nullopt;
    const auto offset_rest = digits(text, p, 2);
    if (!offset_rest || *offset_hours > 23 || *offset_rest > 59) return std::nullopt;
    offset_minutes = (negative ? -1 : 1) * static_cast<std::int64_t>(*offset_hours * 60 + *offset_rest);
  }
  if (p != text.size()) return std::nullopt;

  if (*month < 1 || *month > 12 || *day < 1 || *day > days_in_month(*year, *month)) return std::nullopt;
  if (*hour > 23 || *minute > 59 || *second > 60) return std::nullopt;

  const std::int64_t local_seconds = days_from_civil(*year, *month, *day) * seconds_per_day + *hour * 3600 +
                                     *minute * 60 + *second;
  const std::int64_t utc_seconds = local_seconds - offset_minutes * 60;
  return Timestamp{Instant{std::chrono::sys_seconds(std::chrono::seconds(utc_seconds)), nanoseconds},
                   std::chrono::minutes(offset_minutes)};
}

}  // namespace tallowmere_core::timestamp

#pragma once
// Local timestamps: an instant together with the UTC offset it is written in, the current local
// time, and RFC 3339 text in both directions.
#include <chrono>
#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tallowmere_core::timestamp {

// An instant to the nanosecond: whole seconds since the Unix epoch (rounded down) plus the
// nanoseconds into that second. Wider than sys_time<nanoseconds> (years 1678 to 2261 only), so
// that every date of a four-digit year, as a ledger may hold it, is represented exactly.
struct Instant {
  std::chrono::sys_seconds seconds{};
  std::uint32_t nanoseconds = 0;  // 0 to 999'999'999

  static Instant from(std::chrono::sys_time<std::chrono::nanoseconds> time);
  Instant plus(std::chrono::nanoseconds duration) const;
  friend auto operator<=>(const Instant&, const Instant&) = default;
};

// A date and time as a ledger writes it: the instant and the UTC offset it is shown in.
// Equality compares both; compare `instant`s to order two timestamps.
struct Timestamp {
  Instant instant;
  std::chrono::minutes offset{0};

  // The instant moved by `duration`, still shown in the same offset.
  Timestamp plus(std::chrono::nanoseconds duration) const { return {instant.plus(duration), offset}; }
  friend bool operator==(const Timestamp&, const Timestamp&) = default;
};

// The current time and the local zone's offset in force at that instant (TZ rules, as
// localtime_r applies them). An offset with seconds, which only old local mean times had, is cut
// to whole minutes.
Timestamp now_local();

// YYYY-MM-DDTHH:MM:SS, then a fraction only when it is not zero (3 digits for whole
// milliseconds, else 6 for whole microseconds, else 9), then the offset as +HH:MM or -HH:MM; a
// zero offset is +00:00, never Z. A year outside 0000-9999 (never parsed, but representable) is
// written with its sign and at least four digits rather than failing.
std::string format_rfc3339(const Timestamp& timestamp);

// Strict RFC 3339: YYYY-MM-DD, a separator T, t or a space, HH:MM:SS, an optional fraction of
// one or more digits (only the first nine count; the rest are cut off), and Z, z or +HH:MM /
// -HH:MM; nothing before or after. Month, day (leap years included), hour 00-23, minute 00-59,
// offset 00:00-23:59 are checked. A leap second (:60) reads as the first second of the next
// minute, so it still sorts after every earlier time of that minute. None for anything else.
std::optional<Timestamp> parse_rfc3339(std::string_view text);

}  // namespace tallowmere_core::timestamp

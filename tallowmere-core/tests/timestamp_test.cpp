#include "timestamp.h"

#include <cstdlib>
#include <ctime>

#include <gtest/gtest.h>

namespace tallowmere_core::timestamp {
namespace {

using namespace std::chrono;

Timestamp at(sys_days day, nanoseconds time_of_day, minutes offset) {
  return {Instant::from(day + time_of_day) , offset};
}

Timestamp parsed(std::string_view text) {
  const auto result = parse_rfc3339(text);
  EXPECT_TRUE(result.has_value()) << text;
  return result.value_or(Timestamp{});
}

TEST(TimestampFormatTest, Cases) {
  constexpr sys_days day = 2026y / December / 9;
  struct Case {
    Timestamp timestamp;
    std::string_view text;
  };
  const Case cases[] = {
      // The instant is UTC; the text shows it in the offset.
      {at(day, 9h, 60min), "2026-12-09T10:00:00+01:00"},
      {at(day, 9h + 1ms, 60min), "2026-12-09T10:00:00.001+01:00"},
      {at(day, 9h + 120ms, 60min), "2026-12-09T10:00:00.120+01:00"},
      {at(day, 9h + 123456us, 60min), "2026-12-09T10:00:00.123456+01:00"},
      {at(day, 9h + 100us, 60min), "2026-12-09T10:00:00.000100+01:00"},
      {at(day, 9h + 123456789ns, 60min), "2026-12-09T10:00:00.123456789+01:00"},
      {at(day, 9h + 1ns, 60min), "2026-12-09T10:00:00.000000001+01:00"},
      {at(day, 9h, 0min), "2026-12-09T09:00:00+00:00"},
      {at(day, 9h, -(5h + 30min)), "2026-12-09T03:30:00-05:30"},
      {at(day, 2h, -(5h + 30min)), "2026-12-08T20:30:00-05:30"},  // the local date is the day before
      {at(2024y / February / 29, 23h + 59min + 59s, 0min), "2024-02-29T23:59:59+00:00"},
      {at(1970y / January / 1, 0s, 0min), "1970-01-01T00:00:00+00:00"},
      {at(1969y / December / 31, 23h + 59min + 59s + 999ms, 0min), "1969-12-31T23:59:59.999+00:00"},
  };
  for (const Case& c : cases) EXPECT_EQ(format_rfc3339(c.timestamp), c.text);
}

TEST(TimestampFormatTest, YearsOutsideFourDigitsStillFormat) {
  const Timestamp last_of_9999 = parsed("9999-12-31T23:59:59Z");
  EXPECT_EQ(format_rfc3339(last_of_9999.plus(1s)), "10000-01-01T00:00:00+00:00");
  const Timestamp first_of_0000 = parsed("0000-01-01T00:00:00Z");
  EXPECT_EQ(format_rfc3339(first_of_0000.plus(-1s)), "-0001-12-31T23:59:59+00:00");
}

TEST(TimestampParseTest, AcceptedForms) {
  struct Case {
    std::string_view text;
    std::string_view formatted;  // as written back in its own offset
  };
  const Case cases[] = {
      {"2026-12-09T10:00:00+01:00", "2026-12-09T10:00:00+01:00"},
      {"2026-12-09T10:00:00Z", "2026-12-09T10:00:00+00:00"},
      {"2026-12-09T10:00:00z", "2026-12-09T10:00:00+00:00"},
      {"2026-12-09t10:00:00Z", "2026-12-09T10:00:00+00:00"},
      {"2026-12-09 10:00:00-00:00", "2026-12-09T10:00:00+00:00"},
      {"2026-12-09T10:00:00.5-05:30", "2026-12-09T10:00:00.500-05:30"},
      {"2026-12-09T10:00:00.000+01:00", "2026-12-09T10:00:00+01:00"},
      {"2026-12-09T10:00:00.1234567891999+02:00", "2026-12-09T10:00:00.123456789+02:00"},  // cut, not rounded
      {"2024-02-29T00:00:00+23:59", "2024-02-29T00:00:00+23:59"},
      {"2000-02-29T00:00:00Z", "2000-02-29T00:00:00+00:00"},
      {"0000-01-01T00:00:00Z", "0000-01-01T00:00:00+00:00"},
      {"9999-12-31T23:59:59.999999999Z", "9999-12-31T23:59:59.999999999+00:00"},
      {"2016-12-31T23:59:60.5Z", "2017-01-01T00:00:00.500+00:00"},  // leap second
  };
  for (const Case& c : cases) EXPECT_EQ(format_rfc3339(parsed(c.text)), c.formatted) << c.text;
}

TEST(TimestampParseTest, RejectedForms) {
  const std::string_view cases[] = {
      "",
      "2026-12-09",                      // date only
      "2026-12-09T10:00:00",             // no offset
      "2026-12-09T10:00",                // no seconds
      "2026-12-09T10:00:00+01:00 ",      // trailing blank
      "2026-12-09T10:00:00+01:00x",      // trailing text
      "2026-12-09T10:00:00Zz",
      " 2026-12-09T10:00:00Z",           // leading blank
      "2026-12-09_10:00:00Z",            // bad separator
      "2026-12-09T10:00:00.Z",           // point without digits
      "2026-12-09T10:00:00+0100",        // offset without colon
      "2026-12-09T10:00:00+01",
      "2026-12-09T10:00:00+24:00",
      "2026-12-09T10:00:00+01:60",
      "2026-13-09T10:00:00Z",
      "2026-00-09T10:00:00Z",
      "2026-12-00T10:00:00Z",
      "2026-04-31T10:00:00Z",
      "2026-02-29T10:00:00Z",            // not a leap year
      "1900-02-29T10:00:00Z",            // century, not a leap year
      "2026-12-09T24:00:00Z",
      "2026-12-09T10:60:00Z",
      "2026-12-09T10:00:61Z",
      "26-12-09T10:00:00Z",
      "+2026-12-09T10:00:00Z",
      "2026-1-09T10:00:00Z",
      "2026-12-09T10:00:00\xC2\xA0Z",
  };
  for (std::string_view text : cases) EXPECT_FALSE(parse_rfc3339(text).has_value()) << '"' << text << '"';
}

TEST(TimestampTest, NextEntryIsOneMillisecondLaterInThePreviousOffset) {
  struct Case {
    std::string_view previous;
    std::string_view next;
  };
  const Case cases[] = {
      {"2026-12-09T10:00:00+01:00", "2026-12-09T10:00:00.001+01:00"},
      {"2026-12-09T10:00:00.123456789+02:00", "2026-12-09T10:00:00.124456789+02:00"},
      {"2026-12-09T10:00:00Z", "2026-12-09T10:00:00.001+00:00"},
      {"2026-12-31T23:59:59.999-08:00", "2027-01-01T00:00:00-08:00"},
  };
  for (const Case& c : cases) EXPECT_EQ(format_rfc3339(parsed(c.previous).plus(1ms)), c.next);
}

TEST(TimestampTest, InstantsOrderAcrossOffsets) {
  // The same instant in two offsets, and one a nanosecond later.
  const Timestamp a = parsed("2026-12-09T10:00:00+01:00");
  const Timestamp b = parsed("2026-12-09T04:00:00-05:00");
  const Timestamp c = parsed("2026-12-09T09:00:00.000000001Z");
  EXPECT_EQ(a.instant, b.instant);
  EXPECT_NE(a, b);  // the offset is part of the timestamp
  EXPECT_LT(b.instant, c.instant);
  EXPECT_EQ(Instant::from(sys_days(2026y / December / 9) + 9h), a.instant);
}

TEST(TimestampTest, InstantArithmeticCarriesAcrossSeconds) {
  const Instant base = Instant::from(sys_days(2026y / January / 1) + 999'999'999ns);
  EXPECT_EQ(base.plus(1ns), Instant::from(sys_days(2026y / January / 1) + 1s));
  EXPECT_EQ(base.plus(-1'000'000'000ns), Instant::from(sys_days(2025y / December / 31) + 23h + 59min + 59s + 999'999'999ns));
  EXPECT_EQ(Instant::from(sys_time<nanoseconds>(-1ns)).nanoseconds, 999'999'999u);
  EXPECT_EQ(Instant::from(sys_time<nanoseconds>(-1ns)).seconds.time_since_epoch(), -1s);
}

TEST(TimestampTest, RoundTripsThroughText) {
  for (std::int64_t step = 0; step < 2'000; ++step) {
    // Spread over more than a century, with odd fractions and offsets on both sides of UTC.
    const Timestamp original{
        Instant::from(sys_days(1900y / January / 1) + step * 63'113'904'001'037ns + step * 7ns),
        minutes((step * 37) % (24 * 60) - 12 * 60)};
    const std::string text = format_rfc3339(original);
    const auto back = parse_rfc3339(text);
    ASSERT_TRUE(back.has_value()) << text;
    EXPECT_EQ(*back, original) << text;
  }
}

// Replaces TZ for one test and puts the old value back.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* zone) {
    if (const char* old = std::getenv("TZ")) old_ = old;
    ::setenv("TZ", zone, 1);
    ::tzset();
  }
  ~ScopedTimeZone() {
    if (old_) ::setenv("TZ", old_->c_str(), 1); else ::unsetenv("TZ");
    ::tzset();
  }

 private:
  std::optional<std::string> old_;
};

TEST(TimestampTest, NowLocalCarriesTheZonesOffset) {
  struct Case {
    const char* zone;  // POSIX TZ rules, so no zone database is needed
    minutes offset;
    std::string_view suffix;
  };
  const Case cases[] = {{"UTC0", 0min, "+00:00"}, {"IST-5:30", 330min, "+05:30"}, {"NST3:30", -210min, "-03:30"}};
  for (const Case& c : cases) {
    ScopedTimeZone zone(c.zone);
    const auto before = Instant::from(system_clock::now());
    const Timestamp now = now_local();
    // The clock may count in coarser steps than the nanoseconds of now_local() (libc++'s counts
    // microseconds): the step after it is the earliest bound that holds.
    const auto after = Instant::from(system_clock::now() + system_clock::duration(1));
    EXPECT_EQ(now.offset, c.offset) << c.zone;
    EXPECT_LE(before, now.instant);
    EXPECT_LE(now.instant, after);
    const std::string text = format_rfc3339(now);
    EXPECT_TRUE(text.ends_with(c.suffix)) << text;
    EXPECT_EQ(parse_rfc3339(text), now) << text;
  }
}

}  // namespace
}  // namespace tallowmere_core::timestamp

#include <clocale>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "json/reader.h"

// The hardest texts a double can be read from: where rounding, the subnormal range and the ends of
// the exponent range decide, and where a reader that stops after some digits or trusts the
// process locale would go wrong. A double surfaces in what the reader says about a number where an
// integer was expected: its shortest digits, which name exactly one double.
namespace tallowmere_core::json {
namespace {

// The decimal digits of factor * base^exponent.
std::string power_digits(unsigned base, unsigned exponent, std::uint64_t factor = 1) {
  std::vector<std::uint64_t> reversed{1};
  const auto multiply = [&](std::uint64_t by) {
    std::uint64_t carry = 0;
    for (auto& digit : reversed) {
      const std::uint64_t product = digit * by + carry;
      digit = product % 10;
      carry = product / 10;
    }
    for (; carry != 0; carry /= 10) reversed.push_back(carry % 10);
  };
  for (unsigned i = 0; i < exponent; ++i) multiply(base);
  multiply(factor);
  std::string digits;
  for (auto it = reversed.rbegin(); it != reversed.rend(); ++it) digits += static_cast<char>('0' + *it);
  return digits;
}

std::string zeros(std::size_t count) { return std::string(count, '0'); }

// Exactly halfway between the largest double and 2^1024: (2^54 - 1) * 2^970, 309 digits.
const std::string halfway_above_max = power_digits(2, 970, (std::uint64_t{1} << 54) - 1);
// Exactly half the smallest subnormal, 2^-1075 = 5^1075 / 10^1075: 752 significant digits.
const std::string half_min_subnormal = "0." + zeros(1075 - power_digits(5, 1075).size()) + power_digits(5, 1075);
const std::string just_below_halfway_above_max = halfway_above_max.substr(0, halfway_above_max.size() - 1) + "1";

// What the reader says about `number` where a u64 is expected.
std::string said_about(const std::string& number) {
  Reader reader(number);
  std::uint64_t value = 0;
  if (reader.read_unsigned(value, UINT64_MAX, "u64")) return "read " + std::to_string(value);
  return reader.error().description;
}

std::string found(const std::string& shown) { return "invalid type: floating point `" + shown + "`, expected u64"; }
constexpr const char* out_of_range = "number out of range";
const std::string largest = "17976931348623157" + zeros(292);
const std::string smallest_subnormal = "0." + zeros(323) + "5";

struct HardNumber {
  const char* label;
  std::string text;
  std::string said;
};

const std::vector<HardNumber> hard_numbers = {
    {"Overflow", "1e400", out_of_range},
    {"NegativeOverflow", "-1e400", out_of_range},
    {"OverflowJustPastTheLargest", "1e309", out_of_range},
    {"ExponentBeyondAnyInteger", "1e99999999999999999999", out_of_range},
    {"EightHundredDigitInteger", "1" + zeros(800), out_of_range},
    {"Underflow", "1e-400", found("0")},
    {"NegativeUnderflow", "-1e-400", found("-0")},
    {"NegativeExponentBeyondAnyInteger", "1e-99999999999999999999", found("0")},
    {"ZeroWithHugeExponent", "0e400", found("0")},
    {"NegativeZero", "-0", found("-0")},
    {"NegativeZeroFraction", "-0.0e-400", found("-0")},
    {"Largest", "1.7976931348623157e308", found(largest)},
    {"RoundsDownToTheLargest", "1.7976931348623158e308", found(largest)},
    {"RoundsUpPastTheLargest", "1.7976931348623159e308", out_of_range},
    {"HalfwayAboveTheLargestRoundsToEvenPastIt", halfway_above_max, out_of_range},
    {"JustBelowHalfwayAboveTheLargest", just_below_halfway_above_max, found(largest)},
    {"NegativeLargest", "-1.7976931348623157e308", found("-" + largest)},
    {"SmallestNormal", "2.2250738585072014e-308", found("0." + zeros(307) + "22250738585072014")},
    {"RoundsUpToTheSmallestNormal", "2.2250738585072012e-308", found("0." + zeros(307) + "22250738585072014")},
    {"LargestSubnormal", "2.2250738585072011e-308", found("0." + zeros(307) + "2225073858507201")},
    {"SmallestSubnormal", "4.9406564584124654e-324", found(smallest_subnormal)},
    {"SmallestSubnormalShortest", "5e-324", found(smallest_subnormal)},
    {"AboveHalfTheSmallestSubnormal", "2.4703282292062328e-324", found(smallest_subnormal)},
    {"BelowHalfTheSmallestSubnormal", "2.4703282292062327e-324", found("0")},
    {"ExactlyHalfTheSmallestSubnormalRoundsToZero", half_min_subnormal, found("0")},
    {"OneDigitPastHalfTheSmallestSubnormal", half_min_subnormal + "1", found(smallest_subnormal)},
    {"NegativeOneDigitPastHalfTheSmallestSubnormal", "-" + half_min_subnormal + "1", found("-" + smallest_subnormal)},
    {"SubnormalMidRange", "1.23456789e-320", found("0." + zeros(319) + "12347")},
    {"HalfwayAfterOneRoundsToEven", "1.00000000000000011102230246251565404236316680908203125", found("1")},
    {"PastHalfwayAfterOneByTheEightHundredthDigit",
     "1.00000000000000011102230246251565404236316680908203125" + zeros(800) + "1", found("1.0000000000000002")},
    {"EightHundredNines", "0." + std::string(800, '9'), found("1")},
    {"LeadingZerosCancelledByExponent", "0." + zeros(400) + "1e400", found("0.1")},
    {"TrailingZerosCancelledByExponent", "1" + zeros(400) + "e-400", found("1")},
    {"SeventeenDigitsTiesToEven", "9007199254740993.0", found("9007199254740992")},
    {"SeventeenDigitsTiesToEvenUpward", "9007199254740995.0", found("9007199254740996")},
    {"ThirtyDigitInteger", "123456789012345678901234567890", found("123456789012345680000000000000")},
    {"JustAboveU64", "18446744073709551616", found("18446744073709552000")},
    {"JustBelowI64", "-9223372036854775809", found("-9223372036854776000")},
    {"SumThatIsNotATenth", "0.30000000000000004", found("0.30000000000000004")},
    {"Tenth", "0.1", found("0.1")},
    {"CapitalExponent", "2.5E-3", found("0.0025")},
    {"PlusExponent", "1e+5", found("100000")},
};

class HardNumbers : public testing::TestWithParam<HardNumber> {};

TEST_P(HardNumbers, ReadAsTheNearestDoubleOrOutOfRange) { EXPECT_EQ(said_about(GetParam().text), GetParam().said); }

// A locale whose decimal separator is a comma must not change what a JSON number means.
// (scripts/libcxx makes de_DE.UTF-8 where the system has none.)
TEST_P(HardNumbers, SameUnderALocaleWithADecimalComma) {
  const std::string previous = std::setlocale(LC_ALL, nullptr);
  bool comma = false;
  for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8"}) {
    if (std::setlocale(LC_ALL, name) != nullptr && std::string_view(std::localeconv()->decimal_point) == ",") {
      comma = true;
      break;
    }
  }
  const std::string said = said_about(GetParam().text);
  std::setlocale(LC_ALL, previous.c_str());
  if (!comma) GTEST_SKIP() << "no locale with a decimal comma is installed";
  EXPECT_EQ(said, GetParam().said);
}

INSTANTIATE_TEST_SUITE_P(Double, HardNumbers, testing::ValuesIn(hard_numbers),
                         [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace tallowmere_core::json

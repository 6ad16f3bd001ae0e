#include "json/canonical.h"

#include <bit>
#include <cstdint>
#include <limits>
#include <string>

#include <gtest/gtest.h>

namespace tallowmere_core::json {
namespace {

// RFC 8785 Appendix B: IEEE 754 bit patterns and the text ECMAScript writes for them, plus a few
// of ECMAScript's boundaries between plain and exponent notation.
TEST(EcmascriptNumber, MatchesTheKnownForms) {
  struct Case {
    std::uint64_t bits;
    const char* text;
  };
  const Case cases[] = {
      {0x0000000000000000, "0"},
      {0x8000000000000000, "0"},
      {0x0000000000000001, "5e-324"},
      {0x8000000000000001, "-5e-324"},
      {0x7fefffffffffffff, "1.7976931348623157e+308"},
      {0xffefffffffffffff, "-1.7976931348623157e+308"},
      {0x4340000000000000, "9007199254740992"},
      {0xc340000000000000, "-9007199254740992"},
      {0x4430000000000000, "295147905179352830000"},
      {0x44b52d02c7e14af5, "9.999999999999997e+22"},
      {0x44b52d02c7e14af6, "1e+23"},
      {0x44b52d02c7e14af7, "1.0000000000000001e+23"},
      {0x444b1ae4d6e2ef4e, "999999999999999700000"},
      {0x444b1ae4d6e2ef4f, "999999999999999900000"},
      {0x444b1ae4d6e2ef50, "1e+21"},
      {0x3eb0c6f7a0b5ed8c, "9.999999999999997e-7"},
      {0x3eb0c6f7a0b5ed8d, "0.000001"},
      {0x41b3de4355555553, "333333333.3333332"},
      {0x41b3de4355555554, "333333333.33333325"},
      {0x41b3de4355555555, "333333333.3333333"},
      {0x41b3de4355555556, "333333333.3333334"},
      {0x41b3de4355555557, "333333333.33333343"},
      {0xbecbf647612f3696, "-0.0000033333333333333333"},
      {0x43143ff3c1cb0959, "1424953923781206.2"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ecmascript_number(std::bit_cast<double>(c.bits)), c.text) << std::hex << c.bits;
  }
  struct Plain {
    double value;
    const char* text;
  };
  const Plain plain[] = {
      {1e21, "1e+21"},   {1e20, "100000000000000000000"}, {0.000001, "0.000001"}, {1e-7, "1e-7"},
      {0.1 + 0.2, "0.30000000000000004"}, {1.5, "1.5"}, {-0.5, "-0.5"}, {100, "100"}, {123e-20, "1.23e-18"},
  };
  for (const auto& c : plain) EXPECT_EQ(ecmascript_number(c.value), c.text) << c.value;
}

TEST(Canonical, UnsignedIntegersBecomeTheNearestDouble) {
  struct Case {
    std::uint64_t value;
    const char* text;
  };
  const Case cases[] = {
      {0, "0"},
      {9007199254740992u, "9007199254740992"},
      {9007199254740993u, "9007199254740992"},
      {18446744073709551615u, "18446744073709552000"},
  };
  for (const auto& c : cases) EXPECT_EQ(write_canonical(Value(c.value)), c.text) << c.value;
}

TEST(Canonical, SortsKeysByUtf16CodeUnits) {
  Value object = Value::object();
  // U+1F600 is a surrogate pair (D83D DE00) and so sorts before U+E000, although its UTF-8
  // bytes sort after.
  for (const char* key : {"b", "\xEE\x80\x80", "a", "_", "\xF0\x9F\x98\x80", "A", "\xC3\xA9", "aa", "a_"}) {
    object[key] = 1;
  }
  object["nested"] = Value::object({{"z", nullptr}, {"y", Value::array({3, 1, 2})}});
  EXPECT_EQ(write_canonical(object),
            R"({"A":1,"_":1,"a":1,"a_":1,"aa":1,"b":1,"nested":{"y":[3,1,2],"z":null},)"
            "\"\xC3\xA9\":1,\"\xF0\x9F\x98\x80\":1,\"\xEE\x80\x80\":1}");
}

TEST(Canonical, EscapesStringsMinimally) {
  const std::string text = std::string("\0\x1f\b\t\n\f\r\"\\/\x7f", 11) + "\xC3\xA9\xE2\x80\xA8";
  EXPECT_EQ(write_canonical(Value(text)), "\"\\u0000\\u001f\\b\\t\\n\\f\\r\\\"\\\\/\x7f\xC3\xA9\xE2\x80\xA8\"");
  EXPECT_EQ(write_canonical(Value::array({true, false, nullptr, Value::object()})), "[true,false,null,{}]");
}

TEST(Canonical, RefusesWhatHasNoCanonicalForm) {
  EXPECT_FALSE(write_canonical(Value("bad\xFF")));
  EXPECT_FALSE(write_canonical(Value::object({{"k\xC3", 1}})));
  EXPECT_FALSE(write_canonical(Value(std::numeric_limits<double>::infinity())));
}

}  // namespace
}  // namespace tallowmere_core::json

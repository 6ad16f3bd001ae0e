#include "text.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace tallowmere_core::text {
namespace {

using namespace std::string_literals;

TEST(EscapeControlTest, ControlCharactersAreEscapedAndEverythingElseKept) {
  struct Case {
    std::string text;
    std::string expected;
  };
  const std::vector<Case> cases{
      {"Song.rpp", "Song.rpp"},
      {R"(C:\songs\é ♫ "quoted")", R"(C:\songs\é ♫ "quoted")"},
      {"evil\n[2030-01-01T00:00:00+00:00] SessionSave files=Forged.rpp\nx.rpp",
       R"(evil\n[2030-01-01T00:00:00+00:00] SessionSave files=Forged.rpp\nx.rpp)"},
      {"\x1b[31mred\x1b[0m", R"(\u001b[31mred\u001b[0m)"},
      {"a\tb\rc\bd\fe", R"(a\tb\rc\bd\fe)"},
      {"nul\0here\x7f\x1f"s, R"(nul\u0000here\u007f\u001f)"},
  };
  for (const Case& c : cases) EXPECT_EQ(escape_control(c.text), c.expected) << c.expected;
}

TEST(EscapeControlTest, PathsAreShownLossilyAndOnOneLine) {
  EXPECT_EQ(display("/songs/a\nb\xff.rpp"), "/songs/a\\nb\xEF\xBF\xBD.rpp");
}

// Beyond C0 and DEL, a log reader or terminal takes C1 controls (NEL breaks the line, CSI starts
// an escape sequence), the line and paragraph separators and the bidirectional controls (which
// reorder what follows) as more than text.
TEST(EscapeControlTest, C1LineSeparatorsAndBidirectionalControlsAreEscaped) {
  struct Case {
    std::string text;
    std::string expected;
  };
  const std::vector<Case> cases{
      {"a\u0080b", R"(a\u0080b)"},
      {"evil\u0085[2030-01-01T00:00:00+00:00] SessionSave files=Forged.rpp",
       R"(evil\u0085[2030-01-01T00:00:00+00:00] SessionSave files=Forged.rpp)"},
      {"\u009b31mred", R"(\u009b31mred)"},
      {"\u009f", R"(\u009f)"},
      {"line\u2028next\u2029para", R"(line\u2028next\u2029para)"},
      {"\u202a\u202b\u202c\u202d\u202e", R"(\u202a\u202b\u202c\u202d\u202e)"},
      {"Song\u2066\u2067\u2068\u2069.rpp", R"(Song\u2066\u2067\u2068\u2069.rpp)"},
      {"mix\u202Eppr.exe", R"(mix\u202eppr.exe)"},
      {"\n\u0085\x7f", R"(\n\u0085\u007f)"},
      // Their neighbours are text and stay as they are.
      {"\u00a0\u00e9 \u2027\u2030\u202f\u2065", "\u00a0\u00e9 \u2027\u2030\u202f\u2065"},
      {"\U0001F3B5 Beat.als", "\U0001F3B5 Beat.als"},
  };
  for (const Case& c : cases) EXPECT_EQ(escape_control(c.text), c.expected) << c.expected;
}

// Bytes that are not UTF-8 are shown as U+FFFD, as in a path, so no spelling of a control that a
// lenient decoder might still take for one (a lone C1 byte, an overlong or cut sequence) reaches
// the console.
TEST(EscapeControlTest, BytesThatAreNotUtf8CannotSmuggleAControlThrough) {
  const std::string replacement = "\xEF\xBF\xBD";
  struct Case {
    const char* name;
    std::string text;
    std::string expected;
  };
  const std::vector<Case> cases{
      {"lone C1 byte", "a\x85z", "a" + replacement + "z"},
      {"lone CSI byte", "\x9b" "31m", replacement + "31m"},
      {"overlong NEL", "a\xC1\x85z", "a" + replacement + replacement + "z"},
      {"three-byte overlong NEL", "a\xE0\x82\x85z", "a" + replacement + replacement + replacement + "z"},
      {"line separator cut short", "a\xE2\x80z", "a" + replacement + "z"},
      {"lead byte before a real NEL", "\xC2\xC2\x85", replacement + R"(\u0085)"},
      {"encoded surrogate", "\xED\xA0\x80", replacement + replacement + replacement},
      {"invalid byte beside a C0 control", "\xff\n", replacement + R"(\n)"},
  };
  for (const Case& c : cases) EXPECT_EQ(escape_control(c.text), c.expected) << c.name;
  EXPECT_EQ(display("/songs/\xC2\x85\x85.rpp"), "/songs/\\u0085" + replacement + ".rpp");
}

TEST(EscapeControlTest, EscapingTwiceChangesNothingMore) {
  for (const std::string text : {"a\nb", "evil\u0085x", "\u202e\x85", "C:\\u0085"}) {
    const std::string once = escape_control(text);
    EXPECT_EQ(escape_control(once), once) << once;
  }
}

}  // namespace
}  // namespace tallowmere_core::text

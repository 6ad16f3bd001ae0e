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

}  // namespace
}  // namespace tallowmere_core::text

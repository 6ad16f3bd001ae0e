#include "record_file.h"

#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "model.h"

namespace tallowmere_core::record_file {
namespace {

std::string repeat(std::string_view part, std::size_t times) {
  std::string out;
  for (std::size_t i = 0; i < times; ++i) out += part;
  return out;
}

struct Splice {
  const char* name;
  std::string document;
  std::vector<Step> path;
  std::string value;
  std::optional<std::string> expected;  // none: refused
  std::string refusal = {};             // part of the refusal's text
};

constexpr Step n{"n", 1};
constexpr Step r{"r", 0};

TEST(WithMember, ChangesOnlyTheOwnedValueOrAddsItLaidOutLikeItsNeighbours) {
  const std::string odd_values =
      R"("s":"\ud83d","big":1e400,"wide":123456789012345678901234567890,"deep":)" + repeat("[", 200) + repeat("]", 200);
  const std::vector<Splice> cases{
      {"present, compact", R"({"a":1,"n":0,"z":[1]})", {n}, "7", R"({"a":1,"n":7,"z":[1]})"},
      {"present, null to text", R"({"n":null})", {n}, R"("ab")", R"({"n":"ab"})"},
      {"present, odd white space", "{\n  \"a\" : 1 ,\n\t\"n\"  :\r\n 0 \n}", {n}, "7",
       "{\n  \"a\" : 1 ,\n\t\"n\"  :\r\n 7 \n}"},
      {"present, key written with an escape", R"({"\u006e":0})", {n}, "7", R"({"\u006e":7})"},
      {"present among values no typed read would take", "{" + odd_values + R"(,"n":0})", {n}, "7",
       "{" + odd_values + R"(,"n":7})"},
      {"absent, pretty", "{\n  \"a\": 1,\n  \"b\": {\"x\": 2}\n}", {n}, "5",
       "{\n  \"a\": 1,\n  \"b\": {\"x\": 2},\n  \"n\": 5\n}"},
      {"absent, after a single member", "{\n    \"a\" :1\n}", {n}, "5", "{\n    \"a\" :1,\n    \"n\" :5\n}"},
      {"absent, compact", R"({"a":1})", {n}, "5", R"({"a":1,"n":5})"},
      {"absent, empty object", R"( { } )", {n}, "5", R"( {"n": 5 } )"},
      {"nested, the same key elsewhere untouched", R"({"n":3,"r":{"x":{"n":1},"n":null},"q":{"n":2}})", {r, n}, "9",
       R"({"n":3,"r":{"x":{"n":1},"n":9},"q":{"n":2}})"},
      {"nested, absent", "{\"r\": {\n  \"s\": true\n}, \"n\": 3}", {r, n}, "9",
       "{\"r\": {\n  \"s\": true,\n  \"n\": 9\n}, \"n\": 3}"},
      {"array form, by place", R"(["a", 1, 2])", {n}, "9", R"(["a", 9, 2])"},
      {"array form inside an object", R"({"r":[true,null,[]]})", {r, n}, "9", R"({"r":[true,9,[]]})"},
      {"refused: owned key twice", R"({"n":1,"n":2})", {n}, "7", std::nullopt, "`n` stands twice"},
      {"refused: object on the way twice", R"({"r":{},"r":{}})", {r, n}, "7", std::nullopt, "`r` stands twice"},
      {"refused: object on the way absent", R"({"a":{}})", {r, n}, "7", std::nullopt, "holds no `r`"},
      {"refused: no container on the way", R"({"r":5})", {r, n}, "7", std::nullopt, "no object for `n`"},
      {"refused: array too short", R"(["a"])", {n}, "7", std::nullopt, "no element for `n`"},
  };
  for (const Splice& c : cases) {
    SCOPED_TRACE(c.name);
    const auto spliced = with_member(c.document, c.path, c.value);
    if (c.expected) {
      ASSERT_TRUE(spliced) << spliced.error();
      EXPECT_EQ(*spliced, *c.expected);
    } else {
      ASSERT_FALSE(spliced) << *spliced;
      EXPECT_NE(spliced.error().find(c.refusal), std::string::npos) << spliced.error();
    }
  }
}

// The steps come from the record descriptions, so a field's place in the array form is never
// typed twice.
TEST(WithMember, StepsNameTheFieldsKeyAndPlace) {
  constexpr Step sequence = step<WorkManifest>("current_sequence");
  static_assert(sequence.key == "current_sequence" && sequence.position == 6);
  constexpr Step milestone = step<RetentionPolicy>("last_notified_milestone_gb");
  static_assert(milestone.position == 4);
  const std::string manifest = R"(["1","w",null,"t",[],null,0])";
  EXPECT_EQ(with_member(manifest, std::array{sequence}, "3").value(), R"(["1","w",null,"t",[],null,3])");
}

}  // namespace
}  // namespace tallowmere_core::record_file

#include <gtest/gtest.h>

#include "json/document.h"
#include "model.h"

namespace tallowmere_core {
namespace {

std::expected<WorkManifest, JsonError> read_manifest(std::string_view text) {
  return json::read_document<WorkManifest>(text);
}

TEST(ManifestReadTest, ObjectAndArrayFormsReadAlike) {
  struct Case {
    const char* name;
    std::string_view text;
  };
  const Case cases[] = {
      {"object in another order with an unknown key",
       R"({"current_sequence":3,"extra":{"nested":[1,{"x":null}]},"contributors":[{"key_created_at":"k",)"
       R"("public_key":"pk","display_name":"Alice","contributor_id":"alice","device_label":"Mac"}],)"
       R"("created_at":"t","work_id":"w1","schema_version":"1.0"})"},
      {"array form", R"(["1.0","w1",null,"t",[["alice","Alice","pk","k","Mac"]],null,3])"},
      {"array form, contributor with six elements",
       R"( ["1.0", "w1", null, "t", [["alice", "Alice", "pk", "k", "Mac", null]], null, 3] )"},
  };
  for (const Case& c : cases) {
    auto manifest = read_manifest(c.text);
    ASSERT_TRUE(manifest) << c.name << ": " << manifest.error().to_string();
    EXPECT_EQ(manifest->schema_version, "1.0") << c.name;
    EXPECT_EQ(manifest->work_id, "w1") << c.name;
    EXPECT_FALSE(manifest->title) << c.name;
    EXPECT_FALSE(manifest->current_head_hash) << c.name;
    EXPECT_EQ(manifest->current_sequence, 3u) << c.name;
    ASSERT_EQ(manifest->contributors.size(), 1u) << c.name;
    const Contributor& alice = manifest->contributors[0];
    EXPECT_EQ(alice.contributor_id, "alice") << c.name;
    EXPECT_EQ(alice.key_created_at, "k") << c.name;
    EXPECT_EQ(alice.device_label, "Mac") << c.name;
    EXPECT_FALSE(alice.key_backed_up_at) << c.name;
  }
}

TEST(ManifestReadTest, SixthContributorElementIsKeyBackedUpAt) {
  auto manifest = read_manifest(R"(["1","w",null,"t",[["a","A","pk","k",null,"2024-02-02"]],"head",18446744073709551615])");
  ASSERT_TRUE(manifest) << manifest.error().to_string();
  EXPECT_EQ(manifest->contributors.at(0).key_backed_up_at, "2024-02-02");
  EXPECT_FALSE(manifest->contributors.at(0).device_label);
  EXPECT_EQ(manifest->current_head_hash, "head");
  EXPECT_EQ(manifest->current_sequence, 18446744073709551615u);
}

TEST(ManifestReadTest, RejectsWhatTheRulesRefuse) {
  struct Case {
    std::string_view text;
    std::string_view error;  // the description, before " at line 1 column N"
  };
  const Case cases[] = {
      {R"(["1","w",null,"t",[["a","A","pk","k"]],null,3])", "invalid length 4, expected struct Contributor with 6 elements"},
      {R"(["1","w",null,"t",[["a","A","pk","k",null,"b",1]],null,3])", "trailing characters"},
      {R"(["1","w",null,"t",[],null])", "invalid length 6, expected struct WorkManifest with 7 elements"},
      {R"(["1","w",null,"t",[],null,1,2])", "trailing characters"},
      {R"({"schema_version":"1","created_at":"t","contributors":[]})", "missing field `work_id`"},
      {R"({"schema_version":"1","work_id":"w","created_at":"t","contributors":[{}],"current_sequence":1})",
       "missing field `contributor_id`"},
      {R"({"schema_version":"1","work_id":"w","work_id":"v","created_at":"t","contributors":[],"current_sequence":1})",
       "duplicate field `work_id`"},
      {R"({"schema_version":"1","work_id":"w","created_at":"t","contributors":[],"current_sequence":-1})",
       "invalid value: integer `-1`, expected u64"},
      {R"({"schema_version":"1","work_id":"w","created_at":"t","contributors":[],"current_sequence":-0})",
       "invalid type: floating point `-0`, expected u64"},
      {R"({"schema_version":"1","work_id":"w","created_at":"t","contributors":[],"current_sequence":1.0})",
       "invalid type: floating point `1`, expected u64"},
      {R"({"schema_version":"1","work_id":"w","created_at":"t","contributors":[],"current_sequence":1e3})",
       "invalid type: floating point `1000`, expected u64"},
      {R"({"schema_version":"1","work_id":"w","created_at":"t","contributors":[],"current_sequence":18446744073709551616})",
       "invalid type: floating point `18446744073709552000`, expected u64"},
      {R"({"schema_version":"1","work_id":"w","created_at":"t","contributors":[],"current_sequence":"5"})",
       "invalid type: string \"5\", expected u64"},
      {R"({"schema_version":"1","work_id":"w","created_at":"t","contributors":[],"current_sequence":null})",
       "invalid type: null, expected u64"},
      {R"({"schema_version":"1","work_id":null,"created_at":"t","contributors":[],"current_sequence":1})",
       "invalid type: null, expected a string"},
      {R"({"schema_version":"1","work_id":"w","created_at":"t","contributors":null,"current_sequence":1})",
       "invalid type: null, expected a sequence"},
      {R"({"schema_version":"1","work_id":"w","created_at":"t","contributors":[],"current_sequence":1} x)",
       "trailing characters"},
      {R"("manifest")", "invalid type: string \"manifest\", expected struct WorkManifest"},
  };
  for (const Case& c : cases) {
    auto manifest = read_manifest(c.text);
    ASSERT_FALSE(manifest) << c.text;
    EXPECT_EQ(manifest.error().description, c.error) << c.text;
    EXPECT_EQ(manifest.error().line, 1u) << c.text;
    EXPECT_TRUE(manifest.error().to_string().starts_with(fmt::format("{} at line 1 column ", c.error)));
  }
}

TEST(ManifestWriteTest, PrettyRewriteIsByteExact) {
  // Out of order, an unknown key, a five-element contributor array, no title and no head hash:
  // everything the rewrite must normalise.
  auto manifest = read_manifest(
      R"({"current_sequence":2,"extra":[1,2],"contributors":[{"contributor_id":"alice",)"
      R"("display_name":"Alice \"A\" Müller","public_key":"pk","key_created_at":"2024-01-01T00:00:00+00:00",)"
      R"("device_label":"Studio\tMac"},["bob","Bob","pk2","k2",null]],"created_at":"2024-01-01T00:00:00+00:00",)"
      R"("work_id":"w1","schema_version":"1.0"})");
  ASSERT_TRUE(manifest) << manifest.error().to_string();
  manifest->current_head_hash = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
  manifest->current_sequence = 3;

  const std::string expected = R"({
  "schema_version": "1.0",
  "work_id": "w1",
  "title": null,
  "created_at": "2024-01-01T00:00:00+00:00",
  "contributors": [
    {
      "contributor_id": "alice",
      "display_name": "Alice \"A\" Müller",
      "public_key": "pk",
      "key_created_at": "2024-01-01T00:00:00+00:00",
      "device_label": "Studio\tMac",
      "key_backed_up_at": null
    },
    {
      "contributor_id": "bob",
      "display_name": "Bob",
      "public_key": "pk2",
      "key_created_at": "k2",
      "device_label": null,
      "key_backed_up_at": null
    }
  ],
  "current_head_hash": "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855",
  "current_sequence": 3
})";
  auto text = json::to_pretty(*manifest);
  ASSERT_TRUE(text) << text.error().to_string();
  EXPECT_EQ(*text, expected);
}

TEST(ManifestWriteTest, EmptyContributorListStaysOnItsKeyLine) {
  auto manifest = read_manifest(R"({"schema_version":"1","work_id":"w","title":"T","created_at":"t","contributors":[],"current_sequence":0})");
  ASSERT_TRUE(manifest) << manifest.error().to_string();
  const std::string expected = R"({
  "schema_version": "1",
  "work_id": "w",
  "title": "T",
  "created_at": "t",
  "contributors": [],
  "current_head_hash": null,
  "current_sequence": 0
})";
  EXPECT_EQ(json::to_pretty(*manifest).value(), expected);
}

}  // namespace
}  // namespace tallowmere_core

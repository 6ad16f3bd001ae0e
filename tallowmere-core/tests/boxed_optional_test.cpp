// BoxedOptional reads and writes like std::optional, and a record member of that type reads and
// writes like a std::optional one.
#include "json/boxed_optional.h"

#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "json/document.h"
#include "model.h"

namespace tallowmere_core {
namespace {

TEST(BoxedOptionalTest, IsOnePointerWide) {
  EXPECT_EQ(sizeof(BoxedOptional<TrustedTimestamp>), sizeof(void*));
}

TEST(BoxedOptionalTest, EmptyUntilGivenAValue) {
  BoxedOptional<std::string> value;
  EXPECT_FALSE(value);
  EXPECT_FALSE(value.has_value());
  EXPECT_TRUE(value == std::nullopt);
  EXPECT_THROW((void)value.value(), std::bad_optional_access);
  EXPECT_EQ(value.value_or("fallback"), "fallback");

  value = std::string("text");
  ASSERT_TRUE(value);
  EXPECT_EQ(*value, "text");
  EXPECT_EQ(value->size(), 4u);
  EXPECT_EQ(value.value(), "text");
  EXPECT_TRUE(value == std::string("text"));

  value = std::nullopt;
  EXPECT_FALSE(value);
  value.emplace(3, 'x');
  EXPECT_EQ(*value, "xxx");
  value.reset();
  EXPECT_FALSE(value);
}

TEST(BoxedOptionalTest, CopiesAreDeepAndMovesTakeTheValue) {
  BoxedOptional<std::string> original = std::string("a");
  BoxedOptional<std::string> copy = original;
  *copy = std::string(1, 'b');  // not a literal: g++ 12 warns falsely (-Wrestrict) at -O3
  EXPECT_EQ(*original, "a");
  EXPECT_EQ(*copy, "b");
  copy = original;
  EXPECT_EQ(*copy, "a");
  EXPECT_TRUE(copy == original);

  BoxedOptional<std::string> moved = std::move(original);
  EXPECT_EQ(*moved, "a");
  BoxedOptional<std::string> empty;
  copy = empty;
  EXPECT_FALSE(copy);
  EXPECT_TRUE(copy == empty);
  EXPECT_FALSE(moved == empty);
}

TEST(BoxedOptionalTest, TakesAndGivesStdOptional) {
  std::optional<KeyRotation> rotation = KeyRotation{"bob"};
  BoxedOptional<KeyRotation> boxed;
  boxed = rotation;
  ASSERT_TRUE(boxed);
  EXPECT_EQ(boxed->new_contributor_id, "bob");
  boxed = std::optional<KeyRotation>{};
  EXPECT_FALSE(boxed);
  boxed = std::move(rotation);
  ASSERT_TRUE(boxed);
  EXPECT_EQ(boxed.to_optional()->new_contributor_id, "bob");
  const BoxedOptional<KeyRotation> from_optional(std::optional<KeyRotation>{KeyRotation{"carol"}});
  EXPECT_EQ(from_optional->new_contributor_id, "carol");
}

// The boxed members of an entry read null and absent as none and a value as itself, and are
// written back the same, as std::optional members are.
TEST(BoxedOptionalTest, EntryMembersReadAndWriteLikeOptionals) {
  LedgerEntry entry;
  entry.entry_id = "e";
  entry.timestamp_trusted = TrustedTimestamp{"rfc3161", "https://tsa", "tok", "2024"};
  entry.identity_recovery = IdentityRecovery{{"carol"}};
  const std::string line = model::write_entry_line(entry).value();
  EXPECT_NE(line.find(R"("timestamp_trusted":{"method":"rfc3161","tsa_url":"https://tsa","token":"tok","timestamp":"2024"})"),
            std::string::npos)
      << line;
  EXPECT_NE(line.find(R"("key_rotation":null,"identity_recovery":{"unrecoverable_contributor_ids":["carol"]})"),
            std::string::npos)
      << line;

  auto read = model::read_entry_line(line);
  ASSERT_TRUE(read) << read.error().to_string();
  ASSERT_TRUE(read->timestamp_trusted);
  EXPECT_EQ(read->timestamp_trusted->token, "tok");
  EXPECT_FALSE(read->key_rotation);
  ASSERT_TRUE(read->identity_recovery);
  EXPECT_EQ(read->identity_recovery->unrecoverable_contributor_ids, std::vector<std::string>{"carol"});
  EXPECT_EQ(model::write_entry_line(*read).value(), line);

  // A copied entry owns its own boxed values.
  LedgerEntry copy = *read;
  copy.timestamp_trusted->token = "other";
  EXPECT_EQ(read->timestamp_trusted->token, "tok");
}

}  // namespace
}  // namespace tallowmere_core

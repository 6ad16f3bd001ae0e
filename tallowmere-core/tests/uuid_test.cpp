#include "uuid.h"

#include <regex>
#include <set>

#include <gtest/gtest.h>

namespace tallowmere_core::uuid {
namespace {

TEST(UuidTest, VersionAndVariantBitsAreForcedWhateverTheRandomBytes) {
  std::array<unsigned char, 16> zeros{};
  std::array<unsigned char, 16> ones;
  ones.fill(0xFF);
  std::array<unsigned char, 16> counting;
  for (std::size_t i = 0; i < counting.size(); ++i) counting[i] = static_cast<unsigned char>(i * 17);
  EXPECT_EQ(format_v4(zeros), "00000000-0000-4000-8000-000000000000");
  EXPECT_EQ(format_v4(ones), "ffffffff-ffff-4fff-bfff-ffffffffffff");
  EXPECT_EQ(format_v4(counting), "00112233-4455-4677-8899-aabbccddeeff");
}

TEST(UuidTest, NewIdentifiersAreWellFormedAndDistinct) {
  const std::regex form("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
  std::set<std::string> seen;
  for (int i = 0; i < 1000; ++i) {
    const auto id = new_v4();
    ASSERT_TRUE(id.has_value()) << id.error().message();
    EXPECT_TRUE(std::regex_match(*id, form)) << *id;
    EXPECT_TRUE(seen.insert(*id).second) << *id;
  }
}

TEST(UuidTest, RandomSourceErrorNamesTheSystemError) {
  const RandomSourceError error{IoSource::from_errno(ENOSYS)};
  EXPECT_EQ(error.message(),
            "failed to read the operating system's random source: " + os_error_text(ENOSYS));
}

}  // namespace
}  // namespace tallowmere_core::uuid

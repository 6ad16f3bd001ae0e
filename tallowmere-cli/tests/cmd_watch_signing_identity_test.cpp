#include "cmd_watch_signing_identity.h"

#include <optional>
#include <string>
#include <vector>

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "test_support.h"
#include "watch_project_fixture.h"

namespace tallowmere_cli::cmd_watch {
namespace {

using namespace watch_testing;

TEST(SigningKeySearchTest, LastContributorWithAKeyItemSigns) {
  struct Item {
    std::string contributor;
    std::string text;
    mode_t mode = 0600;
  };
  struct Case {
    const char* name;
    std::vector<std::string> contributors;
    std::vector<Item> items;
    std::optional<std::string> signer;  // else the error
    std::string error;
  };
  const std::string no_key =
      "no signing key found in OS secure storage for any of this project's {} recorded contributor(s). This usually "
      "means this project was initialized on a different device or user account, or the key was deleted without "
      "running `tallowmere de-init`. If the key is unrecoverable, see `tallowmere recover-identity`.";
  const std::string bytes31 = tallowmere_core::base64::encode(std::vector<unsigned char>(31, 7));
  const std::string bytes33 = tallowmere_core::base64::encode(std::vector<unsigned char>(33, 7));
  const std::vector<Case> cases{
      {"last with a key signs", {"A", "B", "C"}, {{"A", key_text(1)}, {"C", key_text(3)}}, "C", ""},
      {"none stored", {"A", "B", "C"}, {}, std::nullopt, fmt::format(fmt::runtime(no_key), 3)},
      {"no contributors", {}, {}, std::nullopt, fmt::format(fmt::runtime(no_key), 0)},
      {"short key is not exchanged for an earlier good one",
       {"A", "B", "C"},
       {{"A", key_text(1)}, {"C", bytes31}},
       std::nullopt,
       "invalid Ed25519 key material in private key: expected 32 bytes, got 31"},
      {"long key", {"A"}, {{"A", bytes33}}, std::nullopt,
       "invalid Ed25519 key material in private key: expected 32 bytes, got 33"},
      {"world-readable item is not used", {"A", "B", "C"}, {{"A", key_text(1)}, {"C", key_text(3), 0644}}, "A", ""},
      {"group-writable item is not used", {"A", "B"}, {{"A", key_text(1)}, {"B", key_text(2), 0620}}, "A", ""},
      {"key text with a line break is not Base64",
       {"A"},
       {{"A", key_text(1) + "\n"}},
       std::nullopt,
       "invalid base64 in private key: "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ProjectOnDisk disk;  // a fresh credential store per case
    tallowmere_core::WorkManifest manifest;
    for (const auto& id : c.contributors) {
      tallowmere_core::Contributor contributor;
      contributor.contributor_id = id;
      manifest.contributors.push_back(contributor);
    }
    for (const auto& item : c.items) disk.store_key_text(item.contributor, item.text, item.mode);

    auto identity = find_signing_key(manifest);
    if (c.signer) {
      ASSERT_TRUE(identity.has_value()) << identity.error().one_line();
      EXPECT_EQ(identity->contributor.contributor_id, *c.signer);
      const unsigned char seed = static_cast<unsigned char>(c.signer->front() - 'A' + 1);
      EXPECT_EQ(identity->key.public_key(), public_key(seed));
    } else {
      ASSERT_FALSE(identity.has_value());
      EXPECT_TRUE(identity.error().one_line().starts_with(c.error)) << identity.error().one_line();
      if (!c.error.ends_with(": ")) {
        EXPECT_EQ(identity.error().one_line(), c.error);
      }
    }
  }
}

}  // namespace
}  // namespace tallowmere_cli::cmd_watch

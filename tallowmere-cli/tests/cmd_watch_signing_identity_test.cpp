#include "cmd_watch_signing_identity.h"

#include <optional>
#include <string>
#include <vector>

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "test_support.h"
#include "text.h"
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

TEST(SigningKeySearchTest, KeyThatTheManifestsPublicKeyCannotVerifyIsReported) {
  const std::string signer_key = tallowmere_core::base64::encode(public_key(1));
  struct Case {
    const char* name;
    std::string contributor;
    std::string recorded_public_key;
    std::optional<std::string> problem;  // none: no warning
  };
  const std::string mismatch = "does not match the public key that the manifest records for this contributor";
  const std::string unreadable =
      "cannot be checked, since the manifest's public key for this contributor is not standard Base64 of 32 bytes";
  const std::vector<Case> cases{
      {"the recorded key", "alice", signer_key, std::nullopt},
      {"another contributor's key", "alice", tallowmere_core::base64::encode(public_key(2)), mismatch},
      {"not Base64", "alice", "pk", unreadable},
      {"the recorded key with a line feed", "alice", signer_key + "\n", unreadable},
      {"Base64 of 31 bytes", "alice", tallowmere_core::base64::encode(std::vector<unsigned char>(31, 7)), unreadable},
      {"empty", "alice", "", unreadable},
      {"a line feed in the contributor id stays escaped", "al\nice", "pk", unreadable},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ProjectOnDisk disk;
    disk.store_key(c.contributor, 1);
    tallowmere_core::WorkManifest manifest;
    tallowmere_core::Contributor contributor;
    contributor.contributor_id = c.contributor;
    contributor.public_key = c.recorded_public_key;
    manifest.contributors.push_back(contributor);
    auto identity = find_signing_key(manifest);
    ASSERT_TRUE(identity.has_value()) << identity.error().one_line();

    const auto warning = mismatched_key_warning(*identity, disk.load().paths);
    if (!c.problem) {
      EXPECT_EQ(warning, std::nullopt);
      continue;
    }
    ASSERT_TRUE(warning.has_value());
    const fs::path item = disk.data_home / "tallowmere-keychain" / "tallowmere-core" / c.contributor;
    EXPECT_EQ(*warning, fmt::format("WARNING: {} (w1): the signing key of contributor {}, from credential store item "
                                    "tallowmere-core/{} ({}), {}; entries signed with it will not verify with the "
                                    "manifest's key",
                                    disk.root.string(), tallowmere_core::text::escape_control(c.contributor),
                                    tallowmere_core::text::escape_control(c.contributor),
                                    tallowmere_core::text::display(item), *c.problem));
    EXPECT_EQ(warning->find('\n'), std::string::npos);
  }
}

}  // namespace
}  // namespace tallowmere_cli::cmd_watch

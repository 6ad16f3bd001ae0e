#include "platform/credential_store.h"

#include <chrono>
#include <cstring>
#include <optional>
#include <string>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "key_store.h"
#include "linux_process.h"
#include "test_support.h"

namespace tallowmere_cli::platform {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

constexpr std::string_view service = "tallowmere-core";

using ScopedEnvironment = tallowmere_test::ScopedEnv;

class CredentialStoreTest : public ::testing::Test {
 protected:
  fs::path data_home() const { return temp_ / "data"; }
  fs::path home() const { return temp_ / "home"; }
  static fs::path store_under(const fs::path& data_home, std::string_view service_name, std::string_view account) {
    return data_home / "tallowmere-keychain" / service_name / account;
  }
  fs::path item(std::string_view account) const { return store_under(data_home(), service, account); }

  // Stores an item the way a test or set-up script does: the bytes, then the mode, set explicitly
  // so the process umask plays no part.
  static void store_at(const fs::path& path, std::string_view bytes, mode_t mode = 0600) {
    tallowmere_test::write_file_with_mode(path, bytes, mode);
  }
  void store(std::string_view account, std::string_view bytes, mode_t mode = 0600) const {
    store_at(item(account), bytes, mode);
  }

  static void expect_failure(const std::expected<SecretString, LookupError>& result, LookupFailure failure,
                             std::string_view message_part) {
    ASSERT_FALSE(result.has_value()) << "found " << result->view();
    EXPECT_EQ(result.error().failure, failure) << result.error().message;
    EXPECT_NE(result.error().message.find(message_part), std::string::npos)
        << result.error().message << "\ndoes not contain: " << message_part;
  }

  tallowmere_test::TempDir temp_;
  ScopedEnvironment xdg_{"XDG_DATA_HOME", data_home().string()};
  ScopedEnvironment home_{"HOME", home().string()};
};

// ---- round trips ----

TEST_F(CredentialStoreTest, FindsAStoredItem) {
  store("alice", "3q2+7w==");
  auto password = find_generic_password(service, "alice");
  ASSERT_TRUE(password.has_value()) << password.error().message;
  EXPECT_EQ(password->view(), "3q2+7w==");
}

TEST_F(CredentialStoreTest, ReturnsTheBytesExactlyWithoutTrimming) {
  const std::string bytes = " key with spaces\t\r\n\n\0inner NUL \xff\xfe not UTF-8\n"s;
  store("alice", bytes);
  auto password = find_generic_password(service, "alice");
  ASSERT_TRUE(password.has_value()) << password.error().message;
  EXPECT_EQ(password->view(), bytes);
}

TEST_F(CredentialStoreTest, AnEmptyItemIsAnEmptyPassword) {
  store("alice", "");
  auto password = find_generic_password(service, "alice");
  ASSERT_TRUE(password.has_value()) << password.error().message;
  EXPECT_TRUE(password->empty());
}

TEST_F(CredentialStoreTest, ReadsALargeItemWhole) {
  std::string bytes;
  for (int i = 0; bytes.size() < 300'000; ++i) bytes += std::to_string(i) + ',';
  store("alice", bytes);
  auto password = find_generic_password(service, "alice");
  ASSERT_TRUE(password.has_value()) << password.error().message;
  EXPECT_EQ(password->view(), bytes);
}

TEST_F(CredentialStoreTest, ReadsAnItemWhoseSizeIsNotKnownInAdvance) {
  // /proc/self/environ is a regular file of mode 0400 that reports a size of 0, so the whole of it
  // arrives only by reading past the size that fstat gave. Folders on the way may be symbolic
  // links; only the item itself may not.
  fs::create_directories(data_home() / "tallowmere-keychain");
  const fs::path this_process = tallowmere_test::linux_process::this_process();
  fs::create_directory_symlink(this_process, data_home() / "tallowmere-keychain" / "proc");
  const std::string environment = tallowmere_test::read_file(this_process / "environ");
  ASSERT_GT(environment.size(), 1u);
  auto password = find_generic_password("proc", "environ");
  ASSERT_TRUE(password.has_value()) << password.error().message;
  EXPECT_EQ(password->view(), environment);
}

TEST_F(CredentialStoreTest, ItemsAreKeptApartByServiceAndAccount) {
  store("alice", "alice's key");
  store("bob", "bob's key");
  store_at(store_under(data_home(), "other-service", "alice"), "other service's key");
  EXPECT_EQ(find_generic_password(service, "alice")->view(), "alice's key");
  EXPECT_EQ(find_generic_password(service, "bob")->view(), "bob's key");
  EXPECT_EQ(find_generic_password("other-service", "alice")->view(), "other service's key");
}

TEST_F(CredentialStoreTest, AccountNamesMayHoldDotsAndOtherCharacters) {
  for (std::string_view account : {".alice", "alice.", "...", "a b", "ünïcode", "7d9f-42"}) {
    store(account, account);
    auto password = find_generic_password(service, account);
    ASSERT_TRUE(password.has_value()) << account << ": " << password.error().message;
    EXPECT_EQ(password->view(), account);
  }
}

TEST_F(CredentialStoreTest, PathNamesTheItemUnderTheDataHome) {
  auto path = generic_password_path(service, "alice");
  ASSERT_TRUE(path.has_value()) << path.error().message;
  EXPECT_EQ(*path, data_home() / "tallowmere-keychain" / "tallowmere-core" / "alice");
}

// ---- the data home ----

TEST_F(CredentialStoreTest, EmptyXdgDataHomeFallsBackToHomeLocalShare) {
  ScopedEnvironment empty_xdg("XDG_DATA_HOME", "");
  store("alice", "the XDG key");
  store_at(store_under(home() / ".local" / "share", service, "alice"), "the HOME key");
  EXPECT_EQ(*generic_password_path(service, "alice"), home() / ".local/share/tallowmere-keychain/tallowmere-core/alice");
  auto password = find_generic_password(service, "alice");
  ASSERT_TRUE(password.has_value()) << password.error().message;
  EXPECT_EQ(password->view(), "the HOME key");
}

TEST_F(CredentialStoreTest, UnsetXdgDataHomeFallsBackToHomeLocalShare) {
  ScopedEnvironment no_xdg("XDG_DATA_HOME", std::nullopt);
  store_at(store_under(home() / ".local" / "share", service, "alice"), "the HOME key");
  auto password = find_generic_password(service, "alice");
  ASSERT_TRUE(password.has_value()) << password.error().message;
  EXPECT_EQ(password->view(), "the HOME key");
}

TEST_F(CredentialStoreTest, XdgDataHomeWinsOverHome) {
  store("alice", "the XDG key");
  store_at(store_under(home() / ".local" / "share", service, "alice"), "the HOME key");
  EXPECT_EQ(find_generic_password(service, "alice")->view(), "the XDG key");
}

TEST_F(CredentialStoreTest, NeitherXdgDataHomeNorHomeFails) {
  ScopedEnvironment no_xdg("XDG_DATA_HOME", std::nullopt);
  ScopedEnvironment no_home("HOME", std::nullopt);
  expect_failure(find_generic_password(service, "alice"), LookupFailure::NoDataHome, "neither XDG_DATA_HOME nor HOME");
  ScopedEnvironment empty_xdg("XDG_DATA_HOME", "");
  ScopedEnvironment empty_home("HOME", "");
  expect_failure(find_generic_password(service, "alice"), LookupFailure::NoDataHome, "neither XDG_DATA_HOME nor HOME");
  EXPECT_FALSE(generic_password_path(service, "alice").has_value());
}

// ---- items that are not there or not plain files ----

TEST_F(CredentialStoreTest, MissingItemIsNotFound) {
  store("bob", "bob's key");
  expect_failure(find_generic_password(service, "alice"), LookupFailure::NotFound, item("alice").string());
}

TEST_F(CredentialStoreTest, MissingStoreIsNotFound) {
  expect_failure(find_generic_password(service, "alice"), LookupFailure::NotFound,
                 "no credential store item for service \"tallowmere-core\" and account \"alice\"");
}

TEST_F(CredentialStoreTest, FileWhereTheServiceFolderBelongsIsNotFound) {
  tallowmere_test::write_file(data_home() / "tallowmere-keychain" / service, "not a folder");
  expect_failure(find_generic_password(service, "alice"), LookupFailure::NotFound, "alice");
}

TEST_F(CredentialStoreTest, FolderAtTheItemPathIsRefused) {
  fs::create_directories(item("alice"));
  ::chmod(item("alice").c_str(), 0700);
  expect_failure(find_generic_password(service, "alice"), LookupFailure::NotRegularFile, "is not a regular file");
}

TEST_F(CredentialStoreTest, SymbolicLinkAtTheItemPathIsNotFollowed) {
  store("target", "the linked key");
  fs::create_symlink(item("target"), item("alice"));
  expect_failure(find_generic_password(service, "alice"), LookupFailure::NotRegularFile, "symbolic link");
}

TEST_F(CredentialStoreTest, FifoAtTheItemPathIsRefusedWithoutBlocking) {
  fs::create_directories(item("alice").parent_path());
  ASSERT_EQ(::mkfifo(item("alice").c_str(), 0600), 0);
  // Opening a FIFO for reading would wait for a writer; the lookup must come back at once.
  expect_failure(find_generic_password(service, "alice"), LookupFailure::NotRegularFile, "is not a regular file");
}

TEST_F(CredentialStoreTest, ItemLargerThanTheLimitIsRefused) {
  store("alice", std::string(max_generic_password_size + 1, 'k'));
  expect_failure(find_generic_password(service, "alice"), LookupFailure::TooLarge, "holds more than 1048576 bytes");
  store("bob", std::string(max_generic_password_size, 'k'));
  auto password = find_generic_password(service, "bob");
  ASSERT_TRUE(password.has_value()) << password.error().message;
  EXPECT_EQ(password->size(), max_generic_password_size);
}

// ---- permissions ----

struct ModeCase {
  mode_t mode;
  bool accepted;
};

class CredentialStoreModeTest : public CredentialStoreTest, public ::testing::WithParamInterface<ModeCase> {};

TEST_P(CredentialStoreModeTest, OnlyTheOwnerMayHaveAccess) {
  const auto [mode, accepted] = GetParam();
  store("alice", "the key", mode);
  auto password = find_generic_password(service, "alice");
  if (accepted) {
    ASSERT_TRUE(password.has_value()) << password.error().message;
    EXPECT_EQ(password->view(), "the key");
  } else {
    char shown[8];
    std::snprintf(shown, sizeof shown, "%04o", static_cast<unsigned>(mode));
    expect_failure(password, LookupFailure::InsecurePermissions,
                   "is accessible by group or others (mode " + std::string(shown) + ")");
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, CredentialStoreModeTest,
                         ::testing::Values(ModeCase{0600, true}, ModeCase{0400, true}, ModeCase{0700, true},
                                           ModeCase{0200, true}, ModeCase{0644, false}, ModeCase{0660, false},
                                           ModeCase{0640, false}, ModeCase{0604, false}, ModeCase{0620, false},
                                           ModeCase{0602, false}, ModeCase{0610, false}, ModeCase{0601, false},
                                           ModeCase{0666, false}, ModeCase{0777, false}));

// ---- names ----

struct NameCase {
  const char* label;
  std::string name;
};

class CredentialStoreNameTest : public CredentialStoreTest, public ::testing::WithParamInterface<NameCase> {};

TEST_P(CredentialStoreNameTest, InvalidAccountNameIsRefused) {
  // An item that a name escaping its folder could reach, so that a refusal is not just "missing".
  store_at(data_home() / "tallowmere-keychain" / "alice", "escaped", 0600);
  store_at(data_home() / "tallowmere-keychain" / service / "a" / "b", "nested", 0600);
  expect_failure(find_generic_password(service, GetParam().name), LookupFailure::InvalidName,
                 "invalid credential store account name");
}

TEST_P(CredentialStoreNameTest, InvalidServiceNameIsRefused) {
  expect_failure(find_generic_password(GetParam().name, "alice"), LookupFailure::InvalidName,
                 "invalid credential store service name");
  EXPECT_FALSE(generic_password_path(GetParam().name, "alice").has_value());
}

INSTANTIATE_TEST_SUITE_P(Names, CredentialStoreNameTest,
                         ::testing::Values(NameCase{"Empty", ""}, NameCase{"Dot", "."}, NameCase{"DotDot", ".."},
                                           NameCase{"Slash", "a/b"}, NameCase{"OnlySlash", "/"},
                                           NameCase{"LeadingSlash", "/alice"}, NameCase{"TrailingSlash", "alice/"},
                                           NameCase{"UpAndOver", "../alice"}, NameCase{"Nul", "ali\0ce"s}),
                         [](const auto& info) { return std::string(info.param.label); });

TEST_F(CredentialStoreTest, InvalidNameMessageShowsTheNameEscaped) {
  auto result = find_generic_password(service, "a/b");
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().message,
            "invalid credential store account name \"a/b\": it must not be empty, \".\" or \"..\", nor hold \"/\" or NUL");
}

// ---- SecretString ----

TEST(SecretStringTest, HoldsACopyOfItsBytes) {
  std::string source = "private key text";
  SecretString secret(source);
  source.assign(source.size(), 'x');
  EXPECT_EQ(secret.view(), "private key text");
  EXPECT_EQ(secret.size(), 16u);
  EXPECT_FALSE(secret.empty());
}

TEST(SecretStringTest, MovingHandsTheBufferOverAndLeavesTheSourceEmpty) {
  SecretString source("key");
  const char* buffer = source.data();
  SecretString moved(std::move(source));
  EXPECT_EQ(moved.data(), buffer) << "the bytes were copied instead of handed over";
  EXPECT_EQ(moved.view(), "key");
  EXPECT_TRUE(source.empty());  // NOLINT(bugprone-use-after-move): the documented state

  SecretString assigned("old bytes");
  assigned = std::move(moved);
  EXPECT_EQ(assigned.view(), "key");
  EXPECT_TRUE(moved.empty());  // NOLINT(bugprone-use-after-move)
}

TEST(SecretStringTest, TruncateWipesTheBytesItCutsOff) {
  SecretString secret("keep+drop");
  secret.truncate(4);
  EXPECT_EQ(secret.view(), "keep");
  // The buffer is still owned, so the cut-off bytes can be looked at: they must be zero now.
  EXPECT_EQ(std::string_view(secret.data() + 4, 5), std::string_view("\0\0\0\0\0", 5));
  secret.truncate(10);
  EXPECT_EQ(secret.view(), "keep");
}

TEST(SecretStringTest, ZeroedAndWipe) {
  SecretString secret = SecretString::zeroed(3);
  EXPECT_EQ(secret.view(), std::string_view("\0\0\0", 3));
  std::memcpy(secret.data(), "abc", 3);
  EXPECT_EQ(secret.view(), "abc");
  secret.wipe();
  EXPECT_TRUE(secret.empty());
  EXPECT_TRUE(SecretString::zeroed(0).empty());
  EXPECT_TRUE(SecretString().view().empty());
}

}  // namespace
}  // namespace tallowmere_cli::platform

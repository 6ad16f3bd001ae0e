#include "hash.h"

#include <atomic>
#include <fstream>
#include <random>
#include <thread>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/stat.h>

#include "test_support.h"

namespace tallowmere_core::hash {
namespace {

using namespace std::chrono_literals;
using tallowmere_test::TempDir;
using tallowmere_test::write_file;

// OpenSSL's one-shot digest: a reference that shares no code with the streaming path.
std::string reference_sha256(std::string_view bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EXPECT_EQ(EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr), 1);
  return to_hex(std::span<const unsigned char>(digest, length));
}

std::string random_bytes(std::size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(generator());
  return bytes;
}

TEST(Sha256Test, KnownDigests) {
  struct Case {
    std::string_view input;
    std::string_view digest;
  };
  // FIPS 180-2 examples.
  const Case cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
  };
  for (const Case& c : cases) EXPECT_EQ(sha256_hex(c.input), c.digest) << c.input;
}

TEST(Sha256Test, IncrementalEqualsOneShotAndResetsAfterFinish) {
  const std::string bytes = random_bytes(10'000, 1);
  Sha256 hasher;
  for (std::size_t split : {0u, 1u, 63u, 64u, 65u, 9'999u}) {
    hasher.update(std::string_view(bytes).substr(0, split));
    hasher.update(std::string_view(bytes).substr(split));
    EXPECT_EQ(hasher.finish_hex(), reference_sha256(bytes)) << split;
  }
  EXPECT_EQ(hasher.finish_hex(), reference_sha256(""));
}

TEST(Sha256Test, HexIsLowercaseTwoDigitsPerByte) {
  const unsigned char bytes[] = {0x00, 0x0f, 0xa0, 0xff};
  EXPECT_EQ(to_hex(bytes), "000fa0ff");
  EXPECT_EQ(to_hex({}), "");
}

TEST(HashFileTest, DigestAndCountAcrossPieceBoundaries) {
  TempDir dir;
  constexpr std::size_t mib = 1 << 20;
  for (std::size_t size : {std::size_t{0}, std::size_t{1}, mib - 1, mib, mib + 1, 3 * mib + 17}) {
    const std::string bytes = random_bytes(size, static_cast<unsigned>(size));
    write_file(dir / "song.rpp", bytes);
    const auto result = hash_file_streaming(dir / "song.rpp");
    ASSERT_TRUE(result.has_value()) << result.error().message();
    EXPECT_EQ(result->sha256_hex, reference_sha256(bytes)) << size;
    EXPECT_EQ(result->byte_count, size);
  }
}

TEST(HashFileTest, FolderAndMissingFileFailWithTheirPath) {
  TempDir dir;
  struct Case {
    std::filesystem::path path;
    std::string_view os_error;
  };
  const Case cases[] = {{dir.path(), "(os error 21)"}, {dir / "gone.rpp", "(os error 2)"}};
  for (const Case& c : cases) {
    const auto result = hash_file_streaming(c.path);
    ASSERT_FALSE(result.has_value());
    const auto* io = result.error().get<core_error::Io>();
    ASSERT_NE(io, nullptr) << result.error().debug();
    EXPECT_EQ(io->path, c.path);
    EXPECT_EQ(result.error().message().rfind("I/O error at " + c.path.string() + ": ", 0), 0u);
    EXPECT_NE(result.error().message().find(c.os_error), std::string::npos) << result.error().message();
  }
}

// Sets the file's modification time `shift` away from now.
void set_mtime(const std::filesystem::path& path, std::chrono::seconds shift) {
  timespec times[2];
  clock_gettime(CLOCK_REALTIME, &times[0]);
  times[0].tv_sec += shift.count();
  times[1] = times[0];
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

class SettleTest : public testing::Test {
 protected:
  void SetUp() override { write_file(file_, "session"); }

  // Runs the wait and records how long it took.
  std::expected<bool, CoreError> wait(const StableOptions& options) {
    const auto start = std::chrono::steady_clock::now();
    auto result = wait_for_file_stable(file_, options);
    elapsed_ = std::chrono::steady_clock::now() - start;
    return result;
  }

  TempDir dir_;
  std::filesystem::path file_ = dir_ / "song.als";
  std::chrono::nanoseconds elapsed_{};
};

TEST_F(SettleTest, OldFileSettlesWithoutPolling) {
  set_mtime(file_, -10s);
  // A single pause would take 30 s: returning well before that proves none happened.
  const auto result = wait({2s, 30s, 30s, 2});
  ASSERT_TRUE(result.has_value());
  EXPECT_FALSE(*result);
  EXPECT_LT(elapsed_, 25s);
}

TEST_F(SettleTest, QuietFreshFileSettlesAfterEnoughEqualProbes) {
  const auto result = wait({1h, 20ms, 1h, 2});
  ASSERT_TRUE(result.has_value());
  EXPECT_FALSE(*result);
  EXPECT_GE(elapsed_, 2 * 20ms);
}

TEST_F(SettleTest, FutureModificationTimeIsPolledNotTrusted) {
  set_mtime(file_, 1h);
  const auto result = wait({2s, 20ms, 1h, 2});
  ASSERT_TRUE(result.has_value());
  EXPECT_FALSE(*result);
  EXPECT_GE(elapsed_, 2 * 20ms);
}

TEST_F(SettleTest, SettlingInTheLastRoundBeatsTheTimeout) {
  // With a zero timeout every round is the last: the equal probe must be counted first.
  const auto result = wait({1h, 20ms, 0s, 1});
  ASSERT_TRUE(result.has_value());
  EXPECT_FALSE(*result);
}

TEST_F(SettleTest, GrowingFileIsStillChangingWhenTheTimeoutRunsOut) {
  std::atomic<bool> stop = false;
  std::thread writer([&] {
    std::ofstream out(file_, std::ios::app | std::ios::binary);
    while (!stop) {
      out << "more" << std::flush;
      std::this_thread::sleep_for(5ms);
    }
  });
  const auto result = wait({1h, 50ms, 600ms, 2});
  stop = true;
  writer.join();
  ASSERT_TRUE(result.has_value());
  EXPECT_TRUE(*result);
  EXPECT_GE(elapsed_, 600ms);
}

TEST_F(SettleTest, DeletedFileEndsTheWaitWithIo) {
  std::thread remover([&] {
    std::this_thread::sleep_for(50ms);
    std::filesystem::remove(file_);
  });
  // It could only settle after 1000 equal probes: the deletion comes long before.
  const auto result = wait({1h, 10ms, 1h, 1000});
  remover.join();
  ASSERT_FALSE(result.has_value());
  const auto* io = result.error().get<core_error::Io>();
  ASSERT_NE(io, nullptr);
  EXPECT_EQ(io->path, file_);
  EXPECT_EQ(io->source.os_error, ENOENT);
}

TEST_F(SettleTest, MissingFileFailsAtOnce) {
  std::filesystem::remove(file_);
  const auto result = wait(checkpoint_stable_options);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().get<core_error::Io>()->source.os_error, ENOENT);
}

TEST_F(SettleTest, CallersSettings) {
  EXPECT_EQ(checkpoint_stable_options.min_age, 2s);
  EXPECT_EQ(checkpoint_stable_options.poll_interval, 150ms);
  EXPECT_EQ(checkpoint_stable_options.timeout, 5s);
  EXPECT_EQ(checkpoint_stable_options.required_stable_polls, 2u);
}

}  // namespace
}  // namespace tallowmere_core::hash

#include "base64.h"

#include <random>
#include <vector>

#include <gtest/gtest.h>
#include <openssl/evp.h>

namespace tallowmere_core::base64 {
namespace {

std::span<const unsigned char> as_bytes(std::string_view text) {
  return {reinterpret_cast<const unsigned char*>(text.data()), text.size()};
}

std::string as_text(const SecretBytes& bytes) {
  return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

TEST(Base64Test, Rfc4648Vectors) {
  struct Case {
    std::string_view bytes;
    std::string_view text;
  };
  const Case cases[] = {{"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},    {"foo", "Zm9v"},
                        {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}};
  for (const Case& c : cases) {
    EXPECT_EQ(encode(as_bytes(c.bytes)), c.text);
    const auto decoded = decode(c.text);
    ASSERT_TRUE(decoded.has_value()) << c.text << ": " << decoded.error();
    EXPECT_EQ(as_text(*decoded), c.bytes);
  }
}

// OpenSSL's encoder as an outside reference, over every length up to a few groups and every
// byte value; then our decoder must give the bytes back.
TEST(Base64Test, AgreesWithOpenSslAndRoundTrips) {
  std::mt19937 generator(7);
  for (std::size_t size = 0; size <= 100; ++size) {
    std::vector<unsigned char> bytes(size);
    for (auto& b : bytes) b = static_cast<unsigned char>(generator());
    if (size == 100)
      for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<unsigned char>(255 - i);
    std::string reference(4 * ((size + 2) / 3) + 1, '\0');
    const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(reference.data()), bytes.data(),
                                       static_cast<int>(size));
    reference.resize(static_cast<std::size_t>(length));

    const std::string text = encode(bytes);
    EXPECT_EQ(text, reference) << size;
    const auto decoded = decode(text);
    ASSERT_TRUE(decoded.has_value()) << decoded.error();
    EXPECT_EQ(std::vector<unsigned char>(decoded->bytes().begin(), decoded->bytes().end()), bytes);
  }
  EXPECT_EQ(encode(std::vector<unsigned char>(64, 0xAB)).size(), 88u);
}

TEST(Base64Test, DecoderFaults) {
  struct Case {
    std::string_view text;
    std::string_view fault;
  };
  const Case cases[] = {
      {"Zm9v-mFy", "invalid symbol '-' at offset 4"},
      {"Zm9vYmFy\n", "invalid symbol 0x0a at offset 8"},
      {" Zm9v", "invalid symbol 0x20 at offset 0"},
      {"Zm9v\xC3\xA9", "invalid symbol 0xc3 at offset 4"},
      {"Zm9vY", "invalid input length 5: the last group holds a single symbol"},
      {"Z===", "invalid input length 1: the last group holds a single symbol"},
      {"Zg", "invalid padding: expected 2 '=' after 2 symbols, found 0"},
      {"Zg=", "invalid padding: expected 2 '=' after 2 symbols, found 1"},
      {"Zm8", "invalid padding: expected 1 '=' after 3 symbols, found 0"},
      {"Zm8==", "invalid padding: expected 1 '=' after 3 symbols, found 2"},
      {"Zm9v====", "invalid padding: expected 0 '=' after 4 symbols, found 4"},
      {"====", "invalid padding: expected 0 '=' after 0 symbols, found 4"},
      {"Zg==Zg==", "invalid padding: '=' at offset 2 is followed by a symbol at offset 4"},
      {"Zh==", "invalid last symbol 'h' at offset 1: its unused low bits are not zero"},
      {"Zm9=", "invalid last symbol '9' at offset 2: its unused low bits are not zero"},
  };
  for (const Case& c : cases) {
    const auto decoded = decode(c.text);
    ASSERT_FALSE(decoded.has_value()) << c.text;
    EXPECT_EQ(decoded.error(), c.fault) << c.text;
  }
}

TEST(SecretBytesTest, WipeZeroesInPlaceAndMoveLeavesNothingBehind) {
  auto decoded = decode("AQIDBA==");
  ASSERT_TRUE(decoded.has_value());
  SecretBytes key = std::move(*decoded);
  EXPECT_TRUE(decoded->empty());
  ASSERT_EQ(key.size(), 4u);
  key.wipe();
  EXPECT_EQ(std::vector<unsigned char>(key.bytes().begin(), key.bytes().end()), std::vector<unsigned char>(4, 0));
}

}  // namespace
}  // namespace tallowmere_core::base64

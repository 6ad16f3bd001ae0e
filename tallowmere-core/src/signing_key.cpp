#include "signing_key.h"

#include <openssl/err.h>
#include <openssl/evp.h>

namespace tallowmere_core {
namespace {

std::string openssl_reason() {
  const unsigned long code = ERR_get_error();
  if (code == 0) return "unknown OpenSSL error";
  char buffer[256];
  ERR_error_string_n(code, buffer, sizeof buffer);
  return buffer;
}

}  // namespace

void SigningKey::FreeKey::operator()(evp_pkey_st* key) const noexcept { EVP_PKEY_free(key); }

std::expected<SigningKey, std::string> SigningKey::from_private_bytes(std::span<const unsigned char> private_key) {
  EVP_PKEY* key = EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, private_key.data(), private_key.size());
  if (!key) return std::unexpected(openssl_reason());
  return SigningKey(key);
}

std::array<unsigned char, 64> SigningKey::sign(std::string_view message) const {
  std::array<unsigned char, 64> signature{};
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  std::size_t length = signature.size();
  // With a valid Ed25519 key these calls fail only when memory runs out; a zero signature then
  // fails every verification instead of passing as a real one.
  if (context && EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key_.get()) == 1) {
    EVP_DigestSign(context.get(), signature.data(), &length,
                   reinterpret_cast<const unsigned char*>(message.data()), message.size());
  }
  return signature;
}

std::array<unsigned char, 32> SigningKey::public_key() const {
  std::array<unsigned char, 32> public_key{};
  std::size_t length = public_key.size();
  EVP_PKEY_get_raw_public_key(key_.get(), public_key.data(), &length);
  return public_key;
}

}  // namespace tallowmere_core

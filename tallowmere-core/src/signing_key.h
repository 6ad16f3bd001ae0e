#pragma once
// An Ed25519 key pair held in memory. OpenSSL keeps the private scalar and wipes it when the key
// is freed, so dropping a SigningKey leaves no key material behind.
#include <array>
#include <expected>
#include <memory>
#include <span>
#include <string>
#include <string_view>

struct evp_pkey_st;

namespace tallowmere_core {

class SigningKey {
 public:
  // From the 32-byte private key (RFC 8032 seed); fails with OpenSSL's reason.
  static std::expected<SigningKey, std::string> from_private_bytes(std::span<const unsigned char> private_key);

  // The RFC 8032 signature of `message` (plain Ed25519: no prehash, no context).
  std::array<unsigned char, 64> sign(std::string_view message) const;
  std::array<unsigned char, 32> public_key() const;

 private:
  struct FreeKey {
    void operator()(evp_pkey_st* key) const noexcept;
  };
  explicit SigningKey(evp_pkey_st* key) : key_(key) {}
  std::unique_ptr<evp_pkey_st, FreeKey> key_;
};

}  // namespace tallowmere_core

#pragma once
// SecretBytes: key material that is wiped (OPENSSL_cleanse) when it is destroyed or replaced.
// Move-only. Its buffer is sized once at construction and never grows, so no unwiped copy of
// the bytes is ever left behind in freed memory by a reallocation.
#include <cstddef>
#include <span>
#include <utility>
#include <vector>

#include <openssl/crypto.h>

namespace tallowmere_core {

class SecretBytes {
 public:
  SecretBytes() = default;
  // `size` zero bytes, to be filled in place through bytes().
  explicit SecretBytes(std::size_t size) : bytes_(size) {}
  SecretBytes(SecretBytes&& other) noexcept : bytes_(std::exchange(other.bytes_, {})) {}
  SecretBytes& operator=(SecretBytes&& other) noexcept {
    if (this != &other) {
      wipe();
      bytes_ = std::exchange(other.bytes_, {});
    }
    return *this;
  }
  SecretBytes(const SecretBytes&) = delete;
  SecretBytes& operator=(const SecretBytes&) = delete;
  ~SecretBytes() { wipe(); }

  std::span<unsigned char> bytes() noexcept { return bytes_; }
  std::span<const unsigned char> bytes() const noexcept { return bytes_; }
  const unsigned char* data() const noexcept { return bytes_.data(); }
  std::size_t size() const noexcept { return bytes_.size(); }
  bool empty() const noexcept { return bytes_.empty(); }

  // Overwrites the bytes with zeros now; the size stays.
  void wipe() noexcept {
    if (!bytes_.empty()) OPENSSL_cleanse(bytes_.data(), bytes_.size());
  }

 private:
  std::vector<unsigned char> bytes_;
};

}  // namespace tallowmere_core

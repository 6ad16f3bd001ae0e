#pragma once
// SecretString: a password's text (a private key in Base64) in memory that is wiped when the
// text is dropped: on destruction, when it is assigned over, and on wipe(). It is move-only and
// moving hands the one buffer over, so the moved-from value is left empty with no copy behind.
// The wiping is tallowmere_core::SecretBytes'; this adds a text view and a length that can shrink.
#include <cstddef>
#include <cstring>
#include <string_view>
#include <utility>

#include <openssl/crypto.h>

#include "secret.h"  // tallowmere_core::SecretBytes

namespace tallowmere_cli::platform {

class SecretString {
 public:
  SecretString() noexcept = default;
  // A copy of `text`; wiping the source is the caller's business.
  explicit SecretString(std::string_view text) : SecretString(zeroed(text.size())) {
    if (!text.empty()) std::memcpy(data(), text.data(), text.size());
  }
  // `size` zero bytes, to be filled in place through data().
  static SecretString zeroed(std::size_t size) {
    SecretString secret;
    secret.buffer_ = tallowmere_core::SecretBytes(size);
    secret.size_ = size;
    return secret;
  }

  SecretString(SecretString&& other) noexcept
      : buffer_(std::move(other.buffer_)), size_(std::exchange(other.size_, 0)) {}
  SecretString& operator=(SecretString&& other) noexcept {
    if (this != &other) {
      buffer_ = std::move(other.buffer_);  // wipes the bytes held so far
      size_ = std::exchange(other.size_, 0);
    }
    return *this;
  }
  SecretString(const SecretString&) = delete;
  SecretString& operator=(const SecretString&) = delete;
  ~SecretString() = default;  // the buffer wipes itself

  std::string_view view() const noexcept { return {data(), size_}; }
  const char* data() const noexcept { return reinterpret_cast<const char*>(buffer_.data()); }
  char* data() noexcept { return reinterpret_cast<char*>(buffer_.bytes().data()); }
  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }

  // Keeps the first `size` bytes (no-op when `size` is not smaller) and wipes the rest at once.
  void truncate(std::size_t size) noexcept {
    if (size >= size_) return;
    OPENSSL_cleanse(data() + size, size_ - size);
    size_ = size;
  }
  // Wipes and frees the bytes; the value is empty afterwards.
  void wipe() noexcept {
    buffer_ = tallowmere_core::SecretBytes();
    size_ = 0;
  }

 private:
  tallowmere_core::SecretBytes buffer_;
  std::size_t size_ = 0;  // the text's length; the buffer may be longer after truncate()
};

}  // namespace tallowmere_cli::platform

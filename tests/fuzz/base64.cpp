// Base64 of stored private keys, decoded strictly. The input is tried both as text to decode and
// as bytes to encode; OpenSSL's encoder is the independent reference for the encoding.
#include <vector>

#include <openssl/evp.h>

#include "base64.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  namespace base64 = tallowmere_core::base64;
  using tallowmere_fuzz::broken;

  // Strict decoding accepts only the canonical text of some bytes, so encoding them gives it back.
  const std::string_view text = tallowmere_fuzz::as_text(data, size);
  auto decoded = base64::decode(text);
  if (decoded) {
    if (base64::encode(decoded->bytes()) != text) broken("decoding accepts only canonical text", text);
  } else if (decoded.error().empty()) {
    broken("a refused text comes with a reason", text);
  }

  const std::span<const unsigned char> bytes(data, size);
  const std::string encoded = base64::encode(bytes);
  std::vector<unsigned char> reference((size + 2) / 3 * 4 + 1);
  const int length = EVP_EncodeBlock(reference.data(), data, static_cast<int>(size));
  if (encoded != std::string_view(reinterpret_cast<const char*>(reference.data()), static_cast<std::size_t>(length))) {
    broken("encoding agrees with OpenSSL", encoded);
  }
  auto back = base64::decode(encoded);
  if (!back) broken("encoded bytes decode", back.error());
  if (!std::equal(back->bytes().begin(), back->bytes().end(), bytes.begin(), bytes.end())) {
    broken("encoded bytes decode to themselves", encoded);
  }
  return 0;
}

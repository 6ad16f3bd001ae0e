#pragma once
// Standard Base64 (RFC 4648 alphabet, "=" padding): encoding signatures, strictly decoding keys.
#include <expected>
#include <span>
#include <string>
#include <string_view>

#include "secret.h"

namespace tallowmere_core::base64 {

// `bytes` as padded standard Base64, without line breaks (64 bytes give 88 characters).
std::string encode(std::span<const unsigned char> bytes);

// Decodes canonical padded standard Base64 and nothing else: no white space, no line breaks, no
// missing or surplus "=", no non-zero bits in the unused low end of the last symbol. The result
// is held as SecretBytes because what is decoded here is key material. On failure, a one-line
// description of the first fault, e.g. "invalid symbol '-' at offset 4".
std::expected<SecretBytes, std::string> decode(std::string_view text);

}  // namespace tallowmere_core::base64

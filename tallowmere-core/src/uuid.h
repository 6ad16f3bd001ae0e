#pragma once
// Random (version 4) UUIDs, the identifier text of entries, content references and temporary files.
#include <array>
#include <expected>
#include <string>

#include "error.h"

namespace tallowmere_core::uuid {

// The operating system's random source could not be read.
struct RandomSourceError {
  IoSource source;  // the system's error, "{description} (os error N)"
  // "failed to read the operating system's random source: {source}"
  std::string message() const;
};

// A new version 4 UUID from 16 bytes of getrandom(2): 36 characters, lowercase hexadecimal in
// groups of 8-4-4-4-12 joined by hyphens. Fails only when the random source does.
std::expected<std::string, RandomSourceError> new_v4();

// The UUID text of `random_bytes` with the version (4) and the RFC 9562 variant bits set.
std::string format_v4(std::array<unsigned char, 16> random_bytes);

}  // namespace tallowmere_core::uuid

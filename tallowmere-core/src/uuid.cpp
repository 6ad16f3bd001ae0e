#include "uuid.h"

#include <cerrno>
#include <fmt/format.h>

#include "hash.h"
#include "posix.h"

namespace tallowmere_core::uuid {

std::string RandomSourceError::message() const {
  return fmt::format("failed to read the operating system's random source: {}", source.to_string());
}

std::expected<std::string, RandomSourceError> new_v4() {
  std::array<unsigned char, 16> bytes{};
  if (auto filled = posix::fill_random(bytes); !filled) return std::unexpected(RandomSourceError{std::move(filled).error()});
  return format_v4(bytes);
}

std::string format_v4(std::array<unsigned char, 16> random_bytes) {
  random_bytes[6] = static_cast<unsigned char>((random_bytes[6] & 0x0F) | 0x40);  // version 4
  random_bytes[8] = static_cast<unsigned char>((random_bytes[8] & 0x3F) | 0x80);  // variant 10xx
  const std::string hex = hash::to_hex(random_bytes);
  return fmt::format("{}-{}-{}-{}-{}", hex.substr(0, 8), hex.substr(8, 4), hex.substr(12, 4), hex.substr(16, 4),
                     hex.substr(20, 12));
}

}  // namespace tallowmere_core::uuid

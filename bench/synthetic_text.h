#pragma once
// Realistic field texts for synthetic ledgers, from a seeded generator so that every run writes
// the same bytes.
#include <array>
#include <cstdint>
#include <ctime>
#include <random>
#include <string>

#include <fmt/format.h>

#include "base64.h"
#include "uuid.h"

namespace tallowmere_bench {

class TextSource {
 public:
  explicit TextSource(std::uint64_t seed) : generator_(seed) {}

  std::string hex(std::size_t length) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string text(length, '0');
    for (char& c : text) c = digits[generator_() % 16];
    return text;
  }
  std::string uuid() {
    std::array<unsigned char, 16> bytes{};
    for (auto& byte : bytes) byte = static_cast<unsigned char>(generator_());
    // format_v4 sets the version and variant bits, so seeded bytes still give valid identifiers.
    return tallowmere_core::uuid::format_v4(bytes);
  }
  std::string signature() {
    std::array<unsigned char, 64> bytes{};
    for (auto& byte : bytes) byte = static_cast<unsigned char>(generator_());
    return tallowmere_core::base64::encode(bytes);
  }
  std::uint64_t below(std::uint64_t limit) { return generator_() % limit; }

 private:
  std::mt19937_64 generator_;
};

// The local time of the n-th checkpoint: one every 97 seconds from 2024-05-01T08:00:00Z, shown
// at +02:00.
inline std::string checkpoint_time(std::size_t n) {
  const std::time_t local = static_cast<std::time_t>(1'714'550'400 + n * 97 + 2 * 3600);
  std::tm parts{};
  gmtime_r(&local, &parts);
  return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}.{:03}+02:00", parts.tm_year + 1900, parts.tm_mon + 1,
                     parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec, (n * 37) % 1000);
}

}  // namespace tallowmere_bench

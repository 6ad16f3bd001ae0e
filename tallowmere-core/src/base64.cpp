#include "base64.h"

#include <array>
#include <fmt/format.h>

namespace tallowmere_core::base64 {
namespace {

constexpr std::string_view alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Symbol values, -1 for a byte outside the alphabet (the padding "=" included).
constexpr std::array<signed char, 256> symbol_values = [] {
  std::array<signed char, 256> values{};
  values.fill(-1);
  for (std::size_t i = 0; i < alphabet.size(); ++i)
    values[static_cast<unsigned char>(alphabet[i])] = static_cast<signed char>(i);
  return values;
}();

int value_of(char c) { return symbol_values[static_cast<unsigned char>(c)]; }

// A byte as a fault description shows it: printable ASCII quoted, anything else in hexadecimal.
std::string describe(char c) {
  const auto byte = static_cast<unsigned char>(c);
  if (byte > 0x20 && byte < 0x7F) return fmt::format("'{}'", c);
  return fmt::format("0x{:02x}", byte);
}

}  // namespace

std::string encode(std::span<const unsigned char> bytes) {
  std::string text;
  text.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const unsigned group = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
    text += alphabet[group >> 18];
    text += alphabet[(group >> 12) & 0x3F];
    text += alphabet[(group >> 6) & 0x3F];
    text += alphabet[group & 0x3F];
  }
  const std::size_t rest = bytes.size() - i;
  if (rest > 0) {
    const unsigned group = (bytes[i] << 16) | (rest == 2 ? bytes[i + 1] << 8 : 0);
    text += alphabet[group >> 18];
    text += alphabet[(group >> 12) & 0x3F];
    text += rest == 2 ? alphabet[(group >> 6) & 0x3F] : '=';
    text += '=';
  }
  return text;
}

std::expected<SecretBytes, std::string> decode(std::string_view text) {
  // Pass 1: every byte is a symbol or "=", and "=" only ends the text.
  std::size_t first_pad = std::string_view::npos;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '=') {
      if (first_pad == std::string_view::npos) first_pad = i;
      continue;
    }
    if (value_of(text[i]) < 0) return std::unexpected(fmt::format("invalid symbol {} at offset {}", describe(text[i]), i));
    if (first_pad != std::string_view::npos)
      return std::unexpected(
          fmt::format("invalid padding: '=' at offset {} is followed by a symbol at offset {}", first_pad, i));
  }
  const std::size_t symbols = first_pad == std::string_view::npos ? text.size() : first_pad;
  const std::size_t padding = text.size() - symbols;
  const std::size_t tail = symbols % 4;
  // One symbol carries only 6 bits: no byte count encodes to it.
  if (tail == 1)
    return std::unexpected(fmt::format("invalid input length {}: the last group holds a single symbol", symbols));
  const std::size_t expected_padding = tail == 0 ? 0 : 4 - tail;
  if (padding != expected_padding)
    return std::unexpected(fmt::format("invalid padding: expected {} '=' after {} symbols, found {}",
                                       expected_padding, symbols, padding));
  // The bits of the last symbol below the last whole byte must be zero, or two texts would
  // decode to the same bytes.
  if (tail != 0) {
    const std::size_t last = symbols - 1;
    const int unused_mask = tail == 2 ? 0x0F : 0x03;
    if ((value_of(text[last]) & unused_mask) != 0)
      return std::unexpected(fmt::format("invalid last symbol {} at offset {}: its unused low bits are not zero",
                                         describe(text[last]), last));
  }

  SecretBytes decoded(symbols / 4 * 3 + (tail == 0 ? 0 : tail - 1));
  const std::span<unsigned char> out = decoded.bytes();
  std::size_t o = 0;
  std::size_t i = 0;
  for (; i + 4 <= symbols; i += 4) {
    const unsigned group = (value_of(text[i]) << 18) | (value_of(text[i + 1]) << 12) |
                           (value_of(text[i + 2]) << 6) | value_of(text[i + 3]);
    out[o++] = static_cast<unsigned char>(group >> 16);
    out[o++] = static_cast<unsigned char>(group >> 8);
    out[o++] = static_cast<unsigned char>(group);
  }
  if (tail != 0) {
    unsigned group = (value_of(text[i]) << 18) | (value_of(text[i + 1]) << 12);
    if (tail == 3) group |= value_of(text[i + 2]) << 6;
    out[o++] = static_cast<unsigned char>(group >> 16);
    if (tail == 3) out[o++] = static_cast<unsigned char>(group >> 8);
  }
  return decoded;
}

}  // namespace tallowmere_core::base64

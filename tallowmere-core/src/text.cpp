#include "text.h"

#include <algorithm>

namespace tallowmere_core::text {
namespace {

// Decodes the scalar at `i` of valid UTF-8 text, advancing `i`.
char32_t decode(std::string_view s, std::size_t& i) {
  const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char lead = b(i);
  if (lead < 0x80) {
    ++i;
    return lead;
  }
  if (lead < 0xE0) {
    char32_t c = ((lead & 0x1F) << 6) | (b(i + 1) & 0x3F);
    i += 2;
    return c;
  }
  if (lead < 0xF0) {
    char32_t c = ((lead & 0x0F) << 12) | ((b(i + 1) & 0x3F) << 6) | (b(i + 2) & 0x3F);
    i += 3;
    return c;
  }
  char32_t c = ((lead & 0x07) << 18) | ((b(i + 1) & 0x3F) << 12) | ((b(i + 2) & 0x3F) << 6) |
               (b(i + 3) & 0x3F);
  i += 4;
  return c;
}

bool is_white_space(char32_t c) {
  switch (c) {
    case 0x09: case 0x0A: case 0x0B: case 0x0C: case 0x0D: case 0x20: case 0x85: case 0xA0:
    case 0x1680: case 0x2028: case 0x2029: case 0x202F: case 0x205F: case 0x3000:
      return true;
    default:
      return c >= 0x2000 && c <= 0x200A;
  }
}

// What a terminal or a log reader may act on instead of showing: the C0 and C1 controls and DEL
// (line breaks, escape sequences), the line and paragraph separators, and the bidirectional
// embeddings, overrides and isolates, which reorder the text that follows them.
bool is_console_control(char32_t c) {
  return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029 || (c >= 0x202A && c <= 0x202E) ||
         (c >= 0x2066 && c <= 0x2069);
}

}  // namespace

bool is_valid_utf8(std::string_view bytes) {
  std::size_t i = 0;
  while (i < bytes.size()) {
    // ASCII runs dominate ledger text; skip them eight bytes at a time.
    while (i + 8 <= bytes.size()) {
      std::uint64_t word;
      __builtin_memcpy(&word, bytes.data() + i, 8);
      if (word & 0x8080808080808080ULL) break;
      i += 8;
    }
    if (i >= bytes.size()) break;
    std::size_t bad;
    const std::size_t n = utf8_sequence_length(bytes, i, bad);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

bool is_utf8_prefix(std::string_view bytes) {
  if (is_valid_utf8(bytes)) return true;
  // Only the last character can be unfinished; its lead byte is at most three bytes from the end.
  std::size_t lead = bytes.size();
  while (lead > 0 && bytes.size() - lead < 3 && (static_cast<unsigned char>(bytes[lead - 1]) & 0xC0) == 0x80) --lead;
  if (lead == 0) return false;
  --lead;
  const auto first = static_cast<unsigned char>(bytes[lead]);
  if (first < 0xC2 || first > 0xF4) return false;
  // Ill-formed only for want of bytes: the invalid part runs exactly to the end.
  std::size_t bad;
  if (utf8_sequence_length(bytes, lead, bad) != 0 || lead + bad != bytes.size()) return false;
  return is_valid_utf8(bytes.substr(0, lead));
}

std::string lossy_utf8(std::string_view bytes) {
  if (is_valid_utf8(bytes)) return std::string(bytes);
  std::string out;
  out.reserve(bytes.size() + 8);
  std::size_t i = 0;
  while (i < bytes.size()) {
    std::size_t bad;
    const std::size_t n = utf8_sequence_length(bytes, i, bad);
    if (n == 0) {
      out += "\xEF\xBF\xBD";
      i += bad;
    } else {
      out.append(bytes.substr(i, n));
      i += n;
    }
  }
  return out;
}

std::string escape_control(std::string_view text) {
  const auto is_plain_ascii = [](char c) { return c >= 0x20 && c < 0x7F; };
  if (std::all_of(text.begin(), text.end(), is_plain_ascii)) return std::string(text);
  std::string out;
  out.reserve(text.size() + 8);
  std::size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (is_plain_ascii(c)) {
      out.push_back(c);
      ++i;
      continue;
    }
    std::size_t bad;
    const std::size_t n = utf8_sequence_length(text, i, bad);
    if (n == 0) {
      // Passed on as it is, a stray byte could be read as a C1 control by a terminal that decodes
      // leniently or not as UTF-8 at all; shown as in a path instead.
      out += "\xEF\xBF\xBD";
      i += bad;
      continue;
    }
    const std::size_t start = i;
    const char32_t scalar = decode(text, i);
    if (!is_console_control(scalar)) {
      out.append(text.substr(start, n));
      continue;
    }
    switch (scalar) {
      case '\b': out += "\\b"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\f': out += "\\f"; break;
      case '\r': out += "\\r"; break;
      default: {
        static constexpr char digits[] = "0123456789abcdef";
        out += "\\u";
        for (int shift = 12; shift >= 0; shift -= 4) out.push_back(digits[(scalar >> shift) & 0x0F]);
      }
    }
  }
  return out;
}

// escape_control shows what is not UTF-8 as U+FFFD itself.
std::string display(const std::filesystem::path& path) { return escape_control(path.native()); }

std::string_view trim_whitespace(std::string_view text) {
  std::size_t begin = 0;
  while (begin < text.size()) {
    std::size_t i = begin;
    if (!is_white_space(decode(text, i))) break;
    begin = i;
  }
  std::size_t end = text.size();
  while (end > begin) {
    std::size_t start = end - 1;
    while (start > begin && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
    std::size_t i = start;
    if (!is_white_space(decode(text, i))) break;
    end = start;
  }
  return text.substr(begin, end - begin);
}

bool is_blank(std::string_view text) { return trim_whitespace(text).empty(); }

std::size_t scalar_count(std::string_view text) {
  std::size_t n = 0;
  for (char c : text)
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++n;
  return n;
}

std::string_view first_scalars(std::string_view text, std::size_t count) {
  std::size_t i = 0;
  while (i < text.size() && count > 0) {
    decode(text, i);
    --count;
  }
  return text.substr(0, i);
}

}  // namespace tallowmere_core::text

#include "json/reader.h"

#include <array>
#include <charconv>
#include <cmath>

#include <fmt/format.h>

namespace tallowmere_core::json {
namespace {

// Bytes that end the fast scan inside a string: the quote, the backslash, control characters
// and the lead of a multi-byte sequence (which is validated on the slow path).
constexpr std::array<bool, 256> kStringSpecial = [] {
  std::array<bool, 256> table{};
  for (int c = 0; c < 0x20; ++c) table[c] = true;
  for (int c = 0x80; c < 0x100; ++c) table[c] = true;
  table['"'] = true;
  table['\\'] = true;
  return table;
}();

bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// Length of the well-formed UTF-8 sequence at `i`, or 0.
std::size_t utf8_sequence(std::string_view s, std::size_t i) {
  const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char lead = b(i);
  std::size_t need;
  unsigned char lo = 0x80, hi = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    need = 1;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    need = 2;
    if (lead == 0xE0) lo = 0xA0;
    if (lead == 0xED) hi = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    need = 3;
    if (lead == 0xF0) lo = 0x90;
    if (lead == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (i + need >= s.size()) return 0;
  for (std::size_t k = 1; k <= need; ++k) {
    const unsigned char c = b(i + k);
    if (c < (k == 1 ? lo : 0x80) || c > (k == 1 ? hi : 0xBF)) return 0;
  }
  return need + 1;
}

// serde-style rendering of a float found where something else was expected.
std::string describe_float(double value) {
  if (std::isfinite(value) && value == std::trunc(value) && std::fabs(value) < 1e17) {
    return fmt::format("{:.0f}", value);
  }
  return fmt::format("{}", value);
}

// The string as a Rust Debug literal, for "invalid type: string \"x\"" messages.
std::string quote_debug(std::string_view text) { return fmt::format("{:?}", text); }

}  // namespace

char Reader::peek() {
  while (pos_ < text_.size()) {
    const char c = text_[pos_];
    if (c != ' ' && c != '\n' && c != '\t' && c != '\r') return c;
    ++pos_;
  }
  return '\0';
}

bool Reader::fail(std::string message) {
  if (!failed_) {
    failed_ = true;
    message_ = std::move(message);
    error_pos_ = pos_;
  }
  return false;
}

bool Reader::fail_here(std::string message) {
  if (!failed_) {
    failed_ = true;
    message_ = std::move(message);
    error_pos_ = pos_ < text_.size() ? pos_ + 1 : pos_;
  }
  return false;
}

JsonError Reader::error() const {
  const std::size_t end = std::min(error_pos_, text_.size());
  std::uint64_t line = 1;
  std::size_t line_start = 0;
  for (std::size_t i = 0; i < end; ++i) {
    if (text_[i] == '\n') {
      ++line;
      line_start = i + 1;
    }
  }
  return JsonError{message_, line, error_pos_ - line_start};
}

bool Reader::read_string(std::string& out) {
  std::string_view view;
  if (!read_string_view(view, out)) return false;
  // When the text held an escape the view already is `out`.
  if (view.data() != out.data()) out.assign(view);
  return true;
}

bool Reader::read_string_view(std::string_view& out, std::string& scratch) {
  ++pos_;  // the opening quote
  std::size_t start = pos_;
  bool escaped = false;
  const std::size_t size = text_.size();
  while (true) {
    while (pos_ < size && !kStringSpecial[static_cast<unsigned char>(text_[pos_])]) ++pos_;
    if (pos_ >= size) return fail("EOF while parsing a string");
    const unsigned char c = static_cast<unsigned char>(text_[pos_]);
    if (c == '"') {
      if (escaped) {
        scratch.append(text_.substr(start, pos_ - start));
        out = scratch;
      } else {
        out = text_.substr(start, pos_ - start);
      }
      ++pos_;
      return true;
    }
    if (c == '\\') {
      if (!escaped) scratch.clear();
      escaped = true;
      scratch.append(text_.substr(start, pos_ - start));
      ++pos_;
      if (!read_escape(scratch)) return false;
      start = pos_;
      continue;
    }
    if (c < 0x20) {
      ++pos_;
      return fail("control character (\\u0000-\\u001F) found while parsing a string");
    }
    const std::size_t length = utf8_sequence(text_, pos_);
    if (length == 0) {
      ++pos_;
      return fail("invalid unicode code point");
    }
    pos_ += length;
  }
}

bool Reader::read_escape(std::string& out) {
  if (pos_ >= text_.size()) return fail("EOF while parsing a string");
  const char c = text_[pos_++];
  switch (c) {
    case '"': out += '"'; return true;
    case '\\': out += '\\'; return true;
    case '/': out += '/'; return true;
    case 'b': out += '\b'; return true;
    case 'f': out += '\f'; return true;
    case 'n': out += '\n'; return true;
    case 'r': out += '\r'; return true;
    case 't': out += '\t'; return true;
    case 'u': break;
    default: return fail("invalid escape");
  }
  const auto read_hex4 = [&](char32_t& value) {
    if (text_.size() - pos_ < 4) {
      pos_ = text_.size();
      return fail("EOF while parsing a string");
    }
    value = 0;
    for (int k = 0; k < 4; ++k) {
      const int digit = hex_value(text_[pos_++]);
      if (digit < 0) return fail("invalid escape");
      value = (value << 4) | static_cast<char32_t>(digit);
    }
    return true;
  };
  char32_t unit;
  if (!read_hex4(unit)) return false;
  if (unit >= 0xDC00 && unit <= 0xDFFF) return fail("lone leading surrogate in hex escape");
  if (unit >= 0xD800 && unit <= 0xDBFF) {
    if (pos_ >= text_.size()) return fail("EOF while parsing a string");
    if (text_[pos_] != '\\') return fail_here("lone leading surrogate in hex escape");
    ++pos_;
    if (pos_ >= text_.size()) return fail("EOF while parsing a string");
    if (text_[pos_] != 'u') return fail_here("unexpected end of hex escape");
    ++pos_;
    char32_t low;
    if (!read_hex4(low)) return false;
    if (low < 0xDC00 || low > 0xDFFF) return fail("lone leading surrogate in hex escape");
    unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
  }
  append_utf8(out, unit);
  return true;
}

bool Reader::parse_number(std::uint64_t& integer, bool& negative, bool& is_integer, double& value) {
  const std::size_t start = pos_;
  negative = false;
  is_integer = true;
  integer = 0;
  bool overflow = false;
  if (text_[pos_] == '-') {
    negative = true;
    ++pos_;
  }
  if (pos_ >= text_.size()) return fail("EOF while parsing a value");
  if (text_[pos_] == '0') {
    ++pos_;
    if (pos_ < text_.size() && is_digit(text_[pos_])) return fail_here("invalid number");
  } else if (is_digit(text_[pos_])) {
    while (pos_ < text_.size() && is_digit(text_[pos_])) {
      const std::uint64_t digit = static_cast<std::uint64_t>(text_[pos_] - '0');
      if (integer > (UINT64_MAX - digit) / 10) overflow = true;
      if (!overflow) integer = integer * 10 + digit;
      ++pos_;
    }
  } else {
    return fail_here("invalid number");
  }
  if (pos_ < text_.size() && text_[pos_] == '.') {
    is_integer = false;
    ++pos_;
    if (pos_ >= text_.size()) return fail("EOF while parsing a value");
    if (!is_digit(text_[pos_])) return fail_here("invalid number");
    while (pos_ < text_.size() && is_digit(text_[pos_])) ++pos_;
  }
  if (pos_ < text_.size() && (text_[pos_] == 'e' || text_[pos_] == 'E')) {
    is_integer = false;
    ++pos_;
    if (pos_ < text_.size() && (text_[pos_] == '+' || text_[pos_] == '-')) ++pos_;
    if (pos_ >= text_.size()) return fail("EOF while parsing a value");
    if (!is_digit(text_[pos_])) return fail_here("invalid number");
    while (pos_ < text_.size() && is_digit(text_[pos_])) ++pos_;
  }
  // "-0" and integers beyond 64 bits are floating-point numbers to a strict reader, as are
  // negative integers too large for a signed 64-bit value.
  if (is_integer && negative && (integer == 0 || integer > (std::uint64_t{1} << 63))) is_integer = false;
  if (overflow) is_integer = false;
  if (!is_integer) {
    const char* first = text_.data() + start;
    const char* last = text_.data() + pos_;
    const auto [ptr, ec] = std::from_chars(first, last, value);
    if (ec == std::errc::result_out_of_range || !std::isfinite(value)) {
      // from_chars reports underflow as out of range too; a tiny number is just zero.
      bool underflow = ec == std::errc::result_out_of_range;
      for (const char* p = first; p < last && underflow; ++p) {
        if (*p == 'e' || *p == 'E') underflow = p + 1 < last && p[1] == '-';
      }
      if (!underflow) return fail("number out of range");
      value = negative ? -0.0 : 0.0;
    } else if (ec != std::errc{} || ptr != last) {
      return fail("invalid number");
    }
  }
  return true;
}

bool Reader::read_unsigned(std::uint64_t& out, std::uint64_t max, std::string_view expected) {
  const char c = peek();
  if (c != '-' && !is_digit(c)) return fail_invalid_type(expected);
  std::uint64_t integer;
  bool negative, is_integer;
  double value = 0;
  if (!parse_number(integer, negative, is_integer, value)) return false;
  if (!is_integer) {
    return fail(fmt::format("invalid type: floating point `{}`, expected {}", describe_float(value), expected));
  }
  if (negative) return fail(fmt::format("invalid value: integer `-{}`, expected {}", integer, expected));
  if (integer > max) return fail(fmt::format("invalid value: integer `{}`, expected {}", integer, expected));
  out = integer;
  return true;
}

bool Reader::expect_literal(std::string_view rest) {
  for (char expected : rest) {
    if (pos_ >= text_.size()) return fail("EOF while parsing a value");
    if (text_[pos_++] != expected) return fail("expected ident");
  }
  return true;
}

bool Reader::read_bool(bool& out) {
  const char c = peek();
  if (c == 't') {
    ++pos_;
    out = true;
    return expect_literal("rue");
  }
  if (c == 'f') {
    ++pos_;
    out = false;
    return expect_literal("alse");
  }
  return fail_invalid_type("a boolean");
}

bool Reader::take_null() {
  if (failed_ || peek() != 'n') return false;
  ++pos_;
  return expect_literal("ull");
}

bool Reader::enter(char open) {
  if (++depth_ > kMaxDepth) {
    ++pos_;
    return fail("recursion limit exceeded");
  }
  (void)open;
  ++pos_;
  return true;
}

bool Reader::skip_value() {
  const char c = peek();
  if (at_end()) return fail("EOF while parsing a value");
  switch (c) {
    case '"': {
      std::string scratch;
      std::string_view ignored;
      return read_string_view(ignored, scratch);
    }
    case 't': ++pos_; return expect_literal("rue");
    case 'f': ++pos_; return expect_literal("alse");
    case 'n': ++pos_; return expect_literal("ull");
    case '[': {
      if (!enter('[')) return false;
      bool first = true;
      while (next_element(first)) {
        if (!skip_value()) return false;
      }
      leave();
      return !failed_;
    }
    case '{': {
      if (!enter('{')) return false;
      bool first = true;
      std::string_view key;
      std::string scratch;
      while (next_key(first, key, scratch)) {
        if (!skip_value()) return false;
      }
      leave();
      return !failed_;
    }
    default:
      if (c == '-' || is_digit(c)) {
        std::uint64_t integer;
        bool negative, is_integer;
        double value;
        return parse_number(integer, negative, is_integer, value);
      }
      return fail_here("expected value");
  }
}

bool Reader::next_key(bool& first, std::string_view& key, std::string& scratch) {
  if (failed_) return false;
  char c = peek();
  if (at_end()) return fail("EOF while parsing an object");
  if (c == '}') {
    ++pos_;
    return false;
  }
  if (!first) {
    if (c != ',') return fail_here("expected `,` or `}`");
    ++pos_;
    c = peek();
    if (at_end()) return fail("EOF while parsing a value");
    if (c == '}') return fail_here("trailing comma");
  }
  first = false;
  if (c != '"') return fail_here("key must be a string");
  if (!read_string_view(key, scratch)) return false;
  c = peek();
  if (at_end()) return fail("EOF while parsing an object");
  if (c != ':') return fail_here("expected `:`");
  ++pos_;
  return true;
}

bool Reader::next_element(bool& first) {
  if (failed_) return false;
  char c = peek();
  if (at_end()) return fail("EOF while parsing a list");
  if (c == ']') {
    ++pos_;
    return false;
  }
  if (!first) {
    if (c != ',') return fail_here("expected `,` or `]`");
    ++pos_;
    c = peek();
    if (at_end()) return fail("EOF while parsing a value");
    if (c == ']') return fail_here("trailing comma");
  }
  first = false;
  return true;
}

bool Reader::end_array() {
  const char c = peek();
  if (at_end()) return fail("EOF while parsing a list");
  if (c == ']') {
    ++pos_;
    return true;
  }
  if (c == ',') {
    ++pos_;
    if (peek() == ']') return fail_here("trailing comma");
    return fail_here("trailing characters");
  }
  return fail_here("expected `,` or `]`");
}

bool Reader::end_enum_object() {
  const char c = peek();
  if (at_end()) return fail("EOF while parsing an object");
  if (c == '}') {
    ++pos_;
    return true;
  }
  return fail_here("expected value");
}

bool Reader::expect_end() {
  if (failed_) return false;
  peek();
  if (!at_end()) return fail_here("trailing characters");
  return true;
}

std::string Reader::describe_next() {
  const char c = peek();
  switch (c) {
    case 'n': ++pos_; expect_literal("ull"); return "null";
    case 't': ++pos_; expect_literal("rue"); return "boolean `true`";
    case 'f': ++pos_; expect_literal("alse"); return "boolean `false`";
    case '"': {
      std::string scratch;
      std::string_view value;
      if (!read_string_view(value, scratch)) return {};
      return "string " + quote_debug(value);
    }
    case '[': return "sequence";
    case '{': return "map";
    default: {
      std::uint64_t integer;
      bool negative, is_integer;
      double value = 0;
      if (!parse_number(integer, negative, is_integer, value)) return {};
      if (is_integer) return fmt::format("integer `{}{}`", negative ? "-" : "", integer);
      return fmt::format("floating point `{}`", describe_float(value));
    }
  }
}

bool Reader::fail_invalid_type(std::string_view expected) {
  if (failed_) return false;
  const char c = peek();
  if (at_end()) return fail("EOF while parsing a value");
  const bool scalar_start = c == 'n' || c == 't' || c == 'f' || c == '"' || c == '-' || is_digit(c);
  if (!scalar_start && c != '[' && c != '{') return fail_here("expected value");
  const std::string found = describe_next();
  if (failed_) return false;
  const std::string message = fmt::format("invalid type: {}, expected {}", found, expected);
  return scalar_start ? fail(message) : fail_here(message);
}

}  // namespace tallowmere_core::json

#include "json/reader.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <climits>
#include <optional>
#include <cmath>
#include <cstring>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <fmt/format.h>

#include "posix.h"
#include "text.h"

namespace tallowmere_core::json {
namespace {

// Bytes that end the fast scan inside a string: the quote, the backslash, control characters
// and the lead of a multi-byte sequence (which is validated on the slow path).
constexpr std::array<bool, 256> string_special = [] {
  std::array<bool, 256> table{};
  for (int c = 0; c < 0x20; ++c) table[c] = true;
  for (int c = 0x80; c < 0x100; ++c) table[c] = true;
  table['"'] = true;
  table['\\'] = true;
  return table;
}();

}  // namespace

std::size_t detail::scan_plain(std::string_view text, std::size_t pos) {
#if defined(__SSE2__)
  // Sixteen bytes at a time where the processor has the instructions (every x86-64 does): the
  // strings of a ledger line run to 36-88 bytes, so most end within a few steps.
  {
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    const __m128i below_space = _mm_set1_epi8(0x1F);
    while (pos + 16 <= text.size()) {
      const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data() + pos));
      // Unsigned bytes up to 0x1F are those that min(byte, 0x1F) leaves unchanged; bytes from
      // 0x80 on have their sign bit, which the mask takes directly.
      const __m128i special = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(bytes, quote), _mm_cmpeq_epi8(bytes, backslash)),
                                           _mm_cmpeq_epi8(_mm_min_epu8(bytes, below_space), bytes));
      const auto mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(special, bytes)));
      if (mask != 0) return pos + static_cast<std::size_t>(std::countr_zero(mask));
      pos += 16;
    }
  }
#endif
  // Then eight bytes at a time: a lane is flagged when it is a quote, a backslash, below 0x20 or
  // above 0x7F. Borrows can flag lanes after a real match, never before one, so the lowest flag
  // is exact.
  if constexpr (std::endian::native == std::endian::little) {
    constexpr std::uint64_t ones = 0x0101010101010101ULL;
    constexpr std::uint64_t high = 0x8080808080808080ULL;
    while (pos + 8 <= text.size()) {
      std::uint64_t word;
      std::memcpy(&word, text.data() + pos, sizeof word);
      const std::uint64_t quote = word ^ (ones * '"');
      const std::uint64_t backslash = word ^ (ones * '\\');
      const std::uint64_t flags = (((quote - ones) & ~quote) | ((backslash - ones) & ~backslash) |
                                   ((word - ones * 0x20) & ~word) | word) &
                                  high;
      if (flags != 0) return pos + static_cast<std::size_t>(std::countr_zero(flags)) / 8;
      pos += 8;
    }
  }
  while (pos < text.size() && !string_special[static_cast<unsigned char>(text[pos])]) ++pos;
  return pos;
}

namespace {

constexpr std::string_view control_in_string = "control character (\\u0000-\\u001F) found while parsing a string";

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

// A double as Rust's Display writes it (shortest digits, never an exponent), for the found
// value of an "invalid type" message.
std::string describe_float(double value) {
  if (value == 0) return std::signbit(value) ? "-0" : "0";
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  const std::string_view scientific(buffer, static_cast<std::size_t>(result.ptr - buffer));
  const std::size_t e_at = scientific.find('e');
  std::string out;
  std::string digits;
  for (char c : scientific.substr(0, e_at)) {
    if (c == '-') out += '-';
    else if (c != '.') digits += c;
  }
  int exponent = 0;
  const char* exponent_start = scientific.data() + e_at + 1;
  if (*exponent_start == '+') ++exponent_start;
  std::from_chars(exponent_start, scientific.data() + scientific.size(), exponent);
  const auto k = static_cast<int>(digits.size());
  if (exponent >= 0) {
    if (k <= exponent + 1) {
      out += digits;
      out.append(static_cast<std::size_t>(exponent + 1 - k), '0');
    } else {
      out += digits.substr(0, static_cast<std::size_t>(exponent + 1));
      out += '.';
      out += digits.substr(static_cast<std::size_t>(exponent + 1));
    }
  } else {
    out += "0.";
    out.append(static_cast<std::size_t>(-exponent - 1), '0');
    out += digits;
  }
  return out;
}

// The string as a Rust Debug literal, for "invalid type: string \"x\"" messages.
std::string quote_debug(std::string_view text) {
  std::string out = "\"";
  for (char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default:
        if (c < 0x20 || c == 0x7F) out += fmt::format("\\u{{{:x}}}", c);
        else out += ch;
    }
  }
  out += '"';
  return out;
}

// The kinds of the containers enclosing a skipped value, one bit per level. A skipped value may
// nest as deep as its text goes (a strict reader accepts that for values it discards), so levels
// beyond the first 128 spill into words on the heap: one bit per byte of input at the most.
class FrameStack {
 public:
  bool empty() const { return size_ == 0; }
  void push(bool object) {
    const std::size_t index = size_ / 64;
    if (index >= inline_words && deep_.size() <= index - inline_words) deep_.push_back(0);
    std::uint64_t& word = word_at(index);
    const std::uint64_t bit = std::uint64_t{1} << (size_ % 64);
    word = object ? (word | bit) : (word & ~bit);
    ++size_;
  }
  void pop() { --size_; }
  bool top_is_object() const { return (word_at((size_ - 1) / 64) >> ((size_ - 1) % 64)) & 1; }

 private:
  static constexpr std::size_t inline_words = 2;
  std::uint64_t& word_at(std::size_t index) { return index < inline_words ? words_[index] : deep_[index - inline_words]; }
  const std::uint64_t& word_at(std::size_t index) const {
    return index < inline_words ? words_[index] : deep_[index - inline_words];
  }

  std::array<std::uint64_t, inline_words> words_{};
  std::vector<std::uint64_t> deep_;
  std::size_t size_ = 0;
};

}  // namespace

char Reader::peek_past_space() {
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
    error_pos_ = std::min(pos_, text_.size());
  }
  return false;
}

bool Reader::fail(const char* message) { return fail(std::string(message)); }

bool Reader::fail_bad_character() {
  if (text_.size() - pos_ < 4 && text::is_utf8_prefix(text_.substr(pos_))) {
    pos_ = text_.size();
    return fail("EOF while parsing a string");
  }
  ++pos_;
  return fail("invalid unicode code point");
}

bool Reader::fail_here(const char* message) { return fail_here(std::string(message)); }

bool Reader::fail_here(std::string message) {
  if (!failed_) {
    failed_ = true;
    message_ = std::move(message);
    error_pos_ = std::min(pos_ + 1, text_.size());
  }
  return false;
}

JsonError Reader::error() const {
  std::uint64_t line = 1;
  std::size_t line_start = 0;
  for (std::size_t i = 0; i < error_pos_; ++i) {
    if (text_[i] == '\n') {
      ++line;
      line_start = i + 1;
    }
  }
  return JsonError{message_, line, error_pos_ - line_start};
}

bool Reader::finish_string_view(std::size_t start, std::size_t stop, std::string_view& out, std::string& scratch) {
  pos_ = stop;
  bool escaped = false;
  const std::size_t size = text_.size();
  for (bool scanned = true;; scanned = false) {
    if (!scanned) pos_ = detail::scan_plain(text_, pos_);
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
      return fail(std::string(control_in_string));
    }
    const std::size_t length = text::utf8_sequence_length(text_, pos_);
    if (length == 0) return fail_bad_character();
    pos_ += length;
  }
}

bool Reader::read_hex4(char32_t& value) {
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
  char32_t unit;
  if (!read_hex4(unit)) return false;
  // Text must be Unicode scalar values, so a surrogate escape only counts as half of a pair.
  if (unit >= 0xDC00 && unit <= 0xDFFF) return fail("lone leading surrogate in hex escape");
  if (unit >= 0xD800 && unit <= 0xDBFF) {
    for (const char expected : {'\\', 'u'}) {
      if (pos_ >= text_.size()) return fail("EOF while parsing a string");
      if (text_[pos_++] != expected) return fail("unexpected end of hex escape");
    }
    char32_t low;
    if (!read_hex4(low)) return false;
    if (low < 0xDC00 || low > 0xDFFF) return fail("lone leading surrogate in hex escape");
    unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
  }
  append_utf8(out, unit);
  return true;
}

bool Reader::skip_string() {
  ++pos_;  // the opening quote
  const std::size_t size = text_.size();
  while (true) {
    pos_ = detail::scan_plain(text_, pos_);
    if (pos_ >= size) return fail("EOF while parsing a string");
    const unsigned char c = static_cast<unsigned char>(text_[pos_]);
    if (c == '"') {
      ++pos_;
      return true;
    }
    if (c == '\\') {
      ++pos_;
      if (pos_ >= size) return fail("EOF while parsing a string");
      switch (text_[pos_++]) {
        case '"': case '\\': case '/': case 'b': case 'f': case 'n': case 'r': case 't':
          break;
        case 'u': {
          // A discarded string is never turned into text, so its surrogates need not pair.
          char32_t ignored;
          if (!read_hex4(ignored)) return false;
          break;
        }
        default:
          return fail("invalid escape");
      }
      continue;
    }
    if (c < 0x20) return fail(std::string(control_in_string));
    const std::size_t length = text::utf8_sequence_length(text_, pos_);
    if (length == 0) return fail_bad_character();
    pos_ += length;
  }
}

bool Reader::parse_number(bool negative, std::size_t start, Number& out) {
  const std::size_t size = text_.size();
  if (pos_ >= size) return fail("EOF while parsing a value");
  const char first = text_[pos_++];
  std::uint64_t significand = 0;
  bool is_float = false;
  if (first == '0') {
    if (pos_ < size && is_digit(text_[pos_])) return fail_here("invalid number");
  } else if (first >= '1' && first <= '9') {
    significand = static_cast<std::uint64_t>(first - '0');
    // Nineteen digits always fit in 64 bits; only the digits after them need the overflow test.
    const std::size_t unchecked_end = std::min(size, pos_ + 18);
    for (; pos_ < unchecked_end && is_digit(text_[pos_]); ++pos_)
      significand = significand * 10 + static_cast<std::uint64_t>(text_[pos_] - '0');
    for (; pos_ < size && is_digit(text_[pos_]); ++pos_) {
      const auto digit = static_cast<std::uint64_t>(text_[pos_] - '0');
      // Integers beyond 64 bits are floating-point numbers to a strict reader.
      if (!is_float && significand > (UINT64_MAX - digit) / 10) is_float = true;
      if (!is_float) significand = significand * 10 + digit;
    }
  } else {
    return fail("invalid number");
  }
  if (pos_ < size && text_[pos_] == '.') {
    const std::size_t digits = ++pos_;
    while (pos_ < size && is_digit(text_[pos_])) ++pos_;
    if (pos_ == digits) return fail_here(pos_ < size ? "invalid number" : "EOF while parsing a value");
    is_float = true;
  }
  if (pos_ < size && (text_[pos_] == 'e' || text_[pos_] == 'E')) {
    ++pos_;
    if (pos_ < size && (text_[pos_] == '+' || text_[pos_] == '-')) ++pos_;
    if (pos_ >= size) return fail("EOF while parsing a value");
    if (!is_digit(text_[pos_++])) return fail("invalid number");
    while (pos_ < size && is_digit(text_[pos_])) ++pos_;
    is_float = true;
  }
  if (!is_float) {
    if (!negative) {
      out = {NumberKind::Unsigned, significand, 0};
      return true;
    }
    // "-0" and negatives below the signed 64-bit range are floating-point numbers too.
    if (significand != 0 && significand <= (std::uint64_t{1} << 63)) {
      out = {NumberKind::Negative, significand, 0};
      return true;
    }
  }
  const std::string_view number = text_.substr(start, pos_ - start);
  const auto value = posix::decimal_to_double(number);
  if (!value) return fail("invalid number");
  // Past the largest double; below the smallest subnormal the value is a zero of the number's sign.
  if (std::isinf(*value)) return fail("number out of range");
  out = {NumberKind::Float, 0, *value};
  return true;
}

bool Reader::skip_number() {
  const std::size_t size = text_.size();
  if (pos_ >= size) return fail("invalid number");
  const char first = text_[pos_++];
  if (first == '0') {
    if (pos_ < size && is_digit(text_[pos_])) return fail_here("invalid number");
  } else if (first >= '1' && first <= '9') {
    while (pos_ < size && is_digit(text_[pos_])) ++pos_;
  } else {
    return fail("invalid number");
  }
  if (pos_ < size && text_[pos_] == '.') {
    const std::size_t digits = ++pos_;
    while (pos_ < size && is_digit(text_[pos_])) ++pos_;
    if (pos_ == digits) return fail_here("invalid number");
  }
  if (pos_ < size && (text_[pos_] == 'e' || text_[pos_] == 'E')) {
    ++pos_;
    if (pos_ < size && (text_[pos_] == '+' || text_[pos_] == '-')) ++pos_;
    if (pos_ >= size) return fail("invalid number");
    if (!is_digit(text_[pos_++])) return fail("invalid number");
    while (pos_ < size && is_digit(text_[pos_])) ++pos_;
  }
  return true;
}

bool Reader::read_unsigned(std::uint64_t& out, std::uint64_t max, std::string_view expected) {
  if (failed_) return false;
  const char c = peek();
  if (at_end()) return fail_here("EOF while parsing a value");
  const bool negative = c == '-';
  if (!negative && !is_digit(c)) return fail_invalid_type(expected);
  const std::size_t start = pos_;
  if (negative) ++pos_;
  Number number;
  if (!parse_number(negative, start, number)) return false;
  switch (number.kind) {
    case NumberKind::Float:
      return fail(fmt::format("invalid type: floating point `{}`, expected {}", describe_float(number.value), expected));
    case NumberKind::Negative:
      return fail(fmt::format("invalid value: integer `-{}`, expected {}", number.magnitude, expected));
    case NumberKind::Unsigned:
      if (number.magnitude > max) {
        return fail(fmt::format("invalid value: integer `{}`, expected {}", number.magnitude, expected));
      }
      out = number.magnitude;
      return true;
  }
  return false;
}

bool Reader::expect_literal(std::string_view rest) {
  for (char expected : rest) {
    if (pos_ >= text_.size()) return fail("EOF while parsing a value");
    if (text_[pos_++] != expected) return fail("expected ident");
  }
  return true;
}

bool Reader::read_bool(bool& out) {
  if (failed_) return false;
  const char c = peek();
  if (at_end()) return fail_here("EOF while parsing a value");
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

bool Reader::take_null_slow() {
  if (failed_ || peek() != 'n') return false;
  ++pos_;
  return expect_literal("ull");
}

bool Reader::enter() {
  if (failed_) return false;
  if (depth_ + 1 >= max_depth) return fail_here("recursion limit exceeded");
  ++depth_;
  ++pos_;
  return true;
}

bool Reader::skip_value() {
  if (failed_) return false;
  FrameStack frames;
  while (true) {
    const char c = peek();
    if (at_end()) return fail_here("EOF while parsing a value");
    bool opened = false;
    switch (c) {
      case 'n': ++pos_; if (!expect_literal("ull")) return false; break;
      case 't': ++pos_; if (!expect_literal("rue")) return false; break;
      case 'f': ++pos_; if (!expect_literal("alse")) return false; break;
      case '"': if (!skip_string()) return false; break;
      case '-': ++pos_; if (!skip_number()) return false; break;
      case '[':
      case '{':
        ++pos_;
        frames.push(c == '{');
        opened = true;
        break;
      default:
        if (!is_digit(c)) return fail_here("expected value");
        if (!skip_number()) return false;
    }
    if (frames.empty()) return true;
    // After a value a separator or closers may follow; right after an opening bracket only a
    // closer or the first member does.
    bool accept_comma = !opened;
    bool object = frames.top_is_object();
    while (true) {
      const char next = peek();
      if (at_end()) return fail_here(object ? "EOF while parsing an object" : "EOF while parsing a list");
      if (next == ',' && accept_comma) {
        ++pos_;
        break;
      }
      if (next == (object ? '}' : ']')) {
        ++pos_;
        frames.pop();
        if (frames.empty()) return true;
        object = frames.top_is_object();
        accept_comma = true;
        continue;
      }
      if (accept_comma) return fail_here(object ? "expected `,` or `}`" : "expected `,` or `]`");
      break;
    }
    if (object) {
      const char key = peek();
      if (at_end()) return fail_here("EOF while parsing an object");
      if (key != '"') return fail_here("key must be a string");
      if (!skip_string() || !expect_colon()) return false;
    }
  }
}

bool Reader::next_key_slow(bool& first, std::string_view& key, std::string& scratch, std::string_view likely) {
  if (failed_) return false;
  char c = peek();
  if (at_end()) return fail_here("EOF while parsing an object");
  if (c == '}') {
    ++pos_;
    return false;
  }
  if (!first) {
    if (c != ',') return fail_here("expected `,` or `}`");
    ++pos_;
    c = peek();
    if (at_end()) return fail_here("EOF while parsing a value");
    if (c == '}') return fail_here("trailing comma");
  }
  first = false;
  if (c != '"') return fail_here("key must be a string");
  const std::size_t length = likely.size();
  if (length > 0 && text_.size() - pos_ > length + 1 && text_[pos_ + 1 + length] == '"' &&
      std::memcmp(text_.data() + pos_ + 1, likely.data(), length) == 0) {
    pos_ += length + 2;
    key = likely;
    return true;
  }
  return read_string_view(key, scratch);
}

bool Reader::expect_colon_slow() {
  if (failed_) return false;
  const char c = peek();
  if (at_end()) return fail_here("EOF while parsing an object");
  if (c != ':') return fail_here("expected `:`");
  ++pos_;
  return true;
}

bool Reader::next_element_slow(bool& first) {
  if (failed_) return false;
  char c = peek();
  if (at_end()) return fail_here("EOF while parsing a list");
  if (c == ']') {
    ++pos_;
    return false;
  }
  if (!first) {
    if (c != ',') return fail_here("expected `,` or `]`");
    ++pos_;
    c = peek();
    if (at_end()) return fail_here("EOF while parsing a value");
    if (c == ']') return fail_here("trailing comma");
  }
  first = false;
  return true;
}

bool Reader::end_array() {
  if (failed_) return false;
  const char c = peek();
  if (at_end()) return fail_here("EOF while parsing a list");
  if (c == ']') {
    ++pos_;
    return true;
  }
  if (c == ',') {
    ++pos_;
    if (peek() == ']' && !at_end()) return fail_here("trailing comma");
  }
  return fail_here("trailing characters");
}

bool Reader::end_enum_object() {
  if (failed_) return false;
  const char c = peek();
  if (at_end()) return fail("EOF while parsing an object");
  if (c != '}') return fail("expected value");
  ++pos_;
  return true;
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
    default: {
      const std::size_t start = pos_;
      const bool negative = c == '-';
      if (negative) ++pos_;
      Number number;
      if (!parse_number(negative, start, number)) return {};
      switch (number.kind) {
        case NumberKind::Unsigned: return fmt::format("integer `{}`", number.magnitude);
        case NumberKind::Negative: return fmt::format("integer `-{}`", number.magnitude);
        case NumberKind::Float: return fmt::format("floating point `{}`", describe_float(number.value));
      }
      return {};
    }
  }
}

bool Reader::fail_invalid_type(std::string_view expected) {
  if (failed_) return false;
  const char c = peek();
  if (at_end()) return fail_here("EOF while parsing a value");
  if (c == '[') return fail(fmt::format("invalid type: sequence, expected {}", expected));
  if (c == '{') return fail(fmt::format("invalid type: map, expected {}", expected));
  const bool scalar_start = c == 'n' || c == 't' || c == 'f' || c == '"' || c == '-' || is_digit(c);
  if (!scalar_start) return fail_here("expected value");
  const std::string found = describe_next();
  if (failed_) return false;
  return fail(fmt::format("invalid type: {}, expected {}", found, expected));
}

}  // namespace tallowmere_core::json

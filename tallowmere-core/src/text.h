#pragma once
// Small UTF-8 helpers shared by every reader and message of the system.
#include <filesystem>
#include <string>
#include <string_view>

namespace tallowmere_core::text {

// Length of the well-formed sequence starting at `i`, or 0 when it is ill-formed; `bad` then
// receives the length of the maximal invalid subpart (at least 1). Inline: the JSON reader's
// string scan calls it for every character beyond ASCII.
inline std::size_t utf8_sequence_length(std::string_view s, std::size_t i, std::size_t& bad) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char lead = byte(i);
  bad = 1;
  if (lead < 0x80) return 1;
  std::size_t need = 0;
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
  for (std::size_t k = 1; k <= need; ++k) {
    if (i + k >= s.size()) return 0;
    const unsigned char c = byte(i + k);
    const unsigned char l = k == 1 ? lo : 0x80, h = k == 1 ? hi : 0xBF;
    if (c < l || c > h) return 0;
    bad = k + 1;
  }
  return need + 1;
}

inline std::size_t utf8_sequence_length(std::string_view s, std::size_t i) {
  std::size_t bad;
  return utf8_sequence_length(s, i, bad);
}

// True when `bytes` is well-formed UTF-8 (no overlongs, no surrogates, nothing above U+10FFFF).
bool is_valid_utf8(std::string_view bytes);

// True when `bytes` is well-formed UTF-8 or becomes it once its last character is finished: what
// a write cut short inside a character leaves behind.
bool is_utf8_prefix(std::string_view bytes);

// `bytes` with every ill-formed sequence replaced by U+FFFD, the way Rust's from_utf8_lossy does
// (one replacement per maximal invalid subpart).
std::string lossy_utf8(std::string_view bytes);

// `text` with every character that a terminal or log reader may act on written as an escape:
// the C0 controls (\b, \t, \n, \f, \r, else \u00XX), DEL and the C1 controls (\u007f to \u009f),
// the line and paragraph separators (\u2028, \u2029) and the bidirectional controls (\u202a to
// \u202e, \u2066 to \u2069), all with lowercase hexadecimal; bytes that are not UTF-8 become
// U+FFFD, as in lossy_utf8. A value interpolated into a console line can then never add a line of
// its own, reorder what follows it or reach the terminal as a control sequence. Text without any
// of these comes back unchanged (a backslash is left as it is), so escaping twice changes nothing.
std::string escape_control(std::string_view text);

// A path in its display form: its bytes, invalid UTF-8 shown as U+FFFD, control characters
// escaped.
std::string display(const std::filesystem::path& path);

// Unicode White_Space trimmed from both ends (input assumed to be UTF-8).
std::string_view trim_whitespace(std::string_view text);

// True when the text holds nothing but Unicode White_Space.
bool is_blank(std::string_view text);

// Number of Unicode scalar values in well-formed UTF-8 text.
std::size_t scalar_count(std::string_view text);

// The first `count` scalar values of well-formed UTF-8 text.
std::string_view first_scalars(std::string_view text, std::size_t count);

}  // namespace tallowmere_core::text

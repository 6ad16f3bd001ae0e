#pragma once
// The strict JSON reader: a cursor over one document that typed record readers pull tokens from.
// It never builds a value tree. The first failure is kept (message and position) and every later
// call fails at once, so callers simply return false up the stack.
//
// Positions follow one rule: a failure about something already consumed (a whole value, a bad
// byte inside a token) is placed after it; a failure about a byte that cannot start what comes
// next is placed on that byte. Columns count bytes from the start of the line.
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "error.h"

namespace tallowmere_core::json {

// Typed containers nested this deep are refused. The records of this system nest a handful of
// levels, so only a custom codec could come near it; skipped values are walked without recursion
// and need no limit.
inline constexpr int max_depth = 128;

namespace detail {
// The first byte at or after `pos` that ends the plain part of a string: a quote, a backslash, a
// control character or a non-ASCII byte (or `text.size()`).
std::size_t scan_plain(std::string_view text, std::size_t pos);

// Equality of `size` bytes, for the short keys of a record: word compares instead of a call.
inline bool same_bytes(const char* a, const char* b, std::size_t size) {
  const auto word = [](const char* p) {
    std::uint64_t value;
    std::memcpy(&value, p, sizeof value);
    return value;
  };
  if (size >= 8) {
    for (std::size_t i = 0; i + 8 < size; i += 8)
      if (word(a + i) != word(b + i)) return false;
    return word(a + size - 8) == word(b + size - 8);  // the last word may overlap the one before
  }
  for (std::size_t i = 0; i < size; ++i)
    if (a[i] != b[i]) return false;
  return true;
}
}  // namespace detail

class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {}

  // --- cursor ---------------------------------------------------------------------------------
  // Skips JSON white space and returns the next byte without consuming it ('\0' at the end, and
  // for a NUL byte in the text: check at_end() where the difference matters).
  char peek() {
    // Compact lines hold no white space between tokens: the byte at the cursor is the answer.
    if (pos_ < text_.size() && static_cast<unsigned char>(text_[pos_]) > ' ') return text_[pos_];
    return peek_past_space();
  }
  bool at_end() const { return pos_ >= text_.size(); }
  void advance() { ++pos_; }
  std::size_t position() const { return pos_; }

  // --- failures -------------------------------------------------------------------------------
  // Records `message` after the bytes consumed so far.
  bool fail(std::string message);
  [[gnu::cold, gnu::noinline]] bool fail(const char* message);
  // Records `message` on the next, unconsumed byte (a token that cannot start here).
  bool fail_here(std::string message);
  [[gnu::cold, gnu::noinline]] bool fail_here(const char* message);
  // Records why the bytes at the cursor, inside a string, are no character: input that stops
  // inside one is cut short like any other unfinished string.
  [[gnu::cold, gnu::noinline]] bool fail_bad_character();
  bool failed() const { return failed_; }
  // The first failure with " at line L column C", ready for a CoreError or a chain.
  JsonError error() const;

  // --- tokens (each returns false after recording a failure) -----------------------------------
  // A JSON string at the cursor ('"' next), escapes decoded, into `out` (replacing its content).
  bool read_string(std::string& out) {
    std::string_view view;
    if (!read_string_view(view, out)) return false;
    // When the text held an escape the view already is `out`. A fresh string is built at its
    // exact size in one step; assigning would take the longer path of growing the empty one.
    if (view.data() == out.data()) return true;
    if (out.capacity() >= view.size()) out.assign(view);
    else out = std::string(view);
    return true;
  }
  // A JSON string at the cursor; when it holds no escape the result views the document itself,
  // else `scratch`.
  bool read_string_view(std::string_view& out, std::string& scratch) {
    if (failed_) return false;
    // Most strings are plain ASCII up to their closing quote.
    const std::size_t start = pos_ + 1;
    const std::size_t stop = detail::scan_plain(text_, start);
    if (stop < text_.size() && text_[stop] == '"') {
      out = std::string_view(text_.data() + start, stop - start);
      pos_ = stop + 1;
      return true;
    }
    return finish_string_view(start, stop, out, scratch);
  }
  // An unsigned integer up to `max`; `expected` names the type in the messages ("u64", "u32").
  bool read_unsigned(std::uint64_t& out, std::uint64_t max, std::string_view expected);
  bool read_bool(bool& out);
  // Consumes `null` when it comes next; false (without failing) when something else does.
  bool take_null() {
    if (!failed_ && pos_ < text_.size()) {
      const char c = text_[pos_];
      if (c != 'n' && static_cast<unsigned char>(c) > ' ') return false;
      if (c == 'n' && text_.size() - pos_ >= 4 && detail::same_bytes(text_.data() + pos_, "null", 4)) {
        pos_ += 4;
        return true;
      }
    }
    return take_null_slow();
  }
  // Any well-formed JSON value, discarded (the value of a key no record knows). Iterative, so
  // nesting depth costs one bit per level and never stack.
  bool skip_value();

  // --- containers ------------------------------------------------------------------------------
  // Consumes '{' or '[' and counts one level of nesting against max_depth.
  bool enter();
  void leave() { --depth_; }
  // After '{' (first=true) or after a member's value: true with `key` set when a member follows
  // (the colon not yet consumed, so that a duplicate is reported before it), false at '}'
  // (consumed) or on a failure (check failed()). `likely` (may be empty) is tried first: a key that
  // is exactly that text is matched by comparing its bytes, and `key` then views `likely` itself.
  // `likely` must be plain ASCII without a quote, a backslash or a control character (a record's
  // key), so that the match means what decoding the key would.
  bool next_key(bool& first, std::string_view& key, std::string& scratch, std::string_view likely) {
    // The common case inline: no white space, the separator, and the expected key.
    const std::size_t size = text_.size();
    std::size_t at = pos_;
    if (!failed_ && !likely.empty() && at < size) {
      if (!first && text_[at] == ',') ++at;
      const std::size_t length = likely.size();
      if ((first || at != pos_) && size - at >= length + 2 && text_[at] == '"' && text_[at + 1 + length] == '"' &&
          detail::same_bytes(text_.data() + at + 1, likely.data(), length)) {
        pos_ = at + length + 2;
        first = false;
        key = likely;
        return true;
      }
    }
    return next_key_slow(first, key, scratch, likely);
  }
  // The ':' between a key and its value.
  bool expect_colon() {
    if (!failed_ && pos_ < text_.size() && text_[pos_] == ':') {
      ++pos_;
      return true;
    }
    return expect_colon_slow();
  }
  // After '[' or an element: true when another element follows, false at ']' (consumed) or on a
  // failure (check failed()).
  bool next_element(bool& first) {
    // The common case inline: the first element, or a comma, right at the cursor.
    const std::size_t size = text_.size();
    if (!failed_ && pos_ < size) {
      const auto c = static_cast<unsigned char>(text_[pos_]);
      if (first && c > ' ' && c != ']') {
        first = false;
        return true;
      }
      if (!first && c == ',' && pos_ + 1 < size) {
        const auto d = static_cast<unsigned char>(text_[pos_ + 1]);
        if (d > ' ' && d != ']') {
          ++pos_;
          return true;
        }
      }
    }
    return next_element_slow(first);
  }
  // The end of an array whose expected elements have all been read.
  bool end_array();
  // The end of an enumeration's single-key object form.
  bool end_enum_object();
  // Nothing but white space may remain.
  bool expect_end();

  // Fails with "invalid type: {what comes next}, expected {expected}"; a scalar is consumed
  // first so that the position follows it, a container is not.
  bool fail_invalid_type(std::string_view expected);

 private:
  enum class NumberKind { Unsigned, Negative, Float };
  struct Number {
    NumberKind kind = NumberKind::Unsigned;
    std::uint64_t magnitude = 0;
    double value = 0;
  };
  char peek_past_space();
  bool take_null_slow();
  bool next_key_slow(bool& first, std::string_view& key, std::string& scratch, std::string_view likely);
  bool expect_colon_slow();
  bool next_element_slow(bool& first);
  // The rest of a string from `stop`, the first byte after `start` that the plain scan stopped at.
  bool finish_string_view(std::size_t start, std::size_t stop, std::string_view& out, std::string& scratch);
  // A number whose sign, if any, is already consumed; converts it as a typed read does.
  bool parse_number(bool negative, std::size_t start, Number& out);
  // The grammar of a number only, for skipped values (no range check).
  bool skip_number();
  bool skip_string();
  bool read_escape(std::string& out);
  bool read_hex4(char32_t& value);
  bool expect_literal(std::string_view rest);
  std::string describe_next();

  std::string_view text_;
  std::size_t pos_ = 0;
  int depth_ = 0;
  bool failed_ = false;
  std::string message_;
  std::size_t error_pos_ = 0;  // the byte count before the failure, from which the column comes
};

}  // namespace tallowmere_core::json

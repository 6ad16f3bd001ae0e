#pragma once
// The strict JSON reader: a cursor over one document that typed record readers pull tokens from.
// It never builds a value tree. The first failure is kept (message and position) and every later
// call fails at once, so callers simply return false up the stack.
//
// Positions follow one rule: a failure about something already consumed (a whole value, a bad
// byte inside a token) is placed after it; a failure about a byte that cannot start what comes
// next is placed on that byte. Columns count bytes from the start of the line.
#include <cstdint>
#include <string>
#include <string_view>

#include "error.h"

namespace tallowmere_core::json {

// Typed containers nested this deep are refused. The records of this system nest a handful of
// levels, so only a custom codec could come near it; skipped values are walked without recursion
// and need no limit.
inline constexpr int kMaxDepth = 128;

class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {}

  // --- cursor ---------------------------------------------------------------------------------
  // Skips JSON white space and returns the next byte without consuming it ('\0' at the end, and
  // for a NUL byte in the text: check at_end() where the difference matters).
  char peek();
  bool at_end() const { return pos_ >= text_.size(); }
  void advance() { ++pos_; }
  std::size_t position() const { return pos_; }

  // --- failures -------------------------------------------------------------------------------
  // Records `message` after the bytes consumed so far.
  bool fail(std::string message);
  // Records `message` on the next, unconsumed byte (a token that cannot start here).
  bool fail_here(std::string message);
  bool failed() const { return failed_; }
  // The first failure with " at line L column C", ready for a CoreError or a chain.
  JsonError error() const;

  // --- tokens (each returns false after recording a failure) -----------------------------------
  // A JSON string at the cursor ('"' next), escapes decoded, into `out` (replacing its content).
  bool read_string(std::string& out);
  // A JSON string at the cursor; when it holds no escape the result views the document itself,
  // else `scratch`.
  bool read_string_view(std::string_view& out, std::string& scratch);
  // An unsigned integer up to `max`; `expected` names the type in the messages ("u64", "u32").
  bool read_unsigned(std::uint64_t& out, std::uint64_t max, std::string_view expected);
  bool read_bool(bool& out);
  // Consumes `null` when it comes next; false (without failing) when something else does.
  bool take_null();
  // Any well-formed JSON value, discarded (the value of a key no record knows). Iterative, so
  // nesting depth costs one bit per level and never stack.
  bool skip_value();

  // --- containers ------------------------------------------------------------------------------
  // Consumes '{' or '[' and counts one level of nesting against kMaxDepth.
  bool enter();
  void leave() { --depth_; }
  // After '{' (first=true) or after a member's value: true with `key` set when a member follows
  // (the colon not yet consumed, so that a duplicate is reported before it), false at '}'
  // (consumed) or on a failure (check failed()).
  bool next_key(bool& first, std::string_view& key, std::string& scratch);
  // The ':' between a key and its value.
  bool expect_colon();
  // After '[' or an element: true when another element follows, false at ']' (consumed) or on a
  // failure (check failed()).
  bool next_element(bool& first);
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

#pragma once
// The strict JSON reader: a cursor over one document that typed record readers pull tokens from.
// It never builds a value tree. The first failure is kept (message and position) and every later
// call fails at once, so callers simply return false up the stack.
#include <cstdint>
#include <string>
#include <string_view>

#include "error.h"

namespace tallowmere_core::json {

// Deeper nesting than this is refused rather than risking the stack.
inline constexpr int kMaxDepth = 128;

class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {}

  // --- cursor ---------------------------------------------------------------------------------
  // Skips JSON white space and returns the next byte without consuming it ('\0' at the end).
  char peek();
  bool at_end() const { return pos_ >= text_.size(); }
  void advance() { ++pos_; }
  std::size_t position() const { return pos_; }

  // --- failures -------------------------------------------------------------------------------
  // Records `message` at the byte just consumed (the position of a value that was read whole).
  bool fail(std::string message);
  // Records `message` at the next, unconsumed byte (a token that cannot start here).
  bool fail_here(std::string message);
  bool failed() const { return failed_; }
  // The first failure with " at line L column C" positions, ready for a CoreError or a chain.
  JsonError error() const;

  // --- tokens (each returns false after recording a failure) -----------------------------------
  // A JSON string, escapes decoded, into `out` (replacing its content).
  bool read_string(std::string& out);
  // A JSON string; when it holds no escape the result views the document itself, else `scratch`.
  bool read_string_view(std::string_view& out, std::string& scratch);
  // An unsigned integer up to `max`; `expected` names the type in the messages ("u64", "u32").
  bool read_unsigned(std::uint64_t& out, std::uint64_t max, std::string_view expected);
  bool read_bool(bool& out);
  // Consumes `null` when it comes next; false (without failing) when something else does.
  bool take_null();
  // Any well-formed JSON value, discarded (the value of a key no record knows).
  bool skip_value();

  // --- containers ------------------------------------------------------------------------------
  // Consumes '{' or '[' and counts one level of nesting against kMaxDepth.
  bool enter(char open);
  void leave() { --depth_; }
  // After '{' (first=true) or after a member: true with `key` set when a member follows (its ':'
  // consumed), false at '}' (consumed) or on a failure (check failed()).
  bool next_key(bool& first, std::string_view& key, std::string& scratch);
  // After '[' or an element: true when another element follows, false at ']' (consumed) or on a
  // failure (check failed()).
  bool next_element(bool& first);
  // The end of an array whose expected elements have all been read.
  bool end_array();
  // The end of an enumeration's single-key object form.
  bool end_enum_object();
  // Nothing but white space may remain.
  bool expect_end();

  // Fails with "invalid type: {what comes next}, expected {expected}", consuming that value so
  // that the position is where serde-style readers put it.
  bool fail_invalid_type(std::string_view expected);

 private:
  bool parse_number(std::uint64_t& integer, bool& negative, bool& is_integer, double& value);
  bool read_escape(std::string& out);
  bool expect_literal(std::string_view rest);
  std::string describe_next();

  std::string_view text_;
  std::size_t pos_ = 0;
  int depth_ = 0;
  bool failed_ = false;
  std::string message_;
  std::size_t error_pos_ = 0;  // the 1-based column is taken from this byte count
};

}  // namespace tallowmere_core::json

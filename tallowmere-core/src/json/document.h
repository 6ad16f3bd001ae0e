#pragma once
// Whole documents: one typed value from a text with nothing but white space after it, and the
// written forms of a record (compact line, pretty file) built from its value tree.
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "error.h"
#include "json/record.h"

namespace tallowmere_core::json {

// Reads exactly one T from `text` into `value`, which must be freshly value-initialised: members
// the text leaves out keep what they hold. Reading in place spares a large record the move out
// of a returned wrapper. On failure `value` holds a partial read and should be dropped.
template <class T>
std::optional<JsonError> read_document_into(std::string_view text, T& value) {
  Reader reader(text);
  if (Codec<T>::read(reader, value) && reader.expect_end()) return std::nullopt;
  return reader.error();
}

// Reads exactly one T from `text`; the error carries " at line L column C".
template <class T>
std::expected<T, JsonError> read_document(std::string_view text) {
  T value{};
  if (auto error = read_document_into(text, value)) return std::unexpected(std::move(*error));
  return value;
}

template <class T>
Value to_value(const T& value) {
  return Codec<T>::to_value(value);
}

// Compact JSON: no white space outside strings; control characters escaped (\b \t \n \f \r, other
// ones as lowercase \u00xx), everything else as its UTF-8 bytes. Fails only on text that is not
// UTF-8.
std::expected<std::string, JsonError> write_compact(const Value& value);
// Pretty JSON with two-space indentation, "[]" for an empty list, and no final line break.
std::expected<std::string, JsonError> write_pretty(const Value& value);

template <class T>
std::expected<std::string, JsonError> to_compact(const T& value) {
  return write_compact(to_value(value));
}
template <class T>
std::expected<std::string, JsonError> to_pretty(const T& value) {
  return write_pretty(to_value(value));
}

}  // namespace tallowmere_core::json

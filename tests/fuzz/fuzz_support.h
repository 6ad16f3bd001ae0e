#pragma once
// Properties that every fuzz target checks on the readers of outside input. A broken property
// prints what broke and aborts, which libFuzzer reports as a crash and saves the input for.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "error.h"
#include "json/document.h"

namespace tallowmere_fuzz {

inline std::string_view as_text(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

[[noreturn]] inline void broken(std::string_view property, std::string_view detail) {
  std::fprintf(stderr, "\n*** property broken: %.*s\n*** %.*s\n", static_cast<int>(property.size()), property.data(),
               static_cast<int>(detail.size()), detail.data());
  std::fflush(stderr);
  std::abort();
}

// A rejection names a place inside the input: a line that exists, a column no further than one
// past that line's end, and the text closes with " at line L column C" after a non-empty message.
inline void check_rejection(std::string_view input, const tallowmere_core::JsonError& error) {
  if (error.description.empty()) broken("a rejection has a message", error.to_string());
  if (error.line == 0) broken("a rejection has a position", error.description);
  const auto lines = static_cast<std::uint64_t>(std::count(input.begin(), input.end(), '\n')) + 1;
  if (error.line > lines) {
    broken("the position's line exists", fmt::format("{} (the input has {} lines)", error.to_string(), lines));
  }
  std::size_t start = 0;
  for (std::uint64_t line = 1; line < error.line; ++line) start = input.find('\n', start) + 1;
  const std::size_t end = std::min(input.find('\n', start), input.size());
  if (error.column > end - start + 1) {
    broken("the position's column lies on its line",
           fmt::format("{} (line {} has {} bytes)", error.to_string(), error.line, end - start));
  }
  const std::string suffix = fmt::format(" at line {} column {}", error.line, error.column);
  const std::string text = error.to_string();
  if (!text.ends_with(suffix) || text.size() == suffix.size()) broken("a rejection ends with its position", text);
}

// The input with every number made small: an integer part of 1 (a lone 0 and a malformed 0123
// stay), every exponent 1. Within a value no record keeps, the reader, like serde_json, checks a
// number's grammar only, while nlohmann::json also refuses one that overflows a double; this keeps
// the grammar and drops the magnitude. Only for text the reader accepted, so strings are
// well-formed and can be stepped over.
inline std::string with_small_numbers(std::string_view input) {
  std::string out;
  out.reserve(input.size());
  const auto is_digit = [](char c) { return c >= '0' && c <= '9'; };
  for (std::size_t i = 0; i < input.size();) {
    const char c = input[i];
    if (c == '"') {
      const std::size_t start = i++;
      while (i < input.size() && input[i] != '"') i += input[i] == '\\' ? 2 : 1;
      i = std::min(i + 1, input.size());
      out.append(input.substr(start, i - start));
      continue;
    }
    if (!is_digit(c)) {
      out += c;
      ++i;
      continue;
    }
    std::size_t end = i;
    while (end < input.size() && is_digit(input[end])) ++end;
    const std::string_view digits = input.substr(i, end - i);
    const char before = i == 0 ? ' ' : input[i - 1];
    const bool exponent = before == 'e' || before == 'E' ||
                          ((before == '+' || before == '-') && i >= 2 && (input[i - 2] == 'e' || input[i - 2] == 'E'));
    if (before == '.' || (!exponent && digits.front() == '0')) out.append(digits);
    else out += '1';
    i = end;
  }
  return out;
}

// What the strict reader accepts is JSON: an independent parser agrees, on the input with its
// numbers made small (above). The other tolerated difference: a skipped value may hold an
// unpaired surrogate escape, which only matters to text that is kept, so inputs with a surrogate
// escape are not compared.
inline void check_is_json(std::string_view input) {
  for (std::size_t at = input.find("\\u"); at != std::string_view::npos; at = input.find("\\u", at + 1)) {
    if (at + 3 < input.size() && (input[at + 2] == 'd' || input[at + 2] == 'D')) {
      const char c = input[at + 3];
      if ((c >= '8' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')) return;
    }
  }
  if (!nlohmann::json::accept(with_small_numbers(input))) {
    broken("an accepted document is JSON", "nlohmann::json rejects what the reader accepted");
  }
}

// An accepted record, written and read again, is written with the same bytes; `read` and `write`
// are the reader and the compact writer the product uses for that record.
template <class T, class Read, class Write>
std::string check_rewrite_is_stable(const T& value, Read read, Write write) {
  auto first = write(value);
  if (!first) broken("an accepted record can be written", first.error().to_string());
  auto again = read(std::string_view(*first));
  if (!again) broken("a written record reads back", fmt::format("{}\n*** written: {}", again.error().to_string(), *first));
  auto second = write(*again);
  if (!second) broken("a reread record can be written", second.error().to_string());
  if (*second != *first) broken("writing a reread record gives the same bytes", fmt::format("{}\n*** then: {}", *first, *second));
  return std::move(*first);
}

// The generic check for a record read with read_document: accepted means JSON and a stable
// rewrite, in the compact and in the pretty form; rejected means a placed message.
template <class T>
void check_document(std::string_view input) {
  namespace json = tallowmere_core::json;
  auto value = json::read_document<T>(input);
  if (!value) {
    check_rejection(input, value.error());
    return;
  }
  check_is_json(input);
  const auto read = [](std::string_view text) { return json::read_document<T>(text); };
  const auto compact = [](const T& record) { return json::to_compact(record); };
  const std::string line = check_rewrite_is_stable(*value, read, compact);
  auto pretty = json::to_pretty(*value);
  if (!pretty) broken("an accepted record can be written pretty", pretty.error().to_string());
  auto from_pretty = read(*pretty);
  if (!from_pretty) broken("a pretty record reads back", fmt::format("{}\n*** written: {}", from_pretty.error().to_string(), *pretty));
  auto compact_again = compact(*from_pretty);
  if (!compact_again || *compact_again != line) broken("the pretty form holds the same record", *pretty);
}

}  // namespace tallowmere_fuzz

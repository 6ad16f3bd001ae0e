#include "record_file.h"

#include <optional>

#include <fmt/format.h>

#include "json/reader.h"

namespace tallowmere_core::record_file {
namespace {

struct Span {
  std::size_t begin = 0;
  std::size_t end = 0;
};

// Where a member missing from its object goes: at `at`, `before_key` (the separator and the
// indentation), then the quoted key, `colon` and the value.
struct Insertion {
  std::size_t at = 0;
  std::string before_key;
  std::string colon = ": ";
};

struct Located {
  std::optional<Span> value;
  Insertion insertion;
};

bool is_space(char c) { return c == ' ' || c == '\n' || c == '\t' || c == '\r'; }

// The member `step` names in the object or array that starts at or after `offset` (white space
// first is skipped). Only that container is read; what follows it is none of this step's business.
std::expected<Located, std::string> locate(std::string_view text, std::size_t offset, const Step& step) {
  json::Reader reader(text.substr(offset));
  const auto here = [&] { return offset + reader.position(); };
  const char open = reader.peek();
  if (open != '{' && open != '[') return std::unexpected(fmt::format("it holds no object for `{}`", step.key));
  if (!reader.enter()) return std::unexpected(reader.error().to_string());

  if (open == '[') {
    bool first = true;
    for (std::size_t i = 0; reader.next_element(first); ++i) {
      reader.peek();
      const std::size_t begin = here();
      if (!reader.skip_value()) break;
      if (i == step.position) return Located{Span{begin, here()}, {}};
    }
    if (reader.failed()) return std::unexpected(reader.error().to_string());
    return std::unexpected(fmt::format("its array form has no element for `{}`", step.key));
  }

  Located located{std::nullopt, Insertion{here(), "", ": "}};
  bool first = true;
  std::string_view key;
  std::string scratch;
  std::size_t after_previous = here();  // after the "{" or the previous member's value
  while (reader.next_key(first, key, scratch, step.key)) {
    const bool wanted = key == step.key;  // `key` may view `scratch`, which the next key reuses
    const std::size_t key_end = here();
    if (!reader.expect_colon()) break;
    reader.peek();
    const std::size_t value_begin = here();
    if (!reader.skip_value()) break;
    const std::size_t value_end = here();
    if (wanted) {
      if (located.value) return std::unexpected(fmt::format("`{}` stands twice in one object", step.key));
      located.value = Span{value_begin, value_end};
    }
    // Between the previous value and this key stand white space, a comma, white space: a member
    // added after this one copies what follows the comma, and this member's colon.
    std::size_t gap = after_previous;
    while (is_space(text[gap])) ++gap;
    gap = text[gap] == ',' ? gap + 1 : after_previous;
    std::size_t key_begin = gap;
    while (is_space(text[key_begin])) ++key_begin;
    located.insertion = Insertion{value_end, "," + std::string(text.substr(gap, key_begin - gap)),
                                  std::string(text.substr(key_end, value_begin - key_end))};
    after_previous = value_end;
  }
  if (reader.failed()) return std::unexpected(reader.error().to_string());
  return located;
}

}  // namespace

std::expected<std::string, std::string> with_member(std::string_view document, std::span<const Step> path,
                                                    std::string_view value) {
  if (path.empty()) return std::unexpected(std::string("no member named"));
  std::size_t offset = 0;
  for (std::size_t i = 0;; ++i) {
    auto located = locate(document, offset, path[i]);
    if (!located) return std::unexpected(std::move(located.error()));
    if (i + 1 < path.size()) {
      if (!located->value) return std::unexpected(fmt::format("it holds no `{}`", path[i].key));
      offset = located->value->begin;
      continue;
    }
    std::string out(document);
    if (located->value) {
      out.replace(located->value->begin, located->value->end - located->value->begin, value);
    } else {
      const Insertion& insertion = located->insertion;
      out.insert(insertion.at, fmt::format("{}\"{}\"{}{}", insertion.before_key, path[i].key, insertion.colon, value));
    }
    return out;
  }
}

}  // namespace tallowmere_core::record_file

#pragma once
// A record file (manifest, configuration) rewritten in place of a few members: the file is read
// strictly as its record first, then the values of the members the writer owns are replaced in
// its text and every other byte stays as it was. Whatever another program put there (fields it
// changed meanwhile, keys this record does not know, numbers beyond any native type, escapes no
// text may hold, deep nesting) survives unread.
#include <cstddef>
#include <expected>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>

#include "durable_file.h"
#include "error.h"
#include "json/document.h"

namespace tallowmere_core::record_file {

// One step from a record to one of its fields: the field's key in the object form, its place in
// the array form.
struct Step {
  std::string_view key;
  std::size_t position = 0;
};

// The step to the field of record T whose key is `key`; a key T does not have fails to compile.
template <json::Record T>
consteval Step step(std::string_view key) {
  const auto& keys = json::FieldTable<T>::keys;
  for (std::size_t i = 0; i < keys.size(); ++i)
    if (keys[i] == key) return Step{keys[i], i};
  throw "no such field";  // not a constant expression: the call does not compile
}

// `document` (one JSON value that reads as a record) with the value at the end of `path` replaced
// by `value`, a JSON text. Every other byte is kept. A member missing from its object is added
// after the object's last member, separated and indented as that member is (inside an empty
// object, right after its "{"). Fails, saying why, when a step finds no object or array, when an
// array has no element at the step's place, when an object on the way lacks the next step's key,
// or when a key on the way stands twice in one object (which of the two would count is unclear).
std::expected<std::string, std::string> with_member(std::string_view document, std::span<const Step> path,
                                                    std::string_view value);

template <class T>
struct Reread {
  T record;
  std::string text;
};

// The file's text and the T it reads as. Failures: the CoreError::Io of the read, or `Malformed`
// (MalformedManifest, MalformedConfig) with the path and the reader's text.
template <class T, class Malformed>
std::expected<Reread<T>, CoreError> reread(const std::filesystem::path& path) {
  auto text = durable_file::read_text_file(path);
  if (!text) return std::unexpected(std::move(text.error()));
  auto record = json::read_document<T>(*text);
  if (!record) return std::unexpected(CoreError(Malformed{path, record.error().to_string()}));
  return Reread<T>{std::move(*record), std::move(*text)};
}

// A member's value as the compact writer writes it, ready for with_member.
template <class V>
std::expected<std::string, CoreError> value_text(const V& value) {
  auto text = json::write_compact(json::to_value(value));
  if (!text) return std::unexpected(core_error::Serialize{std::move(text.error())});
  return std::move(*text);
}

}  // namespace tallowmere_core::record_file

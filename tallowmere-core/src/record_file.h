#pragma once
// A record file (manifest, configuration) as it stands on disk, read both as its typed record and
// as a value tree, so that a rewrite can change a few keys and keep everything else the file holds:
// fields another program changed meanwhile, and keys this record does not know.
#include <expected>
#include <filesystem>
#include <optional>
#include <string>

#include "durable_file.h"
#include "error.h"
#include "json/document.h"

namespace tallowmere_core::record_file {

template <class T>
struct Reread {
  T record;
  json::Value tree;
};

// The file read strictly as a T and as a value tree; none when it cannot be read or is not a T.
template <class T>
std::optional<Reread<T>> reread(const std::filesystem::path& path) {
  auto text = durable_file::read_text_file(path);
  if (!text) return std::nullopt;
  auto record = json::read_document<T>(*text);
  if (!record) return std::nullopt;
  json::Value tree = json::Value::parse(*text, nullptr, /*allow_exceptions=*/false);
  if (tree.is_discarded()) return std::nullopt;
  return Reread<T>{std::move(*record), std::move(tree)};
}

// `written` (a record's value tree) with what `on_disk` holds beyond it: keys `written` lacks are
// added after its own, in the file's order, at every level where both hold an object (lists are
// matched element by element when both have the same length). Known keys keep the record's order
// and values, so a file that holds only known keys is written exactly as the record alone would be.
json::Value with_unknown_keys(json::Value written, const json::Value& on_disk);

// Replaces the file durably with the tree in its pretty form. Failure: CoreError::Serialize for a
// tree that cannot be written, else the CoreError::Io of the durable write.
std::expected<void, CoreError> write_tree(const std::filesystem::path& path, const json::Value& tree);

}  // namespace tallowmere_core::record_file

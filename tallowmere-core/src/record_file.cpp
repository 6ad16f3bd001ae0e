#include "record_file.h"

namespace tallowmere_core::record_file {

json::Value with_unknown_keys(json::Value written, const json::Value& on_disk) {
  if (written.is_object() && on_disk.is_object()) {
    for (const auto& [key, value] : on_disk.items()) {
      auto known = written.find(key);
      if (known == written.end()) {
        written[key] = value;
      } else {
        *known = with_unknown_keys(std::move(*known), value);
      }
    }
  } else if (written.is_array() && on_disk.is_array() && written.size() == on_disk.size()) {
    for (std::size_t i = 0; i < written.size(); ++i) written[i] = with_unknown_keys(std::move(written[i]), on_disk[i]);
  }
  return written;
}

std::expected<void, CoreError> write_tree(const std::filesystem::path& path, const json::Value& tree) {
  auto text = json::write_pretty(tree);
  if (!text) return std::unexpected(core_error::Serialize{std::move(text.error())});
  return durable_file::write_file_durably(path, *text);
}

}  // namespace tallowmere_core::record_file

#include "config.h"

#include "durable_file.h"
#include "json/document.h"

namespace tallowmere_core::config {

std::expected<std::string, CoreError> config_text(const ProjectConfig& config) {
  auto text = json::to_pretty(config);
  if (!text) return std::unexpected(core_error::Serialize{std::move(text.error())});
  return std::move(*text);
}

std::expected<void, CoreError> save_config(const std::filesystem::path& path, const ProjectConfig& config) {
  auto text = config_text(config);
  if (!text) return std::unexpected(std::move(text.error()));
  // Rewriting in place would leave a truncated file after a crash or a full disk, and the
  // project would then fail to load until someone repaired it by hand.
  return durable_file::write_file_durably(path, *text);
}

}  // namespace tallowmere_core::config

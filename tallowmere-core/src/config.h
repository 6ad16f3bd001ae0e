#pragma once
// Saving a project's configuration (config.json). Reading it is json::read_document<ProjectConfig>.
#include <expected>
#include <filesystem>
#include <string>

#include "error.h"
#include "model.h"

namespace tallowmere_core::config {

// The configuration's pretty JSON text (every member written, nulls and "[]" included, no final
// line feed); Serialize when it cannot be written as JSON.
std::expected<std::string, CoreError> config_text(const ProjectConfig& config);

// Writes config_text to `path`. The old file is replaced only once the new text is safely on
// disk, so a crash or a full disk never leaves it truncated. Serialize or Io for `path`.
std::expected<void, CoreError> save_config(const std::filesystem::path& path, const ProjectConfig& config);

}  // namespace tallowmere_core::config

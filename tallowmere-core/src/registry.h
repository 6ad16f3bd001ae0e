#pragma once
// The project registry (registry.json in the central root), written by the companion tool and
// only ever read here.
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "error.h"
#include "json/record.h"

namespace tallowmere_core {

struct RegistryEntry {
  std::string work_id;
  std::string project_path;
  std::optional<std::string> title;
  std::string registered_at;
};

struct Registry {
  std::string schema_version;
  std::vector<RegistryEntry> projects;
};

}  // namespace tallowmere_core

namespace tallowmere_core::json {

template <>
struct RecordTraits<RegistryEntry> {
  static constexpr std::string_view name = "RegistryEntry";
  static constexpr auto fields = std::tuple{
      field("work_id", &RegistryEntry::work_id),
      field("project_path", &RegistryEntry::project_path),
      field("title", &RegistryEntry::title),
      field("registered_at", &RegistryEntry::registered_at),
  };
};

template <>
struct RecordTraits<Registry> {
  static constexpr std::string_view name = "Registry";
  static constexpr auto fields = std::tuple{
      field("schema_version", &Registry::schema_version),
      field("projects", &Registry::projects),
  };
};

}  // namespace tallowmere_core::json

namespace tallowmere_core::registry {

// The registry at `path`. A path that cannot be looked at (missing, dangling link, unsearchable
// folder) is the empty registry "0.1", silently; an unreadable file is Io; one that does not parse
// is MalformedRegistry.
std::expected<Registry, CoreError> load_registry(const std::filesystem::path& path);

}  // namespace tallowmere_core::registry

#include "registry.h"

#include <sys/stat.h>

#include "durable_file.h"
#include "json/document.h"

namespace tallowmere_core::registry {

std::expected<Registry, CoreError> load_registry(const std::filesystem::path& path) {
  // The companion tool creates the file with the first project; until then (or while a link
  // points nowhere) there is simply nothing to watch.
  struct stat metadata {};
  if (::stat(path.c_str(), &metadata) != 0) return Registry{"0.1", {}};

  auto text = durable_file::read_text_file(path);
  if (!text) return std::unexpected(std::move(text.error()));
  auto registry = json::read_document<Registry>(*text);
  if (!registry) return std::unexpected(core_error::MalformedRegistry{path, registry.error().to_string()});
  return std::move(*registry);
}

}  // namespace tallowmere_core::registry

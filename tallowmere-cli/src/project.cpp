#include "project.h"

#include <cerrno>
#include <cstdlib>
#include <new>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include <fmt/format.h>
#include <unistd.h>

#include "durable_file.h"
#include "home.h"
#include "json/document.h"
#include "pointer.h"
#include "text.h"

namespace tallowmere_cli::project {
namespace {

namespace fs = std::filesystem;
using tallowmere_core::CoreError;
using tallowmere_core::text::display;

bool names_regular_file(const fs::path& path) {
  std::error_code ignored;
  return fs::is_regular_file(path, ignored);
}

bool names_directory(const fs::path& path) {
  std::error_code ignored;
  return fs::is_directory(path, ignored);
}

ProjectPaths paths_for(const fs::path& root, fs::path pointer_file, const fs::path& central_root,
                       const std::string& work_id) {
  ProjectPaths paths;
  paths.root = root;
  paths.pointer_file = std::move(pointer_file);
  paths.central_dir = central_root / "projects" / work_id;
  paths.manifest_file = paths.central_dir / "manifest.json";
  paths.config_file = paths.central_dir / "config.json";
  paths.ledger_file = paths.central_dir / "ledger.jsonl";
  paths.objects_dir = paths.central_dir / "objects";
  return paths;
}

template <class Record, class Malformed>
Result<Record> load_record(const fs::path& file) {
  const std::string context = fmt::format("failed to load {}", display(file));
  auto text = tallowmere_core::durable_file::read_text_file(file);
  if (!text) return std::unexpected(ErrorChain(text.error()).context(context));
  auto record = tallowmere_core::json::read_document<Record>(*text);
  if (!record) return std::unexpected(ErrorChain(CoreError(Malformed{file, record.error().to_string()})).context(context));
  return std::move(*record);
}

struct ProjectRecords {
  ProjectPaths paths;
  tallowmere_core::WorkManifest manifest;
  tallowmere_core::ProjectConfig config;
};

// Every step of a load before the ledger.
Result<ProjectRecords> load_records(const fs::path& root) {
  fs::path pointer_file = root / ".tallowmere";
  if (!names_regular_file(pointer_file)) {
    return std::unexpected(ErrorChain(fmt::format(
        "{0} is not a tallowmere project (run `tallowmere init --project {0} --contributor-name <name>` first)",
        display(root))));
  }

  auto pointer = pointer::read_pointer_file(pointer_file);
  if (!pointer) return std::unexpected(std::move(pointer.error()));

  auto central = central_root();
  if (!central) return std::unexpected(std::move(central.error()));

  ProjectPaths paths = paths_for(root, std::move(pointer_file), *central, pointer->work_id);
  if (!names_directory(paths.central_dir)) {
    return std::unexpected(ErrorChain(fmt::format(
        "{} points to tallowmere history at {} (work_id {}), but that central directory doesn't exist. This usually "
        "means ~/.tallowmere was moved, deleted, or wasn't restored along with this project folder from a backup. If "
        "you have an exported bundle for this project, verify it directly with `tallowmere verify --bundle <file>`.",
        display(paths.pointer_file), display(paths.central_dir), pointer->work_id)));
  }

  auto manifest =
      load_record<tallowmere_core::WorkManifest, tallowmere_core::core_error::MalformedManifest>(paths.manifest_file);
  if (!manifest) return std::unexpected(std::move(manifest.error()));

  auto config =
      load_record<tallowmere_core::ProjectConfig, tallowmere_core::core_error::MalformedConfig>(paths.config_file);
  if (!config) return std::unexpected(std::move(config.error()));

  return ProjectRecords{std::move(paths), std::move(*manifest), std::move(*config)};
}

// The records and then the ledger as `read_ledger_file` reads it, both ways failing alike.
template <class Project, class ReadLedger>
Result<Project> load_with(const fs::path& root, ReadLedger read_ledger_file) {
  auto records = load_records(root);
  if (!records) return std::unexpected(std::move(records.error()));
  auto ledger = read_ledger_file(records->paths.ledger_file);
  if (!ledger) {
    return std::unexpected(
        ErrorChain(ledger.error()).context(fmt::format("failed to read {}", display(records->paths.ledger_file))));
  }
  return Project{std::move(records->paths), std::move(records->manifest), std::move(records->config), std::move(*ledger)};
}

// Every read is bounded, but a ledger of millions of entries may still not fit: that is one
// project that cannot be loaded, and the caller (a rescan, a listing) goes on.
template <class Project, class ReadLedger>
Result<Project> load_guarded(const fs::path& root, ReadLedger read_ledger_file) {
  try {
    return load_with<Project>(root, read_ledger_file);
  } catch (const std::bad_alloc&) {
    return std::unexpected(ErrorChain("out of memory").context(fmt::format("failed to load {}", display(root))));
  }
}

}  // namespace

Result<fs::path> central_root() {
  if (const char* configured = std::getenv("TALLOWMERE_HOME");
      configured != nullptr && tallowmere_core::text::is_valid_utf8(configured)) {
    return fs::path(configured);
  }
  if (auto home = tallowmere_core::home::home_dir()) return *home / ".tallowmere";
  return std::unexpected(ErrorChain("could not determine the current user's home directory"));
}

Result<LoadedProject> load_project(const fs::path& root) {
  return load_guarded<LoadedProject>(root, tallowmere_core::ledger::read_ledger);
}

Result<ProjectSummary> load_project_summary(const fs::path& root) {
  return load_guarded<ProjectSummary>(root, tallowmere_core::ledger::summarize_ledger);
}

}  // namespace tallowmere_cli::project

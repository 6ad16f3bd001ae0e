#pragma once
// Finding the central root and loading one project from disk: its pointer file, central
// directory, manifest, configuration and ledger. Loading reads only; it writes and locks nothing.
#include <filesystem>

#include "error_chain.h"
#include "ledger.h"
#include "model.h"

namespace tallowmere_cli {

struct ProjectPaths {
  std::filesystem::path root;          // the project folder exactly as given
  std::filesystem::path pointer_file;  // root / ".tallowmere"
  std::filesystem::path central_dir;   // <central root>/projects/<work id>
  std::filesystem::path manifest_file;
  std::filesystem::path config_file;
  std::filesystem::path ledger_file;
  std::filesystem::path objects_dir;
};

struct LoadedProject {
  ProjectPaths paths;
  tallowmere_core::WorkManifest manifest;
  tallowmere_core::ProjectConfig config;
  tallowmere_core::LedgerReadResult ledger;
};

// A loaded project whose ledger was only counted: what a listing needs of a project, in memory
// that does not grow with its history.
struct ProjectSummary {
  ProjectPaths paths;
  tallowmere_core::WorkManifest manifest;
  tallowmere_core::ProjectConfig config;
  tallowmere_core::LedgerSummary ledger;
};

namespace project {

// TALLOWMERE_HOME when set and valid Unicode (taken as it stands), else <home>/.tallowmere with
// home from HOME (when not empty) or the password database.
Result<std::filesystem::path> central_root();

// Loads the project whose folder is `root`; the first failing step ends the load with its chain,
// and running out of memory ends it with "failed to load {root}: out of memory".
Result<LoadedProject> load_project(const std::filesystem::path& root);
// The same load with the ledger summarised rather than kept; it fails wherever load_project
// fails, with the same chain, and also when memory runs out on the way (never throwing).
Result<ProjectSummary> load_project_summary(const std::filesystem::path& root);

}  // namespace project
}  // namespace tallowmere_cli

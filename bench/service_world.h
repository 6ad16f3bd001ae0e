#pragma once
// A throwaway world for driving the real service: one temporary folder holding a central root
// (TALLOWMERE_HOME), a home folder, a stand-in credential store with one contributor's key, and
// project folders with their pointer files, manifests, configurations, ledgers and the registry.
// Everything is removed when the world goes out of scope.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace tallowmere_bench::service {

// A ledger text of valid, parseable entries. Their hashes and signatures are random: the
// service never verifies, it only reads.
struct SyntheticLedger {
  std::string text;  // one entry per line, each with its line feed
  std::size_t entry_count = 0;
  std::string head_hash;  // the last entry's hash, empty without entries
};

// `count` session-save entries of about one kilobyte each, all from `contributor_id`, the same
// bytes for the same seed.
SyntheticLedger synthetic_ledger(std::size_t count, const std::string& contributor_id, std::uint64_t seed);

struct WorldProject {
  std::string work_id;
  std::string title;
  std::filesystem::path folder;       // the watched project folder
  std::filesystem::path central_dir;  // <central root>/projects/<work id>
  std::filesystem::path ledger_file;
};

class ServiceWorld {
 public:
  // Creates the folders and the contributor's key; throws std::runtime_error on failure.
  ServiceWorld();
  ~ServiceWorld();
  ServiceWorld(const ServiceWorld&) = delete;
  ServiceWorld& operator=(const ServiceWorld&) = delete;

  // A watch-enabled project with a collapse window of zero, whose ledger holds `ledger` (none:
  // no ledger file yet). The registry lists it once write_registry() runs.
  const WorldProject& add_project(const std::string& title, const SyntheticLedger* ledger = nullptr);
  // Writes registry.json with every project added so far.
  void write_registry() const;

  // The service's whole environment: the world's TALLOWMERE_HOME, HOME and XDG_DATA_HOME over
  // this process's PATH, as "NAME=value" texts.
  std::vector<std::string> environment() const;

  const std::filesystem::path& root() const { return root_; }
  const std::filesystem::path& central_root() const { return central_; }
  const std::string& contributor_id() const { return contributor_id_; }
  const std::vector<WorldProject>& projects() const { return projects_; }

 private:
  std::filesystem::path root_;
  std::filesystem::path central_;
  std::filesystem::path home_;
  std::filesystem::path data_home_;
  std::string contributor_id_ = "bench-contributor";
  std::string public_key_;
  std::string run_tag_;  // keeps work ids of two worlds apart
  std::vector<WorldProject> projects_;
};

// Writes `bytes` to `path` (created or truncated) in pieces of `piece` bytes, then closes it:
// the way a program saving in place writes. Throws std::runtime_error on failure.
void write_in_place(const std::filesystem::path& path, std::string_view bytes, std::size_t piece = 1 << 20);

}  // namespace tallowmere_bench::service

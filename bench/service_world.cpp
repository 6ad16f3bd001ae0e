#include "posix.h"
#include "service_world.h"

#include <array>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <system_error>

#include <fcntl.h>
#include <fmt/format.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <unistd.h>

#include "base64.h"
#include "durable_file.h"
#include "json/document.h"
#include "model.h"
#include "pointer.h"
#include "registry.h"
#include "synthetic_text.h"
#include "timestamp.h"
#include "unique_fd.h"
#include "uuid.h"

namespace tallowmere_bench::service {
namespace {

namespace fs = std::filesystem;
namespace core = tallowmere_core;
using core::UniqueFd;

[[noreturn]] void fail(const std::string& what) { throw std::runtime_error(what); }

void write_file(const fs::path& path, std::string_view bytes, mode_t mode = 0644) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode));
  if (!fd || !core::posix::write_all(fd.get(), bytes, path)) fail("cannot write " + path.string());
}

template <class Record>
std::string pretty(const Record& record) {
  auto text = core::json::to_pretty(record);
  if (!text) fail("cannot write a " + std::string(core::json::RecordTraits<Record>::name));
  return std::move(*text);
}

std::string random_tag() {
  std::array<unsigned char, 6> bytes{};
  if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1) fail("no random bytes");
  std::string tag;
  for (unsigned char byte : bytes) tag += fmt::format("{:02x}", byte);
  return tag;
}

}  // namespace

SyntheticLedger synthetic_ledger(std::size_t count, const std::string& contributor_id, std::uint64_t seed) {
  TextSource source(seed);
  SyntheticLedger ledger;
  ledger.text.reserve(count * 1100);
  for (std::size_t n = 0; n < count; ++n) {
    core::LedgerEntry entry;
    entry.entry_id = source.uuid();
    entry.contributor_id = contributor_id;
    entry.causal_position = n;
    if (n > 0) entry.parent_entry_hashes.push_back(ledger.head_hash);
    entry.timestamp_local = checkpoint_time(n);
    entry.event_type = core::EventType::SessionSave;
    entry.daw_context = core::DawContext{"Reaper", "linux"};
    core::ContentReference reference;
    reference.ref_id = source.uuid();
    reference.content_type = core::ContentType::DawSession;
    reference.sha256_hash = source.hex(64);
    reference.byte_size = 100'000 + source.below(5'000'000);
    reference.storage = core::ContentStorage{"local_only", "Song.rpp", false};
    entry.content_refs.push_back(std::move(reference));
    if (n % 10 == 0) entry.notes = "Autosave after editing the bridge; comped vocals, takes 3-7";
    entry.entry_hash = source.hex(64);
    entry.signature = source.signature();
    ledger.head_hash = entry.entry_hash;
    auto line = core::model::write_entry_line(entry);
    if (!line) fail("cannot write a ledger line");
    ledger.text += *line;
    ledger.text += '\n';
  }
  ledger.entry_count = count;
  return ledger;
}

ServiceWorld::ServiceWorld() {
  std::string pattern = (fs::temp_directory_path() / "tallowmere-bench-service-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) fail("mkdtemp failed");
  root_ = pattern;
  central_ = root_ / "central";
  home_ = root_ / "home";
  data_home_ = root_ / "data";
  run_tag_ = random_tag();
  const fs::path key_folder = data_home_ / "tallowmere-keychain" / "tallowmere-core";
  fs::create_directories(central_ / "projects");
  fs::create_directories(home_);
  fs::create_directories(key_folder);
  fs::create_directories(root_ / "projects");

  std::array<unsigned char, 32> private_key{};
  if (RAND_bytes(private_key.data(), static_cast<int>(private_key.size())) != 1) fail("no random bytes");
  // The credential store's item: the Base64 key text, readable by its owner only.
  write_file(key_folder / contributor_id_, core::base64::encode(private_key), 0600);

  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
      EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, private_key.data(), private_key.size()), EVP_PKEY_free);
  std::array<unsigned char, 32> public_key{};
  std::size_t length = public_key.size();
  if (!key || EVP_PKEY_get_raw_public_key(key.get(), public_key.data(), &length) != 1) fail("no Ed25519 key");
  public_key_ = core::base64::encode(public_key);
}

ServiceWorld::~ServiceWorld() {
  std::error_code ignored;
  fs::remove_all(root_, ignored);
}

const WorldProject& ServiceWorld::add_project(const std::string& title, const SyntheticLedger* ledger) {
  WorldProject project;
  project.work_id = fmt::format("bench-{}-{:02}", run_tag_, projects_.size());
  project.title = title;
  project.folder = root_ / "projects" / title;
  project.central_dir = central_ / "projects" / project.work_id;
  project.ledger_file = project.central_dir / "ledger.jsonl";
  fs::create_directories(project.folder);
  fs::create_directories(project.central_dir);

  const std::string now = core::timestamp::format_rfc3339(core::timestamp::now_local());
  write_file(project.folder / ".tallowmere",
             pretty(tallowmere_cli::ProjectPointer{"0.1", project.work_id, "Managed by tallowmere. Do not edit."}));

  core::WorkManifest manifest;
  manifest.schema_version = "0.1";
  manifest.work_id = project.work_id;
  manifest.title = title;
  manifest.created_at = now;
  manifest.contributors.push_back(core::Contributor{contributor_id_, "Bench Musician", public_key_, now, {}, {}});
  if (ledger && ledger->entry_count > 0) {
    manifest.current_head_hash = ledger->head_hash;
    manifest.current_sequence = ledger->entry_count;
  }
  write_file(project.central_dir / "manifest.json", pretty(manifest));

  core::ProjectConfig config;
  config.checkpoint_policy = core::CheckpointPolicy{"hybrid", {"session_save"}, std::nullopt};
  write_file(project.central_dir / "config.json", pretty(config));

  if (ledger) write_file(project.ledger_file, ledger->text);
  projects_.push_back(std::move(project));
  return projects_.back();
}

void ServiceWorld::write_registry() const {
  core::Registry registry;
  registry.schema_version = "0.1";
  const std::string now = core::timestamp::format_rfc3339(core::timestamp::now_local());
  for (const WorldProject& project : projects_) {
    registry.projects.push_back(core::RegistryEntry{project.work_id, project.folder.string(), project.title, now});
  }
  write_file(central_ / "registry.json", pretty(registry));
}

std::vector<std::string> ServiceWorld::environment() const {
  std::vector<std::string> env{
      "TALLOWMERE_HOME=" + central_.string(),
      "HOME=" + home_.string(),
      "XDG_DATA_HOME=" + data_home_.string(),
  };
  if (const char* path = std::getenv("PATH")) env.push_back(std::string("PATH=") + path);
  if (const char* zone = std::getenv("TZ")) env.push_back(std::string("TZ=") + zone);
  return env;
}

void write_in_place(const fs::path& path, std::string_view bytes, std::size_t piece) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!fd) fail("cannot open " + path.string());
  while (!bytes.empty()) {
    const std::string_view part = bytes.substr(0, piece);
    if (!core::posix::write_all(fd.get(), part, path)) fail("cannot write " + path.string());
    bytes.remove_prefix(part.size());
  }
  if (fd.close() != 0) fail("cannot close " + path.string());
}

}  // namespace tallowmere_bench::service

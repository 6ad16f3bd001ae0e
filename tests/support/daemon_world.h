#pragma once
// A throwaway world for driving the real daemon: a central root with registered projects, their
// folders with pointer files, contributors' keys in the stand-in credential store, saves made the
// way a DAW makes them, the control socket, and the checks an outside reader makes of a ledger
// (every line one entry, positions counted from 0, parents chained, hashes recomputed,
// signatures verified with the contributor's public key).
//
//   tallowmere_test::DaemonWorld world;
//   world.add_project({.work_id = "w1", .folder = "Song", .title = "Song"});
//   tallowmere_test::ChildProcess daemon(world.daemon());
//   world.save("w1", "Song.rpp", "<REAPER_PROJECT 2\n>\n");
//   EXPECT_TRUE(world.ledger_is_sound("w1"));
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>
#include <openssl/evp.h>

#include "base64.h"
#include "entry_builder.h"
#include "hash.h"
#include "key_store.h"
#include "json/document.h"
#include "ledger.h"
#include "model.h"
#include "posix.h"
#include "run_process.h"
#include "signature_check.h"
#include "signing_key.h"
#include "test_support.h"

namespace tallowmere_test {

namespace world_fs = std::filesystem;

using KeyBytes = std::array<unsigned char, 32>;

// A distinct, fixed Ed25519 private key per seed.
inline KeyBytes private_key_bytes(unsigned char seed) {
  KeyBytes key{};
  for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<unsigned char>(seed * 37 + 11 * i + 1);
  return key;
}

inline KeyBytes public_key_of(unsigned char seed) {
  const KeyBytes bytes = private_key_bytes(seed);
  return tallowmere_core::SigningKey::from_private_bytes(bytes)->public_key();
}

// What a key item in the credential store holds: the private key in standard Base64.
inline std::string key_item_text(unsigned char seed) { return tallowmere_core::base64::encode(private_key_bytes(seed)); }

// Whole lines only: a last line without its line feed may still be being written.
inline std::vector<std::string> complete_lines_of(const std::string& text) {
  const auto end = text.rfind('\n');
  return end == std::string::npos ? std::vector<std::string>{} : lines_of(text.substr(0, end + 1));
}

inline bool has_line(const std::string& text, const std::string& line) {
  return text.starts_with(line + "\n") || text.find("\n" + line + "\n") != std::string::npos;
}

inline std::size_t count_lines_starting(const std::string& text, std::string_view prefix) {
  std::size_t count = 0;
  for (const auto& line : complete_lines_of(text))
    if (line.starts_with(prefix)) ++count;
  return count;
}

// One "[timestamp] SessionSave files=... entry=..." line of the daemon.
struct CheckpointLine {
  std::string timestamp;
  std::string files;
  std::string entry_prefix;  // the first 12 characters of the entry hash
};

inline std::vector<CheckpointLine> checkpoint_lines(const std::string& out) {
  static const std::regex pattern(R"(^\[([^\]]+)\] SessionSave files=(\S+) entry=([0-9a-f]{12})$)");
  std::vector<CheckpointLine> found;
  for (const auto& line : complete_lines_of(out)) {
    std::smatch match;
    if (std::regex_match(line, match, pattern)) found.push_back({match[1], match[2], match[3]});
  }
  return found;
}

// Sends one request line to the control socket and returns the reply line (empty when none came).
inline std::string control_request(const world_fs::path& socket_path, std::string_view request) {
  const int fd = tallowmere_core::posix::unix_stream_socket().release();
  if (fd < 0) return {};
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string path = socket_path.string();
  if (path.size() >= sizeof address.sun_path) {
    ::close(fd);
    return {};
  }
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const timeval limit{5, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  std::string reply;
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
      ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
    char buffer[4096];
    for (ssize_t got; (got = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) reply.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(fd);
  return reply;
}

struct WorldContributor {
  std::string id;
  unsigned char seed = 1;
};

struct ProjectSpec {
  std::string work_id;
  std::string folder;  // the project folder's name in the world's folder
  std::string title;
  std::vector<WorldContributor> contributors{{"alice", 1}};
  bool store_blobs = false;
  std::string mode = "hybrid";
  // The pointer file's work id; none: `work_id`.
  std::optional<std::string> pointer_work_id{};
};

class DaemonWorld {
 public:
  DaemonWorld() { world_fs::create_directories(home); }

  // Makes the project's folder with its pointer file, its central directory with manifest and
  // configuration (no ledger yet), registers it and rewrites the registry.
  void add_project(const ProjectSpec& spec) {
    projects_.push_back(spec);
    write_project_files(spec, central_dir(spec.work_id));
    write_registry();
  }

  // The manifest and configuration of `spec` in `central_dir`, which need not be the central
  // directory its work id names.
  void write_project_files(const ProjectSpec& spec, const world_fs::path& central) const {
    write_file(project_folder(spec.work_id) / ".tallowmere",
               fmt::format(R"({{"schema_version":"0.1","work_id":{},"warning":"Managed by tallowmere."}})",
                           json_text(spec.pointer_work_id.value_or(spec.work_id))));
    std::string contributors;
    for (const auto& contributor : spec.contributors) {
      if (!contributors.empty()) contributors += ",";
      contributors += fmt::format(
          R"({{"contributor_id":"{}","display_name":"{}","public_key":"{}","key_created_at":"2026-01-01T00:00:00+01:00"}})",
          contributor.id, contributor.id, tallowmere_core::base64::encode(public_key_of(contributor.seed)));
    }
    write_file(central / "manifest.json",
               fmt::format(R"({{"schema_version":"0.1","work_id":"{}","title":"{}","created_at":"2026-01-01T00:00:00+01:00",)"
                           R"("contributors":[{}],"current_head_hash":null,"current_sequence":0}})",
                           spec.work_id, spec.title, contributors));
    write_file(central / "config.json",
               fmt::format(R"({{"checkpoint_policy":{{"mode":"{}","event_triggers":["session_save"]}},)"
                           R"("retention_policy":{{"store_blobs":{},"storage_milestones_gb":[10,20]}}}})",
                           spec.mode, spec.store_blobs ? "true" : "false"));
  }

  void write_registry() const { write_file(central_root / "registry.json", registry_text()); }

  // The registry as the companion tool writes it; `title_suffix` is added to every title.
  std::string registry_text(std::string_view title_suffix = "") const {
    std::string entries;
    for (const auto& spec : projects_) {
      if (!entries.empty()) entries += ",";
      entries += fmt::format(R"({{"work_id":{},"project_path":{},"title":{},"registered_at":"2026-01-01T00:00:00+01:00"}})",
                             json_text(spec.work_id), json_text(project_folder(spec.work_id).string()),
                             json_text(spec.title + std::string(title_suffix)));
    }
    return fmt::format(R"({{"schema_version":"0.1","projects":[{}]}})", entries);
  }

  void store_key(const WorldContributor& contributor, mode_t mode = 0600) const {
    store_key_item(data_home, contributor.id, key_item_text(contributor.seed), mode);
  }
  // The keys of every contributor of every project, as the daemon's user keeps them.
  void store_all_keys() const {
    for (const auto& spec : projects_)
      for (const auto& contributor : spec.contributors) store_key(contributor);
  }

  const ProjectSpec& spec(const std::string& work_id) const {
    for (const auto& spec : projects_)
      if (spec.work_id == work_id) return spec;
    throw std::out_of_range("no project " + work_id);
  }

  world_fs::path project_folder(const std::string& work_id) const {
    for (const auto& spec : projects_)
      if (spec.work_id == work_id) return temp / spec.folder;
    return temp / work_id;
  }
  world_fs::path central_dir(const std::string& work_id) const { return central_root / "projects" / work_id; }
  world_fs::path ledger_file(const std::string& work_id) const { return central_dir(work_id) / "ledger.jsonl"; }
  world_fs::path manifest_file(const std::string& work_id) const { return central_dir(work_id) / "manifest.json"; }
  world_fs::path config_file(const std::string& work_id) const { return central_dir(work_id) / "config.json"; }
  world_fs::path objects_dir(const std::string& work_id) const { return central_dir(work_id) / "objects"; }
  world_fs::path socket_path() const { return central_root / "run" / "daemon.sock"; }

  std::map<std::string, std::string> environment() const {
    return {{"TALLOWMERE_HOME", central_root.string()},
            {"HOME", home.string()},
            {"XDG_DATA_HOME", data_home.string()},
            {"PATH", "/usr/bin:/bin"}};
  }

  ProcessOptions daemon(std::vector<std::string> arguments = {}) const {
    std::vector<std::string> argv{TALLOWMERE_DAEMON_EXE};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return {.argv = argv, .env = environment(), .timeout = std::chrono::seconds(240)};
  }

  // A save the way many DAWs make it: the whole file written under another name, then renamed
  // over the session file. With `aged` the file's time lies a minute back, so that it counts as
  // settled at once and a checkpoint needs no settle waits.
  void save(const std::string& work_id, const std::string& file_name, std::string_view bytes, bool aged = true) const {
    const world_fs::path folder = project_folder(work_id);
    const world_fs::path staging = folder / ("." + file_name + ".saving");
    write_file(staging, bytes);
    if (aged) {
      const timespec times[2] = {{0, UTIME_OMIT}, {::time(nullptr) - 60, 0}};
      ::utimensat(AT_FDCWD, staging.c_str(), times, 0);
    }
    world_fs::rename(staging, folder / file_name);
  }

  // Whether the ledger's last entry records `bytes` as its first content.
  bool last_entry_records(const std::string& work_id, std::string_view bytes) const {
    const auto ledger = tallowmere_core::ledger::read_ledger(ledger_file(work_id));
    return ledger && !ledger->entries.empty() && !ledger->entries.back().content_refs.empty() &&
           ledger->entries.back().content_refs.front().sha256_hash == tallowmere_core::hash::sha256_hex(bytes);
  }

  // Asks the running daemon for a rescan; true when it acknowledged.
  bool request_rescan() const { return control_request(socket_path(), "\"Rescan\"\n") == "\"Ack\"\n"; }

  // The public keys of the project's contributors, by contributor id.
  std::map<std::string, KeyBytes> public_keys(const std::string& work_id) const {
    std::map<std::string, KeyBytes> keys;
    for (const auto& contributor : spec(work_id).contributors) keys[contributor.id] = public_key_of(contributor.seed);
    return keys;
  }

  // The ledger as an outside reader checks it. `allow_torn_tail`: a last line cut off mid-write
  // (which the daemon repairs when it next starts) is accepted; everything before it must hold.
  ::testing::AssertionResult ledger_is_sound(const std::string& work_id, bool allow_torn_tail = false,
                                             std::vector<tallowmere_core::LedgerEntry>* entries_out = nullptr) const {
    const auto keys = public_keys(work_id);
    const auto read = tallowmere_core::ledger::read_ledger(ledger_file(work_id));
    if (!read) return ::testing::AssertionFailure() << "ledger does not load: " << read.error().message();
    if (read->trailing_incomplete && !allow_torn_tail) {
      return ::testing::AssertionFailure() << "torn last line " << read->trailing_incomplete->line_number << ": "
                                           << read->trailing_incomplete->raw_line;
    }
    // Every line holds exactly one entry: a line with two would not read as one entry.
    std::size_t entry_lines = 0;
    for (const auto& line : lines_of(read_file(ledger_file(work_id)))) {
      if (!line.empty()) ++entry_lines;
    }
    const std::size_t expected_lines = read->entries.size() + (read->trailing_incomplete ? 1 : 0);
    if (entry_lines != expected_lines) {
      return ::testing::AssertionFailure() << entry_lines << " non-empty lines for " << expected_lines << " entries";
    }
    for (std::size_t i = 0; i < read->entries.size(); ++i) {
      const auto& entry = read->entries[i];
      if (entry.causal_position != i) {
        return ::testing::AssertionFailure() << "entry " << i << " has position " << entry.causal_position;
      }
      const std::vector<std::string> parents =
          i == 0 ? std::vector<std::string>{} : std::vector<std::string>{read->entries[i - 1].entry_hash};
      if (entry.parent_entry_hashes != parents) return ::testing::AssertionFailure() << "entry " << i << " breaks the chain";
      const auto hash = tallowmere_core::entry_builder::compute_entry_hash(entry);
      if (!hash || *hash != entry.entry_hash) return ::testing::AssertionFailure() << "entry " << i << ": hash does not recompute";
      const auto key = keys.find(entry.contributor_id);
      if (key == keys.end()) return ::testing::AssertionFailure() << "entry " << i << ": unknown contributor " << entry.contributor_id;
      if (!signature_verifies(entry, key->second)) return ::testing::AssertionFailure() << "entry " << i << ": signature does not verify";
    }
    if (entries_out) *entries_out = read->entries;
    return ::testing::AssertionSuccess();
  }

  TempDir temp;
  const world_fs::path central_root = temp / "central";
  const world_fs::path data_home = temp / "data";
  const world_fs::path home = temp / "home";

 private:
  static std::string json_text(const std::string& text) {
    std::string quoted = "\"";
    for (const char c : text) {
      if (c == '"' || c == '\\') quoted += '\\';
      quoted += c;
    }
    return quoted + "\"";
  }

  std::vector<ProjectSpec> projects_;
};

// Waits until `child` has printed a line for which `matches` holds on standard output (or, with
// `on_error`, standard error).
template <class Predicate>
bool wait_for_line(ChildProcess& child, Predicate matches, bool on_error = false,
                   std::chrono::milliseconds deadline = std::chrono::seconds(30)) {
  return child.wait_for_output(
      [&](const std::string& out, const std::string& err) {
        for (const auto& line : complete_lines_of(on_error ? err : out))
          if (matches(line)) return true;
        return false;
      },
      deadline);
}

// Waits until `child` has printed `count` lines starting with `prefix` on standard output.
inline bool wait_for_lines_starting(ChildProcess& child, std::string_view prefix, std::size_t count,
                                    std::chrono::milliseconds deadline = std::chrono::seconds(30)) {
  return child.wait_for_output(
      [&](const std::string& out, const std::string&) { return count_lines_starting(out, prefix) >= count; }, deadline);
}

}  // namespace tallowmere_test

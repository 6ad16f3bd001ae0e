#pragma once
// A real project on disk for the watch loop and checkpoint tests: a project folder with its
// pointer file, a central directory with manifest, configuration and (optional) ledger under a
// central root named by TALLOWMERE_HOME, and contributors' keys in the credential store under
// XDG_DATA_HOME, all inside one temporary folder.
#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "base64.h"
#include "console.h"
#include "entry_builder.h"
#include "forked_child.h"
#include "key_store.h"
#include "json/document.h"
#include "model.h"
#include "project.h"
#include "signature_check.h"
#include "signing_key.h"
#include "test_support.h"

namespace tallowmere_cli::watch_testing {

namespace fs = std::filesystem;

using PrivateKey = std::array<unsigned char, 32>;

// A distinct, fixed private key per seed.
inline PrivateKey private_key(unsigned char seed) {
  PrivateKey key{};
  for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<unsigned char>(seed * 31 + i);
  return key;
}

inline tallowmere_core::SigningKey signing_key(unsigned char seed) {
  const PrivateKey bytes = private_key(seed);
  return std::move(*tallowmere_core::SigningKey::from_private_bytes(bytes));
}

inline std::array<unsigned char, 32> public_key(unsigned char seed) { return signing_key(seed).public_key(); }

inline std::string key_text(unsigned char seed) { return tallowmere_core::base64::encode(private_key(seed)); }

// Checks a ledger line as an outside reader would: its entry hash recomputed from the line, and
// its signature over that hash text verified with the contributor's public key.
inline ::testing::AssertionResult entry_verifies(const std::string& line, const std::array<unsigned char, 32>& public_key) {
  auto entry = tallowmere_core::json::read_document<tallowmere_core::LedgerEntry>(line);
  if (!entry) return ::testing::AssertionFailure() << "line does not parse: " << entry.error().to_string();
  auto hash = tallowmere_core::entry_builder::compute_entry_hash(*entry);
  if (!hash || *hash != entry->entry_hash) return ::testing::AssertionFailure() << "entry hash does not match";
  if (!tallowmere_test::signature_verifies(*entry, public_key)) {
    return ::testing::AssertionFailure() << "signature does not verify";
  }
  return ::testing::AssertionSuccess();
}

inline tallowmere_core::LedgerEntry parse_entry(const std::string& line) {
  auto entry = tallowmere_core::json::read_document<tallowmere_core::LedgerEntry>(line);
  EXPECT_TRUE(entry.has_value()) << line;
  return entry ? *entry : tallowmere_core::LedgerEntry{};
}

// A ledger line of a valid (unsigned) entry at `position`, for ledgers that exist before a test.
inline std::string entry_line(std::uint64_t position) {
  return fmt::format(
      R"({{"entry_id":"e{0}","contributor_id":"alice","causal_position":{0},"parent_entry_hashes":[],)"
      R"("timestamp_local":"2026-01-01T00:00:0{0}+01:00","timestamp_trusted":null,"event_type":"session_save",)"
      R"("daw_context":null,"content_refs":[],"notes":null,"entry_hash":"h{0}","signature":"s{0}",)"
      R"("key_rotation":null,"identity_recovery":null}})",
      position);
}

// Moves a file's modification time well into the past, so that it counts as settled at once.
inline void age(const fs::path& file) {
  const timespec times[2] = {{0, UTIME_OMIT}, {::time(nullptr) - 60, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), times, 0), 0) << std::strerror(errno);
}

// Writes `bytes` over the start of the file in one write(2), without truncating it first, the way
// an editor that rewrites a file of the same length in place does: the file never shows a
// half-written state that could settle.
inline void save_in_place(const fs::path& file, std::string_view bytes) {
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0) << std::strerror(errno);
  ASSERT_EQ(::pwrite(fd, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
  ::close(fd);
}

// A save the way many DAWs make it: the whole file is written under another name, then renamed
// over the session file.
inline void save_by_rename(const fs::path& file, std::string_view bytes, const fs::path& staging) {
  tallowmere_test::write_file(staging, bytes);
  fs::rename(staging, file);
}

struct ProjectSettings {
  std::vector<std::string> contributors{"alice"};
  bool store_blobs = false;
  std::vector<std::uint64_t> milestones{10, 20, 40, 60, 80, 100};
  std::optional<std::string> ledger;  // the ledger's text; none: no ledger file yet
};

class ProjectOnDisk {
 public:
  explicit ProjectOnDisk(ProjectSettings settings = {}) {
    tallowmere_test::write_file(root / ".tallowmere",
                                R"({"schema_version":"1","work_id":"w1","warning":"managed by tallowmere"})");
    std::string contributors;
    for (std::size_t i = 0; i < settings.contributors.size(); ++i) {
      if (i > 0) contributors += ",";
      const std::string recorded_key = tallowmere_core::base64::encode(public_key(static_cast<unsigned char>(i + 1)));
      contributors += fmt::format(
          R"({{"contributor_id":"{}","display_name":"C{}","public_key":"{}",)"
          R"("key_created_at":"2026-01-01T00:00:00+01:00"}})",
          settings.contributors[i], i, recorded_key);
    }
    tallowmere_test::write_file(
        central_dir / "manifest.json",
        fmt::format(R"({{"schema_version":"1","work_id":"w1","title":"Song","created_at":"2026-01-01T00:00:00+01:00",)"
                    R"("contributors":[{}],"current_head_hash":null,"current_sequence":0}})",
                    contributors));
    std::string milestones;
    for (std::size_t i = 0; i < settings.milestones.size(); ++i) {
      milestones += (i > 0 ? "," : "") + std::to_string(settings.milestones[i]);
    }
    tallowmere_test::write_file(
        central_dir / "config.json",
        fmt::format(R"({{"checkpoint_policy":{{"mode":"hybrid","event_triggers":["session_save"]}},)"
                    R"("retention_policy":{{"store_blobs":{},"storage_milestones_gb":[{}]}}}})",
                    settings.store_blobs ? "true" : "false", milestones));
    if (settings.ledger) tallowmere_test::write_file(ledger_file(), *settings.ledger);
  }

  // Stores `text` as the key item of `contributor`, with file mode `mode`. The manifest records the
  // public key of seed 1 for the first contributor, 2 for the second and so on.
  void store_key_text(std::string_view contributor, std::string_view text, mode_t mode = 0600) const {
    tallowmere_test::store_key_item(data_home, contributor, text, mode);
  }
  void store_key(std::string_view contributor, unsigned char seed) const { store_key_text(contributor, key_text(seed)); }

  LoadedProject load() const {
    auto loaded = project::load_project(root);
    EXPECT_TRUE(loaded.has_value()) << (loaded ? "" : loaded.error().one_line());
    return loaded ? std::move(*loaded) : LoadedProject{};
  }

  fs::path ledger_file() const { return central_dir / "ledger.jsonl"; }
  fs::path objects_dir() const { return central_dir / "objects"; }

  std::vector<std::string> ledger_lines() const {
    std::vector<std::string> lines;
    std::istringstream text(tallowmere_test::read_file(ledger_file()));
    for (std::string line; std::getline(text, line);) lines.push_back(line);
    return lines;
  }

  // Files in the blob store, by name, in name order.
  std::vector<std::string> objects() const {
    std::vector<std::string> names;
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(objects_dir(), ignored)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }

  tallowmere_test::TempDir temp;
  const fs::path central_root = temp / "central";
  const fs::path data_home = temp / "data";
  const fs::path root = temp / "song";
  const fs::path central_dir = central_root / "projects" / "w1";

 private:
  tallowmere_test::ScopedEnv tallowmere_home_{"TALLOWMERE_HOME", central_root.string()};
  tallowmere_test::ScopedEnv home_{"HOME", (temp / "home").string()};
  tallowmere_test::ScopedEnv xdg_data_home_{"XDG_DATA_HOME", data_home.string()};
};

// Waits (with a deadline) until `capture` holds a line on standard output for which `matches`
// holds; true when it came.
template <class Predicate>
bool wait_for_out_line_matching(const console::Capture& capture, Predicate matches) {
  return tallowmere_test::wait_until([&] {
    const auto lines = capture.out_lines();
    return std::any_of(lines.begin(), lines.end(), matches);
  });
}

inline bool wait_for_out_line(const console::Capture& capture, std::string_view line) {
  return wait_for_out_line_matching(capture, [&](const std::string& candidate) { return candidate == line; });
}

inline std::vector<std::string> lines_starting(const std::vector<std::string>& lines, std::string_view prefix) {
  std::vector<std::string> found;
  for (const auto& line : lines)
    if (line.starts_with(prefix)) found.push_back(line);
  return found;
}

}  // namespace tallowmere_cli::watch_testing

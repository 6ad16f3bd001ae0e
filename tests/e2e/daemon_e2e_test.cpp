// The service through the real executable, in a temporary central root: start-up, watching a
// registered project, a save turned into a signed ledger line, the status report of the running
// service, and how Ctrl-C and SIGTERM end it.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <nlohmann/json.hpp>
#include <openssl/evp.h>

#include "base64.h"
#include "daemon_world.h"
#include "entry_builder.h"
#include "json/document.h"
#include "model.h"
#include "run_process.h"
#include "signing_key.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using tallowmere_test::ChildProcess;
using tallowmere_test::signature_verifies;

constexpr const char* kBanner =
    "tallowmere-daemon starting (rescans the project registry every 5 minutes). Press Ctrl-C to stop.\n";

std::array<unsigned char, 32> private_key() {
  std::array<unsigned char, 32> key{};
  for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<unsigned char>(7 * i + 3);
  return key;
}

bool has_line(const std::string& text, const std::string& line) {
  return text.starts_with(line + "\n") || text.find("\n" + line + "\n") != std::string::npos;
}

// A central root with one registered project "My Song" (watching, no collapse window), its folder
// with the pointer file and a session file, and the contributor's key in the credential store:
// all under one temporary folder that the daemon's environment points at.
class Daemon : public ::testing::Test {
 protected:
  void SetUp() override {
    tallowmere_test::write_file(project / ".tallowmere",
                                R"({"schema_version":"0.1","work_id":"w-e2e","warning":"Managed by tallowmere."})");
    const auto signing = tallowmere_core::SigningKey::from_private_bytes(private_key());
    ASSERT_TRUE(signing.has_value());
    public_key = signing->public_key();
    tallowmere_test::write_file(
        central / "projects" / "w-e2e" / "manifest.json",
        fmt::format(R"({{"schema_version":"0.1","work_id":"w-e2e","title":"My Song","created_at":"2026-01-01T00:00:00+01:00",)"
                    R"("contributors":[{{"contributor_id":"alice","display_name":"Alice","public_key":"{}",)"
                    R"("key_created_at":"2026-01-01T00:00:00+01:00"}}],"current_head_hash":null,"current_sequence":0}})",
                    tallowmere_core::base64::encode(public_key)));
    tallowmere_test::write_file(central / "projects" / "w-e2e" / "config.json",
                                R"({"checkpoint_policy":{"mode":"hybrid","event_triggers":["session_save"]}})");
    tallowmere_test::write_file(
        central / "registry.json",
        fmt::format(R"({{"schema_version":"0.1","projects":[{{"work_id":"w-e2e","project_path":"{}",)"
                    R"("title":"My Song","registered_at":"2026-01-01T00:00:00+01:00"}}]}})",
                    project.string()));
    tallowmere_test::write_file(project / "Song.rpp", "<REAPER_PROJECT\n>\n");

    const fs::path item = data / "tallowmere-keychain" / "tallowmere-core" / "alice";
    fs::create_directories(item.parent_path());
    const std::string text = tallowmere_core::base64::encode(private_key());
    const int fd = ::open(item.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    ASSERT_EQ(::fchmod(fd, 0600), 0);
    ::close(fd);
  }

  std::map<std::string, std::string> environment() const {
    return {{"TALLOWMERE_HOME", central.string()},
            {"HOME", (temp / "home").string()},
            {"XDG_DATA_HOME", data.string()},
            {"PATH", "/usr/bin:/bin"}};
  }

  tallowmere_test::ProcessOptions daemon(std::vector<std::string> arguments = {}) const {
    std::vector<std::string> argv{TALLOWMERE_DAEMON_EXE};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return {.argv = argv, .env = environment(), .timeout = std::chrono::seconds(60)};
  }

  // Waits until the project's watch loop is set up: from then on a save is seen.
  static bool wait_watching(ChildProcess& child) {
    return child.wait_for_output([](const std::string& out, const std::string&) {
      return has_line(out, "Press Ctrl-C to stop.");
    });
  }

  std::vector<std::string> ledger_lines() const {
    std::vector<std::string> lines;
    std::istringstream text(tallowmere_test::read_file(central / "projects" / "w-e2e" / "ledger.jsonl"));
    for (std::string line; std::getline(text, line);) lines.push_back(line);
    return lines;
  }

  tallowmere_test::TempDir temp;
  const fs::path central = temp / "central";
  const fs::path data = temp / "data";
  const fs::path project = temp / "My Song";
  std::array<unsigned char, 32> public_key{};
};

TEST_F(Daemon, WatchesCheckpointsASaveReportsStatusAndStopsOnCtrlC) {
  ChildProcess child(daemon());
  ASSERT_TRUE(wait_watching(child)) << child.stdout_so_far() << child.stderr_so_far();
  {
    const std::string out = child.stdout_so_far();
    ASSERT_TRUE(out.starts_with(std::string(kBanner) + "Watching " + project.string() + " (My Song)\n")) << out;
  }

  tallowmere_test::write_file(project / "Song.rpp", "<REAPER_PROJECT\n<TRACK \"Drums\">\n>\n");
  const std::regex checkpoint(R"(\n\[([^\]]+)\] SessionSave files=Song\.rpp entry=([0-9a-f]{12})\n)");
  std::smatch found;
  ASSERT_TRUE(child.wait_for_output([&](const std::string& out, const std::string&) {
    return std::regex_search(out, checkpoint);
  })) << child.stdout_so_far() << child.stderr_so_far();
  const std::string out = child.stdout_so_far();
  ASSERT_TRUE(std::regex_search(out, found, checkpoint));

  // The line was written before the checkpoint line was printed.
  const auto lines = ledger_lines();
  ASSERT_EQ(lines.size(), 1u);
  const auto entry = tallowmere_core::json::read_document<tallowmere_core::LedgerEntry>(lines[0]);
  ASSERT_TRUE(entry.has_value()) << lines[0];
  EXPECT_EQ(entry->timestamp_local, found[1].str());
  EXPECT_TRUE(entry->entry_hash.starts_with(found[2].str()));
  EXPECT_EQ(entry->contributor_id, "alice");
  EXPECT_EQ(entry->event_type, tallowmere_core::EventType::SessionSave);
  ASSERT_EQ(entry->content_refs.size(), 1u);
  EXPECT_EQ(entry->content_refs[0].storage.local_path, "Song.rpp");
  const auto hash = tallowmere_core::entry_builder::compute_entry_hash(*entry);
  ASSERT_TRUE(hash.has_value());
  EXPECT_EQ(*hash, entry->entry_hash);
  EXPECT_TRUE(signature_verifies(*entry, public_key));

  // The running service answers `status` from its watched-project map.
  const auto status = tallowmere_test::run_process(daemon({"status"}));
  EXPECT_EQ(status.exit_code, 0) << status.describe();
  EXPECT_TRUE(status.stdout_text.starts_with("My Song\n  path:            " + project.string() + "\n"))
      << status.stdout_text;
  EXPECT_TRUE(has_line(status.stdout_text, "  checkpoints:     1")) << status.stdout_text;
  EXPECT_TRUE(has_line(status.stdout_text, "  last checkpoint: " + entry->timestamp_local)) << status.stdout_text;

  // A second Ctrl-C while stopping changes nothing.
  child.send_signal(SIGINT);
  child.send_signal(SIGINT);
  const auto result = child.wait();
  EXPECT_EQ(result.exit_code, 0) << result.describe();
  EXPECT_FALSE(result.timed_out);
  EXPECT_TRUE(result.stdout_text.ends_with("\nStopped watching.\nStopped.\n")) << result.describe();
  EXPECT_EQ(result.stderr_text, "");
}

TEST_F(Daemon, CollapseWindowLineShowsTheConfiguredMinutesInSeconds) {
  struct Case {
    std::uint32_t minutes;
    std::string seconds;
  };
  // The longer two are past what the watch loop's nanoseconds hold.
  const std::vector<Case> cases{{5, "300.0"}, {153722868, "9223372080.0"}, {4294967295, "257698037700.0"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.minutes);
    tallowmere_test::write_file(
        central / "projects" / "w-e2e" / "config.json",
        fmt::format(R"({{"checkpoint_policy":{{"mode":"hybrid","event_triggers":["session_save"],)"
                    R"("collapse_window_minutes":{}}}}})",
                    c.minutes));
    ChildProcess child(daemon());
    ASSERT_TRUE(wait_watching(child)) << child.stdout_so_far() << child.stderr_so_far();
    child.send_signal(SIGINT);
    const auto result = child.wait();
    EXPECT_EQ(result.exit_code, 0) << result.describe();
    EXPECT_TRUE(has_line(result.stdout_text,
                         "Collapse window: " + c.seconds + "s (rapid saves collapse into one checkpoint)"))
        << result.stdout_text;
  }
}

// What a reader with only the files, a generic JSON library and OpenSSL can check: every member
// but entry_hash and signature, keys sorted, no white space, hashed with SHA-256; the signature
// over that hash text with the manifest's public key; each line chained to the one before.
TEST_F(Daemon, LedgerLinesCheckOutWithAGenericJsonReaderAndTheManifestsPublicKey) {
  ChildProcess child(daemon());
  ASSERT_TRUE(wait_watching(child)) << child.stdout_so_far() << child.stderr_so_far();
  const std::regex checkpoint(R"(\[[^\]]+\] SessionSave files=Song\.rpp entry=([0-9a-f]{12}))");
  std::vector<std::string> shown;
  for (const char* content : {"<REAPER_PROJECT\n<TRACK>\n>\n", "<REAPER_PROJECT\n<TRACK>\n<TRACK>\n>\n"}) {
    tallowmere_test::write_file(project / "Song.rpp", content);
    ASSERT_TRUE(child.wait_for_output([&](const std::string& out, const std::string&) {
      std::size_t found = 0;
      for (const auto& line : tallowmere_test::complete_lines_of(out)) found += std::regex_match(line, checkpoint);
      return found > shown.size();
    })) << child.stdout_so_far() << child.stderr_so_far();
    std::smatch match;
    const auto lines = tallowmere_test::complete_lines_of(child.stdout_so_far());
    const auto last = std::find_if(lines.rbegin(), lines.rend(),
                                   [&](const std::string& line) { return std::regex_match(line, match, checkpoint); });
    ASSERT_NE(last, lines.rend());
    shown.push_back(match[1]);
  }
  child.send_signal(SIGINT);
  EXPECT_EQ(child.wait().exit_code, 0);

  const auto manifest = nlohmann::json::parse(tallowmere_test::read_file(central / "projects" / "w-e2e" / "manifest.json"));
  const auto public_key_bytes = tallowmere_core::base64::decode(manifest["contributors"][0]["public_key"].get<std::string>());
  ASSERT_TRUE(public_key_bytes.has_value());
  ASSERT_EQ(public_key_bytes->size(), 32u);
  tallowmere_test::KeyBytes manifest_key{};
  std::memcpy(manifest_key.data(), public_key_bytes->data(), manifest_key.size());

  const auto lines = ledger_lines();
  ASSERT_EQ(lines.size(), shown.size());
  std::string previous_hash;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    SCOPED_TRACE(lines[i]);
    nlohmann::json entry = nlohmann::json::parse(lines[i]);  // std::map: keys in byte order
    const std::string stored_hash = entry["entry_hash"];
    const std::string signature = entry["signature"];
    EXPECT_TRUE(stored_hash.starts_with(shown[i]));
    EXPECT_EQ(entry["causal_position"], i);
    EXPECT_EQ(entry["parent_entry_hashes"],
              previous_hash.empty() ? nlohmann::json::array() : nlohmann::json::array({previous_hash}));
    entry.erase("entry_hash");
    entry.erase("signature");
    const std::string hashed = entry.dump();
    EXPECT_EQ(entry.size(), 12u) << "nulls stay in the hash input";
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int digest_size = 0;
    ASSERT_EQ(EVP_Digest(hashed.data(), hashed.size(), digest.data(), &digest_size, EVP_sha256(), nullptr), 1);
    std::string hex;
    for (unsigned int b = 0; b < digest_size; ++b) hex += fmt::format("{:02x}", digest[b]);
    EXPECT_EQ(hex, stored_hash);

    tallowmere_core::LedgerEntry signed_text;
    signed_text.entry_hash = stored_hash;
    signed_text.signature = signature;
    EXPECT_TRUE(signature_verifies(signed_text, manifest_key));
    previous_hash = stored_hash;
  }
  EXPECT_EQ(manifest["current_head_hash"], previous_hash);
  EXPECT_EQ(manifest["current_sequence"], lines.size());
}

TEST_F(Daemon, WithoutRegistryOnlyTheBannerAndStoppedArePrinted) {
  fs::remove(central / "registry.json");
  // Also when started the way a shell starts a background job, with SIGINT ignored.
  for (const bool ignoring_interrupts : {false, true}) {
    SCOPED_TRACE(ignoring_interrupts ? "SIGINT ignored at start" : "SIGINT as usual");
    std::error_code ignored;
    fs::remove_all(central / "run", ignored);
    auto options = daemon();
    if (ignoring_interrupts) options.in_child = [] { ::signal(SIGINT, SIG_IGN); };
    ChildProcess child(options);
    ASSERT_TRUE(child.wait_for_output([](const std::string& out, const std::string&) { return out == kBanner; }))
        << child.stdout_so_far();
    // The socket is there once the control-socket thread runs: the service is fully up.
    ASSERT_TRUE(tallowmere_test::wait_until([&] { return fs::exists(central / "run" / "daemon.sock"); }));
    child.send_signal(SIGINT);
    const auto result = child.wait();
    EXPECT_EQ(result.exit_code, 0) << result.describe();
    EXPECT_EQ(result.stdout_text, std::string(kBanner) + "Stopped.\n");
    EXPECT_EQ(result.stderr_text, "");
  }
}

TEST_F(Daemon, SigtermEndsTheServiceAtOnceWithoutStopped) {
  ChildProcess child(daemon());
  ASSERT_TRUE(wait_watching(child)) << child.stdout_so_far() << child.stderr_so_far();
  child.send_signal(SIGTERM);
  const auto result = child.wait();
  EXPECT_EQ(result.signal, SIGTERM) << result.describe();
  EXPECT_FALSE(result.timed_out);
  EXPECT_EQ(result.stdout_text.find("Stopped"), std::string::npos) << result.describe();
}

TEST_F(Daemon, FailedModeReportsItsChainAndExitsWithOne) {
  // A regular file where the central root's parent should be: the run folder cannot be made.
  tallowmere_test::write_file(temp / "plain-file", "");
  auto options = daemon({"status"});
  options.env["TALLOWMERE_HOME"] = (temp / "plain-file" / "central").string();
  const auto result = tallowmere_test::run_process(options);
  EXPECT_EQ(result.exit_code, 1) << result.describe();
  EXPECT_EQ(result.stdout_text, "");
  EXPECT_EQ(result.stderr_text, "Error: failed to create daemon run directory\n\nCaused by:\n    Not a directory (os error 20)\n");
}

}  // namespace

namespace {

// Two services on one central root would both watch every project and sign every save twice.
TEST_F(Daemon, ASecondServiceOnTheSameCentralRootEndsAtOnceAndEachSaveGivesOneEntry) {
  ChildProcess first(daemon());
  ASSERT_TRUE(wait_watching(first)) << first.stdout_so_far() << first.stderr_so_far();

  const auto second = tallowmere_test::run_process(daemon());
  EXPECT_EQ(second.exit_code, 1) << second.describe();
  EXPECT_EQ(second.stdout_text, "");
  EXPECT_EQ(second.stderr_text, "Error: another tallowmere-daemon is already running for " + central.string() + "\n");

  tallowmere_test::write_file(project / "Song.rpp", "<REAPER_PROJECT\n<TRACK \"Bass\">\n>\n");
  ASSERT_TRUE(first.wait_for_output([](const std::string& out, const std::string&) {
    return out.find("SessionSave files=Song.rpp") != std::string::npos;
  })) << first.stdout_so_far() << first.stderr_so_far();
  // The first service still owns the socket.
  const auto status = tallowmere_test::run_process(daemon({"status"}));
  EXPECT_TRUE(has_line(status.stdout_text, "  checkpoints:     1")) << status.describe();
  EXPECT_EQ(ledger_lines().size(), 1u);

  first.send_signal(SIGINT);
  EXPECT_EQ(first.wait().exit_code, 0);
  // A stopped (or killed) service leaves nothing that blocks the next start.
  ChildProcess third(daemon());
  ASSERT_TRUE(wait_watching(third)) << third.stdout_so_far() << third.stderr_so_far();
  third.send_signal(SIGKILL);
  (void)third.wait();
  ChildProcess fourth(daemon());
  ASSERT_TRUE(wait_watching(fourth)) << fourth.stdout_so_far() << fourth.stderr_so_far();
  fourth.send_signal(SIGINT);
  EXPECT_EQ(fourth.wait().exit_code, 0);
}

// Whatever becomes of the files inside the central root, a running service keeps it: a second one
// is refused before it makes anything there (its own socket above all), and the first goes on.
TEST_F(Daemon, ASecondServiceIsRefusedWhateverBecameOfTheRunFolder) {
  ChildProcess first(daemon());
  ASSERT_TRUE(wait_watching(first)) << first.stdout_so_far() << first.stderr_so_far();
  ASSERT_TRUE(tallowmere_test::wait_until([&] { return fs::exists(central / "run" / "daemon.sock"); }));

  const fs::path run = central / "run";
  const fs::path link = temp / "central-link";
  fs::create_directory_symlink(central, link);
  const struct {
    const char* name;
    std::function<void()> alter;
    fs::path root;  // the second service's TALLOWMERE_HOME
  } cases[] = {
      {"run removed", [&] { fs::remove_all(run); }, central},
      {"a file where run was", [&] { tallowmere_test::write_file(run, ""); }, central},
      {"the root through a symbolic link", [] {}, link},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    c.alter();
    const auto before = fs::symlink_status(run).type();
    auto options = daemon();
    options.env["TALLOWMERE_HOME"] = c.root.string();
    const auto second = tallowmere_test::run_process(options);
    EXPECT_EQ(second.exit_code, 1) << second.describe();
    EXPECT_EQ(second.stdout_text, "");
    EXPECT_EQ(second.stderr_text, "Error: another tallowmere-daemon is already running for " + c.root.string() + "\n");
    EXPECT_EQ(fs::symlink_status(run).type(), before);
  }

  tallowmere_test::write_file(project / "Song.rpp", "<REAPER_PROJECT\n<TRACK \"Keys\">\n>\n");
  ASSERT_TRUE(first.wait_for_output([](const std::string& out, const std::string&) {
    return out.find("SessionSave files=Song.rpp") != std::string::npos;
  })) << first.stdout_so_far() << first.stderr_so_far();
  EXPECT_EQ(ledger_lines().size(), 1u);
  first.send_signal(SIGINT);
  const auto result = first.wait();
  EXPECT_EQ(result.exit_code, 0) << result.describe();
  EXPECT_TRUE(result.stdout_text.ends_with("Stopped.\n")) << result.describe();
}

// A writer killed between its ledger line and its manifest leaves the manifest behind; the watcher
// sets it right as it starts, before any save.
TEST_F(Daemon, AManifestLeftBehindItsLedgerIsSetRightWhenWatchingStarts) {
  {
    ChildProcess child(daemon());
    ASSERT_TRUE(wait_watching(child));
    tallowmere_test::write_file(project / "Song.rpp", "<REAPER_PROJECT\n<TRACK \"Keys\">\n>\n");
    ASSERT_TRUE(child.wait_for_output([](const std::string& out, const std::string&) {
      return out.find("SessionSave files=Song.rpp") != std::string::npos;
    }));
    child.send_signal(SIGINT);
    ASSERT_EQ(child.wait().exit_code, 0);
  }
  const fs::path manifest_file = central / "projects" / "w-e2e" / "manifest.json";
  auto manifest = nlohmann::ordered_json::parse(tallowmere_test::read_file(manifest_file));
  const auto head = manifest["current_head_hash"];
  ASSERT_TRUE(head.is_string());
  manifest["current_head_hash"] = nullptr;
  manifest["current_sequence"] = 0;
  tallowmere_test::write_file(manifest_file, manifest.dump(2));

  ChildProcess child(daemon());
  ASSERT_TRUE(wait_watching(child)) << child.stdout_so_far() << child.stderr_so_far();
  const auto fixed = nlohmann::ordered_json::parse(tallowmere_test::read_file(manifest_file));
  EXPECT_EQ(fixed["current_head_hash"], head);
  EXPECT_EQ(fixed["current_sequence"], 1);
  const auto status = tallowmere_test::run_process(daemon({"status"}));
  EXPECT_TRUE(has_line(status.stdout_text, "  checkpoints:     1")) << status.describe();
  child.send_signal(SIGINT);
  const auto result = child.wait();
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.stderr_text, "");
}

}  // namespace

namespace {

using tallowmere_test::DaemonWorld;

// A folder initialised a second time leaves two registry entries whose pointer file is one and
// names the new work id: one history, so one watcher and one entry per save.
TEST(DaemonOneHistory, TwoRegistryEntriesOfOneFolderRecordEachSaveOnce) {
  DaemonWorld world;
  world.add_project({.work_id = "w-old", .folder = "Song", .title = "Song", .pointer_work_id = "w-new"});
  world.add_project({.work_id = "w-new", .folder = "Song", .title = "Song"});
  world.store_all_keys();
  ChildProcess daemon(world.daemon());
  // The watch loop's own last line before it waits: from then on a save is seen.
  const auto ready = [](const std::string& line) { return line == "Press Ctrl-C to stop."; };
  ASSERT_TRUE(tallowmere_test::wait_for_line(daemon, ready)) << daemon.stdout_so_far() << daemon.stderr_so_far();
  // Rescans after the first say nothing more about the two entries (the socket is ready a moment
  // after the first rescan).
  ASSERT_TRUE(tallowmere_test::wait_until([&] { return world.request_rescan(); })) << daemon.stderr_so_far();
  ASSERT_TRUE(world.request_rescan()) << daemon.stderr_so_far();

  world.save("w-new", "Song.rpp", "<REAPER_PROJECT 1\n>\n");
  ASSERT_TRUE(tallowmere_test::wait_for_lines_starting(daemon, "[", 1))
      << daemon.stdout_so_far() << daemon.stderr_so_far();
  world.save("w-new", "Song.rpp", "<REAPER_PROJECT 2\n>\n");
  ASSERT_TRUE(tallowmere_test::wait_for_lines_starting(daemon, "[", 2))
      << daemon.stdout_so_far() << daemon.stderr_so_far();

  const auto status = tallowmere_test::run_process(world.daemon({"status"}));
  EXPECT_EQ(tallowmere_test::count_lines_starting(status.stdout_text, "  path:"), 1u) << status.describe();

  daemon.send_signal(SIGINT);
  const auto result = daemon.wait();
  EXPECT_EQ(result.exit_code, 0) << result.describe();
  const std::string folder = world.project_folder("w-new").string();
  const std::string history = world.central_dir("w-new").string();
  const auto lines = tallowmere_test::complete_lines_of(result.stdout_text);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "Watching " + folder + " (Song)"), 1) << result.describe();
  EXPECT_EQ(tallowmere_test::checkpoint_lines(result.stdout_text).size(), 2u) << result.describe();
  EXPECT_EQ(result.stderr_text,
            fmt::format("WARNING: the pointer file {0}/.tallowmere names work id w-new, not the registry's w-old; "
                        "following the pointer to {1}\n"
                        "WARNING: not watching {0} (w-old): its project, {1}, is already watched as w-new\n",
                        folder, history));
  std::vector<tallowmere_core::LedgerEntry> entries;
  EXPECT_TRUE(world.ledger_is_sound("w-new", false, &entries));
  EXPECT_EQ(entries.size(), 2u);
  EXPECT_FALSE(fs::exists(world.ledger_file("w-old")));
}

// Its watched entry gone from the registry, the other entry of the folder takes the history over:
// still one watcher, and the saves go on into the history the pointer names.
TEST(DaemonOneHistory, TheOtherEntryTakesOverWhenTheWatchedOneLeavesTheRegistry) {
  DaemonWorld world;
  world.add_project({.work_id = "w-new", .folder = "Song", .title = "Song"});
  world.add_project({.work_id = "w-old", .folder = "Song", .title = "Old Song", .pointer_work_id = "w-new"});
  world.store_all_keys();
  ChildProcess daemon(world.daemon());
  const auto ready = [](std::size_t count) {
    return [count](const std::string& out, const std::string&) {
      return tallowmere_test::count_lines_starting(out, "Press Ctrl-C to stop.") >= count;
    };
  };
  ASSERT_TRUE(daemon.wait_for_output(ready(1))) << daemon.stdout_so_far() << daemon.stderr_so_far();

  const std::string folder = world.project_folder("w-new").string();
  tallowmere_test::write_file(
      world.central_root / "registry.json",
      fmt::format(R"({{"schema_version":"0.1","projects":[{{"work_id":"w-old","project_path":"{}","title":"Old Song",)"
                  R"("registered_at":"2026-01-01T00:00:00+01:00"}}]}})",
                  folder));
  ASSERT_TRUE(tallowmere_test::wait_until([&] { return world.request_rescan(); })) << daemon.stderr_so_far();
  ASSERT_TRUE(daemon.wait_for_output(ready(2))) << daemon.stdout_so_far() << daemon.stderr_so_far();
  world.save("w-new", "Song.rpp", "<REAPER_PROJECT 3\n>\n");
  ASSERT_TRUE(tallowmere_test::wait_for_lines_starting(daemon, "[", 1))
      << daemon.stdout_so_far() << daemon.stderr_so_far();

  const auto status = tallowmere_test::run_process(world.daemon({"status"}));
  EXPECT_EQ(tallowmere_test::count_lines_starting(status.stdout_text, "  path:"), 1u) << status.describe();
  daemon.send_signal(SIGINT);
  const auto result = daemon.wait();
  EXPECT_EQ(result.exit_code, 0) << result.describe();
  const auto lines = tallowmere_test::complete_lines_of(result.stdout_text);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "Watching " + folder + " (Song)"), 1) << result.describe();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "Watching " + folder + " (Old Song)"), 1) << result.describe();
  EXPECT_EQ(tallowmere_test::checkpoint_lines(result.stdout_text).size(), 1u) << result.describe();
  std::vector<tallowmere_core::LedgerEntry> entries;
  EXPECT_TRUE(world.ledger_is_sound("w-new", false, &entries));
  EXPECT_EQ(entries.size(), 1u);
}

}  // namespace

namespace {

// Rescan requests that come close together are merged: a rescan starts no sooner than 200 ms after
// the one before began, and requests made meanwhile make one rescan together. Each rescan is
// counted by the warning it prints for a project that cannot load.
TEST(DaemonRescans, RequestsCloseTogetherAreMergedAndTheLastIsActedOn) {
  tallowmere_test::DaemonWorld world;
  world.add_project({.work_id = "w-lost", .folder = "Lost", .title = "Lost"});
  fs::remove(world.project_folder("w-lost") / ".tallowmere");
  ChildProcess daemon(world.daemon());
  const auto rescans = [&](const std::string& err) {
    return tallowmere_test::count_lines_starting(err, "WARNING: skipping Lost");
  };
  ASSERT_TRUE(daemon.wait_for_output([&](const std::string&, const std::string& err) { return rescans(err) == 1; }))
      << daemon.stderr_so_far();
  // The socket answers before the first request is made; a Version request rescans nothing.
  ASSERT_TRUE(tallowmere_test::wait_until([&] {
    return tallowmere_test::control_request(world.socket_path(), "\"Version\"\n").starts_with("{\"Version\"");
  }));

  const auto first_sent = std::chrono::steady_clock::now();
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(world.request_rescan());
  // The last request must be acted on: the registry it follows shows another title.
  tallowmere_test::write_file(world.central_root / "registry.json", world.registry_text(" again"));
  ASSERT_TRUE(world.request_rescan());
  const auto span = std::chrono::steady_clock::now() - first_sent;
  ASSERT_TRUE(tallowmere_test::wait_for_line(
      daemon, [](const std::string& line) { return line.starts_with("WARNING: skipping Lost again (w-lost)"); }, true))
      << daemon.stderr_so_far();

  daemon.send_signal(SIGINT);
  const auto result = daemon.wait();
  EXPECT_EQ(result.exit_code, 0) << result.describe();
  // Rescans start at least 200 ms apart, so requests spread over `span` make at most one rescan for
  // each 200 ms of it, and one more for the requests that came while the first was held back: two
  // when the five came within 200 ms, as they do on any machine that is not overloaded.
  const auto bound = 2 + static_cast<std::size_t>(span / std::chrono::milliseconds(200));
  const std::size_t requested = rescans(result.stderr_text) - 1;
  EXPECT_GE(requested, 1u) << result.describe();
  EXPECT_LE(requested, bound) << result.describe();
}

}  // namespace

#include "checkpoint_ops.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <new>
#include <optional>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <nlohmann/json.hpp>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "append_fixture.h"
#include "console.h"
#include "entry_builder.h"
#include "forked_child.h"
#include "linux_process.h"
#include "json/document.h"
#include "ledger.h"
#include "signature_check.h"
#include "test_support.h"
#include "text.h"

namespace tallowmere_cli {
namespace {

namespace fs = std::filesystem;
namespace timestamp = tallowmere_core::timestamp;
using namespace std::chrono_literals;
using append_testing::AppendTest;
using append_testing::foreign_entry;
using append_testing::line_of;
using append_testing::manifest_on_disk;
using append_testing::test_public;
using tallowmere_core::LedgerEntry;
using tallowmere_core::SigningKey;
using tallowmere_core::WorkManifest;
using tallowmere_test::read_file;
using tallowmere_test::TempDir;
using tallowmere_test::wait_until;
using tallowmere_test::write_file;
using tallowmere_test::run_in_child;
using tallowmere_test::ScopedEnv;


// The manifest on disk after an append: the sequence's value replaced where it stands, the absent
// head added after the last member, written as compactly as the file is; nothing else changes.
std::string expected_manifest_text(const std::string& head_hash, std::uint64_t sequence) {
  std::string text(manifest_on_disk);
  text.replace(text.find(":7,") + 1, 1, std::to_string(sequence));
  text.insert(text.size() - 1, ",\"current_head_hash\":\"" + head_hash + "\"");
  return text;
}

TEST_F(AppendTest, FirstEntryStartsTheLedgerAndTheManifestFollowsIt) {
  struct stat before {};
  ASSERT_EQ(::stat(paths_.manifest_file.c_str(), &before), 0);

  auto entry = append();
  ASSERT_TRUE(entry) << entry.error().one_line();

  EXPECT_EQ(entry->causal_position, 0u);
  EXPECT_TRUE(entry->parent_entry_hashes.empty());
  EXPECT_EQ(entry->contributor_id, "alice");
  EXPECT_TRUE(std::regex_match(entry->entry_id,
                               std::regex("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}")))
      << entry->entry_id;
  EXPECT_EQ(entry->event_type, tallowmere_core::EventType::SessionSave);
  ASSERT_TRUE(entry->daw_context);
  EXPECT_EQ(entry->daw_context->daw_name, "Reaper");
  ASSERT_EQ(entry->content_refs.size(), 1u);
  EXPECT_EQ(entry->content_refs[0].storage.local_path, "mix.rpp");
  EXPECT_FALSE(entry->timestamp_trusted);
  EXPECT_FALSE(entry->notes);
  EXPECT_TRUE(timestamp::parse_rfc3339(entry->timestamp_local)) << entry->timestamp_local;
  EXPECT_EQ(entry->entry_hash, *tallowmere_core::entry_builder::compute_entry_hash(*entry));
  EXPECT_TRUE(tallowmere_test::signature_verifies(*entry, test_public));

  // The ledger holds exactly the returned entry, as one line.
  EXPECT_EQ(ledger_text(), line_of(*entry) + "\n");

  EXPECT_EQ(manifest_.current_head_hash, entry->entry_hash);
  EXPECT_EQ(manifest_.current_sequence, 1u);
  EXPECT_EQ(read_file(paths_.manifest_file), expected_manifest_text(entry->entry_hash, 1));
  // Replaced by a rename, not rewritten in place, and no temporary file is left over.
  struct stat after {};
  ASSERT_EQ(::stat(paths_.manifest_file.c_str(), &after), 0);
  EXPECT_NE(before.st_ino, after.st_ino);
  std::set<std::string> names;
  for (const auto& item : fs::directory_iterator(paths_.central_dir)) names.insert(item.path().filename().string());
  EXPECT_EQ(names, (std::set<std::string>{"ledger.jsonl", "ledger.jsonl.lock", "manifest.json"}));
}

TEST_F(AppendTest, PositionAndParentComeFromTheLedgerNotTheCallersCopy) {
  std::vector<LedgerEntry> appended;
  for (int i = 0; i < 3; ++i) {
    auto entry = append();
    ASSERT_TRUE(entry) << entry.error().one_line();
    appended.push_back(*entry);
  }
  // A blank line between the first two entries is no entry.
  const auto lines = tallowmere_test::lines_of(ledger_text());
  ASSERT_EQ(lines.size(), 3u);
  write_file(paths_.ledger_file, lines[0] + "\n \t\n" + lines[1] + "\n" + lines[2] + "\n");

  // A caller whose manifest copy is far behind still appends in the right place.
  WorkManifest stale = *tallowmere_core::json::read_document<WorkManifest>(manifest_on_disk);
  auto fourth = append(stale);
  ASSERT_TRUE(fourth) << fourth.error().one_line();
  EXPECT_EQ(fourth->causal_position, 3u);
  EXPECT_EQ(fourth->parent_entry_hashes, std::vector<std::string>{appended[2].entry_hash});
  EXPECT_EQ(stale.current_sequence, 4u);
  EXPECT_EQ(read_file(paths_.manifest_file), expected_manifest_text(fourth->entry_hash, 4));

  auto reread = tallowmere_core::ledger::read_ledger(paths_.ledger_file);
  ASSERT_TRUE(reread);
  ASSERT_EQ(reread->entries.size(), 4u);
  for (std::size_t i = 1; i < 4; ++i) {
    EXPECT_EQ(reread->entries[i].causal_position, i);
    EXPECT_EQ(reread->entries[i].parent_entry_hashes, std::vector<std::string>{reread->entries[i - 1].entry_hash});
  }
}

// A last entry that lacks its line feed (a writer stopped between its two writes) reads as whole;
// appending straight after it would join two entries on one line.
TEST_F(AppendTest, LastEntryWithoutLineFeedGetsOneBeforeTheNewLine) {
  struct Case {
    const char* name;
    std::string line_end;
  };
  const Case cases[] = {{"nothing after the entry", ""}, {"a lone carriage return", "\r"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string previous = line_of(foreign_entry(0, "2001-01-01T00:00:00+00:00", std::string(64, 'b')));
    write_file(paths_.ledger_file, previous + c.line_end);

    auto entry = append();
    ASSERT_TRUE(entry) << entry.error().one_line();
    EXPECT_EQ(entry->causal_position, 1u);
    EXPECT_EQ(entry->parent_entry_hashes, std::vector<std::string>{std::string(64, 'b')});
    EXPECT_EQ(ledger_text(), previous + c.line_end + "\n" + line_of(*entry) + "\n");
    auto reread = tallowmere_core::ledger::read_ledger(paths_.ledger_file);
    ASSERT_TRUE(reread) << reread.error().message();
    EXPECT_EQ(reread->entries.size(), 2u);
    EXPECT_FALSE(reread->trailing_incomplete);
  }
}

TEST_F(AppendTest, TornLastLineIsRefusedAndNothingIsWritten) {
  const std::string torn =
      line_of(foreign_entry(0, "2001-01-01T00:00:00+00:00", std::string(64, 'b'))) + "\n" + R"({"entry_id":"ab)";
  write_file(paths_.ledger_file, torn);
  const WorkManifest before = manifest_;

  auto entry = append();
  ASSERT_FALSE(entry);
  EXPECT_EQ(entry.error().one_line(),
            "ledger has an unrepaired trailing incomplete line; this should have been handled before appending");
  EXPECT_EQ(ledger_text(), torn);
  EXPECT_EQ(read_file(paths_.manifest_file), manifest_on_disk);
  EXPECT_EQ(manifest_.current_sequence, before.current_sequence);
  EXPECT_EQ(manifest_.current_head_hash, before.current_head_hash);
}

TEST_F(AppendTest, FailuresCarryTheirContextAndCause) {
  const std::string enoent = "No such file or directory (os error 2)";
  const std::string eisdir = "Is a directory (os error 21)";
  struct Case {
    const char* name;
    std::function<void(ProjectPaths&)> arrange;
    std::function<std::string(const ProjectPaths&)> expected;
    bool line_written;
  };
  const Case cases[] = {
      {"the lock file cannot be created",
       [](ProjectPaths& p) { p.ledger_file = p.central_dir / "missing" / "ledger.jsonl"; },
       [=](const ProjectPaths& p) {
         const std::string l = p.ledger_file.string();
         return "failed to acquire the ledger lock for " + l +
                " (another tallowmere process may be checkpointing this project): I/O error at " + l + ".lock: " +
                enoent + ": " + enoent;
       },
       false},
      {"the ledger is a directory", [](ProjectPaths& p) { fs::create_directory(p.ledger_file); },
       [=](const ProjectPaths& p) {
         const std::string l = p.ledger_file.string();
         return "failed to read " + l + ": I/O error at " + l + ": " + eisdir + ": " + eisdir;
       },
       false},
      {"a malformed line that is not the torn tail",
       [](ProjectPaths& p) { write_file(p.ledger_file, "garbage\n"); },
       [](const ProjectPaths& p) {
         const std::string l = p.ledger_file.string();
         return "failed to read " + l + ": failed to parse JSON at " + l + " line 1: expected value at line 1 column 1";
       },
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir temp;
    ProjectPaths paths = paths_in(temp.path());
    fs::create_directories(paths.central_dir);
    write_file(paths.manifest_file, manifest_on_disk);
    c.arrange(paths);
    const std::string ledger_before = fs::is_regular_file(paths.ledger_file) ? read_file(paths.ledger_file) : "";
    WorkManifest manifest = manifest_;

    auto entry = checkpoint_ops::append_locked(paths, manifest, "alice", key_, draft());
    ASSERT_FALSE(entry);
    EXPECT_EQ(entry.error().one_line(), c.expected(paths));
    if (c.line_written) {
      // The line is on disk, and the caller's manifest already names it as the head.
      auto reread = tallowmere_core::ledger::read_ledger(paths.ledger_file);
      ASSERT_TRUE(reread);
      ASSERT_EQ(reread->entries.size(), 1u);
      EXPECT_EQ(manifest.current_head_hash, reread->entries[0].entry_hash);
      EXPECT_EQ(manifest.current_sequence, 1u);
    } else {
      if (fs::is_regular_file(paths.ledger_file)) {
        EXPECT_EQ(read_file(paths.ledger_file), ledger_before);
      }
      EXPECT_EQ(read_file(paths.manifest_file), manifest_on_disk);
      EXPECT_EQ(manifest.current_sequence, 7u);
      EXPECT_FALSE(manifest.current_head_hash);
    }
  }
}

// Once the line is synced the checkpoint stands: failing it would keep the entry out of the
// caller's history, and the next notification of the same save would append it a second time.
TEST_F(AppendTest, ManifestThatCannotBeReplacedLeavesTheCheckpointStandingWithAWarning) {
  console::Capture console;
  fs::remove(paths_.manifest_file);
  fs::create_directory(paths_.manifest_file);
  auto entry = append();
  ASSERT_TRUE(entry) << entry.error().one_line();
  EXPECT_EQ(ledger_text(), line_of(*entry) + "\n");
  EXPECT_EQ(manifest_.current_head_hash, entry->entry_hash);
  EXPECT_EQ(manifest_.current_sequence, 1u);
  const std::string m = paths_.manifest_file.string();
  const std::string eisdir = std::error_code(EISDIR, std::generic_category()).message() + " (os error 21)";
  EXPECT_EQ(console.err_lines(), std::vector<std::string>{"WARNING: checkpoint recorded in " +
                                                          paths_.ledger_file.string() + ", but failed to update " + m +
                                                          ": I/O error at " + m + ": " + eisdir + ": " + eisdir});
}

// What another program wrote into the manifest since the caller loaded it survives an append byte
// for byte: only the values of the head and the sequence change.
TEST_F(AppendTest, ManifestChangedMeanwhileKeepsEverythingButTheHead) {
  constexpr std::string_view edited =
      R"({"schema_version":"1","work_id":"w1","title":"Renamed","created_at":"2026-01-01T00:00:00+01:00",)"
      R"("contributors":[{"contributor_id":"alice","display_name":"Alice","public_key":"pk",)"
      R"("key_created_at":"2026-01-01T00:00:00+01:00","device_label":null,"key_backed_up_at":null,"note":{"a":1}},)"
      R"({"contributor_id":"bob","display_name":"Bob","public_key":"pk2","key_created_at":"2026-02-01T00:00:00+01:00",)"
      R"("device_label":"laptop","key_backed_up_at":null}],"current_head_hash":null,"current_sequence":0,"later":[1,2]})";
  write_file(paths_.manifest_file, edited);
  auto entry = append();
  ASSERT_TRUE(entry) << entry.error().one_line();
  std::string expected(edited);
  expected.replace(expected.find("null,\"current_sequence\":0"), 25, "\"" + entry->entry_hash + "\",\"current_sequence\":1");
  EXPECT_EQ(read_file(paths_.manifest_file), expected);
  ASSERT_EQ(manifest_.contributors.size(), 2u);
  EXPECT_EQ(manifest_.contributors[1].contributor_id, "bob");
  EXPECT_EQ(manifest_.title, "Renamed");
}

// The file-size limit holds for root too: the line's write stops part way with EFBIG.
TEST_F(AppendTest, LineThatCannotBeWrittenFailsAndLeavesTheManifestAlone) {
  const std::string previous = line_of(foreign_entry(0, "2001-01-01T00:00:00+00:00", std::string(64, 'b'))) + "\n";
  write_file(paths_.ledger_file, previous);
  const auto outcome = run_in_child([&] {
    if (!tallowmere_test::limit_file_size(previous.size() + 40)) return std::string("setrlimit failed");
    auto entry = append();
    return (entry ? std::string("appended") : entry.error().one_line()) + "\n" +
           std::to_string(manifest_.current_sequence);
  });
  const std::string l = paths_.ledger_file.string();
  const std::string efbig = "File too large (os error 27)";
  EXPECT_EQ(outcome.output, "failed to append to " + l + ": I/O error at " + l + ": " + efbig + ": " + efbig + "\n7");
  EXPECT_EQ(read_file(paths_.manifest_file), manifest_on_disk);
  EXPECT_EQ(read_file(paths_.ledger_file).substr(0, previous.size()), previous);
}

// getrandom(2) refused by a system-call filter in a child: the identifier cannot be made, the
// append reports it and writes nothing.
TEST_F(AppendTest, RandomSourceFailureIsAnErrorNotACrash) {
  const auto outcome = run_in_child([&] {
    if (!tallowmere_test::linux_process::refuse_random_source(EIO)) return std::string("no seccomp");
    auto entry = append();
    return entry ? std::string("appended") : entry.error().one_line();
  });
  if (outcome.output == "no seccomp") GTEST_SKIP() << "system-call filters are not available here";
  EXPECT_EQ(outcome.output,
            "failed to make an identifier for the new ledger entry: failed to read the operating system's random "
            "source: Input/output error (os error 5)");
  EXPECT_FALSE(fs::exists(paths_.ledger_file) && !read_file(paths_.ledger_file).empty());
  EXPECT_EQ(read_file(paths_.manifest_file), manifest_on_disk);
}

// Another open of the lock file, as another process holds it.
class RivalLock {
 public:
  explicit RivalLock(const fs::path& lock_file) : fd_(::open(lock_file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666)) {
    locked_ = fd_ >= 0 && ::flock(fd_, LOCK_EX | LOCK_NB) == 0;
  }
  ~RivalLock() { release(); }
  bool locked() const { return locked_; }
  void release() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
  bool locked_ = false;
};

TEST_F(AppendTest, WaitsForAnotherHolderAndAppendsOnceItLetsGo) {
  RivalLock rival(tallowmere_core::LedgerLock::lock_file_for(paths_.ledger_file));
  ASSERT_TRUE(rival.locked());
  std::atomic<bool> released{false};
  std::thread holder([&] {
    std::this_thread::sleep_for(3s);  // how long the other holder keeps the lock
    released = true;
    rival.release();
  });
  auto entry = append();
  const bool released_before_append_returned = released;
  holder.join();
  ASSERT_TRUE(entry) << entry.error().one_line();
  EXPECT_TRUE(released_before_append_returned);
  EXPECT_EQ(ledger_text(), line_of(*entry) + "\n");
}

// A caller that can repair a torn tail is handed it under the lock, and the append then follows
// the last whole entry; a caller that cannot is refused, as without a repair.
TEST_F(AppendTest, TornLastLineGoesToTheRepairUnderTheLock) {
  const std::string whole = line_of(foreign_entry(0, "2001-01-01T00:00:00+00:00", std::string(64, 'b')));
  const std::string torn = R"({"entry_id":"ab)";
  const fs::path lock_file = tallowmere_core::LedgerLock::lock_file_for(paths_.ledger_file);
  struct Case {
    const char* name;
    std::function<Status()> repair;
    std::string error;  // empty: the entry is appended
  };
  const Case cases[] = {
      {"a repair that fails", [] { return Status(std::unexpected(ErrorChain("disk on fire").context("repair"))); },
       "repair: disk on fire"},
      {"a repair that leaves the line", [] { return Status(); },
       "ledger has an unrepaired trailing incomplete line; this should have been handled before appending"},
      {"a repair that cuts the line",
       [&] {
         write_file(paths_.ledger_file, whole + "\n");
         return Status();
       },
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    write_file(paths_.ledger_file, whole + "\n" + torn);
    const std::string manifest_before = read_file(paths_.manifest_file);
    std::optional<tallowmere_core::TrailingIncomplete> handed;
    bool lock_held = false;
    auto entry = checkpoint_ops::append_locked(paths_, manifest_, "alice", key_, draft(),
                                               [&](const tallowmere_core::TrailingIncomplete& tail) {
                                                 handed = tail;
                                                 lock_held = !RivalLock(lock_file).locked();
                                                 return c.repair();
                                               });
    ASSERT_TRUE(handed.has_value());
    EXPECT_EQ(handed->line_number, 2u);
    EXPECT_EQ(handed->raw_line, torn);
    EXPECT_TRUE(lock_held);
    if (c.error.empty()) {
      ASSERT_TRUE(entry) << entry.error().one_line();
      EXPECT_EQ(entry->causal_position, 1u);
      EXPECT_EQ(entry->parent_entry_hashes, std::vector<std::string>{std::string(64, 'b')});
      EXPECT_EQ(ledger_text(), whole + "\n" + line_of(*entry) + "\n");
    } else {
      ASSERT_FALSE(entry);
      EXPECT_EQ(entry.error().one_line(), c.error);
      EXPECT_EQ(ledger_text(), whole + "\n" + torn);
      EXPECT_EQ(read_file(paths_.manifest_file), manifest_before);
    }
  }
}

// The one test that waits out the lock's ten seconds.
TEST_F(AppendTest, GivesUpAfterTenSecondsAndWritesNothing) {
  const fs::path lock_file = tallowmere_core::LedgerLock::lock_file_for(paths_.ledger_file);
  RivalLock rival(lock_file);
  ASSERT_TRUE(rival.locked());

  auto entry = append();
  ASSERT_FALSE(entry);
  const std::string line = entry.error().one_line();
  const std::string prefix = "failed to acquire the ledger lock for " + paths_.ledger_file.string() +
                             " (another tallowmere process may be checkpointing this project): timed out after ";
  const std::string suffix = "s waiting for the ledger lock at " + lock_file.string() +
                             " (another tallowmere process may be checkpointing this project)";
  ASSERT_GT(line.size(), prefix.size() + suffix.size()) << line;
  EXPECT_EQ(line.substr(0, prefix.size()), prefix) << line;
  EXPECT_EQ(line.substr(line.size() - suffix.size()), suffix) << line;
  const std::string waited = line.substr(prefix.size(), line.size() - prefix.size() - suffix.size());
  EXPECT_TRUE(std::regex_match(waited, std::regex("[0-9]+(\\.[0-9]*[1-9])?"))) << waited;
  EXPECT_GE(std::stod(waited), 10.0) << waited;

  EXPECT_FALSE(fs::exists(paths_.ledger_file));
  EXPECT_TRUE(fs::exists(lock_file));
  EXPECT_EQ(read_file(paths_.manifest_file), manifest_on_disk);
  EXPECT_EQ(manifest_.current_sequence, 7u);
}

// Checks a whole ledger: consecutive positions from 0, each parent the entry before, every hash
// recomputing and every signature verifying.
void expect_sound_chain(const std::vector<LedgerEntry>& entries) {
  for (std::size_t i = 0; i < entries.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(entries[i].causal_position, i);
    if (i == 0) {
      EXPECT_TRUE(entries[i].parent_entry_hashes.empty());
    } else {
      EXPECT_EQ(entries[i].parent_entry_hashes, std::vector<std::string>{entries[i - 1].entry_hash});
    }
    EXPECT_EQ(*tallowmere_core::entry_builder::compute_entry_hash(entries[i]), entries[i].entry_hash);
    EXPECT_TRUE(tallowmere_test::signature_verifies(entries[i], test_public));
  }
}

TEST_F(AppendTest, TwoProcessesAppendingAtOnceNeverInterleave) {
  constexpr int per_writer = 200;
  std::vector<pid_t> writers;
  for (const char* contributor : {"alice", "bob"}) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      WorkManifest manifest = manifest_;
      for (int i = 0; i < per_writer; ++i) {
        if (!checkpoint_ops::append_locked(paths_, manifest, contributor, key_, draft())) ::_exit(1);
      }
      ::_exit(0);
    }
    ASSERT_GT(pid, 0);
    writers.push_back(pid);
  }
  for (const pid_t pid : writers) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }

  const std::string text = ledger_text();
  const auto lines = tallowmere_test::lines_of(text);
  ASSERT_EQ(lines.size(), 2u * per_writer);
  EXPECT_EQ(text.back(), '\n');
  std::vector<LedgerEntry> entries;
  for (const auto& line : lines) {
    auto entry = tallowmere_core::model::read_entry_line(line);
    ASSERT_TRUE(entry) << entry.error().to_string() << " in " << line;
    entries.push_back(*entry);
  }
  expect_sound_chain(entries);
  EXPECT_EQ(std::count_if(entries.begin(), entries.end(), [](const auto& e) { return e.contributor_id == "alice"; }),
            per_writer);
  std::set<std::string> ids;
  for (const auto& entry : entries) ids.insert(entry.entry_id);
  EXPECT_EQ(ids.size(), entries.size());
  for (std::size_t i = 1; i < entries.size(); ++i) {
    EXPECT_LT(timestamp::parse_rfc3339(entries[i - 1].timestamp_local)->instant,
              timestamp::parse_rfc3339(entries[i].timestamp_local)->instant);
  }

  auto manifest = tallowmere_core::json::read_document<WorkManifest>(read_file(paths_.manifest_file));
  ASSERT_TRUE(manifest);
  EXPECT_EQ(manifest->current_sequence, 2u * per_writer);
  EXPECT_EQ(manifest->current_head_hash, entries.back().entry_hash);
}

// A writer killed at random moments: whatever it had reported as appended survives, the ledger
// always reads (at most a torn last line, which is cut off as the watcher's repair does), no two
// entries ever share a line, and the manifest is always whole.
TEST_F(AppendTest, KilledWriterNeverCostsAReturnedAppendOrTheLedgersShape) {
  std::mt19937 random(std::random_device{}());
  std::uniform_int_distribution<int> delay_us(0, 8000);
  std::set<std::string> reported;
  int torn_repairs = 0;

  for (int round = 0; round < 30; ++round) {
    SCOPED_TRACE(round);
    int report[2];
    ASSERT_EQ(::pipe(report), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::close(report[0]);
      WorkManifest manifest = manifest_;
      for (;;) {
        auto entry = checkpoint_ops::append_locked(paths_, manifest, "alice", key_, draft());
        if (!entry) ::_exit(1);
        const std::string line = entry->entry_hash + "\n";  // shorter than PIPE_BUF: one atomic write
        if (::write(report[1], line.data(), line.size()) != static_cast<ssize_t>(line.size())) ::_exit(2);
      }
    }
    ASSERT_GT(pid, 0);
    ::close(report[1]);
    ::fcntl(report[0], F_SETFL, O_NONBLOCK);

    // Let the writer get going (at least one append returned), then kill it at a random moment.
    std::string received;
    const auto drain = [&] {
      char buffer[4096];
      ssize_t n;
      while ((n = ::read(report[0], buffer, sizeof buffer)) > 0) received.append(buffer, static_cast<std::size_t>(n));
    };
    ASSERT_TRUE(wait_until([&] {
      drain();
      return received.find('\n') != std::string::npos;
    }));
    const timespec pause{0, delay_us(random) * 1000L};
    ::nanosleep(&pause, nullptr);
    ::kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the writer stopped by itself with status " << WEXITSTATUS(status);
    ::fcntl(report[0], F_SETFL, 0);
    drain();
    ::close(report[0]);
    for (const auto& hash : tallowmere_test::lines_of(received)) reported.insert(hash);

    auto ledger = tallowmere_core::ledger::read_ledger(paths_.ledger_file);
    ASSERT_TRUE(ledger) << ledger.error().message();
    if (ledger->trailing_incomplete) {
      ++torn_repairs;
      const std::string text = ledger_text();
      ::truncate(paths_.ledger_file.c_str(), static_cast<off_t>(text.rfind('\n') + 1));
    }
    std::set<std::string> present;
    for (const auto& entry : ledger->entries) present.insert(entry.entry_hash);
    for (const auto& hash : reported) EXPECT_TRUE(present.count(hash)) << "lost returned append " << hash;
    expect_sound_chain(ledger->entries);
    for (const auto& line : tallowmere_test::lines_of(ledger_text())) {
      if (line.empty()) continue;
      EXPECT_TRUE(tallowmere_core::model::read_entry_line(line)) << line;
    }
    auto manifest = tallowmere_core::json::read_document<WorkManifest>(read_file(paths_.manifest_file));
    EXPECT_TRUE(manifest) << manifest.error().to_string();
    if (::testing::Test::HasFailure()) break;
  }
  RecordProperty("torn_repairs", torn_repairs);
}

TEST(NextLocalTimestamp, OneMillisecondAfterAPreviousThatIsNotEarlierThanNow) {
  const timestamp::Timestamp now = *timestamp::parse_rfc3339("2026-06-01T12:00:00.5+05:30");
  struct Case {
    std::optional<std::string> previous;
    std::string expected;
  };
  const std::string now_text = "2026-06-01T12:00:00.500+05:30";
  const Case cases[] = {
      {std::nullopt, now_text},
      {"2999-12-09T10:00:00+01:00", "2999-12-09T10:00:00.001+01:00"},
      {"2026-12-09T10:00:00Z", "2026-12-09T10:00:00.001+00:00"},
      {"2999-12-09t10:00:00z", "2999-12-09T10:00:00.001+00:00"},
      {"2999-12-09 10:00:00-03:00", "2999-12-09T10:00:00.001-03:00"},
      {"2999-06-30T23:59:59.123456789+02:00", "2999-06-30T23:59:59.124456789+02:00"},
      {"2999-06-30T23:59:59.000001+02:00", "2999-06-30T23:59:59.001001+02:00"},
      {"2999-12-31T23:59:59.999-00:30", "3000-01-01T00:00:00-00:30"},
      // The same instant as now, in another offset: not earlier, so 1 ms on in that offset.
      {"2026-06-01T06:30:00.5Z", "2026-06-01T06:30:00.501+00:00"},
      {"2026-06-01T06:30:00.499999999Z", now_text},
      {"2001-01-01T00:00:00+00:00", now_text},
      {"2026-12-09", now_text},
      {"2999-12-09T10:00:00+01:00 ", now_text},
      {"2999-12-09T10:00:00+0100", now_text},
      {"", now_text},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.previous.value_or("(no previous entry)"));
    std::optional<std::string_view> previous;
    if (c.previous) previous = *c.previous;
    EXPECT_EQ(timestamp::format_rfc3339(checkpoint_ops::next_local_timestamp(previous, now)), c.expected);
  }
}

// A local time zone for as long as the value lives; the old one is back in force afterwards.
class ScopedZone {
 public:
  explicit ScopedZone(const std::string& zone) {
    env_.emplace("TZ", zone);
    ::tzset();
  }
  ~ScopedZone() {
    env_.reset();
    ::tzset();
  }
  ScopedZone(const ScopedZone&) = delete;
  ScopedZone& operator=(const ScopedZone&) = delete;

 private:
  std::optional<ScopedEnv> env_;
};

// Through the whole append, with a fixed local zone of +05:30.
TEST_F(AppendTest, TimestampFollowsTheLastEntryOrTheLocalClock) {
  const ScopedZone zone("TMT-05:30");
  struct Case {
    std::string previous;
    std::optional<std::string> expected;  // none: the current local time
  };
  const Case cases[] = {
      {"2999-12-09T10:00:00+01:00", "2999-12-09T10:00:00.001+01:00"},
      {"2999-12-09T10:00:00Z", "2999-12-09T10:00:00.001+00:00"},
      {"2001-01-01T00:00:00+00:00", std::nullopt},
      {"2026-12-09", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.previous);
    write_file(paths_.ledger_file, line_of(foreign_entry(0, c.previous, std::string(64, 'c'))) + "\n");
    const auto before = timestamp::now_local().instant;
    auto entry = append();
    const auto after = timestamp::now_local().instant;
    ASSERT_TRUE(entry) << entry.error().one_line();
    if (c.expected) {
      EXPECT_EQ(entry->timestamp_local, *c.expected);
    } else {
      const auto stamp = timestamp::parse_rfc3339(entry->timestamp_local);
      ASSERT_TRUE(stamp) << entry->timestamp_local;
      EXPECT_EQ(stamp->offset, std::chrono::minutes(330)) << entry->timestamp_local;
      EXPECT_LE(before, stamp->instant);
      EXPECT_LE(stamp->instant, after);
    }
  }
}

TEST(LocalPathFor, GivesThePathInsideTheProjectFolderOrTheFileAsPassed) {
  TempDir temp;
  const fs::path base = fs::canonical(temp.path());
  write_file(base / "Song" / "mix.rpp", "x");
  write_file(base / "Song" / "sub" / "a.rpp", "x");
  write_file(base / "Song" / "bad\xff.rpp", "x");
  write_file(base / "Song2" / "x.rpp", "x");
  fs::create_directory_symlink(base / "Song", base / "link");

  struct Case {
    fs::path folder;
    fs::path file;
    std::optional<std::string> expected;  // none: the file path exactly as passed
  };
  const Case cases[] = {
      {base / "Song", base / "Song" / "mix.rpp", "mix.rpp"},
      {base / "Song", base / "Song" / "sub" / "a.rpp", "sub/a.rpp"},
      {base / "link", base / "link" / "mix.rpp", "mix.rpp"},
      {base / "Song", base / "link" / "sub" / "a.rpp", "sub/a.rpp"},
      {base / "link/", base / "Song" / "." / "sub" / ".." / "mix.rpp", "mix.rpp"},
      {base / "Song", base / "Song" / "not-yet-saved.rpp", "not-yet-saved.rpp"},
      {base / "Song", base / "Song" / "bad\xff.rpp", "bad\xEF\xBF\xBD.rpp"},
      {base / "Song", base / "Song", ""},
      {base / "Song", base / "Song2" / "x.rpp", std::nullopt},
      {base / "Song", base / "link" / ".." / "Song2" / "x.rpp", std::nullopt},
      {base / "Gone", base / "Song" / "mix.rpp", std::nullopt},
      {base / "Song", "relative/elsewhere.rpp", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.folder.string() + " | " + c.file.string());
    const std::string expected = c.expected ? *c.expected : tallowmere_core::text::lossy_utf8(c.file.native());
    EXPECT_EQ(checkpoint_ops::local_path_for(c.folder, c.file), expected);
  }
}

}  // namespace
}  // namespace tallowmere_cli

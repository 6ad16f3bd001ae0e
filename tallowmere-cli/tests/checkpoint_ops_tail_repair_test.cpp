#include "checkpoint_ops_tail_repair.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "console.h"
#include "linux_process.h"
#include "test_support.h"
#include "watch_project_fixture.h"

namespace tallowmere_cli::checkpoint_ops {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using tallowmere_test::read_file;
using tallowmere_test::wait_until;
using tallowmere_test::write_file;
using namespace watch_testing;

// How many descriptors of this process are open on `file`: a thread waiting for a lock on it
// holds one of its own.
std::size_t open_descriptors_of(const fs::path& file) {
  const fs::path wanted = fs::weakly_canonical(file);
  std::size_t count = 0;
  std::error_code error;
  for (const auto& fd : fs::directory_iterator(tallowmere_test::linux_process::this_process() / "fd", error)) {
    std::error_code unreadable;
    if (fs::read_symlink(fd.path(), unreadable) == wanted) ++count;
  }
  return count;
}

TEST(TornLineWarningTest, RawTextIsCutAfter120Characters) {
  const std::string prefix =
      "WARNING: ledger.jsonl line 2 is incomplete (EOF while parsing a string at line 1 column 14) — this is the "
      "signature of a process killed mid-write. Discarding the partial line and continuing; all prior entries are "
      "intact.\n  raw: ";
  struct Case {
    const char* name;
    std::string raw;
    std::string shown;
  };
  std::string e_acute_120;
  for (int i = 0; i < 120; ++i) e_acute_120 += "é";
  const std::vector<Case> cases{
      {"short", R"({"entry_id":"e1)", R"({"entry_id":"e1)"},
      {"exactly 120", std::string(120, 'x'), std::string(120, 'x')},
      {"121", std::string(121, 'x'), std::string(120, 'x') + "..."},
      {"characters, not bytes", e_acute_120, e_acute_120},
      {"121 characters", e_acute_120 + "z", e_acute_120 + "..."},
  };
  for (const auto& c : cases) {
    const tallowmere_core::TrailingIncomplete torn{2, c.raw, "EOF while parsing a string at line 1 column 14"};
    EXPECT_EQ(torn_line_warning(torn), prefix + c.shown) << c.name;
  }
}

class TailRepairTest : public ::testing::Test {
 protected:
  // The torn line as loading reports it; the repair looks at the file again in any case.
  static tallowmere_core::TrailingIncomplete torn(std::string raw) {
    return {2, std::move(raw), "EOF while parsing a string at line 1 column 14"};
  }
  console::Capture console_;
  ProjectOnDisk disk_;
  ProjectPaths paths_ = disk_.load().paths;
};

TEST_F(TailRepairTest, CutsAfterTheLastLineFeedOnlyWhenTheLastLineIsTorn) {
  const std::string e1 = entry_line(0);
  const std::string e2 = entry_line(1);
  struct Case {
    const char* name;
    std::string ledger;
    std::string repaired;
  };
  const std::vector<Case> cases{
      {"torn line after an entry", e1 + "\n" + e2.substr(0, 14), e1 + "\n"},
      {"torn line after a blank line", e1 + "\n\n" + e2.substr(0, 40), e1 + "\n\n"},
      {"torn inside a character", e1 + "\n" + e2.substr(0, 14) + "caf\xC3", e1 + "\n"},
      {"torn line longer than a read block", e1 + "\n" + e2.substr(0, 14) + std::string(9000, 'x'), e1 + "\n"},
      {"long torn line and no line feed at all", e2.substr(0, 14) + std::string(9000, 'x'), ""},
      {"no line feed at all", e2.substr(0, 14), ""},
      {"already ends in a line feed", e1 + "\n", e1 + "\n"},
      {"last entry complete but without its line feed", e1 + "\n" + e2, e1 + "\n" + e2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    write_file(paths_.ledger_file, c.ledger);
    // The warning tells of the line that is cut, as the reread under the lock finds it.
    const auto as_reread = tallowmere_core::ledger::read_ledger(paths_.ledger_file);
    ASSERT_TRUE(as_reread.has_value());
    const std::size_t warned_before = console_.err_lines().size();
    ASSERT_TRUE(repair_ledger_tail(paths_, torn(e2.substr(0, 14))).has_value());
    EXPECT_EQ(read_file(paths_.ledger_file), c.repaired);
    const auto errors = console_.err_lines();
    const std::vector warnings(errors.begin() + static_cast<std::ptrdiff_t>(warned_before), errors.end());
    if (c.repaired == c.ledger) {
      EXPECT_EQ(warnings, std::vector<std::string>{}) << "nothing cut, nothing said";
    } else {
      ASSERT_TRUE(as_reread->trailing_incomplete.has_value());
      EXPECT_EQ(warnings, std::vector<std::string>{torn_line_warning(*as_reread->trailing_incomplete)});
    }
  }
}

// Another process in the middle of appending e2: it holds the lock and has written part of the
// line, which loading saw torn. While the repair waits for the lock the writer either completes
// the line or dies; only the reread under the lock decides whether anything is cut and said.
TEST_F(TailRepairTest, WaitsForTheLockAndWarnsOnlyWhenTheLineIsStillTornThere) {
  const std::string e1 = entry_line(0);
  const std::string e2 = entry_line(1);
  struct Case {
    const char* name;
    bool writer_completes_the_line;
    std::string repaired;
    std::size_t warnings;
  };
  const std::vector<Case> cases{
      {"the writer completes its line", true, e1 + "\n" + e2 + "\n", 0},
      {"the writer dies", false, e1 + "\n", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    write_file(paths_.ledger_file, e1 + "\n" + e2.substr(0, 30));
    const auto as_loaded = tallowmere_core::ledger::read_ledger(paths_.ledger_file);
    ASSERT_TRUE(as_loaded.has_value() && as_loaded->trailing_incomplete.has_value());
    auto acquired = tallowmere_core::LedgerLock::acquire(paths_.ledger_file);
    ASSERT_TRUE(acquired.has_value());
    std::optional<tallowmere_core::LedgerLock> writer_lock(std::move(*acquired));
    const std::size_t warned_before = console_.err_lines().size();

    std::atomic<bool> done{false};
    std::optional<Status> repaired;
    std::thread repair([&] {
      repaired = repair_ledger_tail(paths_, *as_loaded->trailing_incomplete);
      done = true;
    });
    // Its own open of the lock file shows the repair is trying for the lock.
    const fs::path lock_file = tallowmere_core::LedgerLock::lock_file_for(paths_.ledger_file);
    EXPECT_TRUE(wait_until([&] { return open_descriptors_of(lock_file) >= 2; }));
    EXPECT_FALSE(done.load()) << "the repair went past the held lock";
    EXPECT_EQ(console_.err_lines().size(), warned_before) << "warned before the check under the lock";
    if (c.writer_completes_the_line) {
      std::ofstream rest(paths_.ledger_file, std::ios::app | std::ios::binary);
      rest << e2.substr(30) << "\n";
    }
    writer_lock.reset();
    repair.join();

    ASSERT_TRUE(repaired && repaired->has_value());
    EXPECT_EQ(read_file(paths_.ledger_file), c.repaired);
    const auto errors = console_.err_lines();
    ASSERT_EQ(errors.size(), warned_before + c.warnings);
    if (c.warnings) {
      EXPECT_EQ(errors.back(), torn_line_warning(*as_loaded->trailing_incomplete));
    }
  }
}

// The append's own repair has found the torn line in its reread under the lock; it says so once
// it has a line to cut, and only then.
TEST_F(TailRepairTest, RepairUnderAHeldLockWarnsOnlyWhenItCuts) {
  const std::string e1 = entry_line(0);
  const std::string e2 = entry_line(1);
  struct Case {
    const char* name;
    std::string ledger;
    std::string repaired;
    std::size_t warnings;
  };
  const std::vector<Case> cases{
      {"torn", e1 + "\n" + e2.substr(0, 14), e1 + "\n", 1},
      {"ends in a line feed", e1 + "\n", e1 + "\n", 0},
      {"empty", "", "", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    write_file(paths_.ledger_file, c.ledger);
    const std::size_t warned_before = console_.err_lines().size();
    ASSERT_TRUE(repair_ledger_tail_under_lock(paths_, torn(e2.substr(0, 14))).has_value());
    EXPECT_EQ(read_file(paths_.ledger_file), c.repaired);
    const auto errors = console_.err_lines();
    ASSERT_EQ(errors.size(), warned_before + c.warnings);
    if (c.warnings) {
      EXPECT_EQ(errors.back(), torn_line_warning(torn(e2.substr(0, 14))));
    }
  }
}

TEST_F(TailRepairTest, UnreadableLedgerStopsTheRepair) {
  write_file(paths_.ledger_file, "{\"entry_id\":\"\xff");
  auto repaired = repair_ledger_tail(paths_, torn("{\"entry_id\":\""));
  ASSERT_FALSE(repaired.has_value());
  EXPECT_EQ(repaired.error().one_line(), "failed to repair truncated ledger tail: I/O error at " +
                                             paths_.ledger_file.string() +
                                             ": stream did not contain valid UTF-8: stream did not contain valid UTF-8");
}

}  // namespace
}  // namespace tallowmere_cli::checkpoint_ops

#include "checkpoint_ops_tail_repair.h"

#include <chrono>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "console.h"
#include "test_support.h"
#include "watch_project_fixture.h"

namespace tallowmere_cli::checkpoint_ops {
namespace {

using namespace std::chrono_literals;
using tallowmere_test::read_file;
using tallowmere_test::wait_until;
using tallowmere_test::write_file;
using namespace watch_testing;

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
    ASSERT_TRUE(repair_ledger_tail(paths_, torn(e2.substr(0, 14))).has_value());
    EXPECT_EQ(read_file(paths_.ledger_file), c.repaired);
    EXPECT_EQ(console_.err_lines().back(), torn_line_warning(torn(e2.substr(0, 14)))) << "warned in every case";
  }
}

TEST_F(TailRepairTest, WaitsForTheLockAndKeepsALineItsWriterCompleted) {
  const std::string e1 = entry_line(0);
  const std::string e2 = entry_line(1);
  write_file(paths_.ledger_file, e1 + "\n" + e2.substr(0, 30));

  // Another process is in the middle of appending e2: it holds the lock and has written part of it.
  auto acquired = tallowmere_core::LedgerLock::acquire(paths_.ledger_file);
  ASSERT_TRUE(acquired.has_value());
  std::optional<tallowmere_core::LedgerLock> writer_lock(std::move(*acquired));
  std::optional<Status> repaired;
  std::thread repair([&] { repaired = repair_ledger_tail(paths_, torn(e2.substr(0, 30))); });
  ASSERT_TRUE(wait_until([&] { return !console_.err_lines().empty(); }));
  {
    std::ofstream rest(paths_.ledger_file, std::ios::app | std::ios::binary);
    rest << e2.substr(30) << "\n";
  }
  writer_lock.reset();
  repair.join();

  ASSERT_TRUE(repaired && repaired->has_value());
  EXPECT_EQ(read_file(paths_.ledger_file), e1 + "\n" + e2 + "\n");
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

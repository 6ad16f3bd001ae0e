#include "cmd_watch_folder_check.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "console.h"
#include "test_support.h"

namespace tallowmere_cli::cmd_watch {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using tallowmere_test::write_file;

std::string pointer_naming(std::string_view work_id) {
  return fmt::format(R"({{"schema_version":"0.1","work_id":"{}","warning":"Managed by tallowmere."}})", work_id);
}

TEST(ForeignFolderFindingTest, OnlyAPointerFileNamingTheProjectMakesItsFolder) {
  struct Case {
    const char* label;
    void (*prepare)(const fs::path& folder);
    std::optional<std::string> finding;  // a prefix of it
  };
  const std::vector<Case> cases{
      {"the project's own", [](const fs::path& f) { write_file(f / ".tallowmere", pointer_naming("w-mine")); },
       std::nullopt},
      {"another project's", [](const fs::path& f) { write_file(f / ".tallowmere", pointer_naming("w-other")); },
       "its pointer file names work id w-other"},
      {"a work id with a line feed, escaped",
       [](const fs::path& f) { write_file(f / ".tallowmere", pointer_naming("w-\\nforged")); },
       "its pointer file names work id w-\\nforged"},
      {"no pointer file", [](const fs::path&) {}, "it has no pointer file .tallowmere"},
      {"a dangling link for one", [](const fs::path& f) { fs::create_symlink(f / "gone", f / ".tallowmere"); },
       "it has no pointer file .tallowmere"},
      {"a FIFO for one, never waited on",
       [](const fs::path& f) { ASSERT_EQ(::mkfifo((f / ".tallowmere").c_str(), 0600), 0); },
       "its pointer file cannot be read: failed to read pointer file "},
      {"an empty pointer file", [](const fs::path& f) { write_file(f / ".tallowmere", ""); },
       "its pointer file cannot be read: pointer file "},
      {"one escaping the projects folder",
       [](const fs::path& f) { write_file(f / ".tallowmere", pointer_naming("../w-mine")); },
       "its pointer file cannot be read: pointer file "},
  };
  for (const auto& c : cases) {
    tallowmere_test::TempDir temp;
    c.prepare(temp.path());
    const auto finding = foreign_folder_finding(temp.path(), "w-mine");
    ASSERT_EQ(finding.has_value(), c.finding.has_value()) << c.label << ": " << finding.value_or("");
    if (finding) {
      EXPECT_TRUE(finding->starts_with(*c.finding)) << c.label << ": " << *finding;
    }
  }
}

class ProjectFolderCheckTest : public ::testing::Test {
 protected:
  std::vector<std::string> warnings() const { return console_.err_lines(); }
  std::string warning(const std::string& finding) const {
    return "WARNING: /Users/a/Song does not hold project w-mine now: " + finding +
           "; nothing there is recorded until the project's own folder is back at that path";
  }

  console::Capture console_;
  tallowmere_test::TempDir temp_;
  const fs::path folder_ = temp_.path();
  ProjectFolderCheck check_{"/Users/a/Song", "w-mine"};
  const Clock::time_point start_ = Clock::now();
};

TEST_F(ProjectFolderCheckTest, AnotherProjectIsReportedAtOnceAndOnlyOnce) {
  write_file(folder_ / ".tallowmere", pointer_naming("w-other"));
  EXPECT_FALSE(check_(folder_, start_));
  EXPECT_FALSE(check_(folder_, start_ + 10s));
  EXPECT_EQ(warnings(), std::vector<std::string>{warning("its pointer file names work id w-other")});

  // Taken, then found again: a finding of its own.
  write_file(folder_ / ".tallowmere", pointer_naming("w-mine"));
  EXPECT_TRUE(check_(folder_, start_ + 11s));
  write_file(folder_ / ".tallowmere", pointer_naming("w-other"));
  EXPECT_FALSE(check_(folder_, start_ + 12s));
  EXPECT_EQ(warnings().size(), 2u);
}

// A folder being copied or restored into place has no pointer file for a moment: that is said only
// once it has stood so for the grace period.
TEST_F(ProjectFolderCheckTest, AFolderWithoutAPointerFileIsReportedOnceItHasStoodSoAWhile) {
  EXPECT_FALSE(check_(folder_, start_));
  EXPECT_FALSE(check_(folder_, start_ + 1s));
  EXPECT_TRUE(warnings().empty());
  EXPECT_FALSE(check_(folder_, start_ + ProjectFolderCheck::unfinished_folder_grace));
  EXPECT_FALSE(check_(folder_, start_ + 60s));
  EXPECT_EQ(warnings(), std::vector<std::string>{warning("it has no pointer file .tallowmere")});

  // The pointer file arriving in time says nothing at all.
  ProjectFolderCheck restored{"/Users/a/Song", "w-mine"};
  tallowmere_test::TempDir other;
  EXPECT_FALSE(restored(other.path(), start_));
  write_file(other.path() / ".tallowmere", pointer_naming("w-mine"));
  EXPECT_TRUE(restored(other.path(), start_ + 1s));
  EXPECT_EQ(warnings().size(), 1u);
}

}  // namespace
}  // namespace tallowmere_cli::cmd_watch

#include "blob_store.h"

#include <csignal>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <sys/resource.h>

#include <gtest/gtest.h>
#include <fmt/format.h>
#include <sys/stat.h>

#include "forked_child.h"
#include "hash.h"
#include "test_support.h"

namespace tallowmere_cli::blob_store {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using tallowmere_test::read_file;
using tallowmere_test::TempDir;
using tallowmere_test::write_file;

constexpr std::uint64_t gib = std::uint64_t{1} << 30;

std::vector<std::string> names_in(const fs::path& folder) {
  std::vector<std::string> names;
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator(folder, ignored)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

class BlobStoreTest : public ::testing::Test {
 protected:
  TempDir temp_;
  // Parents missing too, as for a project whose central directory has never held a copy.
  fs::path objects_ = temp_ / "central" / "projects" / "w1" / "objects";
};

TEST_F(BlobStoreTest, CopiesByteExactUnderItsHashCreatingTheFolder) {
  struct Case {
    const char* name;
    std::string content;
  };
  // A piece boundary is crossed by one byte: the copy must not lose or repeat the piece's edge.
  const std::vector<Case> cases{
      {"empty", ""},
      {"small, with a NUL byte", "RPP project text\n\0with a NUL"s},
      {"one MiB and one byte", std::string(1024 * 1024, 'a') + "b"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path source = temp_ / "song" / "Song.rpp";
    write_file(source, c.content);
    auto stored = store_copy(objects_, source);
    ASSERT_TRUE(stored.has_value()) << stored.error().message();
    EXPECT_EQ(stored->sha256_hex, tallowmere_core::hash::sha256_hex(c.content));
    EXPECT_EQ(stored->byte_count, c.content.size());
    EXPECT_EQ(read_file(objects_ / stored->sha256_hex), c.content);
    for (const auto& name : names_in(objects_)) EXPECT_FALSE(name.starts_with(".tmp-")) << name;
  }
}

TEST_F(BlobStoreTest, SecondCopyOfSameContentLeavesOneFileAndNoTemporaryFile) {
  write_file(temp_ / "Song.als", "same bytes");
  write_file(temp_ / "Song copy.als", "same bytes");
  auto first = store_copy(objects_, temp_ / "Song.als");
  auto second = store_copy(objects_, temp_ / "Song copy.als");
  ASSERT_TRUE(first.has_value() && second.has_value());
  EXPECT_EQ(first->sha256_hex, second->sha256_hex);
  EXPECT_EQ(second->byte_count, 10u);
  EXPECT_EQ(names_in(objects_), std::vector<std::string>{first->sha256_hex});
}

TEST_F(BlobStoreTest, FailuresNameThePathConcerned) {
  const fs::path missing = temp_ / "Gone.rpp";
  auto result = store_copy(objects_, missing);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().message(), "I/O error at " + missing.string() + ": No such file or directory (os error 2)");
  EXPECT_EQ(names_in(objects_), std::vector<std::string>{}) << "no temporary file before the source is open";

  // A file standing where the folder belongs stops even root.
  const fs::path blocked = temp_ / "blocked" / "objects";
  write_file(blocked, "not a folder");
  write_file(temp_ / "Song.rpp", "content");
  result = store_copy(blocked, temp_ / "Song.rpp");
  ASSERT_FALSE(result.has_value());
  EXPECT_TRUE(result.error().message().starts_with("I/O error at " + blocked.string() + ": "))
      << result.error().message();
}

// A partial copy left behind would hold the very disk space whose lack failed it.
TEST_F(BlobStoreTest, WriteFailingPartWayLeavesNothingBehind) {
  const fs::path source = temp_ / "Song.rpp";
  write_file(source, std::string(64 * 1024, 'x'));
  fs::create_directories(objects_);
  const auto outcome = tallowmere_test::run_in_child([&]() -> std::string {
    if (!tallowmere_test::limit_file_size(4096)) return "setrlimit failed";
    auto result = store_copy(objects_, source);
    return result ? "stored" : result.error().message();
  });
  ASSERT_TRUE(outcome.exited_normally) << outcome.output;
  const std::string temporary_prefix = "I/O error at " + (objects_ / ".tmp-").string();
  EXPECT_TRUE(outcome.output.starts_with(temporary_prefix)) << outcome.output;
  EXPECT_NE(outcome.output.find("File too large (os error 27)"), std::string::npos) << outcome.output;
  EXPECT_EQ(names_in(objects_), std::vector<std::string>{});
}

// Copying a private file must not hand its content to every local user, and a link must not
// bring in a file from outside the project at all.
TEST_F(BlobStoreTest, CopyIsNoMoreReadableThanItsSourceAndLinksAreRefused) {
  const mode_t old_umask = ::umask(022);
  for (const mode_t mode : {mode_t{0600}, mode_t{0640}, mode_t{0644}}) {
    const fs::path source = temp_ / fmt::format("Song-{:o}.rpp", mode);
    write_file(source, fmt::format("content {:o}", mode));
    ASSERT_EQ(::chmod(source.c_str(), mode), 0);
    auto stored = store_copy(objects_, source);
    ASSERT_TRUE(stored.has_value()) << stored.error().message();
    struct stat copy {};
    ASSERT_EQ(::stat((objects_ / stored->sha256_hex).c_str(), &copy), 0);
    EXPECT_EQ(copy.st_mode & 0777, mode) << fmt::format("{:o}", mode);
  }
  ::umask(old_umask);

  const fs::path link = temp_ / "Key.rpp";
  fs::create_symlink(temp_ / "Song-600.rpp", link);
  auto refused = store_copy(objects_, link);
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().message(), "I/O error at " + link.string() + ": not a regular file");
  EXPECT_EQ(names_in(objects_).size(), 3u) << "nothing new, not even a temporary file";
}

mode_t mode_of(const fs::path& path, bool follow = true) {
  struct stat metadata {};
  const int result = follow ? ::stat(path.c_str(), &metadata) : ::lstat(path.c_str(), &metadata);
  return result == 0 ? metadata.st_mode : 0;
}

// A file may be private only by the folder it sits in (a 0644 session in a 0700 project folder):
// its copy keeps the file's mode, so the store itself must keep others out.
TEST_F(BlobStoreTest, StoreFolderIsTheOwnersAlone) {
  struct Case {
    const char* name;
    std::optional<mode_t> existing_mode;  // none: no folder yet
    mode_t umask;
  };
  const std::vector<Case> cases{
      {"created, umask 022", std::nullopt, 022},
      {"created, umask 0", std::nullopt, 0},
      {"existing, open to everyone", 0777, 022},
      {"existing, readable by others", 0755, 022},
      {"existing, with set-group-id and sticky bits", 03775, 022},
      {"existing, already private", 0700, 077},
  };
  write_file(temp_ / "Song.rpp", "content");
  ASSERT_EQ(::chmod((temp_ / "Song.rpp").c_str(), 0644), 0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::error_code ignored;
    fs::remove_all(objects_, ignored);
    if (c.existing_mode) {
      fs::create_directories(objects_);
      ASSERT_EQ(::chmod(objects_.c_str(), *c.existing_mode), 0);
    }
    const mode_t old_umask = ::umask(c.umask);
    auto stored = store_copy(objects_, temp_ / "Song.rpp");
    ::umask(old_umask);
    ASSERT_TRUE(stored.has_value()) << stored.error().message();
    EXPECT_TRUE(S_ISDIR(mode_of(objects_)));
    EXPECT_EQ(mode_of(objects_) & 07777, 0700u) << fmt::format("{:o}", mode_of(objects_) & 07777);
    EXPECT_EQ(mode_of(objects_ / stored->sha256_hex) & 0777, 0644u & ~c.umask) << "the copy keeps its own rule";
  }
  EXPECT_EQ(mode_of(objects_.parent_path()) & 0777, 0755u) << "only the store itself is narrowed";
}

// A store moved elsewhere and linked back still takes the copies, and what the link leads to keeps
// the mode its owner gave it; a link that leads to no folder fails as any other non-folder does.
TEST_F(BlobStoreTest, StoreFolderBehindALinkIsUsedButNeverChangedThroughIt) {
  write_file(temp_ / "Song.rpp", "content");
  const fs::path elsewhere = temp_ / "external" / "objects";
  fs::create_directories(elsewhere);
  ASSERT_EQ(::chmod(elsewhere.c_str(), 0755), 0);
  fs::create_directories(objects_.parent_path());
  fs::create_symlink(elsewhere, objects_);
  auto stored = store_copy(objects_, temp_ / "Song.rpp");
  ASSERT_TRUE(stored.has_value()) << stored.error().message();
  EXPECT_EQ(read_file(elsewhere / stored->sha256_hex), "content");
  EXPECT_TRUE(S_ISLNK(mode_of(objects_, false)));
  EXPECT_EQ(mode_of(elsewhere) & 07777, 0755u);

  struct Case {
    const char* name;
    std::function<void(const fs::path&)> make_target;
  };
  const std::vector<Case> cases{
      {"link to a file", [](const fs::path& target) { write_file(target, "not a folder"); }},
      {"dangling link", [](const fs::path&) {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path target = temp_ / fmt::format("target-{}", c.name);
    c.make_target(target);
    const fs::path store = temp_ / fmt::format("central-{}", c.name) / "objects";
    fs::create_directories(store.parent_path());
    fs::create_symlink(target, store);
    auto refused = store_copy(store, temp_ / "Song.rpp");
    ASSERT_FALSE(refused.has_value());
    EXPECT_TRUE(refused.error().message().starts_with("I/O error at " + store.string() + ": "))
        << refused.error().message();
    EXPECT_TRUE(S_ISLNK(mode_of(store, false)));
  }
  EXPECT_EQ(mode_of(temp_ / "target-link to a file") & 0777, 0644u);
}

TEST_F(BlobStoreTest, StoredBytesCountsOnlyFinishedCopiesDirectlyInTheFolder) {
  EXPECT_EQ(stored_bytes(objects_), 0u) << "no folder yet";

  write_file(objects_ / std::string(64, 'a'), std::string(10, 'x'));
  write_file(objects_ / std::string(64, 'b'), std::string(20, 'x'));
  write_file(objects_ / ".tmp-0b6f1d2e-3c4a-4b5c-8d6e-7f8091a2b3c4", std::string(1000, 'x'));
  write_file(objects_ / "sub" / "nested", std::string(5000, 'x'));
  write_file(temp_ / "outside", std::string(7000, 'x'));
  fs::create_symlink(temp_ / "outside", objects_ / "link");
  EXPECT_EQ(stored_bytes(objects_), 30u);

  const fs::path not_a_folder = temp_ / "outside";
  EXPECT_EQ(stored_bytes(not_a_folder), 0u);
}

TEST(StorageMilestoneTest, LargestReachedMilestoneAboveTheLastNotice) {
  struct Case {
    const char* name;
    std::uint64_t total_bytes;
    std::vector<std::uint64_t> milestones;
    std::optional<std::uint64_t> last_notified;
    std::optional<std::uint64_t> expected;
  };
  const std::vector<Case> cases{
      {"several passed at once: only the largest", 45 * gib, {10, 20, 40}, std::nullopt, 40},
      {"largest passed already notified", 50 * gib, {10, 20, 40}, 40, std::nullopt},
      {"listed in any order", 15 * gib, {40, 10}, std::nullopt, 10},
      {"one byte short of a whole GiB", 10 * gib - 1, {10}, std::nullopt, std::nullopt},
      {"exactly reached", 10 * gib, {10}, std::nullopt, 10},
      {"next one after a notice", 25 * gib, {10, 20, 40}, 10, 20},
      {"notice equal to the milestone is not repeated", 25 * gib, {10, 20}, 20, std::nullopt},
      {"no milestones", 500 * gib, {}, std::nullopt, std::nullopt},
      {"zero milestone on an empty store", 0, {0}, std::nullopt, 0},
      {"total near the top of the range", ~std::uint64_t{0}, {100, 17179869183}, 100, 17179869183},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(milestone_to_notify(c.total_bytes, c.milestones, c.last_notified), c.expected) << c.name;
  }
}

}  // namespace
}  // namespace tallowmere_cli::blob_store

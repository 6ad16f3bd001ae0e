#include "durable_file.h"
#include "posix.h"


#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "forked_child.h"
#include "test_support.h"
#include "unique_fd.h"

namespace tallowmere_core::durable_file {
namespace {

using tallowmere_test::read_file;
using tallowmere_test::TempDir;
using tallowmere_test::write_file;

mode_t mode_of(const std::filesystem::path& path) {
  struct stat metadata {};
  EXPECT_EQ(::stat(path.c_str(), &metadata), 0) << path;
  return metadata.st_mode & 07777;
}

// Everything in the folder besides `keep`: temporary files that a write left behind.
std::vector<std::string> leftovers(const std::filesystem::path& folder, std::string_view keep) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    if (entry.path().filename() != keep) names.push_back(entry.path().filename().string());
  return names;
}

const core_error::Io& io_of(const CoreError& error) {
  const auto* io = error.get<core_error::Io>();
  if (!io) throw std::runtime_error("not an Io error: " + error.debug());
  return *io;
}

class DurableWriteTest : public testing::Test {
 protected:
  TempDir dir_;
  std::filesystem::path file_ = dir_ / "config.json";
};

TEST_F(DurableWriteTest, NewFileGetsTheUmaskedDefaultMode) {
  const mode_t old_mask = ::umask(027);
  const auto written = write_file_durably(file_, "{\n  \"a\": 1\n}");
  ::umask(old_mask);
  ASSERT_TRUE(written.has_value()) << written.error().message();
  EXPECT_EQ(read_file(file_), "{\n  \"a\": 1\n}");
  EXPECT_EQ(mode_of(file_), 0640u);
  EXPECT_TRUE(leftovers(dir_.path(), "config.json").empty());
}

TEST_F(DurableWriteTest, ReplacingKeepsTheOldModeAndTakesAllTheBytes) {
  write_file(file_, std::string(10'000, 'o'));
  ASSERT_EQ(::chmod(file_.c_str(), 0604), 0);
  const std::string shorter = "short";
  ASSERT_TRUE(write_file_durably(file_, shorter).has_value());
  EXPECT_EQ(read_file(file_), shorter);  // nothing of the longer old text remains
  EXPECT_EQ(mode_of(file_), 0604u);
  const std::string longer(3 << 20, 'n');
  ASSERT_TRUE(write_file_durably(file_, longer).has_value());
  EXPECT_EQ(read_file(file_), longer);
  EXPECT_EQ(mode_of(file_), 0604u);
  EXPECT_TRUE(leftovers(dir_.path(), "config.json").empty());
}

TEST_F(DurableWriteTest, SymbolicLinkKeepsPointingAtTheReplacedTarget) {
  const auto target = dir_ / "real" / "config.json";
  write_file(target, "old");
  std::filesystem::create_symlink(target, file_);
  ASSERT_TRUE(write_file_durably(file_, "new").has_value());
  EXPECT_TRUE(std::filesystem::is_symlink(file_));
  EXPECT_EQ(read_file(target), "new");
}

TEST_F(DurableWriteTest, LongestFileNameStillGetsATemporaryBesideIt) {
  const std::string name(255, 'x');
  ASSERT_TRUE(write_file_durably(dir_ / name, "text").has_value());
  EXPECT_EQ(read_file(dir_ / name), "text");
  EXPECT_TRUE(leftovers(dir_.path(), name).empty());
}

// A write that fails part way must leave the old text and no temporary file. Root ignores
// permission bits, so the fault is a file-size limit, set in a child to spare this process.
TEST_F(DurableWriteTest, WriteFailingPartWayLeavesTheOldFileAndNoTemporary) {
  const std::string old_text(500, 'o');
  write_file(file_, old_text);
  const auto outcome = tallowmere_test::run_in_child([&]() -> std::string {
    tallowmere_test::limit_file_size(4096);
    const auto written = write_file_durably(file_, std::string(100'000, 'n'));
    if (written.has_value()) return "the write succeeded";
    const auto& io = io_of(written.error());
    if (io.path != file_) return "wrong path";
    if (io.source.os_error != EFBIG) return "not EFBIG";
    return "";
  });
  ASSERT_TRUE(outcome.exited_normally) << outcome.output;
  EXPECT_EQ(outcome.output, "");
  EXPECT_EQ(read_file(file_), old_text);
  EXPECT_TRUE(leftovers(dir_.path(), "config.json").empty());
}

TEST_F(DurableWriteTest, FailuresNameThePathAsGiven) {
  write_file(dir_ / "plain", "a file where a folder should be");
  std::filesystem::create_directory(dir_ / "folder");
  struct Case {
    std::filesystem::path path;
    int os_error;
  };
  const Case cases[] = {
      {dir_ / "missing" / "config.json", ENOENT},
      {dir_ / "plain" / "config.json", ENOTDIR},
      {dir_ / "folder", EISDIR},
      {dir_ / "folder" / "", EISDIR},
      {dir_ / std::string(300, 'x'), ENAMETOOLONG},
  };
  for (const Case& c : cases) {
    const auto written = write_file_durably(c.path, "text");
    ASSERT_FALSE(written.has_value()) << c.path;
    EXPECT_EQ(io_of(written.error()).path, c.path);
    EXPECT_EQ(io_of(written.error()).source.os_error, c.os_error) << written.error().message();
  }
  EXPECT_TRUE(std::filesystem::is_empty(dir_ / "folder"));
}

TEST(ReadTextFileTest, Outcomes) {
  TempDir dir;
  write_file(dir / "ok.json", "{\"title\": \"Caf\xC3\xA9\"}\n");
  write_file(dir / "latin1.json", "{\"title\": \"Caf\xE9\"}");
  write_file(dir / "empty.json", "");
  EXPECT_EQ(read_text_file(dir / "ok.json").value(), "{\"title\": \"Caf\xC3\xA9\"}\n");
  EXPECT_EQ(read_text_file(dir / "empty.json").value(), "");

  struct Case {
    std::filesystem::path path;
    std::string source;
  };
  const Case cases[] = {
      {dir / "latin1.json", "stream did not contain valid UTF-8"},
      {dir.path(), os_error_text(EISDIR)},
      {dir / "missing.json", os_error_text(ENOENT)},
  };
  for (const Case& c : cases) {
    const auto text = read_text_file(c.path);
    ASSERT_FALSE(text.has_value()) << c.path;
    EXPECT_EQ(io_of(text.error()).path, c.path);
    EXPECT_EQ(text.error().source(), c.source);
  }
}

TEST(SyncTest, FilesAndFoldersSyncAndClosedDescriptorsFail) {
  TempDir dir;
  write_file(dir / "ledger.jsonl", "line\n");
  UniqueFd fd(::open((dir / "ledger.jsonl").c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
  ASSERT_TRUE(fd);
  ASSERT_TRUE(posix::write_all(fd.get(), std::string_view("more\n"), dir / "ledger.jsonl").has_value());
  EXPECT_TRUE(posix::full_sync(fd.get(), dir / "ledger.jsonl").has_value());
  EXPECT_TRUE(sync_directory(dir.path()).has_value());
  EXPECT_EQ(read_file(dir / "ledger.jsonl"), "line\nmore\n");

  const int stale = fd.get();
  ASSERT_EQ(fd.close(), 0);
  EXPECT_FALSE(fd);
  const auto synced = posix::full_sync(stale, dir / "ledger.jsonl");
  ASSERT_FALSE(synced.has_value());
  EXPECT_EQ(io_of(synced.error()).source.os_error, EBADF);
  const auto written = posix::write_all(stale, std::string_view("x"), dir / "ledger.jsonl");
  ASSERT_FALSE(written.has_value());
  EXPECT_EQ(io_of(written.error()).path, dir / "ledger.jsonl");
  const auto folder = sync_directory(dir / "ledger.jsonl");
  ASSERT_FALSE(folder.has_value());
  EXPECT_EQ(io_of(folder.error()).source.os_error, ENOTDIR);
}

TEST(UniqueFdTest, OwnershipMovesAndEndsInOneClose) {
  TempDir dir;
  write_file(dir / "f", "x");
  int raw = -1;
  {
    UniqueFd first(::open((dir / "f").c_str(), O_RDONLY | O_CLOEXEC));
    raw = first.get();
    ASSERT_GE(raw, 0);
    UniqueFd second = std::move(first);
    EXPECT_FALSE(first);
    EXPECT_EQ(second.get(), raw);
    UniqueFd third;
    third = std::move(second);
    EXPECT_EQ(third.get(), raw);
    EXPECT_NE(::fcntl(raw, F_GETFD), -1);
  }
  EXPECT_EQ(::fcntl(raw, F_GETFD), -1);  // closed once the last owner went
  EXPECT_EQ(errno, EBADF);
}

}  // namespace
}  // namespace tallowmere_core::durable_file

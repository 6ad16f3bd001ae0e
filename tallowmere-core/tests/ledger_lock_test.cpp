#include <atomic>
#include <chrono>
#include <optional>
#include <thread>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>

#include "ledger.h"
#include "test_support.h"

namespace tallowmere_core {
namespace {

using namespace std::chrono_literals;
using tallowmere_test::read_file;
using tallowmere_test::TempDir;
using tallowmere_test::wait_until;
using tallowmere_test::write_file;

// An independent holder of the lock: its own open file description, as another process has.
class RivalHolder {
 public:
  explicit RivalHolder(const std::filesystem::path& lock_file)
      : fd_(::open(lock_file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666)) {}
  // True when this holder could take the lock at once (nobody else holds it).
  bool try_lock() { return ::flock(fd_.get(), LOCK_EX | LOCK_NB) == 0; }
  void unlock() { ::flock(fd_.get(), LOCK_UN); }

 private:
  UniqueFd fd_;
};

class LedgerLockTest : public ::testing::Test {
 protected:
  TempDir dir_;
  std::filesystem::path ledger_ = dir_ / "ledger.jsonl";
  std::filesystem::path lock_file_ = dir_ / "ledger.jsonl.lock";
};

TEST_F(LedgerLockTest, LockFileSitsBesideTheLedgerAndOutlivesEveryRelease) {
  EXPECT_EQ(LedgerLock::lock_file_for(ledger_), lock_file_);
  write_file(lock_file_, "left by the companion tool");
  RivalHolder rival(lock_file_);
  for (int round = 0; round < 2; ++round) {
    {
      auto lock = LedgerLock::acquire(ledger_);
      ASSERT_TRUE(lock) << lock.error().message();
      EXPECT_FALSE(rival.try_lock());
    }
    ASSERT_TRUE(std::filesystem::exists(lock_file_));
    EXPECT_TRUE(rival.try_lock()) << "released lock still held";
    rival.unlock();
  }
  EXPECT_EQ(read_file(lock_file_), "left by the companion tool");
  EXPECT_FALSE(std::filesystem::exists(ledger_)) << "taking the lock must not create the ledger";
}

TEST_F(LedgerLockTest, SecondHolderInTheSameProcessWaitsForTheFirst) {
  std::optional<LedgerLock> first;
  {
    auto lock = LedgerLock::acquire(ledger_);
    ASSERT_TRUE(lock) << lock.error().message();
    first.emplace(std::move(*lock));
  }
  std::atomic<bool> started = false, acquired = false;
  std::chrono::steady_clock::time_point start_time;
  std::thread second([&] {
    start_time = std::chrono::steady_clock::now();
    started = true;
    auto lock = LedgerLock::acquire(ledger_);
    acquired = lock.has_value();
  });
  ASSERT_TRUE(wait_until([&] { return started.load(); }));
  // Give a broken lock several retry periods to let the second holder in.
  wait_until([&] { return acquired.load() || std::chrono::steady_clock::now() - start_time > 300ms; });
  EXPECT_FALSE(acquired) << "second holder got in while the first held the lock";
  first.reset();
  EXPECT_TRUE(wait_until([&] { return acquired.load(); }));
  second.join();
}

TEST_F(LedgerLockTest, MovedLockStaysHeldAndAssignmentReleasesTheOldOne) {
  const auto other_ledger = dir_ / "other.jsonl";
  RivalHolder rival(lock_file_), other_rival(dir_ / "other.jsonl.lock");
  auto lock = LedgerLock::acquire(ledger_);
  auto other = LedgerLock::acquire(other_ledger);
  ASSERT_TRUE(lock && other);
  {
    LedgerLock moved = std::move(*lock);  // the moved-from lock's end must not unlock
    lock = std::unexpected(CoreError::io("", 0));
    EXPECT_FALSE(rival.try_lock());
    *other = std::move(moved);
    EXPECT_TRUE(other_rival.try_lock()) << "the overwritten lock was not released";
    EXPECT_FALSE(rival.try_lock());
  }
  EXPECT_FALSE(rival.try_lock());
  other = std::unexpected(CoreError::io("", 0));
  EXPECT_TRUE(rival.try_lock());
}

TEST_F(LedgerLockTest, LockFileThatCannotBeOpenedIsIo) {
  std::filesystem::create_directory(lock_file_);
  struct Case {
    std::filesystem::path ledger;
    std::filesystem::path lock_file;
    std::string source;
  };
  const Case cases[] = {
      {ledger_, lock_file_, "Is a directory (os error 21)"},
      {dir_ / "missing" / "ledger.jsonl", dir_ / "missing" / "ledger.jsonl.lock", "No such file or directory (os error 2)"},
  };
  for (const Case& c : cases) {
    auto lock = LedgerLock::acquire(c.ledger);
    ASSERT_FALSE(lock) << c.ledger;
    const auto* error = lock.error().get<core_error::Io>();
    ASSERT_NE(error, nullptr) << lock.error().message();
    EXPECT_EQ(error->path, c.lock_file);
    EXPECT_EQ(error->source.to_string(), c.source);
  }
}

// The one test that waits out the whole ten-second limit.
TEST_F(LedgerLockTest, GivesUpAfterTenSecondsWithTheTimeWaited) {
  RivalHolder rival(lock_file_);
  ASSERT_TRUE(rival.try_lock());
  auto lock = LedgerLock::acquire(ledger_);
  ASSERT_FALSE(lock);
  const auto* error = lock.error().get<core_error::LockTimeout>();
  ASSERT_NE(error, nullptr) << lock.error().message();
  EXPECT_EQ(error->path, lock_file_);
  EXPECT_GE(error->waited, 10s);
  const std::string message = lock.error().message();
  EXPECT_TRUE(message.starts_with("timed out after 10.")) << message;
  EXPECT_TRUE(message.ends_with(fmt::format("s waiting for the ledger lock at {} (another tallowmere process may be "
                                            "checkpointing this project)",
                                            lock_file_.string())))
      << message;
}

}  // namespace
}  // namespace tallowmere_core

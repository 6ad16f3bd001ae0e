#include "cmd_watch_pending_saves.h"

#include <chrono>
#include <filesystem>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace tallowmere_cli::cmd_watch {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using platform::ChangeEvent;
using platform::EventKind;

// The path filter and the batching step, without threads.

TEST(PathFilterTest, SessionFilesDirectlyInTheFolderOnly) {
  const fs::path root = "/Users/a/Song";
  struct Case {
    fs::path path;
    bool accepted;
  };
  const std::vector<Case> cases{
      {root / "Song.rpp", true},         {root / "Song.ALS", true},
      {root / "Mix.Logicx", true},       {"/Users/a/Song//Song.als", true},
      {root / "..als", true},            {root / "sub" / "Song.als", false},
      {"/Users/a/Song.als", false},      {"/Users/a/Other/Song.als", false},
      {root / "notes.txt", false},       {root / "Song", false},
      {root / ".als", false},            {root / "Song.", false},
      {root / "Song.als.tmp", false},    {root / "Song.\xff\xfe", false},
      {"Song.als", false},               {"/", false},
  };
  for (const auto& c : cases) EXPECT_EQ(accepts_path(c.path, root), c.accepted) << c.path;
}

class PendingSavesTest : public ::testing::Test {
 protected:
  static ChangeEvent event(EventKind kind, std::vector<fs::path> paths) { return ChangeEvent{kind, std::move(paths)}; }
  const fs::path root_ = "/p";
  const Clock::time_point t0_ = Clock::now();
};

TEST_F(PendingSavesTest, FirstSaveFixesTheDeadlineAndTheBatchComesSortedOnce) {
  PendingSaves pending(root_, 10s);
  EXPECT_EQ(pending.receive_timeout(t0_), 200ms);
  pending.add(event(EventKind::Modify, {"/p/b.rpp"}), t0_);
  EXPECT_TRUE(pending.collecting());
  pending.add(event(EventKind::Create, {"/p/a.als", "/p/notes.txt", "/p/b.rpp"}), t0_ + 9s);
  pending.add(event(EventKind::Any, {"/p/c.ptx"}), t0_ + 9500ms);

  EXPECT_FALSE(pending.take_due(t0_ + 9999ms)) << "later saves never move the deadline";
  // A save that arrives after the deadline, before the batch was taken, joins it.
  pending.add(event(EventKind::Modify, {"/p/d.cpr"}), t0_ + 11s);
  const auto batch = pending.take_due(t0_ + 11s);
  ASSERT_TRUE(batch.has_value());
  EXPECT_EQ(*batch, (std::vector<fs::path>{"/p/a.als", "/p/b.rpp", "/p/c.ptx", "/p/d.cpr"}));
  EXPECT_FALSE(pending.collecting());
  EXPECT_FALSE(pending.take_due(t0_ + 20s)) << "the batch is taken only once";
}

TEST_F(PendingSavesTest, OnlyCreateModifyAndAnyCount) {
  PendingSaves pending(root_, 1s);
  for (EventKind kind : {EventKind::Access, EventKind::Remove, EventKind::Other}) {
    pending.add(event(kind, {"/p/Song.als"}), t0_);
  }
  pending.add(event(EventKind::Modify, {"/p/notes.txt", "/p/sub/Song.als"}), t0_);
  EXPECT_FALSE(pending.collecting());
  EXPECT_FALSE(pending.take_due(t0_ + 1h));
}

TEST_F(PendingSavesTest, ZeroWindowIsDueAtOnce) {
  PendingSaves pending(root_, 0s);
  pending.add(event(EventKind::Modify, {"/p/Song.rpp"}), t0_);
  EXPECT_EQ(pending.take_due(t0_), std::vector<fs::path>{"/p/Song.rpp"});
}

TEST_F(PendingSavesTest, ReceiveTimeoutFollowsTheDeadlineWithinBounds) {
  struct Case {
    std::chrono::nanoseconds window;
    std::chrono::nanoseconds since_first_save;
    std::chrono::nanoseconds timeout;
  };
  const std::vector<Case> cases{
      {10s, 0s, 200ms},       {10s, 9950ms, 50ms},      {10s, 9999900us, 1ms},
      {10s, 10s, 1ms},        {10s, 12s, 1ms},          {1h, 0s, 200ms},
  };
  for (const auto& c : cases) {
    PendingSaves pending(root_, c.window);
    pending.add(event(EventKind::Modify, {"/p/Song.rpp"}), t0_);
    EXPECT_EQ(pending.receive_timeout(t0_ + c.since_first_save), c.timeout) << c.since_first_save.count();
  }
}

// A loop that a stop can wake has no reason to wake by itself while idle.
TEST_F(PendingSavesTest, TimeToTheDeadlineIsEndlessWhileIdleAndAtLeastOneMillisecondOtherwise) {
  constexpr auto endless = std::chrono::nanoseconds::max();
  EXPECT_EQ(PendingSaves(root_, 10s).time_to_deadline(t0_), endless);
  struct Case {
    std::chrono::nanoseconds window;
    std::chrono::nanoseconds since_first_save;
    std::chrono::nanoseconds wait;
  };
  const std::vector<Case> cases{
      {10s, 0s, 10s},   {10s, 9950ms, 50ms}, {10s, 9999900us, 1ms}, {10s, 10s, 1ms},
      {10s, 12s, 1ms},  {1ms, 0s, 1ms},      {0s, 0s, 1ms},         {std::chrono::nanoseconds::max(), 1h, endless},
  };
  for (const auto& c : cases) {
    PendingSaves pending(root_, c.window);
    pending.add(event(EventKind::Modify, {"/p/Song.rpp"}), t0_);
    EXPECT_EQ(pending.time_to_deadline(t0_ + c.since_first_save), c.wait) << c.since_first_save.count();
  }
}

// One save arrives as several notifications; those taken in before a read that stands ask for
// nothing the read did not see, and any other must still bring the file in.
TEST_F(PendingSavesTest, NotificationsTakenInBeforeAStandingReadOfTheirFileAreDropped) {
  const Clock::time_point read_began = t0_ + 1s;
  struct Case {
    const char* name;
    std::chrono::nanoseconds received;  // after t0_
    std::vector<fs::path> paths;
    std::vector<fs::path> pending;
  };
  const std::vector<Case> cases{
      {"taken in before the read", 500ms, {"/p/Song.rpp"}, {}},
      {"taken in as the read began", 1s, {"/p/Song.rpp"}, {"/p/Song.rpp"}},
      {"taken in after the read began", 1500ms, {"/p/Song.rpp"}, {"/p/Song.rpp"}},
      {"another file", 500ms, {"/p/Other.rpp"}, {"/p/Other.rpp"}},
      {"one event for both", 500ms, {"/p/Other.rpp", "/p/Song.rpp"}, {"/p/Other.rpp"}},
  };
  for (const auto& c : cases) {
    PendingSaves pending(root_, 0s);
    pending.note_read("/p/Song.rpp", read_began);
    pending.note_read("/p/Song.rpp", t0_);  // an older read noted later changes nothing
    pending.add(event(EventKind::Modify, c.paths), t0_ + c.received, t0_ + 2s);
    EXPECT_EQ(pending.collecting(), !c.pending.empty()) << c.name;
    EXPECT_EQ(std::vector<fs::path>(pending.pending().begin(), pending.pending().end()), c.pending) << c.name;
  }
}

TEST_F(PendingSavesTest, HugeWindowDoesNotWrapAround) {
  PendingSaves pending(root_, std::chrono::nanoseconds::max());
  pending.add(event(EventKind::Modify, {"/p/Song.rpp"}), t0_);
  EXPECT_FALSE(pending.take_due(t0_ + 1h));
  EXPECT_EQ(pending.receive_timeout(t0_ + 1h), 200ms);
}

}  // namespace
}  // namespace tallowmere_cli::cmd_watch

#include "flag.h"

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace tallowmere_cli {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(FlagTest, WakesItsSubscribersOnlyWhenItsValueChanges) {
  Flag flag(true);
  int wakes = 0;
  auto subscription = flag.subscribe([&] { ++wakes; });
  struct Step {
    enum { Store, Exchange } how;
    bool value;
    bool old;  // what exchange gives back (and the value before a store)
    int wakes;
  };
  const std::vector<Step> steps{
      {Step::Store, true, true, 0},     {Step::Store, false, true, 1},   {Step::Store, false, false, 1},
      {Step::Exchange, true, false, 2}, {Step::Exchange, true, true, 2}, {Step::Exchange, false, true, 3},
  };
  for (std::size_t i = 0; i < steps.size(); ++i) {
    const Step& step = steps[i];
    EXPECT_EQ(flag.load(), step.old) << i;
    if (step.how == Step::Store) {
      flag.store(step.value);
    } else {
      EXPECT_EQ(flag.exchange(step.value), step.old) << i;
    }
    EXPECT_EQ(flag.load(), step.value) << i;
    EXPECT_EQ(wakes, step.wakes) << i;
  }
}

TEST(FlagTest, ACancelledOrDroppedSubscriptionIsNotWokenAndOthersStillAre) {
  Flag flag(false);
  int first = 0, second = 0, third = 0;
  auto kept = flag.subscribe([&] { ++first; });
  auto cancelled = flag.subscribe([&] { ++second; });
  { auto dropped = flag.subscribe([&] { ++third; }); }
  cancelled.cancel();
  Flag::Subscription moved = std::move(kept);
  flag.store(true);
  EXPECT_EQ(first, 1);
  EXPECT_EQ(second, 0);
  EXPECT_EQ(third, 0);
}

TEST(WakeupTest, AWakeBeforeTheWaitIsKeptAndADeadlineEndsAWaitWithoutOne) {
  Wakeup wakeup;
  wakeup.wake();
  wakeup.wait_until(Clock::time_point::max());  // returns only because the wake was kept
  const auto start = Clock::now();
  wakeup.wait_until(start + 5ms);
  EXPECT_TRUE(Clock::now() >= start + 5ms) << "the wake was taken by the wait before";
}

TEST(WakeupTest, AFollowedFlagChangedOnAnotherThreadEndsAWaitWithoutDeadline) {
  Flag running(true);
  Wakeup wakeup;
  const auto subscription = wakeup.follow(running);
  std::thread stopper([&] {
    std::this_thread::sleep_for(20ms);  // lets the waiter start waiting first (not required)
    running.store(false);
  });
  while (running.load()) wakeup.wait_until(Clock::time_point::max());
  stopper.join();
  EXPECT_FALSE(running.load());
}

}  // namespace
}  // namespace tallowmere_cli

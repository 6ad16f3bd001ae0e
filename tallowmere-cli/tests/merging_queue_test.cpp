#include "merging_queue.h"

#include <utility>

#include <gtest/gtest.h>

namespace tallowmere_cli {
namespace {

// The watch loop's own queue of notifications taken in during a batch: a merged notification
// counts as received at its latest arrival, so a write that came after a read began is never
// taken for one that read covered.
TEST(MergingQueueTest, AJoiningValueLeavesItsStampOnTheWaitingOne) {
  MergingQueue<int, int> queue;
  EXPECT_TRUE(queue.push(7, 1));
  EXPECT_TRUE(queue.push(8, 2));
  EXPECT_FALSE(queue.push(7, 3));
  EXPECT_EQ(queue.pop(), (std::pair{7, 3}));
  EXPECT_EQ(queue.pop(), (std::pair{8, 2}));
  EXPECT_FALSE(queue.pop());
  EXPECT_TRUE(queue.push(7, 4)) << "a value taken out no longer waits";
  queue.clear();
  EXPECT_TRUE(queue.empty());
}

}  // namespace
}  // namespace tallowmere_cli

#include "channel.h"

#include <chrono>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/file_watcher.h"

namespace tallowmere_cli {
namespace {

using namespace std::chrono_literals;
using IntChannel = Channel<int>;
using platform::ChangeEvent;
using platform::EventKind;

// For waits that must end by a wake-up, not by their time-out: a receiver that missed the wake-up
// sits until the test runner's own time-out fails the test.
constexpr auto forever = std::chrono::hours(1);

TEST(ChannelTest, DeliversValuesInTheOrderSent) {
  auto [sender, receiver] = IntChannel::create();
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(sender.send(i));
  for (int i = 0; i < 5; ++i) {
    auto value = receiver.try_receive();
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(*value, i);
  }
  EXPECT_EQ(receiver.try_receive().error(), ReceiveFailure::Timeout);
}

TEST(ChannelTest, ReceiveTimesOutWhenNothingArrives) {
  auto [sender, receiver] = IntChannel::create();
  const auto start = std::chrono::steady_clock::now();
  auto value = receiver.receive(50ms);
  const auto waited = std::chrono::steady_clock::now() - start;
  ASSERT_FALSE(value.has_value());
  EXPECT_EQ(value.error(), ReceiveFailure::Timeout);
  EXPECT_GE(waited, 50ms) << "came back before its time-out";
  EXPECT_EQ(receiver.receive(0ms).error(), ReceiveFailure::Timeout);
  EXPECT_EQ(receiver.receive(-5s).error(), ReceiveFailure::Timeout);
}

TEST(ChannelTest, DrainsQueuedValuesThenReportsDisconnected) {
  auto [sender, receiver] = IntChannel::create();
  sender.send(1);
  sender.send(2);
  { auto gone = std::move(sender); }
  EXPECT_EQ(receiver.receive(forever).value(), 1);
  EXPECT_EQ(receiver.receive(forever).value(), 2);
  EXPECT_EQ(receiver.receive(forever).error(), ReceiveFailure::Disconnected);
}

TEST(ChannelTest, StaysConnectedWhileAnyCopyOfTheSenderLives) {
  auto [sender, receiver] = IntChannel::create();
  std::optional<IntChannel::Sender> copy(sender);
  IntChannel::Sender assigned;
  assigned = *copy;
  { auto gone = std::move(sender); }
  EXPECT_EQ(receiver.try_receive().error(), ReceiveFailure::Timeout);
  copy.reset();
  EXPECT_EQ(receiver.try_receive().error(), ReceiveFailure::Timeout);
  ASSERT_TRUE(assigned.send(7));
  assigned = IntChannel::Sender();  // assigning over the last sender lets go of it
  EXPECT_EQ(receiver.try_receive().value(), 7);
  EXPECT_EQ(receiver.try_receive().error(), ReceiveFailure::Disconnected);
}

TEST(ChannelTest, MovedFromAndDefaultSendersAreConnectedToNothing) {
  auto [sender, receiver] = IntChannel::create();
  IntChannel::Sender moved = std::move(sender);
  EXPECT_FALSE(sender.send(1));  // NOLINT(bugprone-use-after-move): the documented state
  EXPECT_FALSE(IntChannel::Sender().send(2));
  EXPECT_EQ(receiver.try_receive().error(), ReceiveFailure::Timeout) << "the moved sender still counts";
  ASSERT_TRUE(moved.send(3));
  EXPECT_EQ(receiver.try_receive().value(), 3);
}

TEST(ChannelTest, SendFailsOnceTheReceiverIsGone) {
  auto [sender, receiver] = IntChannel::create();
  ASSERT_TRUE(sender.send(1));
  { auto gone = std::move(receiver); }
  EXPECT_FALSE(sender.send(2));
}

TEST(ChannelTest, ReceiverDropsQueuedValuesWhenItGoes) {
  auto [sender, receiver] = Channel<std::shared_ptr<int>>::create();
  auto value = std::make_shared<int>(1);
  sender.send(value);
  EXPECT_EQ(value.use_count(), 2);
  { auto gone = std::move(receiver); }
  EXPECT_EQ(value.use_count(), 1);
}

TEST(ChannelTest, MovedFromReceiverReadsDisconnected) {
  auto [sender, receiver] = IntChannel::create();
  auto moved = std::move(receiver);
  EXPECT_EQ(receiver.try_receive().error(), ReceiveFailure::Disconnected);  // NOLINT(bugprone-use-after-move)
  ASSERT_TRUE(sender.send(4));
  EXPECT_EQ(moved.try_receive().value(), 4);
}

TEST(ChannelTest, CarriesMoveOnlyValues) {
  auto [sender, receiver] = Channel<std::unique_ptr<std::string>>::create();
  ASSERT_TRUE(sender.send(std::make_unique<std::string>("Song.als")));
  auto value = receiver.try_receive();
  ASSERT_TRUE(value.has_value());
  EXPECT_EQ(**value, "Song.als");
}

TEST(ChannelTest, WaitingReceiverWakesForAValueFromAnotherThread) {
  auto [sender, receiver] = IntChannel::create();
  std::thread producer([sender = std::move(sender)] {
    std::this_thread::sleep_for(20ms);  // lets the receiver start waiting first (not required)
    sender.send(42);
  });
  auto value = receiver.receive(forever);
  producer.join();
  ASSERT_TRUE(value.has_value());
  EXPECT_EQ(*value, 42);
}

TEST(ChannelTest, WaitingReceiverWakesWhenTheLastSenderGoesOnAnotherThread) {
  auto [sender, receiver] = IntChannel::create();
  std::thread owner([sender = std::move(sender)]() mutable {
    std::this_thread::sleep_for(20ms);
    sender = IntChannel::Sender();
  });
  auto value = receiver.receive(forever);
  owner.join();
  EXPECT_EQ(value.error(), ReceiveFailure::Disconnected);
}

TEST(ChannelTest, LongestTimeoutStillWaitsForAValue) {
  auto [sender, receiver] = IntChannel::create();
  std::thread producer([sender = std::move(sender)] {
    std::this_thread::sleep_for(20ms);
    sender.send(5);
  });
  auto value = receiver.receive(std::chrono::nanoseconds::max());
  producer.join();
  ASSERT_TRUE(value.has_value());
  EXPECT_EQ(*value, 5);
}

// A receiver that waits without time-out must still be reachable by whoever wants it to stop.
TEST(ChannelTest, AWakeEndsAWaitWithoutTimeOutFromAnotherThread) {
  auto [sender, receiver] = IntChannel::create();
  std::thread waker([waker = receiver.waker()] {
    std::this_thread::sleep_for(20ms);  // lets the receiver start waiting first (not required)
    waker.wake();
  });
  auto value = receiver.receive(std::chrono::nanoseconds::max());
  waker.join();
  EXPECT_EQ(value.error(), ReceiveFailure::Woken);
}

TEST(ChannelTest, AWakeIsKeptForTheNextWaitAndTakenOnce) {
  auto [sender, receiver] = IntChannel::create();
  const auto waker = receiver.waker();
  waker.wake();
  waker.wake();
  EXPECT_EQ(receiver.try_receive().error(), ReceiveFailure::Timeout) << "a receive that does not wait leaves it";
  EXPECT_EQ(receiver.receive(std::chrono::nanoseconds::max()).error(), ReceiveFailure::Woken);
  EXPECT_EQ(receiver.receive(1ms).error(), ReceiveFailure::Timeout) << "two wakes before a wait count as one";

  // What is queued comes first, and takes the wake with it; a channel without senders says so.
  waker.wake();
  sender.send(7);
  EXPECT_EQ(receiver.receive(std::chrono::nanoseconds::max()), 7);
  EXPECT_EQ(receiver.receive(1ms).error(), ReceiveFailure::Timeout);
  waker.wake();
  sender = IntChannel::Sender();
  EXPECT_EQ(receiver.receive(std::chrono::nanoseconds::max()).error(), ReceiveFailure::Disconnected);
}

TEST(ChannelTest, ManyProducersDeliverEveryValueOnceAndInOrderPerProducer) {
  constexpr int producers = 4;
  constexpr int per_producer = 2000;
  auto [sender, receiver] = IntChannel::create();
  std::vector<std::thread> threads;
  for (int p = 0; p < producers; ++p) {
    threads.emplace_back([p, sender] {
      for (int i = 0; i < per_producer; ++i) sender.send(p * per_producer + i);
    });
  }
  { auto gone = std::move(sender); }

  std::vector<int> last_seen(producers, -1);
  std::set<int> seen;
  for (;;) {
    auto value = receiver.receive(forever);
    if (!value) {
      ASSERT_EQ(value.error(), ReceiveFailure::Disconnected);
      break;
    }
    const int producer = *value / per_producer;
    EXPECT_GT(*value, last_seen[producer]);
    last_seen[producer] = *value;
    seen.insert(*value);
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(seen.size(), static_cast<std::size_t>(producers * per_producer));
}

// A value equal to one still waiting joins it and keeps its place: what waits grows with the
// number of distinct values, not with the number of sends.
TEST(ChannelTest, AValueEqualToOneStillWaitingJoinsIt) {
  struct Case {
    const char* label;
    std::vector<int> sent;
    std::vector<int> delivered;
  };
  const Case cases[] = {
      {"equal values join the first of them", {1, 2, 1, 3, 2, 1}, {1, 2, 3}},
      {"distinct values keep the order sent", {3, 1, 2}, {3, 1, 2}},
      {"repeats of one value", {5, 5, 5, 5}, {5}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    auto [sender, receiver] = IntChannel::create();
    for (int value : c.sent) ASSERT_TRUE(sender.send(value));
    std::vector<int> delivered;
    while (auto value = receiver.try_receive()) delivered.push_back(*value);
    EXPECT_EQ(delivered, c.delivered);
  }
}

TEST(ChannelTest, AValueSentAfterItsEqualWasTakenQueuesAgain) {
  auto [sender, receiver] = IntChannel::create();
  sender.send(1);
  EXPECT_EQ(receiver.try_receive().value(), 1);
  sender.send(1);
  EXPECT_EQ(receiver.try_receive().value(), 1);
  EXPECT_EQ(receiver.try_receive().error(), ReceiveFailure::Timeout);
}

// A watcher busy with a long checkpoint while another file is written a byte at a time: every
// notification for that file waits as the one item the loop needs.
TEST(ChannelTest, AMillionNotificationsForOnePathWaitAsOneItem) {
  auto [sender, receiver] = Channel<ChangeEvent>::create();
  const ChangeEvent write{EventKind::Modify, {"/projects/Album/Song.als"}};
  for (int i = 0; i < 1'000'000; ++i) ASSERT_TRUE(sender.send(write));
  EXPECT_EQ(receiver.try_receive().value(), write);
  EXPECT_EQ(receiver.try_receive().error(), ReceiveFailure::Timeout);
}

}  // namespace
}  // namespace tallowmere_cli

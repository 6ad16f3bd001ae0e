// The table of connections served at once, driven without threads over socket pairs: who is
// closed to make room, who is refused, and when a burst begins.
#include "connection_table.h"

#include <array>
#include <cerrno>
#include <vector>

#include <gtest/gtest.h>
#include <sys/socket.h>

#include "posix.h"
#include "unique_fd.h"

namespace {

using tallowmere_core::UniqueFd;
using tallowmere_daemon::ipc::ConnectionTable;

// One connection: the end the table holds and the client's end.
struct Pair {
  UniqueFd served;
  UniqueFd client;
};

Pair socket_pair() {
  auto ends = tallowmere_core::posix::unix_stream_socket_pair();
  if (!ends) return {};
  return {std::move(ends->first), std::move(ends->second)};
}

// Whether the server has shut the client's connection: the client reads the end of the stream.
bool shut_down(const Pair& pair) {
  char byte;
  return ::recv(pair.client.get(), &byte, 1, MSG_DONTWAIT) == 0;
}

TEST(ConnectionTable, ClosesTheOldestIdleConnectionWhenFull) {
  ConnectionTable table(3);
  std::vector<Pair> pairs;
  std::vector<std::uint64_t> ids;
  for (int i = 0; i < 3; ++i) {
    pairs.push_back(socket_pair());
    const auto admission = table.admit(pairs.back().served.get());
    ASSERT_TRUE(admission.id);
    EXPECT_FALSE(admission.burst_began);
    ids.push_back(*admission.id);
  }
  // The oldest is being answered, so the next oldest goes.
  ASSERT_TRUE(table.begin_reply(ids[0]));
  pairs.push_back(socket_pair());
  const auto fourth = table.admit(pairs.back().served.get());
  ASSERT_TRUE(fourth.id);
  EXPECT_TRUE(fourth.burst_began);
  EXPECT_FALSE(shut_down(pairs[0]));
  EXPECT_TRUE(shut_down(pairs[1]));
  EXPECT_FALSE(shut_down(pairs[2]));
  EXPECT_TRUE(table.evicted(ids[1]));
  EXPECT_FALSE(table.begin_reply(ids[1]));
  EXPECT_EQ(table.served(), 3u);

  // The evicted connection's thread releases it later; that frees no slot twice.
  table.release(ids[1]);
  EXPECT_EQ(table.served(), 3u);
}

TEST(ConnectionTable, RefusesWhenEveryConnectionIsBeingAnswered) {
  ConnectionTable table(2);
  std::array<Pair, 4> pairs{socket_pair(), socket_pair(), socket_pair(), socket_pair()};
  const auto first = table.admit(pairs[0].served.get());
  const auto second = table.admit(pairs[1].served.get());
  ASSERT_TRUE(table.begin_reply(*first.id));
  ASSERT_TRUE(table.begin_reply(*second.id));

  const auto third = table.admit(pairs[2].served.get());
  EXPECT_FALSE(third.id);
  EXPECT_TRUE(third.burst_began);
  const auto fourth = table.admit(pairs[3].served.get());
  EXPECT_FALSE(fourth.id);
  EXPECT_FALSE(fourth.burst_began);  // the same burst
  EXPECT_FALSE(shut_down(pairs[0]));
  EXPECT_FALSE(shut_down(pairs[1]));
}

TEST(ConnectionTable, ABurstEndsOnceHalfTheTableIsFree) {
  ConnectionTable table(4);
  std::vector<Pair> pairs;
  std::vector<std::uint64_t> ids;
  const auto admit = [&] {
    pairs.push_back(socket_pair());
    const auto admission = table.admit(pairs.back().served.get());
    if (admission.id) ids.push_back(*admission.id);
    return admission.burst_began;
  };
  for (int i = 0; i < 4; ++i) EXPECT_FALSE(admit());
  EXPECT_TRUE(admit());
  EXPECT_FALSE(admit());

  // Four served (ids 2 to 5). One slot free and refilled: still the same burst.
  table.release(ids[2]);
  EXPECT_FALSE(admit());
  EXPECT_FALSE(admit());
  // Two free: over. The next time the table fills, a new burst begins.
  for (std::size_t i = 3; i < ids.size(); ++i) table.release(ids[i]);
  EXPECT_EQ(table.served(), 0u);
  for (int i = 0; i < 4; ++i) EXPECT_FALSE(admit());
  EXPECT_TRUE(admit());
}

}  // namespace

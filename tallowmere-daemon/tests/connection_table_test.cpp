// The table of connections served at once, driven without threads over socket pairs: who is
// closed to make room, who is refused, and when a burst begins.
#include "connection_table.h"

#include <array>
#include <cerrno>
#include <chrono>
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

using Clock = ConnectionTable::Clock;
using std::chrono::milliseconds;
constexpr milliseconds kGrace{1000};
const Clock::time_point t0 = Clock::now();

TEST(ConnectionTable, ClosesTheOldestIdleConnectionPastItsGraceWhenFull) {
  ConnectionTable table(3, kGrace);
  std::vector<Pair> pairs;
  std::vector<std::uint64_t> ids;
  for (int i = 0; i < 3; ++i) {
    EXPECT_FALSE(table.room(t0).not_before);
    pairs.push_back(socket_pair());
    const auto admission = table.admit(pairs.back().served.get(), t0 + milliseconds(i));
    ASSERT_TRUE(admission.id);
    EXPECT_FALSE(admission.burst_began);
    ids.push_back(*admission.id);
  }
  // The oldest is being answered, so the next oldest goes, once it has had its grace.
  ASSERT_TRUE(table.begin_reply(ids[0]));
  const auto early = table.room(t0 + milliseconds(500));
  EXPECT_EQ(early.not_before, t0 + milliseconds(1) + kGrace);
  EXPECT_TRUE(early.burst_began);
  EXPECT_FALSE(shut_down(pairs[1]));

  EXPECT_FALSE(table.room(t0 + milliseconds(1) + kGrace).not_before);
  pairs.push_back(socket_pair());
  const auto fourth = table.admit(pairs.back().served.get(), t0 + milliseconds(1) + kGrace);
  ASSERT_TRUE(fourth.id);
  EXPECT_FALSE(fourth.burst_began);  // the burst began with the wait
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

// A connection that has just come is no silent one: the next oldest waiting is closed first, and
// one within its grace never.
TEST(ConnectionTable, ANewConnectionIsNotClosedWithinItsGrace) {
  ConnectionTable table(2, kGrace);
  std::array<Pair, 3> pairs{socket_pair(), socket_pair(), socket_pair()};
  const auto first = table.admit(pairs[0].served.get(), t0);
  const auto second = table.admit(pairs[1].served.get(), t0 + milliseconds(900));
  ASSERT_TRUE(first.id && second.id);
  EXPECT_EQ(table.room(t0 + milliseconds(999)).not_before, t0 + kGrace);
  // Asked too early all the same: refused, nothing closed.
  EXPECT_FALSE(table.admit(pairs[2].served.get(), t0 + milliseconds(999)).id);
  EXPECT_FALSE(shut_down(pairs[0]));

  ASSERT_TRUE(table.begin_reply(*first.id));
  EXPECT_EQ(table.room(t0 + kGrace).not_before, t0 + milliseconds(900) + kGrace);
  EXPECT_FALSE(table.room(t0 + milliseconds(900) + kGrace).not_before);
  EXPECT_TRUE(table.admit(pairs[2].served.get(), t0 + milliseconds(900) + kGrace).id);
  EXPECT_FALSE(shut_down(pairs[0]));
  EXPECT_TRUE(shut_down(pairs[1]));
}

// No connection can be closed: the server waits for one to end, told by the release.
TEST(ConnectionTable, WaitsForAReleaseWhenEveryConnectionIsBeingAnswered) {
  int releases = 0;
  ConnectionTable table(2, kGrace, [&] { ++releases; });
  std::array<Pair, 3> pairs{socket_pair(), socket_pair(), socket_pair()};
  const auto first = table.admit(pairs[0].served.get(), t0);
  const auto second = table.admit(pairs[1].served.get(), t0);
  ASSERT_TRUE(table.begin_reply(*first.id));
  ASSERT_TRUE(table.begin_reply(*second.id));

  const auto later = t0 + std::chrono::hours(1);
  const auto full = table.room(later);
  EXPECT_EQ(full.not_before, Clock::time_point::max());
  EXPECT_TRUE(full.burst_began);
  const auto still_full = table.room(later);
  EXPECT_EQ(still_full.not_before, Clock::time_point::max());
  EXPECT_FALSE(still_full.burst_began);  // the same burst
  EXPECT_FALSE(shut_down(pairs[0]));
  EXPECT_FALSE(shut_down(pairs[1]));

  table.release(*first.id);
  EXPECT_EQ(releases, 1);
  EXPECT_FALSE(table.room(later).not_before);
  const auto third = table.admit(pairs[2].served.get(), later);
  EXPECT_TRUE(third.id);
  EXPECT_FALSE(third.burst_began);
}

TEST(ConnectionTable, ABurstEndsOnceHalfTheTableIsFree) {
  ConnectionTable table(4, kGrace);
  std::vector<Pair> pairs;
  std::vector<std::uint64_t> ids;
  // Each connection comes well after the one before, so that every older one is past its grace.
  Clock::time_point now = t0;
  const auto admit = [&] {
    now += 2 * kGrace;
    pairs.push_back(socket_pair());
    const auto admission = table.admit(pairs.back().served.get(), now);
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

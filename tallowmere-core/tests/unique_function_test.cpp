#include "unique_function.h"

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>

#include <gtest/gtest.h>

namespace tallowmere_core {
namespace {

// Counts how many of its kind are alive, so that a test sees captured state destroyed exactly once.
struct Tracked {
  explicit Tracked(std::shared_ptr<int> alive) : alive(std::move(alive)) { ++*this->alive; }
  Tracked(Tracked&& other) noexcept : alive(std::move(other.alive)) {}
  Tracked(const Tracked&) = delete;
  ~Tracked() {
    if (alive) --*alive;
  }
  std::shared_ptr<int> alive;
};

TEST(UniqueFunctionTest, CallsWithArgumentsAndReturnsTheResult) {
  UniqueFunction<std::string(std::string, int)> repeat = [](std::string text, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += text;
    return out;
  };
  EXPECT_EQ(repeat("ab", 3), "ababab");
}

TEST(UniqueFunctionTest, EmptyUntilGivenACallable) {
  UniqueFunction<void()> none;
  EXPECT_FALSE(none);
  EXPECT_THROW(none(), std::bad_function_call);
  UniqueFunction<void()> from_null = nullptr;
  EXPECT_FALSE(from_null);
  void (*no_function)() = nullptr;
  UniqueFunction<void()> from_null_pointer = no_function;
  EXPECT_FALSE(from_null_pointer);
}

TEST(UniqueFunctionTest, HoldsMoveOnlyStateAndKeepsItAcrossCalls) {
  UniqueFunction<int()> next = [counter = std::make_unique<int>(0)]() { return ++*counter; };
  EXPECT_EQ(next(), 1);
  EXPECT_EQ(next(), 2);
}

TEST(UniqueFunctionTest, MovingHandsOverTheCallableAndLeavesTheSourceEmpty) {
  auto alive = std::make_shared<int>(0);
  UniqueFunction<int()> first = [tracked = Tracked(alive), value = std::make_unique<int>(7)]() { return *value; };
  EXPECT_EQ(*alive, 1);

  UniqueFunction<int()> second = std::move(first);
  EXPECT_FALSE(first);  // NOLINT(bugprone-use-after-move): the moved-from state is what is tested
  ASSERT_TRUE(second);
  EXPECT_EQ(second(), 7);

  UniqueFunction<int()> third;
  third = std::move(second);
  EXPECT_FALSE(second);  // NOLINT(bugprone-use-after-move)
  EXPECT_EQ(third(), 7);
  EXPECT_EQ(*alive, 1) << "moving must not copy or drop the captured state";
}

TEST(UniqueFunctionTest, DestroysCapturedStateOnceWhenDestroyedReassignedOrCleared) {
  auto alive = std::make_shared<int>(0);
  {
    UniqueFunction<void()> held = [tracked = Tracked(alive)] {};
    EXPECT_EQ(*alive, 1);
  }
  EXPECT_EQ(*alive, 0);

  UniqueFunction<void()> replaced = [tracked = Tracked(alive)] {};
  replaced = [tracked = Tracked(alive)] {};
  EXPECT_EQ(*alive, 1) << "assigning destroys what was held before";
  replaced = nullptr;
  EXPECT_EQ(*alive, 0);
  EXPECT_FALSE(replaced);
}

TEST(UniqueFunctionTest, RunsAsTheBodyOfAThread) {
  int result = 0;
  UniqueFunction<void()> body = [&result, value = std::make_unique<int>(42)] { result = *value; };
  std::thread(std::move(body)).join();
  EXPECT_EQ(result, 42);
}

}  // namespace
}  // namespace tallowmere_core

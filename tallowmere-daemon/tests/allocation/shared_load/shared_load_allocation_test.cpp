// The allocation probe replaces the global operator new, so it has a program of its own: the
// replacement then runs under these tests and no others.
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "project_list.h"
#include "test_support.h"

// The sanitizers bring allocators of their own, which a replacement would hide from them for this
// whole program; there the probe is left out and its tests skipped.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TALLOWMERE_ALLOCATION_PROBE 0
#else
#define TALLOWMERE_ALLOCATION_PROBE 1

namespace allocation_probe {
// While set, every operator new on this thread fails.
thread_local bool failing = false;
}  // namespace allocation_probe

void* operator new(std::size_t size) {
  if (allocation_probe::failing) throw std::bad_alloc();
  if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return ::operator new(size); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
#endif

namespace {

namespace ipc = tallowmere_daemon::ipc;
using tallowmere_test::wait_until;

#if TALLOWMERE_ALLOCATION_PROBE

// One request to a SharedLoad on a thread of its own. A request that never ends fails the test
// without hanging it: its thread is left behind with what it uses.
class Request {
 public:
  explicit Request(std::shared_ptr<ipc::SharedLoad> shared) : state_(std::make_shared<State>()) {
    std::thread([shared = std::move(shared), state = state_] {
      try {
        const auto projects = shared->get();
        std::lock_guard lock(state->mutex);
        state->answer = projects.empty() ? "no projects" : projects.front().work_id;
      } catch (const std::exception& error) {
        std::lock_guard lock(state->mutex);
        state->answer = std::string("threw ") + error.what();
      }
      state->done = true;
    }).detach();
  }
  // What get() gave once it returned, or "(still waiting)" when it has not within the deadline.
  std::string answer() const {
    if (!wait_until([&] { return state_->done.load(); })) return "(still waiting)";
    std::lock_guard lock(state_->mutex);
    return state_->answer;
  }

 private:
  struct State {
    std::atomic<bool> done = false;
    std::mutex mutex;
    std::string answer;
  };
  std::shared_ptr<State> state_;
};

std::vector<ipc::ProjectStatus> one_project(std::string work_id) {
  ipc::ProjectStatus status;
  status.work_id = std::move(work_id);
  return {status};
}

#endif

// A load that fails for want of memory, where the record of its failure cannot be allocated either:
// the request that ran it gets the out-of-memory failure, the one waiting meanwhile is woken and
// loads for itself, and later requests are answered.
TEST(SharedLoadAllocation, ALoadWhoseFailureCannotBeRecordedStillEndsEveryWait) {
#if !TALLOWMERE_ALLOCATION_PROBE
  GTEST_SKIP() << "the allocation probe is left out of sanitizer builds";
#else
  std::mutex gate;
  std::unique_lock first_load_held(gate);
  auto loads = std::make_shared<std::atomic<int>>(0);
  auto shared = std::make_shared<ipc::SharedLoad>([&gate, loads]() -> std::vector<ipc::ProjectStatus> {
    const int number = ++*loads;
    if (number == 1) {
      { std::lock_guard wait_for_the_gate(gate); }
      // From here on this thread cannot allocate, until its request has ended.
      allocation_probe::failing = true;
      throw std::bad_alloc();
    }
    return one_project("load " + std::to_string(number));
  });

  auto failing_request = std::make_shared<std::atomic<int>>(0);  // 1: its get() has returned or thrown
  auto failing_answer = std::make_shared<std::string>();
  std::thread first([shared, failing_request, failing_answer] {
    std::string answer;
    try {
      (void)shared->get();
      allocation_probe::failing = false;
      answer = "answered";
    } catch (const std::exception& error) {
      allocation_probe::failing = false;
      answer = std::string("threw ") + error.what();
    }
    *failing_answer = answer;
    failing_request->store(1);
  });
  ASSERT_TRUE(wait_until([&] { return loads->load() == 1; }));
  Request waiting(shared);
  ASSERT_TRUE(wait_until([&] { return shared->waiting() == 2; }));
  first_load_held.unlock();

  EXPECT_EQ(waiting.answer(), "load 2");
  ASSERT_TRUE(wait_until([&] { return failing_request->load() == 1; }));
  first.join();
  EXPECT_EQ(*failing_answer, std::string("threw ") + std::bad_alloc().what());
  EXPECT_EQ(Request(shared).answer(), "load 3");
  EXPECT_EQ(shared->waiting(), 0u);
#endif
}

}  // namespace

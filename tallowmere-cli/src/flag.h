#pragma once
// Flag: a boolean shared between threads (the running flags, the rescan request) that wakes
// whoever waits for it to change, so that no waiter has to look at it again and again. Its reads
// and writes are sequentially consistent atomics, as those of std::atomic<bool>.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

namespace tallowmere_cli {

class Flag {
 public:
  // While it lives, its callback is called after every change of the flag's value. Move-only;
  // must not outlive the flag.
  class Subscription {
   public:
    Subscription() noexcept = default;
    Subscription(Subscription&& other) noexcept;
    Subscription& operator=(Subscription&& other) noexcept;
    Subscription(const Subscription&) = delete;
    Subscription& operator=(const Subscription&) = delete;
    ~Subscription() { cancel(); }

    // Once this returns the callback is not running and is never called again.
    void cancel() noexcept;

   private:
    friend class Flag;
    Subscription(const Flag* flag, std::uint64_t id) noexcept : flag_(flag), id_(id) {}
    const Flag* flag_ = nullptr;
    std::uint64_t id_ = 0;
  };

  explicit Flag(bool value) noexcept : value_(value) {}
  Flag(const Flag&) = delete;
  Flag& operator=(const Flag&) = delete;

  bool load() const noexcept { return value_.load(); }
  // Both wake the subscribers when the value changes, after it has changed; setting the value it
  // already has wakes no one.
  void store(bool value) { exchange(value); }
  bool exchange(bool value);

  // `wake` runs on the thread that changes the flag, with the flag's own lock held: it must be
  // short, must not throw and must not touch this flag. A waiter subscribes before it first looks
  // at the value, so that no change between the look and its wait goes unnoticed.
  // Watching is no change of the flag, so a reader holding it const may subscribe.
  [[nodiscard]] Subscription subscribe(std::function<void()> wake) const;
  // How many subscriptions live: tells a test that a waiter has begun its wait.
  std::size_t subscription_count() const;

 private:
  std::atomic<bool> value_;
  mutable std::mutex mutex_;  // guards the subscribers, and is held while they are woken
  mutable std::map<std::uint64_t, std::function<void()>> subscribers_;
  mutable std::uint64_t next_id_ = 0;
};

using SharedFlag = std::shared_ptr<Flag>;

// A sleep that subscribed flags cut short: one thread waits in it; wake() may come from any.
class Wakeup {
 public:
  // Ends the current or the next wait early. A wake before a wait is kept for it.
  void wake();
  // Returns at `deadline` or once woken since the last return, whichever comes first.
  void wait_until(std::chrono::steady_clock::time_point deadline);
  // wake() whenever `flag` changes, for as long as the subscription lives.
  [[nodiscard]] Flag::Subscription follow(const Flag& flag) {
    return flag.subscribe([this] { wake(); });
  }

 private:
  std::mutex mutex_;
  std::condition_variable woken_changed_;
  bool woken_ = false;
};

}  // namespace tallowmere_cli

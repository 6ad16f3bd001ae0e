#pragma once
// Channel<T>: a queue from any number of sending threads to one receiving thread, in the manner of
// Rust's std::sync::mpsc::channel, except that a value equal to one still waiting is not queued
// again: it joins the waiting one, which keeps its place (values are compared with `<`). So what
// waits is bounded by the number of distinct values, however often they are sent; a change source
// that reports every write of one file costs one waiting item for that file.
// Channel<T>::create() gives the first Sender and the Receiver. Copies of a Sender count as
// senders; once every Sender is gone, the receiver gets what is still queued and then
// "disconnected". Once the Receiver is gone, send() returns false and the value is dropped. send()
// never blocks for longer than one short critical section. A Waker cuts the receiver's wait short
// from another thread, for a receiver that must also notice something other than values.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <expected>
#include <memory>
#include <mutex>
#include <utility>

#include "merging_queue.h"

namespace tallowmere_cli {

enum class ReceiveFailure {
  Timeout,       // nothing arrived in time; senders remain
  Disconnected,  // nothing is queued and no sender is left, so nothing ever will arrive
  Woken,         // nothing is queued, and a Waker ended the wait
};

template <class T>
class Channel {
  struct State {
    std::mutex mutex;
    std::condition_variable changed;  // a value was queued, the last sender went, or a wake came
    MergingQueue<T> queue;
    std::size_t senders = 0;
    bool receiver_alive = true;
    bool woken = false;  // a wake not yet taken by a receive
  };

 public:
  // One Sender object may be used by several threads at once; copying, assigning or destroying it
  // needs the caller's synchronisation, as for any object. Give each thread its own copy instead.
  class Sender {
   public:
    // Connected to nothing: send() returns false and the channel's sender count is unaffected.
    Sender() noexcept = default;
    Sender(const Sender& other) : state_(other.state_) {
      if (state_) {
        std::lock_guard lock(state_->mutex);
        ++state_->senders;
      }
    }
    Sender(Sender&& other) noexcept = default;  // the moved-from Sender is connected to nothing
    Sender& operator=(Sender other) noexcept {
      std::swap(state_, other.state_);  // `other` takes the old connection away with it
      return *this;
    }
    ~Sender() { release(); }

    // Queues `value`, or merges it into an equal value still waiting; false (and `value` dropped)
    // when the receiver is gone.
    bool send(T value) const {
      if (!state_) return false;
      {
        std::lock_guard lock(state_->mutex);
        if (!state_->receiver_alive) return false;
        // A value that joined one still waiting was announced when that one was queued.
        if (!state_->queue.push(std::move(value))) return true;
      }
      state_->changed.notify_one();
      return true;
    }

   private:
    friend class Channel;
    explicit Sender(std::shared_ptr<State> state) noexcept : state_(std::move(state)) {}

    void release() noexcept {
      if (!state_) return;
      bool last = false;
      {
        std::lock_guard lock(state_->mutex);
        last = --state_->senders == 0;
      }
      if (last) state_->changed.notify_all();
      state_.reset();
    }

    std::shared_ptr<State> state_;
  };

  // Ends the receive under way, or the next one, with Woken when nothing is queued; wakes given
  // before that receive count as one. Any thread may wake; a Waker does not count as a sender.
  class Waker {
   public:
    void wake() const {
      if (!state_) return;
      {
        std::lock_guard lock(state_->mutex);
        state_->woken = true;
      }
      state_->changed.notify_one();
    }

   private:
    friend class Channel;
    explicit Waker(std::shared_ptr<State> state) noexcept : state_(std::move(state)) {}
    std::shared_ptr<State> state_;
  };

  // Move-only; one thread receives at a time.
  class Receiver {
   public:
    Receiver(Receiver&& other) noexcept = default;  // the moved-from Receiver reads "disconnected"
    Receiver& operator=(Receiver&& other) noexcept {
      if (this != &other) {
        disconnect();
        state_ = std::move(other.state_);
      }
      return *this;
    }
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;
    ~Receiver() { disconnect(); }

    // The value queued first, waiting up to `timeout` (zero or less: no wait; one too long for
    // the clock: no time-out) for one to arrive. Queued values are delivered even after the last
    // sender has gone; only then "disconnected". A wake is taken by the first receive that waits.
    std::expected<T, ReceiveFailure> receive(std::chrono::nanoseconds timeout) {
      if (!state_) return std::unexpected(ReceiveFailure::Disconnected);
      const auto now = std::chrono::steady_clock::now();
      const auto longest = std::chrono::steady_clock::time_point::max() - now;
      std::unique_lock lock(state_->mutex);
      const auto ready = [&] { return !state_->queue.empty() || state_->senders == 0 || state_->woken; };
      bool woken = false;
      if (timeout > timeout.zero()) {
        if (timeout >= longest) {
          state_->changed.wait(lock, ready);
        } else {
          state_->changed.wait_until(lock, now + timeout, ready);
        }
        woken = std::exchange(state_->woken, false);
      }
      if (auto waiting = state_->queue.pop()) return std::move(waiting->first);
      if (state_->senders == 0) return std::unexpected(ReceiveFailure::Disconnected);
      return std::unexpected(woken ? ReceiveFailure::Woken : ReceiveFailure::Timeout);
    }

    // A Waker of this receiver's waits; one of a receiver connected to nothing wakes nothing.
    Waker waker() const { return Waker(state_); }

    // receive() without waiting; a wake is left for the next receive that waits.
    std::expected<T, ReceiveFailure> try_receive() { return receive(std::chrono::nanoseconds::zero()); }

   private:
    friend class Channel;
    explicit Receiver(std::shared_ptr<State> state) noexcept : state_(std::move(state)) {}

    void disconnect() noexcept {
      if (!state_) return;
      MergingQueue<T> dropped;  // destroyed after the lock is released: a value's destructor may be slow
      {
        std::lock_guard lock(state_->mutex);
        state_->receiver_alive = false;
        dropped = std::exchange(state_->queue, MergingQueue<T>());
      }
      state_.reset();
    }

    std::shared_ptr<State> state_;
  };

  static std::pair<Sender, Receiver> create() {
    auto state = std::make_shared<State>();
    state->senders = 1;
    return {Sender(state), Receiver(std::move(state))};
  }
};

}  // namespace tallowmere_cli

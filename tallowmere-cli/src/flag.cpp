#include "flag.h"

#include <utility>

namespace tallowmere_cli {

Flag::Subscription::Subscription(Subscription&& other) noexcept
    : flag_(std::exchange(other.flag_, nullptr)), id_(other.id_) {}

Flag::Subscription& Flag::Subscription::operator=(Subscription&& other) noexcept {
  if (this != &other) {
    cancel();
    flag_ = std::exchange(other.flag_, nullptr);
    id_ = other.id_;
  }
  return *this;
}

void Flag::Subscription::cancel() noexcept {
  if (flag_ == nullptr) return;
  // Under the flag's lock: a wake under way finishes first, and none starts afterwards.
  std::function<void()> dropped;
  {
    std::lock_guard lock(flag_->mutex_);
    auto found = flag_->subscribers_.find(id_);
    if (found != flag_->subscribers_.end()) {
      dropped = std::move(found->second);
      flag_->subscribers_.erase(found);
    }
  }
  flag_ = nullptr;
}

bool Flag::exchange(bool value) {
  // The lock orders changes with subscriptions: a subscriber that came before a change is woken
  // by it, one that came after sees the new value when it looks.
  std::lock_guard lock(mutex_);
  const bool old = value_.exchange(value);
  if (old != value) {
    for (const auto& [id, wake] : subscribers_) wake();
  }
  return old;
}

Flag::Subscription Flag::subscribe(std::function<void()> wake) const {
  std::lock_guard lock(mutex_);
  const std::uint64_t id = next_id_++;
  subscribers_.emplace(id, std::move(wake));
  return Subscription(this, id);
}

std::size_t Flag::subscription_count() const {
  std::lock_guard lock(mutex_);
  return subscribers_.size();
}

void Wakeup::wake() {
  {
    std::lock_guard lock(mutex_);
    woken_ = true;
  }
  woken_changed_.notify_one();
}

void Wakeup::wait_until(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock lock(mutex_);
  if (deadline == std::chrono::steady_clock::time_point::max()) {
    woken_changed_.wait(lock, [this] { return woken_; });
  } else {
    woken_changed_.wait_until(lock, deadline, [this] { return woken_; });
  }
  woken_ = false;
}

}  // namespace tallowmere_cli

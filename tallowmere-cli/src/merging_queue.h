#pragma once
// MergingQueue<T, Stamp>: values in the order they first arrived, each waiting at most once. A value
// equal to one still waiting joins it: the waiting one keeps its place in line and takes the newer
// stamp. What waits thus grows with the number of distinct values, never with the number of
// pushes. Values are compared with `<`. Not synchronised: its owner provides that.
#include <cstddef>
#include <deque>
#include <map>
#include <optional>
#include <utility>
#include <variant>

namespace tallowmere_cli {

template <class T, class Stamp = std::monostate>
class MergingQueue {
 public:
  // True when `value` was queued at the back; false when it joined an equal value still waiting.
  bool push(T value, Stamp stamp = {}) {
    // try_emplace leaves `value` alone when an equal key is there already.
    auto [place, inserted] = waiting_.try_emplace(std::move(value), stamp);
    if (!inserted) {
      place->second = std::move(stamp);
      return false;
    }
    order_.push_back(place);
    return true;
  }

  // The value that first arrived, with the stamp of its latest arrival; none when nothing waits.
  std::optional<std::pair<T, Stamp>> pop() {
    if (order_.empty()) return std::nullopt;
    auto node = waiting_.extract(order_.front());
    order_.pop_front();
    return std::pair<T, Stamp>(std::move(node.key()), std::move(node.mapped()));
  }

  bool empty() const { return order_.empty(); }
  std::size_t size() const { return order_.size(); }
  void clear() {
    order_.clear();
    waiting_.clear();
  }

 private:
  using Waiting = std::map<T, Stamp>;
  Waiting waiting_;
  // Map iterators stay valid until their own element is extracted, also across moves of the map.
  std::deque<typename Waiting::iterator> order_;
};

}  // namespace tallowmere_cli

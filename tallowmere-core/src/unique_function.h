#pragma once
// UniqueFunction<R(Args...)>: a callable that owns what it calls and can only be moved, so that
// it may hold move-only state (a descriptor, a unique_ptr) that std::function cannot. It stands in
// for std::move_only_function, which not every standard library the service is built with has.
// The callable lives on the heap; the wrapper itself is one pointer.
#include <concepts>
#include <functional>
#include <memory>
#include <type_traits>
#include <utility>

namespace tallowmere_core {

template <class Signature>
class UniqueFunction;

template <class R, class... Args>
class UniqueFunction<R(Args...)> {
 public:
  UniqueFunction() noexcept = default;
  UniqueFunction(std::nullptr_t) noexcept {}

  // Takes `f` in (moved or copied); a null function pointer gives an empty wrapper. Throws
  // std::bad_alloc when there is no memory for it, and whatever moving `f` throws.
  template <class F>
    requires(!std::same_as<std::remove_cvref_t<F>, UniqueFunction> && std::is_invocable_r_v<R, std::decay_t<F>&, Args...>)
  UniqueFunction(F&& f) {
    if constexpr (std::is_pointer_v<std::decay_t<F>> || std::is_member_pointer_v<std::decay_t<F>>) {
      if (f == nullptr) return;
    }
    callable_ = std::make_unique<Holder<std::decay_t<F>>>(std::forward<F>(f));
  }

  // A moved-from wrapper is empty.
  UniqueFunction(UniqueFunction&&) noexcept = default;
  UniqueFunction& operator=(UniqueFunction&&) noexcept = default;
  UniqueFunction(const UniqueFunction&) = delete;
  UniqueFunction& operator=(const UniqueFunction&) = delete;
  // Destroys what the wrapper held, captured state included.
  UniqueFunction& operator=(std::nullptr_t) noexcept {
    callable_.reset();
    return *this;
  }

  explicit operator bool() const noexcept { return callable_ != nullptr; }

  // Calls what the wrapper holds; an empty one throws std::bad_function_call.
  R operator()(Args... args) {
    if (!callable_) throw std::bad_function_call();
    return callable_->call(std::forward<Args>(args)...);
  }

 private:
  struct Callable {
    virtual ~Callable() = default;
    virtual R call(Args&&... args) = 0;
  };
  template <class F>
  struct Holder final : Callable {
    template <class G>
    explicit Holder(G&& g) : f(std::forward<G>(g)) {}
    R call(Args&&... args) override {
      if constexpr (std::is_void_v<R>) {
        std::invoke(f, std::forward<Args>(args)...);
      } else {
        return std::invoke(f, std::forward<Args>(args)...);
      }
    }
    F f;
  };

  std::unique_ptr<Callable> callable_;
};

}  // namespace tallowmere_core

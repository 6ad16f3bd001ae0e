#pragma once
// An optional value kept on the heap: one pointer wide whether present or not. For a record's
// rarely present members, whose inline std::optional would make every record larger (and every
// read of many records touch more fresh memory) for values almost none of them hold. It reads
// like std::optional: test it, dereference it, assign a value, nullopt or a std::optional.
#include <compare>
#include <memory>
#include <optional>
#include <utility>

namespace tallowmere_core {

template <class T>
class BoxedOptional {
 public:
  using value_type = T;

  BoxedOptional() noexcept = default;
  BoxedOptional(std::nullopt_t) noexcept {}
  BoxedOptional(const T& value) : value_(std::make_unique<T>(value)) {}
  BoxedOptional(T&& value) : value_(std::make_unique<T>(std::move(value))) {}
  BoxedOptional(const std::optional<T>& value) {
    if (value) value_ = std::make_unique<T>(*value);
  }
  BoxedOptional(std::optional<T>&& value) {
    if (value) value_ = std::make_unique<T>(std::move(*value));
  }
  BoxedOptional(const BoxedOptional& other) {
    if (other.value_) value_ = std::make_unique<T>(*other.value_);
  }
  BoxedOptional(BoxedOptional&&) noexcept = default;

  BoxedOptional& operator=(const BoxedOptional& other) {
    if (this != &other) assign_from(other.value_.get());
    return *this;
  }
  BoxedOptional& operator=(BoxedOptional&&) noexcept = default;
  BoxedOptional& operator=(std::nullopt_t) noexcept {
    value_.reset();
    return *this;
  }
  BoxedOptional& operator=(const T& value) {
    assign_from(&value);
    return *this;
  }
  BoxedOptional& operator=(T&& value) {
    if (value_) *value_ = std::move(value);
    else value_ = std::make_unique<T>(std::move(value));
    return *this;
  }
  BoxedOptional& operator=(const std::optional<T>& value) {
    assign_from(value ? &*value : nullptr);
    return *this;
  }
  BoxedOptional& operator=(std::optional<T>&& value) {
    if (value) *this = std::move(*value);
    else value_.reset();
    return *this;
  }

  template <class... Args>
  T& emplace(Args&&... args) {
    value_ = std::make_unique<T>(std::forward<Args>(args)...);
    return *value_;
  }
  void reset() noexcept { value_.reset(); }

  bool has_value() const noexcept { return value_ != nullptr; }
  explicit operator bool() const noexcept { return has_value(); }

  T& operator*() & { return *value_; }
  const T& operator*() const& { return *value_; }
  T&& operator*() && { return std::move(*value_); }
  T* operator->() { return value_.get(); }
  const T* operator->() const { return value_.get(); }

  T& value() & { return checked(); }
  const T& value() const& {
    if (!value_) throw std::bad_optional_access();
    return *value_;
  }
  T&& value() && { return std::move(checked()); }
  template <class U>
  T value_or(U&& fallback) const {
    return value_ ? *value_ : static_cast<T>(std::forward<U>(fallback));
  }

  // A plain std::optional holding a copy, for code that wants one.
  std::optional<T> to_optional() const { return value_ ? std::optional<T>(*value_) : std::nullopt; }

  friend bool operator==(const BoxedOptional& value, std::nullopt_t) noexcept { return !value; }
  friend bool operator==(const BoxedOptional& a, const BoxedOptional& b)
    requires requires(const T& x) { x == x; }
  {
    if (a.has_value() != b.has_value()) return false;
    return !a.has_value() || *a == *b;
  }
  friend bool operator==(const BoxedOptional& a, const T& b)
    requires requires(const T& x) { x == x; }
  {
    return a.has_value() && *a == b;
  }

 private:
  T& checked() {
    if (!value_) throw std::bad_optional_access();
    return *value_;
  }
  void assign_from(const T* value) {
    if (!value) value_.reset();
    else if (value_) *value_ = *value;
    else value_ = std::make_unique<T>(*value);
  }

  std::unique_ptr<T> value_;
};

}  // namespace tallowmere_core

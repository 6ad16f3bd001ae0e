#pragma once
// ErrorChain: an outer context message over its causes, outermost first. Every fallible step
// above the core wraps what failed beneath it in a short message of its own.
#include <expected>
#include <string>
#include <vector>

#include "error.h"

namespace tallowmere_cli {

class ErrorChain {
 public:
  explicit ErrorChain(std::string message) : messages_{std::move(message)} {}
  // A CoreError becomes its message followed by its cause's text, when it has one.
  ErrorChain(const tallowmere_core::CoreError& error);  // NOLINT: implicit by design

  // Puts `message` on top of this chain.
  ErrorChain context(std::string message) &&;
  ErrorChain context(std::string message) const&;

  const std::vector<std::string>& messages() const { return messages_; }
  const std::string& outermost() const { return messages_.front(); }

  // The messages joined by ": ", as console lines show a chain.
  std::string one_line() const;
  // The outermost message, then (with causes) a blank line, "Caused by:" and one line per cause;
  // no trailing newline. This is what follows "Error: " when a command fails.
  std::string report() const;

 private:
  std::vector<std::string> messages_;
};

template <class T>
using Result = std::expected<T, ErrorChain>;
using Status = std::expected<void, ErrorChain>;

// What the exception being handled says: what() for a std::exception, "unknown exception" for
// anything else. For the thread boundaries, where nothing may escape; call it only in a handler.
std::string current_exception_text() noexcept;

// An operating-system error (errno) under a context message.
ErrorChain os_error(std::string context, int error_number);

}  // namespace tallowmere_cli

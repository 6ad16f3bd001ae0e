#include "error_chain.h"

#include <exception>

#include <fmt/format.h>

#include "text.h"

namespace tallowmere_cli {

ErrorChain::ErrorChain(const tallowmere_core::CoreError& error) : messages_{error.message()} {
  if (auto source = error.source()) messages_.push_back(std::move(*source));
}

ErrorChain ErrorChain::context(std::string message) && {
  messages_.insert(messages_.begin(), std::move(message));
  return std::move(*this);
}

ErrorChain ErrorChain::context(std::string message) const& {
  ErrorChain copy = *this;
  return std::move(copy).context(std::move(message));
}

std::string ErrorChain::one_line() const {
  std::string out;
  for (std::size_t i = 0; i < messages_.size(); ++i) {
    if (i) out += ": ";
    // A message may quote what a file or a client held; the chain stays one line.
    out += tallowmere_core::text::escape_control(messages_[i]);
  }
  return out;
}

namespace {
// Continuation lines of a multi-line message line up under its first character.
std::string indent_continuations(const std::string& message, std::size_t width) {
  std::string out;
  for (char c : message) {
    out += c;
    if (c == '\n') out.append(width, ' ');
  }
  return out;
}
}  // namespace

std::string ErrorChain::report() const {
  std::string out = messages_.front();
  if (messages_.size() == 1) return out;
  out += "\n\nCaused by:";
  const bool numbered = messages_.size() > 2;
  for (std::size_t i = 1; i < messages_.size(); ++i) {
    if (numbered) {
      out += fmt::format("\n{:>5}: {}", i - 1, indent_continuations(messages_[i], 7));
    } else {
      out += "\n    " + indent_continuations(messages_[i], 4);
    }
  }
  return out;
}

ErrorChain os_error(std::string context, int error_number) {
  return ErrorChain(tallowmere_core::os_error_text(error_number)).context(std::move(context));
}

std::string current_exception_text() noexcept {
  try {
    throw;
  } catch (const std::exception& error) {
    return error.what();
  } catch (...) {
    return "unknown exception";
  }
}

}  // namespace tallowmere_cli

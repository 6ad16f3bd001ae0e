#pragma once
// CoreError: the one error type of the core. Each variant carries the fields its message needs;
// message() renders the fixed one-line template, source() the underlying cause where there is one.
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <variant>

namespace tallowmere_core {

// An I/O failure's own text: an operating-system error (errno) or a message raised while
// reading text ("stream did not contain valid UTF-8").
struct IoSource {
  std::optional<int> os_error;
  std::string message;  // used when os_error is empty

  static IoSource from_errno(int error_number);
  static IoSource from_message(std::string message);
  std::string to_string() const;
};

// "{description} (os error N)", the form every operating-system error takes in a message.
std::string os_error_text(int error_number);

// The JSON library's error: its description and, when it has one, its position (line 0 = none).
struct JsonError {
  std::string description;
  std::uint64_t line = 0;
  std::uint64_t column = 0;
  std::string to_string() const;
  bool operator==(const JsonError&) const = default;
};

// Rust's Debug notation for a duration: 10.005s, 10s, 250ms, 1.5µs, 12ns.
std::string format_duration(std::chrono::nanoseconds duration);

namespace core_error {
struct Io { std::filesystem::path path; IoSource source; };
struct Serialize { JsonError error; };
struct MalformedLedgerLine { std::filesystem::path path; std::uint64_t line; std::string message; };
struct MalformedManifest { std::filesystem::path path; std::string message; };
struct MalformedConfig { std::filesystem::path path; std::string message; };
struct MalformedBundle { std::filesystem::path path; std::string message; };
struct MalformedRegistry { std::filesystem::path path; std::string message; };
struct InvalidBase64 { std::string context; std::string message; };
struct InvalidKeyMaterial { std::string context; std::string message; };
struct InvalidSignature { std::string text; };
struct AlreadyInitialized { std::filesystem::path path; };
struct NotInitialized { std::filesystem::path path; };
struct UnknownContributor { std::string contributor_id; };
struct LockTimeout { std::filesystem::path path; std::chrono::nanoseconds waited; };
}  // namespace core_error

class CoreError {
 public:
  using Variant = std::variant<core_error::Io, core_error::Serialize, core_error::MalformedLedgerLine,
                               core_error::MalformedManifest, core_error::MalformedConfig,
                               core_error::MalformedBundle, core_error::MalformedRegistry,
                               core_error::InvalidBase64, core_error::InvalidKeyMaterial,
                               core_error::InvalidSignature, core_error::AlreadyInitialized,
                               core_error::NotInitialized, core_error::UnknownContributor,
                               core_error::LockTimeout>;

  template <class V>
    requires std::is_constructible_v<Variant, V&&>
  CoreError(V&& value) : value_(std::forward<V>(value)) {}  // NOLINT: implicit by design

  // Shorthands for the two variants raised everywhere.
  static CoreError io(std::filesystem::path path, int error_number);
  static CoreError io(std::filesystem::path path, IoSource source);

  const Variant& value() const { return value_; }
  template <class V> bool is() const { return std::holds_alternative<V>(value_); }
  template <class V> const V* get() const { return std::get_if<V>(&value_); }

  std::string message() const;
  // The cause's text: the I/O error of Io, the JSON error of Serialize; none for the others.
  std::optional<std::string> source() const;
  // The variant name and its fields; for developers only, never shown in a console line.
  std::string debug() const;

 private:
  Variant value_;
};

}  // namespace tallowmere_core

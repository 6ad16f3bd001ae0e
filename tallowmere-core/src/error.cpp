#include "error.h"

#include <cstring>
#include <fmt/format.h>

#include "posix.h"
#include "text.h"

namespace tallowmere_core {

IoSource IoSource::from_errno(int error_number) { return IoSource{error_number, {}}; }
IoSource IoSource::from_message(std::string message) { return IoSource{std::nullopt, std::move(message)}; }
std::string IoSource::to_string() const { return os_error ? os_error_text(*os_error) : message; }

std::string os_error_text(int error_number) {
  return fmt::format("{} (os error {})", posix::error_description(error_number), error_number);
}

std::string JsonError::to_string() const {
  if (line == 0) return description;
  return fmt::format("{} at line {} column {}", description, line, column);
}

std::string format_duration(std::chrono::nanoseconds duration) {
  const std::uint64_t total = duration.count() < 0 ? 0 : static_cast<std::uint64_t>(duration.count());
  std::uint64_t integer, fraction, fraction_digits;
  const char* unit;
  if (total >= 1'000'000'000) {
    integer = total / 1'000'000'000, fraction = total % 1'000'000'000, fraction_digits = 9, unit = "s";
  } else if (total >= 1'000'000) {
    integer = total / 1'000'000, fraction = total % 1'000'000, fraction_digits = 6, unit = "ms";
  } else if (total >= 1'000) {
    integer = total / 1'000, fraction = total % 1'000, fraction_digits = 3, unit = "µs";
  } else {
    return fmt::format("{}ns", total);
  }
  if (fraction == 0) return fmt::format("{}{}", integer, unit);
  std::string digits = fmt::format("{:0{}}", fraction, fraction_digits);
  while (!digits.empty() && digits.back() == '0') digits.pop_back();
  return fmt::format("{}.{}{}", integer, digits, unit);
}

CoreError CoreError::io(std::filesystem::path path, int error_number) {
  return core_error::Io{std::move(path), IoSource::from_errno(error_number)};
}
CoreError CoreError::io(std::filesystem::path path, IoSource source) {
  return core_error::Io{std::move(path), std::move(source)};
}

namespace {
template <class... F> struct Overloaded : F... { using F::operator()...; };
using text::display;
}  // namespace

std::string CoreError::message() const {
  using namespace core_error;
  return std::visit(
      Overloaded{
          [](const Io& e) { return fmt::format("I/O error at {}: {}", display(e.path), e.source.to_string()); },
          [](const Serialize& e) { return fmt::format("failed to serialize JSON: {}", e.error.to_string()); },
          [](const MalformedLedgerLine& e) {
            return fmt::format("failed to parse JSON at {} line {}: {}", display(e.path), e.line, e.message);
          },
          [](const MalformedManifest& e) {
            return fmt::format("failed to parse manifest at {}: {}", display(e.path), e.message);
          },
          [](const MalformedConfig& e) {
            return fmt::format("failed to parse config at {}: {}", display(e.path), e.message);
          },
          [](const MalformedBundle& e) {
            return fmt::format("failed to parse tallowmere export bundle at {}: {}", display(e.path), e.message);
          },
          [](const MalformedRegistry& e) {
            return fmt::format("failed to parse project registry at {}: {}", display(e.path), e.message);
          },
          [](const InvalidBase64& e) { return fmt::format("invalid base64 in {}: {}", e.context, e.message); },
          [](const InvalidKeyMaterial& e) {
            return fmt::format("invalid Ed25519 key material in {}: {}", e.context, e.message);
          },
          [](const InvalidSignature& e) { return fmt::format("invalid Ed25519 signature: {}", e.text); },
          [](const AlreadyInitialized& e) { return fmt::format("project already initialized at {}", display(e.path)); },
          [](const NotInitialized& e) {
            return fmt::format("project not initialized at {} (run `tallowmere init` first)", display(e.path));
          },
          [](const UnknownContributor& e) {
            return fmt::format("unknown contributor_id {} referenced by ledger entry", e.contributor_id);
          },
          [](const LockTimeout& e) {
            return fmt::format(
                "timed out after {} waiting for the ledger lock at {} (another tallowmere process may be "
                "checkpointing this project)",
                format_duration(e.waited), display(e.path));
          },
      },
      value_);
}

std::optional<std::string> CoreError::source() const {
  if (const auto* e = get<core_error::Io>()) return e->source.to_string();
  if (const auto* e = get<core_error::Serialize>()) return e->error.to_string();
  return std::nullopt;
}

std::string CoreError::debug() const {
  using namespace core_error;
  const auto q = [](const std::filesystem::path& p) { return fmt::format("{:?}", text::lossy_utf8(p.native())); };
  return std::visit(
      Overloaded{
          [&](const Io& e) {
            return fmt::format("Io {{ path: {}, source: {:?} }}", q(e.path), e.source.to_string());
          },
          [](const Serialize& e) { return fmt::format("Serialize({:?})", e.error.to_string()); },
          [&](const MalformedLedgerLine& e) {
            return fmt::format("MalformedLedgerLine {{ path: {}, line: {}, message: {:?} }}", q(e.path), e.line,
                               e.message);
          },
          [&](const MalformedManifest& e) {
            return fmt::format("MalformedManifest {{ path: {}, message: {:?} }}", q(e.path), e.message);
          },
          [&](const MalformedConfig& e) {
            return fmt::format("MalformedConfig {{ path: {}, message: {:?} }}", q(e.path), e.message);
          },
          [&](const MalformedBundle& e) {
            return fmt::format("MalformedBundle {{ path: {}, message: {:?} }}", q(e.path), e.message);
          },
          [&](const MalformedRegistry& e) {
            return fmt::format("MalformedRegistry {{ path: {}, message: {:?} }}", q(e.path), e.message);
          },
          [](const InvalidBase64& e) {
            return fmt::format("InvalidBase64 {{ context: {:?}, message: {:?} }}", e.context, e.message);
          },
          [](const InvalidKeyMaterial& e) {
            return fmt::format("InvalidKeyMaterial {{ context: {:?}, message: {:?} }}", e.context, e.message);
          },
          [](const InvalidSignature& e) { return fmt::format("InvalidSignature({:?})", e.text); },
          [&](const AlreadyInitialized& e) { return fmt::format("AlreadyInitialized({})", q(e.path)); },
          [&](const NotInitialized& e) { return fmt::format("NotInitialized({})", q(e.path)); },
          [](const UnknownContributor& e) { return fmt::format("UnknownContributor({:?})", e.contributor_id); },
          [&](const LockTimeout& e) {
            return fmt::format("LockTimeout {{ path: {}, waited: {} }}", q(e.path), format_duration(e.waited));
          },
      },
      value_);
}

}  // namespace tallowmere_core

#include "error.h"

#include <cerrno>
#include <chrono>
#include <string>

#include <gtest/gtest.h>

namespace tallowmere_core {
namespace {

using namespace std::chrono_literals;
using namespace core_error;

const JsonError kJsonError{"key must be a string", 1, 2};

TEST(CoreError, EveryVariantHasItsMessage) {
  struct Case {
    CoreError error;
    std::string message;
  };
  const Case cases[] = {
      {CoreError::io("/p/song.rpp", ENOENT), "I/O error at /p/song.rpp: No such file or directory (os error 2)"},
      {CoreError::io("/p/ledger.jsonl", IoSource::from_message("stream did not contain valid UTF-8")),
       "I/O error at /p/ledger.jsonl: stream did not contain valid UTF-8"},
      {Serialize{kJsonError}, "failed to serialize JSON: key must be a string at line 1 column 2"},
      {Serialize{JsonError{"invalid UTF-8 byte", 0, 0}}, "failed to serialize JSON: invalid UTF-8 byte"},
      {MalformedLedgerLine{"/p/ledger.jsonl", 3, "trailing characters at line 1 column 9"},
       "failed to parse JSON at /p/ledger.jsonl line 3: trailing characters at line 1 column 9"},
      {MalformedManifest{"/p/manifest.json", "missing field `work_id` at line 4 column 1"},
       "failed to parse manifest at /p/manifest.json: missing field `work_id` at line 4 column 1"},
      {MalformedConfig{"/p/config.json", "m"}, "failed to parse config at /p/config.json: m"},
      {MalformedBundle{"/p/x.bundle", "m"}, "failed to parse tallowmere export bundle at /p/x.bundle: m"},
      {MalformedRegistry{"/h/registry.json", "m"}, "failed to parse project registry at /h/registry.json: m"},
      {InvalidBase64{"private key", "invalid symbol '-' at offset 4"},
       "invalid base64 in private key: invalid symbol '-' at offset 4"},
      {InvalidKeyMaterial{"private key", "expected 32 bytes, got 31"},
       "invalid Ed25519 key material in private key: expected 32 bytes, got 31"},
      {InvalidSignature{"bad length"}, "invalid Ed25519 signature: bad length"},
      {AlreadyInitialized{"/music/song"}, "project already initialized at /music/song"},
      {NotInitialized{"/music/song"}, "project not initialized at /music/song (run `tallowmere init` first)"},
      {UnknownContributor{"alice"}, "unknown contributor_id alice referenced by ledger entry"},
      {LockTimeout{"/p/ledger.jsonl.lock", 10'000'213us},
       "timed out after 10.000213s waiting for the ledger lock at /p/ledger.jsonl.lock (another tallowmere "
       "process may be checkpointing this project)"},
      // Paths are shown with bytes that are not UTF-8 replaced, one U+FFFD per maximal bad part.
      {NotInitialized{"/m/\xFF" "a\xC0\xAF" "b\xF0\x9F\x98"},
       "project not initialized at /m/\xEF\xBF\xBD" "a\xEF\xBF\xBD\xEF\xBF\xBD" "b\xEF\xBF\xBD (run `tallowmere init` first)"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.error.message(), c.message) << c.error.debug();
}

TEST(CoreError, OnlyIoAndSerializeHaveACause) {
  EXPECT_EQ(CoreError::io("/p/a", ENOENT).source(), "No such file or directory (os error 2)");
  EXPECT_EQ(CoreError(Serialize{kJsonError}).source(), "key must be a string at line 1 column 2");
  const CoreError without_cause[] = {
      MalformedLedgerLine{"/p", 1, "m"}, MalformedManifest{"/p", "m"}, MalformedConfig{"/p", "m"},
      MalformedBundle{"/p", "m"},        MalformedRegistry{"/p", "m"}, InvalidBase64{"c", "m"},
      InvalidKeyMaterial{"c", "m"},      InvalidSignature{"t"},        AlreadyInitialized{"/p"},
      NotInitialized{"/p"},              UnknownContributor{"id"},     LockTimeout{"/p", 10s},
  };
  for (const auto& error : without_cause) EXPECT_EQ(error.source(), std::nullopt) << error.message();
}

TEST(CoreError, DebugFormNamesTheVariantAndItsFields) {
  EXPECT_EQ(CoreError(MalformedLedgerLine{"/p/l", 3, "m"}).debug(),
            R"(MalformedLedgerLine { path: "/p/l", line: 3, message: "m" })");
  EXPECT_EQ(CoreError(LockTimeout{"/p/l.lock", 250ms}).debug(), R"(LockTimeout { path: "/p/l.lock", waited: 250ms })");
  EXPECT_EQ(CoreError(UnknownContributor{"alice"}).debug(), R"(UnknownContributor("alice"))");
}

TEST(Duration, ShortNotation) {
  struct Case {
    std::chrono::nanoseconds waited;
    const char* text;
  };
  const Case cases[] = {
      {10'005ms, "10.005s"}, {10s, "10s"},       {10'000'213us, "10.000213s"}, {1'000'000'001ns, "1.000000001s"},
      {250ms, "250ms"},      {1'500us, "1.5ms"}, {1'500ns, "1.5µs"},         {999'999ns, "999.999µs"},
      {1us, "1µs"},          {12ns, "12ns"},     {0ns, "0ns"},                {3'600s, "3600s"},
  };
  for (const auto& c : cases) EXPECT_EQ(format_duration(c.waited), c.text) << c.waited.count();
}

TEST(OsError, IsTheDescriptionWithItsNumber) {
  EXPECT_EQ(os_error_text(ENOENT), "No such file or directory (os error 2)");
  EXPECT_EQ(os_error_text(EACCES), "Permission denied (os error 13)");
  EXPECT_EQ(os_error_text(EWOULDBLOCK), "Resource temporarily unavailable (os error 11)");
}

}  // namespace
}  // namespace tallowmere_core

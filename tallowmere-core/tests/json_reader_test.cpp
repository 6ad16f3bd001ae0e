#include "json/reader.h"

#include <optional>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "json/document.h"
#include "model.h"

// The expected texts below are what a strict serde_json-based reader prints for the same bytes,
// positions included.
namespace tallowmere_core::json {
namespace {

using namespace std::string_literals;

constexpr std::string_view kReference =
    R"({"ref_id":"r","content_type":"daw_session","sha256_hash":"x","perceptual_fingerprint":null,"byte_size":1,)"
    R"("storage":{"location":"local_only","local_path":"a.rpp","encrypted":false}})";

using Replacements = std::vector<std::pair<std::string, std::optional<std::string>>>;
using Additions = std::vector<std::pair<std::string, std::string>>;

// A valid ledger line, members in declaration order, with some values replaced (std::nullopt
// removes the member) and extra members added at the end.
std::string entry_line(const Replacements& replaced = {}, const Additions& added = {}) {
  const std::vector<std::pair<std::string, std::string>> members = {
      {"entry_id", R"("e1")"},
      {"contributor_id", R"("c1")"},
      {"causal_position", "0"},
      {"parent_entry_hashes", "[]"},
      {"timestamp_local", R"("t")"},
      {"timestamp_trusted", "null"},
      {"event_type", R"("session_save")"},
      {"daw_context", R"({"daw_name":null,"os":"macos"})"},
      {"content_refs", "[" + std::string(kReference) + "]"},
      {"notes", "null"},
      {"entry_hash", R"("h")"},
      {"signature", R"("s")"},
      {"key_rotation", "null"},
      {"identity_recovery", "null"},
  };
  std::string line = "{";
  const auto append = [&](std::string_view key, std::string_view value) {
    if (line.size() > 1) line += ',';
    line += '"';
    line += key;
    line += "\":";
    line += value;
  };
  for (const auto& [key, value] : members) {
    std::optional<std::string> chosen = value;
    for (const auto& [replaced_key, replacement] : replaced)
      if (replaced_key == key) chosen = replacement;
    if (chosen) append(key, *chosen);
  }
  for (const auto& [key, value] : added) append(key, value);
  return line + "}";
}

// The valid line without its closing brace, for inputs that end inside it.
std::string open_line() {
  std::string line = entry_line();
  line.pop_back();
  return line;
}

std::string replaced_once(std::string text, std::string_view from, std::string_view to) {
  const auto at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

// The valid line whose one content reference has `from` replaced by `to`.
std::string reference_line(std::string_view from, std::string_view to) {
  return entry_line({{"content_refs", "[" + replaced_once(std::string(kReference), from, to) + "]"}});
}

std::string repeat(std::string_view unit, std::size_t times) {
  std::string out;
  out.reserve(unit.size() * times);
  for (std::size_t i = 0; i < times; ++i) out += unit;
  return out;
}

constexpr std::string_view kConfigText = R"({
  "checkpoint_policy": {
    "mode": "hybrid",
    "event_triggers": [
      "session_save"
    ],
    "collapse_window_minutes": 5
  },
  "retention_policy": {
    "store_blobs": false,
    "purge_blobs_older_than_days": null,
    "always_keep_latest_versions": null,
    "storage_milestones_gb": [
      10,
      20
    ],
    "last_notified_milestone_gb": null
  }
})";

constexpr std::string_view kManifestText = R"({
  "schema_version": "1",
  "work_id": "w",
  "title": null,
  "created_at": "2024-01-01T00:00:00+00:00",
  "contributors": [
    {
      "contributor_id": "alice",
      "display_name": "Alice",
      "public_key": "pk",
      "key_created_at": "k",
      "device_label": null,
      "key_backed_up_at": null
    }
  ],
  "current_head_hash": null,
  "current_sequence": 3
})";

std::string config_with(std::string_view from, std::string_view to) {
  return replaced_once(std::string(kConfigText), from, to);
}
std::string manifest_with(std::string_view from, std::string_view to) {
  return replaced_once(std::string(kManifestText), from, to);
}

template <class T>
std::string outcome(std::string_view text) {
  auto read = read_document<T>(text);
  if (read) return "accepted";
  return read.error().to_string();
}

struct Rejection {
  const char* name;
  std::string input;
  std::string message;
};

void PrintTo(const Rejection& rejection, std::ostream* out) { *out << rejection.name; }

std::string case_name(const testing::TestParamInfo<Rejection>& info) { return info.param.name; }

// --- ledger lines --------------------------------------------------------------------------------

std::vector<Rejection> entry_rejections() {
  return {
      {"EmptyInput", R"()"s,
       R"(EOF while parsing a value at line 1 column 0)"},
      {"OnlyWhiteSpace", " \t\r\n"s,
       R"(EOF while parsing a value at line 2 column 0)"},
      {"StringDocument", R"("x")"s,
       R"(invalid type: string "x", expected struct LedgerEntry at line 1 column 3)"},
      {"NumberDocument", R"(12)"s,
       R"(invalid type: integer `12`, expected struct LedgerEntry at line 1 column 2)"},
      {"NullDocument", R"(null)"s,
       R"(invalid type: null, expected struct LedgerEntry at line 1 column 4)"},
      {"BooleanDocument", R"(true)"s,
       R"(invalid type: boolean `true`, expected struct LedgerEntry at line 1 column 4)"},
      {"EmptyArray", R"([])"s,
       R"(invalid length 0, expected struct LedgerEntry with 14 elements at line 1 column 2)"},
      {"ShortArray", R"(["e1","c1"])"s,
       R"(invalid length 2, expected struct LedgerEntry with 14 elements at line 1 column 11)"},
      {"FifteenElements", R"(["e1","c1",0,[],"t",null,"session_save",null,[],null,"h","s",null,null,null])"s,
       R"(trailing characters at line 1 column 72)"},
      {"ArrayTrailingComma", R"(["e1","c1",0,[],"t",null,"session_save",null,[],null,"h","s",null,null,])"s,
       R"(trailing comma at line 1 column 72)"},
      {"ArrayUnclosed", R"(["e1","c1",0,[],"t",null,"session_save",null,[],null,"h","s",null,null)"s,
       R"(EOF while parsing a list at line 1 column 70)"},
      {"TextAfterObject", entry_line() + R"( x)",
       R"(trailing characters at line 1 column 495)"},
      {"SecondObject", entry_line() + R"({})",
       R"(trailing characters at line 1 column 494)"},
      {"ByteOrderMark", "\xef\xbb\xbf"s + entry_line(),
       R"(expected value at line 1 column 1)"},
      {"VerticalTabAfter", entry_line() + "\x0b",
       R"(trailing characters at line 1 column 494)"},
      {"WhiteSpaceAround", " \t\r\n"s + entry_line() + "x",
       R"(trailing characters at line 2 column 494)"},
      {"UnclosedObject", R"({)"s,
       R"(EOF while parsing an object at line 1 column 1)"},
      {"KeyOnly", R"({"entry_id")"s,
       R"(EOF while parsing an object at line 1 column 11)"},
      {"KeyAndColon", R"({"entry_id":)"s,
       R"(EOF while parsing a value at line 1 column 12)"},
      {"MemberUnclosed", R"({"entry_id":"e1")"s,
       R"(EOF while parsing an object at line 1 column 16)"},
      {"CommaThenEnd", R"({"entry_id":"e1",)"s,
       R"(EOF while parsing a value at line 1 column 17)"},
      {"TrailingComma", R"({"entry_id":"e1",})"s,
       R"(trailing comma at line 1 column 18)"},
      {"MissingColon", R"({"entry_id" "e1"})"s,
       R"(expected `:` at line 1 column 13)"},
      {"MissingComma", R"({"entry_id":"e1" "contributor_id":"c1"})"s,
       R"(expected `,` or `}` at line 1 column 18)"},
      {"LeadingComma", R"({,"entry_id":"e1"})"s,
       R"(key must be a string at line 1 column 2)"},
      {"NumberKey", R"({1:"e1"})"s,
       R"(key must be a string at line 1 column 2)"},
      {"UnterminatedString", R"({"entry_id":"e1)"s,
       R"(EOF while parsing a string at line 1 column 15)"},
      {"UnterminatedEscape", R"({"entry_id":"e1\)"s,
       R"(EOF while parsing a string at line 1 column 16)"},
      {"BareWord", R"({"entry_id":x})"s,
       R"(expected value at line 1 column 13)"},
      {"LiteralCutShort", R"({"notes":nu)"s,
       R"(EOF while parsing a value at line 1 column 11)"},
      {"MissingEntryIdAndSignature", entry_line({{"entry_id", std::nullopt}, {"signature", std::nullopt}}),
       R"(missing field `entry_id` at line 1 column 461)"},
      {"MissingSignature", entry_line({{"signature", std::nullopt}}),
       R"(missing field `signature` at line 1 column 477)"},
      {"MissingEventTypeAndEntryHash", entry_line({{"event_type", std::nullopt}, {"entry_hash", std::nullopt}}),
       R"(missing field `event_type` at line 1 column 448)"},
      {"DuplicateNotesFirstNull", entry_line({}, {{"notes", R"("x")"}}),
       R"(duplicate field `notes` at line 1 column 500)"},
      {"DuplicateKeyWrittenWithEscape", entry_line({}, {{R"(entry\u005fid)", R"("e2")"}}),
       R"(duplicate field `entry_id` at line 1 column 508)"},
      {"DuplicateBeforeBadValue", entry_line({}, {{"notes", R"(@)"}}),
       R"(duplicate field `notes` at line 1 column 500)"},
      {"PositionAboveU64", entry_line({{"causal_position", R"(18446744073709551616)"}}),
       R"(invalid type: floating point `18446744073709552000`, expected u64 at line 1 column 77)"},
      {"PositionNegative", entry_line({{"causal_position", R"(-1)"}}),
       R"(invalid value: integer `-1`, expected u64 at line 1 column 59)"},
      {"PositionNegativeZero", entry_line({{"causal_position", R"(-0)"}}),
       R"(invalid type: floating point `-0`, expected u64 at line 1 column 59)"},
      {"PositionFraction", entry_line({{"causal_position", R"(3.0)"}}),
       R"(invalid type: floating point `3`, expected u64 at line 1 column 60)"},
      {"PositionExponent", entry_line({{"causal_position", R"(1e2)"}}),
       R"(invalid type: floating point `100`, expected u64 at line 1 column 60)"},
      {"PositionString", entry_line({{"causal_position", R"("5")"}}),
       R"(invalid type: string "5", expected u64 at line 1 column 60)"},
      {"PositionNull", entry_line({{"causal_position", R"(null)"}}),
       R"(invalid type: null, expected u64 at line 1 column 61)"},
      {"PositionLeadingZero", entry_line({{"causal_position", R"(01)"}}),
       R"(invalid number at line 1 column 59)"},
      {"PositionPlusSign", entry_line({{"causal_position", R"(+1)"}}),
       R"(expected value at line 1 column 58)"},
      {"PositionOutOfRange", entry_line({{"causal_position", R"(1e400)"}}),
       R"(number out of range at line 1 column 62)"},
      {"PositionCutFraction", entry_line({{"causal_position", R"(1.)"}}),
       R"(invalid number at line 1 column 60)"},
      {"PositionCutExponent", entry_line({{"causal_position", R"(1e)"}}),
       R"(invalid number at line 1 column 60)"},
      {"PositionMinusOnly", entry_line({{"causal_position", R"(-)"}}),
       R"(invalid number at line 1 column 59)"},
      {"TextAsNumber", entry_line({{"entry_id", R"(5)"}}),
       R"(invalid type: integer `5`, expected a string at line 1 column 13)"},
      {"TextAsNull", entry_line({{"entry_id", R"(null)"}}),
       R"(invalid type: null, expected a string at line 1 column 16)"},
      {"TextAsArray", entry_line({{"entry_id", R"([])"}}),
       R"(invalid type: sequence, expected a string at line 1 column 12)"},
      {"TextAsObject", entry_line({{"contributor_id", R"({})"}}),
       R"(invalid type: map, expected a string at line 1 column 34)"},
      {"TextAsBoolean", entry_line({{"signature", R"(false)"}}),
       R"(invalid type: boolean `false`, expected a string at line 1 column 449)"},
      {"InvalidEscape", entry_line({{"notes", R"("a\qb")"}}),
       R"(invalid escape at line 1 column 414)"},
      {"ShortUnicodeEscape", entry_line({{"notes", R"("\u12g4")"}}),
       R"(invalid escape at line 1 column 416)"},
      {"UnicodeEscapeAtEnd", R"({"notes":"\u12)"s,
       R"(EOF while parsing a string at line 1 column 14)"},
      {"LoneHighSurrogate", entry_line({{"notes", R"("\ud83d")"}}),
       R"(unexpected end of hex escape at line 1 column 418)"},
      {"LoneLowSurrogate", entry_line({{"notes", R"("\ude00")"}}),
       R"(lone leading surrogate in hex escape at line 1 column 417)"},
      {"HighSurrogateThenOtherEscape", entry_line({{"notes", R"("\ud83d\u0041")"}}),
       R"(lone leading surrogate in hex escape at line 1 column 423)"},
      {"HighSurrogateThenNewline", entry_line({{"notes", R"("\ud83d\n")"}}),
       R"(unexpected end of hex escape at line 1 column 419)"},
      {"RawControlCharacter", entry_line({{"notes", "\"a\x01""b\""}}),
       R"(control character (\u0000-\u001F) found while parsing a string at line 1 column 413)"},
      {"RawTab", entry_line({{"notes", "\"a\tb\""}}),
       R"(control character (\u0000-\u001F) found while parsing a string at line 1 column 413)"},
      {"RawNul", entry_line({{"notes", "\"a\0b\""s}}),
       R"(control character (\u0000-\u001F) found while parsing a string at line 1 column 413)"},
      {"ListAsNull", entry_line({{"parent_entry_hashes", R"(null)"}}),
       R"(invalid type: null, expected a sequence at line 1 column 85)"},
      {"ListAsString", entry_line({{"parent_entry_hashes", R"("h")"}}),
       R"(invalid type: string "h", expected a sequence at line 1 column 84)"},
      {"ListOfNumbers", entry_line({{"parent_entry_hashes", R"([1])"}}),
       R"(invalid type: integer `1`, expected a string at line 1 column 83)"},
      {"ListTrailingComma", entry_line({{"parent_entry_hashes", R"(["a",])"}}),
       R"(trailing comma at line 1 column 87)"},
      {"ListMissingComma", entry_line({{"parent_entry_hashes", R"(["a" "b"])"}}),
       R"(expected `,` or `]` at line 1 column 87)"},
      {"ListLeadingComma", entry_line({{"parent_entry_hashes", R"([,"a"])"}}),
       R"(expected value at line 1 column 83)"},
      {"EventTypeConsoleName", entry_line({{"event_type", R"("SessionSave")"}}),
       R"(unknown variant `SessionSave`, expected one of `session_save`, `bounce_export`, `manual_checkpoint`, `config_change`, `key_rotation`, `identity_recovery` at line 1 column 157)"},
      {"EventTypeWrongCase", entry_line({{"event_type", R"("Session_save")"}}),
       R"(unknown variant `Session_save`, expected one of `session_save`, `bounce_export`, `manual_checkpoint`, `config_change`, `key_rotation`, `identity_recovery` at line 1 column 158)"},
      {"EventTypeObjectWithValue", entry_line({{"event_type", R"({"session_save":1})"}}),
       R"(invalid type: integer `1`, expected unit at line 1 column 161)"},
      {"EventTypeObjectUnknown", entry_line({{"event_type", R"({"nope":null})"}}),
       R"(unknown variant `nope`, expected one of `session_save`, `bounce_export`, `manual_checkpoint`, `config_change`, `key_rotation`, `identity_recovery` at line 1 column 151)"},
      {"EventTypeEmptyObject", entry_line({{"event_type", R"({})"}}),
       R"(expected value at line 1 column 146)"},
      {"EventTypeObjectTwoMembers", entry_line({{"event_type", R"({"session_save":null,"config_change":null})"}}),
       R"(expected value at line 1 column 164)"},
      {"EventTypeObjectMissingColon", entry_line({{"event_type", R"({"session_save" null})"}}),
       R"(expected `:` at line 1 column 161)"},
      {"EventTypeObjectNumberKey", entry_line({{"event_type", R"({1:null})"}}),
       R"(invalid type: integer `1`, expected variant identifier at line 1 column 146)"},
      {"EventTypeNumber", entry_line({{"event_type", R"(1)"}}),
       R"(expected value at line 1 column 145)"},
      {"EventTypeNull", entry_line({{"event_type", R"(null)"}}),
       R"(expected value at line 1 column 145)"},
      {"EventTypeArray", entry_line({{"event_type", R"(["session_save"])"}}),
       R"(expected value at line 1 column 145)"},
      {"DawContextOnlyName", entry_line({{"daw_context", R"({"daw_name":"Reaper"})"}}),
       R"(missing field `os` at line 1 column 194)"},
      {"DawContextString", entry_line({{"daw_context", R"("macos")"}}),
       R"(invalid type: string "macos", expected struct DawContext at line 1 column 180)"},
      {"DawContextShortArray", entry_line({{"daw_context", R"(["macos"])"}}),
       R"(invalid length 1, expected struct DawContext with 2 elements at line 1 column 182)"},
      {"DawContextLongArray", entry_line({{"daw_context", R"([null,"macos",1])"}}),
       R"(trailing characters at line 1 column 188)"},
      {"KeyRotationEmptyArray", entry_line({{"key_rotation", R"([])"}}),
       R"(invalid length 0, expected struct KeyRotation with 1 element at line 1 column 465)"},
      {"KeyRotationEmptyObject", entry_line({{"key_rotation", R"({})"}}),
       R"(missing field `new_contributor_id` at line 1 column 465)"},
      {"IdentityRecoveryNullList", entry_line({{"identity_recovery", R"({"unrecoverable_contributor_ids":null})"}}),
       R"(invalid type: null, expected a sequence at line 1 column 525)"},
      {"TrustedTimestampShortArray", entry_line({{"timestamp_trusted", R"(["m","u","t"])"}}),
       R"(invalid length 3, expected struct TrustedTimestamp with 4 elements at line 1 column 139)"},
      {"ContentRefsNull", entry_line({{"content_refs", R"(null)"}}),
       R"(invalid type: null, expected a sequence at line 1 column 223)"},
      {"ContentRefsObject", entry_line({{"content_refs", R"({})"}}),
       R"(invalid type: map, expected a sequence at line 1 column 219)"},
      {"ReferenceFiveElements", entry_line({{"content_refs", R"([["r","daw_session","x",null,1]])"}}),
       R"(invalid length 5, expected struct ContentReference with 6 elements at line 1 column 250)"},
      {"ReferenceSevenElements", entry_line({{"content_refs", R"([["r","daw_session","x",null,1,["l","p",false],null]])"}}),
       R"(trailing characters at line 1 column 267)"},
      {"ReferenceDuplicateRefId", entry_line({{"content_refs", R"([{"ref_id":"r","ref_id":"s"}])"}}),
       R"(duplicate field `ref_id` at line 1 column 242)"},
      {"ReferenceMissingHashAndStorage", entry_line({{"content_refs", R"([{"ref_id":"r","content_type":"midi","byte_size":1}])"}}),
       R"(missing field `sha256_hash` at line 1 column 270)"},
      {"ContentTypeWrongCase", reference_line(R"("daw_session")", R"("Daw_session")"),
       R"(unknown variant `Daw_session`, expected one of `daw_session`, `audio_bounce`, `midi`, `stem`, `other` at line 1 column 262)"},
      {"ContentTypeObjectUnknown", reference_line(R"("daw_session")", R"({"video":null})"),
       R"(unknown variant `video`, expected one of `daw_session`, `audio_bounce`, `midi`, `stem`, `other` at line 1 column 257)"},
      {"ContentTypeNumber", reference_line(R"("daw_session")", R"(3)"),
       R"(expected value at line 1 column 250)"},
      {"StorageShortArray", reference_line(R"({"location":"local_only","local_path":"a.rpp","encrypted":false})", R"(["local_only","a.rpp"])"),
       R"(invalid length 2, expected struct ContentStorage with 3 elements at line 1 column 357)"},
      {"EncryptedString", reference_line(R"("encrypted":false)", R"("encrypted":"false")"),
       R"(invalid type: string "false", expected a boolean at line 1 column 400)"},
      {"EncryptedNull", reference_line(R"("encrypted":false)", R"("encrypted":null)"),
       R"(invalid type: null, expected a boolean at line 1 column 397)"},
      {"ByteSizeNegative", reference_line(R"("byte_size":1)", R"("byte_size":-1)"),
       R"(invalid value: integer `-1`, expected u64 at line 1 column 325)"},
      {"ByteSizeFraction", reference_line(R"("byte_size":1)", R"("byte_size":1.5)"),
       R"(invalid type: floating point `1.5`, expected u64 at line 1 column 326)"},
      {"ByteSizeExponent", reference_line(R"("byte_size":1)", R"("byte_size":1e2)"),
       R"(invalid type: floating point `100`, expected u64 at line 1 column 326)"},
      {"UnknownArrayTrailingComma", entry_line({}, {{"x", R"([1,2,])"}}),
       R"(expected value at line 1 column 503)"},
      {"UnknownObjectTrailingComma", entry_line({}, {{"x", R"({"a":1,})"}}),
       R"(key must be a string at line 1 column 505)"},
      {"UnknownObjectNumberKey", entry_line({}, {{"x", R"({1:2})"}}),
       R"(key must be a string at line 1 column 499)"},
      {"UnknownBadEscape", entry_line({}, {{"x", R"("\q")"}}),
       R"(invalid escape at line 1 column 500)"},
      {"UnknownLeadingZero", entry_line({}, {{"x", R"(01)"}}),
       R"(invalid number at line 1 column 499)"},
      {"UnknownCutFraction", entry_line({}, {{"x", R"(1.)"}}),
       R"(invalid number at line 1 column 500)"},
      {"UnknownBadLiteral", entry_line({}, {{"x", R"(tru)"}}),
       R"(expected ident at line 1 column 501)"},
      {"UnknownMissingColon", entry_line({}, {{"x", R"({"a" 1})"}}),
       R"(expected `:` at line 1 column 503)"},
      {"UnknownMissingComma", entry_line({}, {{"x", R"([1 2])"}}),
       R"(expected `,` or `]` at line 1 column 501)"},
      {"UnknownRawControl", entry_line({}, {{"x", "\"\x1f\""}}),
       R"(control character (\u0000-\u001F) found while parsing a string at line 1 column 498)"},
      {"UnknownUnclosed", open_line() + R"(,"x":[[1,2])",
       R"(EOF while parsing a list at line 1 column 503)"},
      {"DeepArrayDocument", repeat(R"([)", 100000),
       R"(invalid type: sequence, expected a string at line 1 column 1)"},
      {"DeepObjectDocument", repeat(R"({"x":)", 100000),
       R"(EOF while parsing a value at line 1 column 500000)"},
      {"DeepUnknownUnclosed", open_line() + R"(,"x":)" + repeat(R"([)", 100000),
       R"(EOF while parsing a list at line 1 column 100497)"},
  };
}

class EntryRejection : public testing::TestWithParam<Rejection> {};

TEST_P(EntryRejection, GivesTheMessageWithItsPosition) {
  EXPECT_EQ(outcome<LedgerEntry>(GetParam().input), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(Lines, EntryRejection, testing::ValuesIn(entry_rejections()), case_name);

// --- configuration and manifest: 32-bit fields, defaults and positions on later lines ------------

std::vector<Rejection> config_rejections() {
  return {
      {"CollapseWindowAboveU32", config_with(R"("collapse_window_minutes": 5)", R"("collapse_window_minutes": 4294967296)"),
       R"(invalid value: integer `4294967296`, expected u32 at line 7 column 41)"},
      {"CollapseWindowNegative", config_with(R"("collapse_window_minutes": 5)", R"("collapse_window_minutes": -5)"),
       R"(invalid value: integer `-5`, expected u32 at line 7 column 33)"},
      {"CollapseWindowFraction", config_with(R"("collapse_window_minutes": 5)", R"("collapse_window_minutes": 2.5)"),
       R"(invalid type: floating point `2.5`, expected u32 at line 7 column 34)"},
      {"CollapseWindowString", config_with(R"("collapse_window_minutes": 5)", R"("collapse_window_minutes": "5")"),
       R"(invalid type: string "5", expected u32 at line 7 column 34)"},
      {"StoreBlobsNull", config_with(R"("store_blobs": false)", R"("store_blobs": null)"),
       R"(invalid type: null, expected a boolean at line 10 column 23)"},
      {"StoreBlobsNumber", config_with(R"("store_blobs": false)", R"("store_blobs": 0)"),
       R"(invalid type: integer `0`, expected a boolean at line 10 column 20)"},
      {"MilestoneNegative", config_with("      20\n", "      -20\n"),
       R"(invalid value: integer `-20`, expected u64 at line 15 column 9)"},
      {"MilestoneAboveU64", config_with("      20\n", "      18446744073709551616\n"),
       R"(invalid type: floating point `18446744073709552000`, expected u64 at line 15 column 26)"},
      {"PurgeDaysAboveU32", config_with(R"("purge_blobs_older_than_days": null)", R"("purge_blobs_older_than_days": 4294967296)"),
       R"(invalid value: integer `4294967296`, expected u32 at line 11 column 45)"},
      {"DuplicateMode", config_with(R"("mode": "hybrid",)", "\"mode\": \"hybrid\",\n    \"mode\": \"manual\","),
       R"(duplicate field `mode` at line 4 column 10)"},
      {"EventTriggersMissing", config_with("    \"event_triggers\": [\n      \"session_save\"\n    ],\n", ""),
       R"(missing field `event_triggers` at line 5 column 3)"},
      {"TrailingTextOnNextLine", std::string(kConfigText) + "\nx",
       R"(trailing characters at line 20 column 1)"},
      {"RetentionPolicyNull", R"({"checkpoint_policy":{"mode":"m","event_triggers":[]},"retention_policy":null})"s,
       R"(invalid type: null, expected struct RetentionPolicy at line 1 column 77)"},
      {"VerificationHistoryNull", R"({"checkpoint_policy":{"mode":"m","event_triggers":[]},"verification_history":null})"s,
       R"(invalid type: null, expected struct VerificationHistory at line 1 column 81)"},
      {"EvidencePackBuildsNull", R"({"checkpoint_policy":{"mode":"m","event_triggers":[]},"evidence_pack_builds":null})"s,
       R"(invalid type: null, expected a sequence at line 1 column 81)"},
      {"LastVerifiedOkString", R"({"checkpoint_policy":{"mode":"m","event_triggers":[]},"verification_history":{"last_verified_ok":"yes"}})"s,
       R"(invalid type: string "yes", expected a boolean at line 1 column 102)"},
      {"CheckpointPolicyMissing", R"({"retention_policy":{"store_blobs":false,"storage_milestones_gb":[]}})"s,
       R"(missing field `checkpoint_policy` at line 1 column 69)"},
      {"CheckpointPolicyShortArray", R"({"checkpoint_policy":["hybrid",["session_save"]]})"s,
       R"(invalid length 2, expected struct CheckpointPolicy with 3 elements at line 1 column 48)"},
      {"CheckpointPolicyLongArray", R"({"checkpoint_policy":["hybrid",[],5,6]})"s,
       R"(trailing characters at line 1 column 37)"},
      {"ConfigEmptyArray", R"([])"s,
       R"(invalid length 0, expected struct ProjectConfig with 4 elements at line 1 column 2)"},
      {"ConfigLongArray", R"([["m",[],null],[false,null,null,[],null],[null,null,null],[],1])"s,
       R"(trailing characters at line 1 column 62)"},
      {"RetentionPolicyShortArray", R"({"checkpoint_policy":["m",[],null],"retention_policy":[false,null,null,[]]})"s,
       R"(invalid length 4, expected struct RetentionPolicy with 5 elements at line 1 column 74)"},
  };
}

class ConfigRejection : public testing::TestWithParam<Rejection> {};

TEST_P(ConfigRejection, GivesTheMessageWithItsPosition) {
  EXPECT_EQ(outcome<ProjectConfig>(GetParam().input), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(Files, ConfigRejection, testing::ValuesIn(config_rejections()), case_name);

std::vector<Rejection> manifest_rejections() {
  return {
      {"ContributorFourElements", R"({"schema_version":"1","work_id":"w","title":null,"created_at":"c","contributors":[["alice","Alice","pk","k"]],"current_head_hash":null,"current_sequence":3})"s,
       R"(invalid length 4, expected struct Contributor with 6 elements at line 1 column 108)"},
      {"ContributorSevenElements", R"({"schema_version":"1","work_id":"w","title":null,"created_at":"c","contributors":[["alice","Alice","pk","k",null,null,null]],"current_head_hash":null,"current_sequence":3})"s,
       R"(trailing characters at line 1 column 119)"},
      {"ContributorsNull", R"({"schema_version":"1","work_id":"w","title":null,"created_at":"c","contributors":null,"current_head_hash":null,"current_sequence":3})"s,
       R"(invalid type: null, expected a sequence at line 1 column 85)"},
      {"SequenceNegative", manifest_with(R"("current_sequence": 3)", R"("current_sequence": -1)"),
       R"(invalid value: integer `-1`, expected u64 at line 17 column 24)"},
      {"SequenceMissing", manifest_with(",\n  \"current_sequence\": 3", ""),
       R"(missing field `current_sequence` at line 17 column 1)"},
      {"ContributorMissingDisplayName", manifest_with("      \"display_name\": \"Alice\",\n", ""),
       R"(missing field `display_name` at line 13 column 5)"},
      {"TitleNumber", manifest_with(R"("title": null)", R"("title": 7)"),
       R"(invalid type: integer `7`, expected a string at line 4 column 12)"},
      {"ManifestSixElements", R"(["1","w",null,"c",[],null])"s,
       R"(invalid length 6, expected struct WorkManifest with 7 elements at line 1 column 26)"},
      {"ManifestMissingWorkIdAndSequence", R"({"schema_version":"1","title":null,"created_at":"c","contributors":[]})"s,
       R"(missing field `work_id` at line 1 column 70)"},
  };
}

class ManifestRejection : public testing::TestWithParam<Rejection> {};

TEST_P(ManifestRejection, GivesTheMessageWithItsPosition) {
  EXPECT_EQ(outcome<WorkManifest>(GetParam().input), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(Files, ManifestRejection, testing::ValuesIn(manifest_rejections()), case_name);

// --- what is accepted -----------------------------------------------------------------------------

LedgerEntry read_entry(std::string_view line) {
  auto entry = read_document<LedgerEntry>(line);
  EXPECT_TRUE(entry) << (entry ? "" : entry.error().to_string());
  return entry ? *entry : LedgerEntry{};
}

std::string compact(const LedgerEntry& entry) { return to_compact(entry).value_or("<not writable>"); }

constexpr std::string_view kFullLine =
    R"({"entry_id":"e1","contributor_id":"c1","causal_position":18446744073709551615,)"
    R"("parent_entry_hashes":["p1","p2"],"timestamp_local":"t",)"
    R"("timestamp_trusted":{"method":"m","tsa_url":"u","token":"k","timestamp":"s"},)"
    R"("event_type":"identity_recovery","daw_context":{"daw_name":"Reaper","os":"macos"},)"
    R"("content_refs":[{"ref_id":"r","content_type":"stem","sha256_hash":"x","perceptual_fingerprint":"f",)"
    R"("byte_size":9007199254740993,"storage":{"location":"elsewhere","local_path":"a.rpp","encrypted":true}}],)"
    R"("notes":"n","entry_hash":"h","signature":"s","key_rotation":{"new_contributor_id":"c2"},)"
    R"("identity_recovery":{"unrecoverable_contributor_ids":["c0"]}})";

TEST(EntryReading, ReadsEveryFieldOfAFullLine) {
  const LedgerEntry entry = read_entry(kFullLine);
  EXPECT_EQ(entry.entry_id, "e1");
  EXPECT_EQ(entry.causal_position, 18446744073709551615u);
  EXPECT_EQ(entry.parent_entry_hashes, (std::vector<std::string>{"p1", "p2"}));
  ASSERT_TRUE(entry.timestamp_trusted);
  EXPECT_EQ(entry.timestamp_trusted->token, "k");
  EXPECT_EQ(entry.event_type, EventType::IdentityRecovery);
  ASSERT_TRUE(entry.daw_context);
  EXPECT_EQ(entry.daw_context->daw_name, "Reaper");
  ASSERT_EQ(entry.content_refs.size(), 1u);
  const ContentReference& reference = entry.content_refs[0];
  EXPECT_EQ(reference.content_type, ContentType::Stem);
  EXPECT_EQ(reference.perceptual_fingerprint, "f");
  EXPECT_EQ(reference.byte_size, 9007199254740993u);
  EXPECT_EQ(reference.storage.location, "elsewhere");
  EXPECT_TRUE(reference.storage.encrypted);
  EXPECT_EQ(entry.notes, "n");
  ASSERT_TRUE(entry.key_rotation);
  EXPECT_EQ(entry.key_rotation->new_contributor_id, "c2");
  ASSERT_TRUE(entry.identity_recovery);
  EXPECT_EQ(entry.identity_recovery->unrecoverable_contributor_ids, std::vector<std::string>{"c0"});
  EXPECT_EQ(compact(entry), kFullLine);
}

TEST(EntryReading, KeysMayComeInAnyOrder) {
  // Every member of the full line, last key first; nested objects reversed too.
  const std::string reversed =
      R"({"identity_recovery":{"unrecoverable_contributor_ids":["c0"]},"key_rotation":{"new_contributor_id":"c2"},)"
      R"("signature":"s","entry_hash":"h","notes":"n",)"
      R"("content_refs":[{"storage":{"encrypted":true,"local_path":"a.rpp","location":"elsewhere"},)"
      R"("byte_size":9007199254740993,"perceptual_fingerprint":"f","sha256_hash":"x","content_type":"stem","ref_id":"r"}],)"
      R"("daw_context":{"os":"macos","daw_name":"Reaper"},"event_type":"identity_recovery",)"
      R"("timestamp_trusted":{"timestamp":"s","token":"k","tsa_url":"u","method":"m"},"timestamp_local":"t",)"
      R"("parent_entry_hashes":["p1","p2"],"causal_position":18446744073709551615,"contributor_id":"c1","entry_id":"e1"})";
  EXPECT_EQ(compact(read_entry(reversed)), kFullLine);
}

TEST(EntryReading, ArrayFormReadsLikeTheObjectForm) {
  const std::string array =
      R"(["e1","c1",18446744073709551615,["p1","p2"],"t",["m","u","k","s"],"identity_recovery",["Reaper","macos"],)"
      R"([["r","stem","x","f",9007199254740993,["elsewhere","a.rpp",true]]],"n","h","s",["c2"],[["c0"]]])";
  EXPECT_EQ(compact(read_entry(array)), kFullLine);
}

TEST(EntryReading, OptionalFieldsMissingOrNullAreNone) {
  for (const char* key : {"timestamp_trusted", "daw_context", "notes", "key_rotation", "identity_recovery"}) {
    SCOPED_TRACE(key);
    const std::string with_null = compact(read_entry(entry_line({{key, "null"}})));
    EXPECT_NE(with_null.find("\""s + key + "\":null"), std::string::npos);
    EXPECT_EQ(compact(read_entry(entry_line({{key, std::nullopt}}))), with_null);
  }
  const std::string written = compact(read_entry(entry_line()));
  const LedgerEntry only_os = read_entry(entry_line({{"daw_context", R"({"os":"macos"})"}}));
  ASSERT_TRUE(only_os.daw_context);
  EXPECT_FALSE(only_os.daw_context->daw_name);
  EXPECT_EQ(compact(only_os), written);
  const LedgerEntry no_fingerprint = read_entry(reference_line(R"("perceptual_fingerprint":null,)", ""));
  EXPECT_EQ(compact(no_fingerprint), written);
}

TEST(EntryReading, UnknownMembersAreSkippedWhateverTheirWellFormedValue) {
  const std::string written = compact(read_entry(entry_line()));
  const std::vector<std::string> values = {
      R"({"a":[1,{"b":null}],"c":"d"})",
      R"([])",
      R"(1e400)",
      R"(-0.5E-3)",
      R"("\ud83d")",  // never becomes text, so a lone surrogate does no harm
      R"("\u0000\n")",
      repeat("[", 100) + repeat("]", 100),  // far deeper than any record nests
      repeat("[", 200) + repeat("]", 200),  // deeper than a typed value may nest
      repeat(R"({"a":)", 100000) + "1" + repeat("}", 100000),
  };
  for (const auto& value : values) {
    SCOPED_TRACE(value.substr(0, 40));
    EXPECT_EQ(compact(read_entry(entry_line({}, {{"unknown", value}}))), written);
    EXPECT_EQ(compact(read_entry(reference_line(R"("byte_size":1,)", R"("byte_size":1,"x":)" + value + ","))),
              written);
  }
}

TEST(EntryReading, EnumerationsInStringAndSingleKeyObjectForm) {
  struct Case {
    std::string event_type;
    EventType expected;
  };
  const Case cases[] = {
      {R"("session_save")", EventType::SessionSave},
      {R"("bounce_export")", EventType::BounceExport},
      {R"("manual_checkpoint")", EventType::ManualCheckpoint},
      {R"("config_change")", EventType::ConfigChange},
      {R"("key_rotation")", EventType::KeyRotation},
      {R"("identity_recovery")", EventType::IdentityRecovery},
      {R"({"config_change":null})", EventType::ConfigChange},
      {R"({ "bounce_export" : null })", EventType::BounceExport},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.event_type);
    EXPECT_EQ(read_entry(entry_line({{"event_type", c.event_type}})).event_type, c.expected);
  }
  const LedgerEntry stem = read_entry(reference_line(R"("daw_session")", R"({"stem":null})"));
  ASSERT_EQ(stem.content_refs.size(), 1u);
  EXPECT_EQ(stem.content_refs[0].content_type, ContentType::Stem);
  EXPECT_NE(compact(stem).find(R"("content_type":"stem")"), std::string::npos);
}

TEST(EntryReading, UnsignedIntegersAtTheirLimits) {
  EXPECT_EQ(read_entry(entry_line({{"causal_position", "0"}})).causal_position, 0u);
  EXPECT_EQ(read_entry(entry_line({{"causal_position", "18446744073709551615"}})).causal_position,
            18446744073709551615u);

  auto widest = read_document<ProjectConfig>(config_with("\"collapse_window_minutes\": 5", "\"collapse_window_minutes\": 4294967295"));
  ASSERT_TRUE(widest) << widest.error().to_string();
  EXPECT_EQ(widest->checkpoint_policy.collapse_window_minutes, 4294967295u);
  auto absent = read_document<ProjectConfig>(R"({"checkpoint_policy":["hybrid",["session_save"],null]})");
  ASSERT_TRUE(absent) << absent.error().to_string();
  EXPECT_FALSE(absent->checkpoint_policy.collapse_window_minutes);
  EXPECT_EQ(absent->retention_policy.storage_milestones_gb, (std::vector<std::uint64_t>{10, 20, 40, 60, 80, 100}));
}

TEST(EntryReading, EscapesAreDecodedIntoUtf8) {
  const LedgerEntry entry =
      read_entry(entry_line({{"notes", R"("\"\\\/\b\f\n\r\t\u00e9\u20AC\ud83d\ude00\u0000x")"}}));
  EXPECT_EQ(entry.notes, "\"\\/\b\f\n\r\t\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\0x"s);
  const LedgerEntry raw = read_entry(entry_line({{"notes", "\"\xC3\xA9\x7F/\""}}));
  EXPECT_EQ(raw.notes, "\xC3\xA9\x7F/");
}

TEST(ManifestReading, FiveElementContributorLeavesTheBackupTimeOut) {
  auto manifest = read_document<WorkManifest>(
      R"(["1","w",null,"c",[["alice","Alice","pk","k",null],["bob","Bob","pk2","k2","mac","b"]],null,2])");
  ASSERT_TRUE(manifest) << manifest.error().to_string();
  ASSERT_EQ(manifest->contributors.size(), 2u);
  EXPECT_FALSE(manifest->contributors[0].key_backed_up_at);
  EXPECT_EQ(manifest->contributors[1].key_backed_up_at, "b");
}

// --- arbitrary bytes --------------------------------------------------------------------------------

// A torn write leaves a prefix of a line; none of them may pass for an entry, and each is
// reported as input that ran out, even one cut inside a character.
TEST(EntryReading, EveryTruncationOfALineIsRejectedAsCutShort) {
  std::string accented(kFullLine);
  accented.replace(accented.find(R"("notes":"n")"), 11, "\"notes\":\"Caf\u00e9 \u20ac \U0001F3B9\"");
  ASSERT_TRUE(model::read_entry_line(accented).has_value());
  const std::regex positioned(R"(EOF while parsing .+ at line 1 column (\d+))");
  for (const std::string_view line : {kFullLine, std::string_view(accented)}) {
    for (std::size_t length = 0; length < line.size(); ++length) {
      const std::string_view prefix = line.substr(0, length);
      const std::string message = outcome<LedgerEntry>(prefix);
      std::smatch match;
      ASSERT_TRUE(std::regex_match(message, match, positioned)) << length << ": " << message;
      EXPECT_LE(std::stoul(match[1]), length) << message;
    }
  }
}

TEST(EntryReading, BytesThatAreNotUtf8OrNulAreRejected) {
  struct Case {
    const char* name;
    std::string input;
    std::string message;
  };
  const std::string lead = R"({"entry_id":")";
  const Case cases[] = {
      {"InvalidByteInText", lead + "a\xFF\"}", "invalid unicode code point at line 1 column 15"},
      {"OverlongSlash", lead + "\xC0\xAF\"}", "invalid unicode code point at line 1 column 14"},
      {"EncodedSurrogate", lead + "\xED\xA0\x80\"}", "invalid unicode code point at line 1 column 14"},
      {"AboveUnicode", lead + "\xF4\x90\x80\x80\"}", "invalid unicode code point at line 1 column 14"},
      {"TruncatedSequence", lead + "\xE2\x82\"}", "invalid unicode code point at line 1 column 14"},
      // Input that stops inside a character ran out rather than holding a wrong one.
      {"TruncatedAtEnd", lead + "\xE2\x82", "EOF while parsing a string at line 1 column 15"},
      {"WrongByteBeforeTheEnd", lead + "\xE2\x28", "invalid unicode code point at line 1 column 14"},
      {"InvalidByteInKey", "{\"a\xFF\":1}", "invalid unicode code point at line 1 column 4"},
      {"InvalidByteInSkippedText", "{\"x\":\"\xFF\"}", "invalid unicode code point at line 1 column 7"},
      {"InvalidByteAsValue", "{\"entry_id\":\xFF}", "expected value at line 1 column 13"},
      {"InvalidByteAfterDocument", entry_line() + "\xFF", "trailing characters at line 1 column 494"},
      {"NulAsValue", "{\"entry_id\":\0}"s, "expected value at line 1 column 13"},
      {"NulAsKey", "{\0:1}"s, "key must be a string at line 1 column 2"},
      {"NulAfterDocument", entry_line() + "\0"s, "trailing characters at line 1 column 494"},
      {"NulInSkippedText", "{\"x\":\"\0\"}"s,
       "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 6"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(outcome<LedgerEntry>(c.input), c.message);
  }
}

}  // namespace
}  // namespace tallowmere_core::json

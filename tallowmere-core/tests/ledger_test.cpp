#include "ledger.h"

#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.h"

namespace tallowmere_core::ledger {
namespace {

using tallowmere_test::TempDir;
using tallowmere_test::write_file;

// A whole ledger line as the companion tool writes it, told apart by its id and position.
std::string entry_line(int n) {
  return fmt::format(
      R"({{"entry_id":"5f0c2a9e-7b1d-4c3e-9a8f-2d6b1e4c7a9{}","contributor_id":"alice","causal_position":{},)"
      R"("parent_entry_hashes":[],"timestamp_local":"2024-05-01T10:00:0{}.250+02:00","timestamp_trusted":null,)"
      R"("event_type":"session_save","daw_context":{{"daw_name":"REAPER","os":"macos"}},"content_refs":[)"
      R"({{"ref_id":"0b8e7f3c-1a2d-4e5f-8a9b-0c1d2e3f4a5b","content_type":"daw_session",)"
      R"("sha256_hash":"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855",)"
      R"("perceptual_fingerprint":null,"byte_size":1234,"storage":{{"location":"local_only",)"
      R"("local_path":"song.rpp","encrypted":false}}}}],"notes":null,"entry_hash":"aa","signature":"bb",)"
      R"("key_rotation":null,"identity_recovery":null}})",
      n, n - 1, n);
}

const std::string E1 = entry_line(1);
const std::string E2 = entry_line(2);
// A writer that died fourteen bytes into a line: cut inside the entry_id string.
const std::string kTorn = E1.substr(0, 14);
// One that died inside a character of a folder name: after the first byte of "é", after three
// bytes of the four of "🎹".
const std::string kTornInE = E1.substr(0, E1.find("song.rpp")) + "Caf\xC3";
const std::string kTornInKeyboard = E1.substr(0, E1.find("song.rpp")) + "\xF0\x9F\x8E";

std::string entry_id(int n) { return fmt::format("5f0c2a9e-7b1d-4c3e-9a8f-2d6b1e4c7a9{}", n); }

struct TornTail {
  std::uint64_t line_number;
  std::string raw_line;
  std::string error_prefix;
};

struct ReadCase {
  const char* name;
  std::string contents;
  std::vector<int> entries;            // which of E1, E2 come back, in order
  std::optional<TornTail> trailing;       // expected trailing_incomplete
  std::optional<std::uint64_t> malformed_line;  // the read fails on this line instead
  std::string message_prefix;          // start of the malformed line's message
};

class LedgerReadTest : public ::testing::TestWithParam<ReadCase> {};

TEST_P(LedgerReadTest, ReadsAsExpected) {
  const ReadCase& c = GetParam();
  TempDir dir;
  const auto ledger = dir / "ledger.jsonl";
  write_file(ledger, c.contents);

  auto result = read_ledger(ledger);
  if (c.malformed_line) {
    ASSERT_FALSE(result);
    const auto* error = result.error().get<core_error::MalformedLedgerLine>();
    ASSERT_NE(error, nullptr) << result.error().message();
    EXPECT_EQ(error->path, ledger);
    EXPECT_EQ(error->line, *c.malformed_line);
    EXPECT_TRUE(error->message.starts_with(c.message_prefix)) << error->message;
    EXPECT_TRUE(error->message.find(" at line 1 column ") != std::string::npos) << error->message;
    return;
  }
  ASSERT_TRUE(result) << result.error().message();
  std::vector<std::string> ids;
  for (const auto& entry : result->entries) ids.push_back(entry.entry_id);
  std::vector<std::string> expected_ids;
  for (int n : c.entries) expected_ids.push_back(entry_id(n));
  EXPECT_EQ(ids, expected_ids);
  ASSERT_EQ(result->trailing_incomplete.has_value(), c.trailing.has_value());
  if (c.trailing) {
    EXPECT_EQ(result->trailing_incomplete->line_number, c.trailing->line_number);
    EXPECT_EQ(result->trailing_incomplete->raw_line, c.trailing->raw_line);
    EXPECT_TRUE(result->trailing_incomplete->parse_error.starts_with(c.trailing->error_prefix))
        << result->trailing_incomplete->parse_error;
  }
}

// The summary keeps one entry at a time and must still agree with the full read on everything it
// reports: the count, the last timestamp, the torn tail and every failure, message for message.
void expect_summary_agrees(const std::filesystem::path& ledger) {
  const auto full = read_ledger(ledger);
  const auto summary = summarize_ledger(ledger);
  ASSERT_EQ(summary.has_value(), full.has_value()) << ledger;
  if (!full) {
    EXPECT_EQ(summary.error().message(), full.error().message());
    return;
  }
  EXPECT_EQ(summary->entry_count, full->entries.size());
  const auto last = full->entries.empty() ? std::nullopt : std::optional(full->entries.back().timestamp_local);
  EXPECT_EQ(summary->last_timestamp_local, last);
  ASSERT_EQ(summary->trailing_incomplete.has_value(), full->trailing_incomplete.has_value());
  if (full->trailing_incomplete) {
    EXPECT_EQ(summary->trailing_incomplete->line_number, full->trailing_incomplete->line_number);
    EXPECT_EQ(summary->trailing_incomplete->raw_line, full->trailing_incomplete->raw_line);
    EXPECT_EQ(summary->trailing_incomplete->parse_error, full->trailing_incomplete->parse_error);
  }
}

TEST_P(LedgerReadTest, SummaryAgreesWithTheFullRead) {
  TempDir dir;
  write_file(dir / "ledger.jsonl", GetParam().contents);
  expect_summary_agrees(dir / "ledger.jsonl");
}

const std::string LF = "\n";
const std::string CR = "\r";

// Enough lines to span several of the reader's chunks, ending in E2.
std::string many_entries() {
  std::string text;
  for (int i = 0; i < 1000; ++i) text += E1 + LF + E2 + LF;
  return text;
}
std::vector<int> many_entry_numbers() {
  std::vector<int> numbers;
  for (int i = 0; i < 1000; ++i) numbers.insert(numbers.end(), {1, 2});
  return numbers;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LedgerReadTest,
    ::testing::Values(
        ReadCase{"EmptyFile", "", {}, {}, {}, {}},
        ReadCase{"OnlyLineFeeds", LF + LF, {}, {}, {}, {}},
        ReadCase{"OnlyWhiteSpaceLines", "  " + LF + "\t" + LF, {}, {}, {}, {}},
        // Unicode white space that JSON itself would refuse: ideographic space, no-break space,
        // vertical tab, and a blank last line without its line feed.
        ReadCase{"UnicodeBlankLines", E1 + LF + "\u3000" + LF + "\u00a0\v" + LF + E2 + LF + " ", {1, 2}, {}, {}, {}},
        ReadCase{"OneEntry", E1 + LF, {1}, {}, {}, {}},
        ReadCase{"TwoEntries", E1 + LF + E2 + LF, {1, 2}, {}, {}, {}},
        ReadCase{"ManyEntries", many_entries(), many_entry_numbers(), {}, {}, {}},
        ReadCase{"CarriageReturnLineFeeds", E1 + CR + LF + E2 + CR + LF, {1, 2}, {}, {}, {}},
        ReadCase{"LastEntryWithoutLineFeed", E1 + LF + E2, {1, 2}, {}, {}, {}},
        ReadCase{"LastEntryEndingInLoneCarriageReturn", E1 + LF + E2 + CR, {1, 2}, {}, {}, {}},
        ReadCase{"TornTail", E1 + LF + kTorn, {1}, TornTail{2, kTorn, "EOF while parsing a string"}, {}, {}},
        ReadCase{"TornTailKeepsItsCarriageReturn", E1 + LF + E1.substr(0, 30) + CR, {1},
                 TornTail{2, E1.substr(0, 30) + CR, ""}, {}, {}},
        // Blank lines still use up their numbers.
        ReadCase{"TornTailAfterBlankLines", LF + E1 + LF + "  " + LF + kTorn, {1}, TornTail{4, kTorn, "EOF while parsing"}, {}, {}},
        ReadCase{"TornInsideACharacter", E1 + LF + kTornInE, {1}, TornTail{2, kTornInE, "EOF while parsing a string"}, {}, {}},
        ReadCase{"TornInsideAFourByteCharacter", E1 + LF + kTornInKeyboard, {1},
                 TornTail{2, kTornInKeyboard, "EOF while parsing a string"}, {}, {}},
        // Such a tail does not hide a malformed line before it.
        ReadCase{"TornInsideACharacterAfterAMalformedLine", E1 + LF + kTorn + LF + kTornInE, {}, {}, 2,
                 "EOF while parsing a string"},
        ReadCase{"TornLineFollowedByLineFeed", E1 + LF + kTorn + LF, {}, {}, 2, "EOF while parsing a string"},
        ReadCase{"OnlyTheLastLineMayBeTorn", kTorn + LF + E2, {}, {}, 1, "EOF while parsing a string"},
        ReadCase{"BlankLastLineDoesNotShieldTheLineBefore", E1 + LF + kTorn + LF + "  ", {}, {}, 2, "EOF while parsing"},
        ReadCase{"ErrorLineCountsBlankLines", LF + LF + E1 + LF + kTorn + LF, {}, {}, 4, "EOF while parsing"},
        ReadCase{"TwoObjectsOnOneLine", E1 + E2 + LF, {}, {}, 1, "trailing characters"},
        ReadCase{"ObjectFollowedByText", E1 + " x" + LF + E2 + LF, {}, {}, 1, "trailing characters"},
        ReadCase{"WholeObjectMissingAFieldInTheMiddle", E1 + LF + R"({"entry_id":"x"})" + LF + E2, {}, {}, 2,
                 "missing field `contributor_id`"}),
    [](const ::testing::TestParamInfo<ReadCase>& info) { return std::string(info.param.name); });

TEST(LedgerReadFailureTest, MessageNamesPathLineAndParserText) {
  TempDir dir;
  const auto ledger = dir / "ledger.jsonl";
  write_file(ledger, E1 + LF + kTorn + LF);
  auto result = read_ledger(ledger);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().message(),
            fmt::format("failed to parse JSON at {} line 2: EOF while parsing a string at line 1 column 14",
                        ledger.string()));
}

// One endless line must not take the memory of its length: a line feed after it makes it a
// malformed line, none a torn tail, and the lines after it are not joined to it.
TEST(LedgerReadFailureTest, OverlongLineIsMalformedOrATornTail) {
  TempDir dir;
  const auto ledger = dir / "ledger.jsonl";
  const std::string overlong(LedgerLines::max_line_bytes + 1, 'x');
  write_file(ledger, E1 + LF + overlong + LF + E1 + LF);
  auto malformed = read_ledger(ledger);
  ASSERT_FALSE(malformed);
  EXPECT_EQ(malformed.error().message(),
            fmt::format("failed to parse JSON at {} line 2: line is longer than 16777216 bytes", ledger.string()));

  write_file(ledger, E1 + LF + overlong);
  auto torn = read_ledger(ledger);
  ASSERT_TRUE(torn) << torn.error().message();
  EXPECT_EQ(torn->entries.size(), 1u);
  ASSERT_TRUE(torn->trailing_incomplete);
  EXPECT_EQ(torn->trailing_incomplete->line_number, 2u);
  EXPECT_EQ(torn->trailing_incomplete->raw_line, overlong.substr(0, LedgerLines::overlong_head_bytes));
  EXPECT_EQ(torn->trailing_incomplete->parse_error, "line is longer than 16777216 bytes");
}

TEST(LedgerReadFailureTest, MissingOrUnreachableLedgerIsEmpty) {
  TempDir dir;
  std::filesystem::create_symlink(dir / "nowhere", dir / "dangling.jsonl");
  for (const auto& path : {dir / "ledger.jsonl", dir / "dangling.jsonl", dir / "no-folder" / "ledger.jsonl"}) {
    auto result = read_ledger(path);
    ASSERT_TRUE(result) << path << ": " << result.error().message();
    EXPECT_TRUE(result->entries.empty());
    EXPECT_FALSE(result->trailing_incomplete);
    expect_summary_agrees(path);
  }
}

TEST(LedgerReadFailureTest, UnreadableLedgerIsIo) {
  TempDir dir;
  std::filesystem::create_directory(dir / "folder.jsonl");
  write_file(dir / "latin1.jsonl", E1 + LF + "{\"notes\":\"caf\xe9\"}" + LF);
  struct Case {
    std::filesystem::path path;
    std::string source;
  };
  const Case cases[] = {
      {dir / "folder.jsonl", "Is a directory (os error 21)"},
      {dir / "latin1.jsonl", "stream did not contain valid UTF-8"},
  };
  for (const Case& c : cases) {
    auto result = read_ledger(c.path);
    ASSERT_FALSE(result) << c.path;
    const auto* error = result.error().get<core_error::Io>();
    ASSERT_NE(error, nullptr) << result.error().message();
    EXPECT_EQ(error->path, c.path);
    EXPECT_EQ(error->source.to_string(), c.source);
    expect_summary_agrees(c.path);
  }
}

TEST(LedgerEntryReadTest, KeepsEveryFieldOfTheEntry) {
  TempDir dir;
  write_file(dir / "ledger.jsonl", E1 + LF);
  auto result = read_ledger(dir / "ledger.jsonl");
  ASSERT_TRUE(result) << result.error().message();
  ASSERT_EQ(result->entries.size(), 1u);
  const LedgerEntry& entry = result->entries[0];
  EXPECT_EQ(entry.timestamp_local, "2024-05-01T10:00:01.250+02:00");
  ASSERT_EQ(entry.content_refs.size(), 1u);
  EXPECT_EQ(entry.content_refs[0].sha256_hash, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(entry.content_refs[0].storage.local_path, "song.rpp");
  ASSERT_TRUE(entry.daw_context);
  EXPECT_EQ(entry.daw_context->daw_name, "REAPER");
  EXPECT_EQ(model::write_entry_line(entry).value(), E1);
}

}  // namespace
}  // namespace tallowmere_core::ledger

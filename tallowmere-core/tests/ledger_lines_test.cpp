// The chunked line source of a ledger, and whole-ledger reads large enough to span many chunks:
// the lines, the torn-line rule and the UTF-8 check must not depend on where a chunk ends.
#include <cerrno>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "ledger.h"
#include "test_support.h"

namespace tallowmere_core::ledger {
namespace {

using tallowmere_test::TempDir;
using tallowmere_test::write_file;

struct Line {
  std::string text;
  bool terminated;
};

// The lines by the rule itself: split at LF, a CR dropped only directly before it.
std::vector<Line> expected_lines(std::string_view contents) {
  std::vector<Line> lines;
  std::size_t start = 0;
  while (start < contents.size()) {
    const std::size_t feed = contents.find('\n', start);
    if (feed == std::string_view::npos) {
      lines.push_back({std::string(contents.substr(start)), false});
      break;
    }
    std::string_view line = contents.substr(start, feed - start);
    if (line.ends_with('\r')) line.remove_suffix(1);
    lines.push_back({std::string(line), true});
    start = feed + 1;
  }
  return lines;
}

std::vector<Line> read_lines(const std::filesystem::path& path) {
  auto lines = LedgerLines::open(path);
  EXPECT_TRUE(lines) << lines.error().message();
  std::vector<Line> read;
  if (!lines) return read;
  std::string_view line;
  for (;;) {
    auto more = lines->next(line);
    EXPECT_TRUE(more) << more.error().message();
    if (!more || !*more) break;
    read.push_back({std::string(line), lines->line_terminated()});
  }
  return read;
}

void expect_same(const std::vector<Line>& read, const std::vector<Line>& expected) {
  ASSERT_EQ(read.size(), expected.size());
  for (std::size_t i = 0; i < read.size(); ++i) {
    EXPECT_EQ(read[i].text, expected[i].text) << "line " << i + 1;
    EXPECT_EQ(read[i].terminated, expected[i].terminated) << "line " << i + 1;
  }
}

TEST(LedgerLinesTest, SmallFilesSplitByTheRule) {
  TempDir dir;
  const std::string cases[] = {
      "",
      "\n",
      "a",
      "a\n",
      "a\r\n",
      "a\r",
      "\r\n\r\n",
      "a\nb",
      "a\r\nb\r",
      "a\r\r\nb\n\n",
      std::string("a\0b\n", 4),
  };
  for (const std::string& contents : cases) {
    SCOPED_TRACE(testing::PrintToString(contents));
    write_file(dir / "ledger.jsonl", contents);
    expect_same(read_lines(dir / "ledger.jsonl"), expected_lines(contents));
  }
}

// Lines of every length around the chunk size, and one longer than several chunks, so that line
// feeds, CR LF pairs and line ends fall on and next to every boundary.
TEST(LedgerLinesTest, LinesAcrossChunkBoundariesAndLongerThanAChunk) {
  TempDir dir;
  std::mt19937 generator(3);
  for (int round = 0; round < 12; ++round) {
    std::string contents;
    while (contents.size() < 700 * 1024) {
      const std::size_t length = round % 3 == 0 ? generator() % 300 : generator() % 70'000;
      contents.append(length, static_cast<char>('a' + generator() % 26));
      contents += generator() % 2 == 0 ? "\n" : "\r\n";
    }
    if (round == 5) contents.insert(1000, std::string(600 * 1024, 'L') + "\r\n");
    if (round % 4 == 1) contents += std::string(generator() % 200'000, 't');  // no final feed
    if (round % 4 == 2) contents += "torn\r";
    SCOPED_TRACE(round);
    write_file(dir / "ledger.jsonl", contents);
    expect_same(read_lines(dir / "ledger.jsonl"), expected_lines(contents));
  }
}

TEST(LedgerLinesTest, SizeHintIsTheFileSize) {
  TempDir dir;
  write_file(dir / "ledger.jsonl", "abc\n");
  auto lines = LedgerLines::open(dir / "ledger.jsonl");
  ASSERT_TRUE(lines);
  EXPECT_EQ(lines->size_hint(), 4u);
}

TEST(LedgerLinesTest, MissingFileFolderAndFifoFailToOpen) {
  TempDir dir;
  ASSERT_EQ(::mkfifo((dir / "fifo.jsonl").c_str(), 0644), 0);
  struct Case {
    std::filesystem::path path;
    std::string cause;
  };
  const std::vector<Case> cases{
      {dir / "missing.jsonl", "No such file or directory (os error 2)"},
      {dir.path(), "Is a directory (os error 21)"},
      {dir / "fifo.jsonl", "not a regular file"},  // would block the open for ever
  };
  for (const Case& c : cases) {
    auto opened = LedgerLines::open(c.path);
    ASSERT_FALSE(opened) << c.path;
    ASSERT_NE(opened.error().get<core_error::Io>(), nullptr);
    EXPECT_EQ(opened.error().get<core_error::Io>()->path, c.path);
    EXPECT_EQ(opened.error().get<core_error::Io>()->source.to_string(), c.cause);
  }
}

// --- whole ledgers of many chunks ------------------------------------------------------------------

std::string entry_line(int n) {
  return fmt::format(
      R"({{"entry_id":"e{}","contributor_id":"alice","causal_position":{},"parent_entry_hashes":[],)"
      R"("timestamp_local":"2024-05-01T10:00:00.250+02:00","timestamp_trusted":null,"event_type":"session_save",)"
      R"("daw_context":{{"daw_name":"REAPER","os":"macos"}},"content_refs":[],"notes":"caf\u00e9 {}",)"
      R"("entry_hash":"aa","signature":"bb","key_rotation":null,"identity_recovery":null}})",
      n, n, std::string(static_cast<std::size_t>(n % 7) * 100, 'n'));
}

// `count` entries, one per line, with a blank line (Unicode white space) now and then.
std::string ledger_of(int count) {
  std::string text;
  for (int n = 0; n < count; ++n) {
    text += entry_line(n) + (n % 3 == 0 ? "\r\n" : "\n");
    if (n % 50 == 0) text += "\u3000 \n";
  }
  return text;
}

std::uint64_t line_number_of(std::string_view text, std::size_t offset) {
  std::uint64_t line = 1;
  for (std::size_t i = 0; i < offset; ++i) line += text[i] == '\n' ? 1 : 0;
  return line;
}

TEST(LargeLedgerReadTest, ReadsEveryEntryOfManyChunks) {
  TempDir dir;
  const std::string text = ledger_of(2000);
  ASSERT_GT(text.size(), 4u * 128 * 1024);
  write_file(dir / "ledger.jsonl", text);
  auto result = read_ledger(dir / "ledger.jsonl");
  ASSERT_TRUE(result) << result.error().message();
  ASSERT_EQ(result->entries.size(), 2000u);
  for (int n = 0; n < 2000; n += 333) {
    EXPECT_EQ(result->entries[static_cast<std::size_t>(n)].entry_id, fmt::format("e{}", n));
    EXPECT_EQ(result->entries[static_cast<std::size_t>(n)].notes,
              "caf\xC3\xA9 " + std::string(static_cast<std::size_t>(n % 7) * 100, 'n'));
  }
  EXPECT_FALSE(result->trailing_incomplete);
}

TEST(LargeLedgerReadTest, TornTailAfterManyChunks) {
  TempDir dir;
  const std::string whole = ledger_of(1500);
  const std::string torn = entry_line(1500).substr(0, 77);
  write_file(dir / "ledger.jsonl", whole + torn);
  auto result = read_ledger(dir / "ledger.jsonl");
  ASSERT_TRUE(result) << result.error().message();
  EXPECT_EQ(result->entries.size(), 1500u);
  ASSERT_TRUE(result->trailing_incomplete);
  EXPECT_EQ(result->trailing_incomplete->line_number, line_number_of(whole, whole.size()));
  EXPECT_EQ(result->trailing_incomplete->raw_line, torn);
  EXPECT_TRUE(result->trailing_incomplete->parse_error.starts_with("EOF while parsing")) << result->trailing_incomplete->parse_error;
}

TEST(LargeLedgerReadTest, MalformedLineInTheMiddleNamesItsLine) {
  TempDir dir;
  std::string text = ledger_of(1500);
  const std::size_t at = text.find(entry_line(900));
  text.replace(at, entry_line(900).size(), entry_line(900).substr(0, 40));
  write_file(dir / "ledger.jsonl", text);
  auto result = read_ledger(dir / "ledger.jsonl");
  ASSERT_FALSE(result);
  const auto* malformed = result.error().get<core_error::MalformedLedgerLine>();
  ASSERT_NE(malformed, nullptr) << result.error().message();
  EXPECT_EQ(malformed->line, line_number_of(text, at));
}

// A file that is not UTF-8 anywhere is unreadable as a whole, whichever line holds the bad byte
// and whether or not an earlier line is malformed.
TEST(LargeLedgerReadTest, BytesThatAreNotUtf8AnywhereMakeTheFileUnreadable) {
  TempDir dir;
  const std::string whole = ledger_of(1500);
  const std::string bad_blank = "  \xFF\n";
  const std::string bad_entry = "{\"notes\":\"caf\xE9\"}\n";
  const std::string cases[] = {
      whole + bad_blank,
      bad_blank + whole,
      whole + bad_entry,
      entry_line(0).substr(0, 30) + "\n" + whole + bad_blank,  // malformed first, bad byte last
      whole + entry_line(1).substr(0, 30) + "\xFF",            // in the torn tail itself
      whole + "x\n" + whole + "\xF0\x9F\x28",                  // after a malformed line, not cut short
      whole + "\xC3\n" + entry_line(1).substr(0, 30),            // cut short, but a line feed follows
  };
  for (const std::string& text : cases) {
    write_file(dir / "ledger.jsonl", text);
    auto result = read_ledger(dir / "ledger.jsonl");
    ASSERT_FALSE(result);
    const auto* io = result.error().get<core_error::Io>();
    ASSERT_NE(io, nullptr) << result.error().message();
    EXPECT_EQ(io->source.to_string(), "stream did not contain valid UTF-8");
  }
}

TEST(LargeLedgerReadTest, AByteOrderMarkIsAMalformedLineNotAnUnreadableFile) {
  TempDir dir;
  write_file(dir / "ledger.jsonl", "\xEF\xBB\xBF" + entry_line(0) + "\n");
  auto result = read_ledger(dir / "ledger.jsonl");
  ASSERT_FALSE(result);
  const auto* malformed = result.error().get<core_error::MalformedLedgerLine>();
  ASSERT_NE(malformed, nullptr) << result.error().message();
  EXPECT_EQ(malformed->line, 1u);
  EXPECT_TRUE(malformed->message.starts_with("expected value")) << malformed->message;
}

}  // namespace
}  // namespace tallowmere_core::ledger

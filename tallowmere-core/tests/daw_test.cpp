#include "daw.h"

#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace tallowmere_core::daw {
namespace {

namespace fs = std::filesystem;

ContentReference session_reference(std::string local_path, ContentType type = ContentType::DawSession) {
  ContentReference ref;
  ref.content_type = type;
  ref.storage.local_path = std::move(local_path);
  return ref;
}

TEST(DawTest, GuessDawName) {
  struct Case {
    std::string_view extension;
    std::optional<std::string_view> daw_name;
  };
  const Case cases[] = {
      {"RPP", "Reaper"},  {"Rpp", "Reaper"},     {"rpp", "Reaper"},        {"als", "Ableton Live"},
      {"ALS", "Ableton Live"}, {"ardour", "Ardour"}, {"ptx", "Pro Tools"}, {"ptf", "Pro Tools"},
      {"logicx", "Logic Pro"}, {"LogicX", "Logic Pro"}, {"cpr", "Cubase"},  {"reason", "Reason"},
      {"rns", "Reason"},
      // Exact match only: no dot, no blanks, no prefix or suffix, no other formats.
      {".rpp", std::nullopt}, {"rpp ", std::nullopt}, {" rpp", std::nullopt}, {"rp", std::nullopt},
      {"rppx", std::nullopt}, {"wav", std::nullopt},  {"", std::nullopt},
      // Only ASCII letters fold: the long s, which Unicode case folding turns into "s", does not.
      {"rea\xC5\xBF" "on", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(guess_daw_name(c.extension), c.daw_name) << '"' << c.extension << '"';
}

TEST(DawTest, TableOrderIsTheOrderShownToUsers) {
  std::string listed;
  for (const DawExtension& row : extension_table) listed += (listed.empty() ? "." : ", .") + std::string(row.extension);
  EXPECT_EQ(listed, ".rpp, .als, .ardour, .ptx, .ptf, .logicx, .cpr, .reason, .rns");
}

TEST(ClassifierTest, ByExtensionAfterTheLastDotIgnoringAsciiCase) {
  struct Case {
    const char* name;
    ContentType expected;
  };
  const std::vector<Case> cases{
      {"Song.rpp", ContentType::DawSession},      {"Song.ALS", ContentType::DawSession},
      {"v1.final.Reason", ContentType::DawSession}, {"take.wav", ContentType::AudioBounce},
      {"take.AIFF", ContentType::AudioBounce},    {"take.aif", ContentType::AudioBounce},
      {"take.flac", ContentType::AudioBounce},    {"take.m4a", ContentType::AudioBounce},
      {"groove.mid", ContentType::Midi},          {"groove.MIDI", ContentType::Midi},
      {"notes.txt", ContentType::Other},          {"Song", ContentType::Other},
      {".als", ContentType::Other},               {"Song.", ContentType::Other},
      {"Song.rpp.bak", ContentType::Other},       {"Song.stem", ContentType::Other},
      {"Song.rpp\xff", ContentType::Other},
  };
  for (const auto& c : cases) EXPECT_EQ(classify(fs::path("/p") / c.name), c.expected) << c.name;
}

TEST(DawNameTest, FirstSessionReferenceWithAKnownExtension) {
  struct Case {
    const char* name;
    std::vector<ContentReference> refs;
    std::optional<std::string> expected;
  };
  const std::vector<Case> cases{
      {"first of two sessions", {session_reference("a.als"), session_reference("b.rpp")}, "Ableton Live"},
      {"non-session reference passed over",
       {session_reference("a.rpp", ContentType::Other), session_reference("b.ptf")},
       "Pro Tools"},
      {"session reference without a DAW extension passed over",
       {session_reference("Song"), session_reference("c.RNS")},
       "Reason"},
      {"no reference qualifies", {session_reference("notes.txt", ContentType::Other)}, std::nullopt},
      {"no references", {}, std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(choose_daw_name(c.refs), c.expected) << c.name;
}

}  // namespace
}  // namespace tallowmere_core::daw

#include "daw.h"

#include <gtest/gtest.h>

namespace tallowmere_core::daw {
namespace {

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

}  // namespace
}  // namespace tallowmere_core::daw

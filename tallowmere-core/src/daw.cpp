#include "daw.h"

namespace tallowmere_core::daw {
namespace {

// Only A-Z fold: non-ASCII bytes must stay as they are, whatever the C locale says.
constexpr char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool equals_folded(std::string_view candidate, std::string_view lower_case) {
  if (candidate.size() != lower_case.size()) return false;
  for (std::size_t i = 0; i < candidate.size(); ++i)
    if (ascii_lower(candidate[i]) != lower_case[i]) return false;
  return true;
}

}  // namespace

std::optional<std::string_view> guess_daw_name(std::string_view extension) {
  if (extension.empty()) return std::nullopt;
  for (const DawExtension& row : extension_table)
    if (equals_folded(extension, row.extension)) return row.daw_name;
  return std::nullopt;
}

}  // namespace tallowmere_core::daw

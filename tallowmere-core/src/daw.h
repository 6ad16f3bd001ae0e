#pragma once
// The DAW session-file extensions the service knows, and the DAW behind each.
#include <array>
#include <optional>
#include <string_view>

namespace tallowmere_core::daw {

struct DawExtension {
  std::string_view extension;  // lower case, without the dot
  std::string_view daw_name;
};

// In the order the watch start-up line lists them; the first matching row wins.
inline constexpr std::array<DawExtension, 9> extension_table{{
    {"rpp", "Reaper"},
    {"als", "Ableton Live"},
    {"ardour", "Ardour"},
    {"ptx", "Pro Tools"},
    {"ptf", "Pro Tools"},
    {"logicx", "Logic Pro"},
    {"cpr", "Cubase"},
    {"reason", "Reason"},
    {"rns", "Reason"},
}};

// The DAW name of `extension` (given without its dot, ASCII letters in any case), or none for an
// unknown or empty extension. The name is a constant text of the table; nothing is allocated.
std::optional<std::string_view> guess_daw_name(std::string_view extension);

}  // namespace tallowmere_core::daw

#pragma once
// The session-file vocabulary: the DAW session-file extensions the service knows and the DAW
// behind each, what counts as a file's extension, and the content type of a file by it.
#include <array>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model.h"

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

// The text after the last dot of the file name: none for a name without a dot, one whose only dot
// is its first character, "." and "..", and an extension that is not valid UTF-8.
std::optional<std::string> file_extension(const std::filesystem::path& file);

// The content type of a checkpointed file, by its extension (ASCII case ignored).
ContentType classify(const std::filesystem::path& file);

// The DAW of an entry: that of the first session-file reference whose local path has a known DAW
// extension; none when no reference has one.
std::optional<std::string> choose_daw_name(const std::vector<ContentReference>& refs);

// Whether `file` is a DAW session file: its extension is one of the table's.
bool is_session_file(const std::filesystem::path& file);

}  // namespace tallowmere_core::daw

#pragma once
// The current user's home folder, the root of every per-user path of the service.
#include <filesystem>
#include <optional>

namespace tallowmere_core::home {

// `HOME` when it is set and not empty, else the current user's home folder in the user
// database when that is not empty; nothing when neither gives one.
std::optional<std::filesystem::path> home_dir();

}  // namespace tallowmere_core::home

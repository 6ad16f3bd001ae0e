#include "home.h"

#include <cerrno>
#include <cstdlib>
#include <vector>

#include <pwd.h>
#include <unistd.h>

namespace tallowmere_core::home {
namespace {

std::optional<std::filesystem::path> user_database_home() {
  const long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(suggested > 0 ? static_cast<std::size_t>(suggested) : 1024);
  passwd entry{};
  passwd* found = nullptr;
  for (;;) {
    const int error = getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found);
    if (error == EINTR) continue;
    // The suggested size is only a hint; a long entry needs a bigger buffer.
    if (error == ERANGE && buffer.size() < (std::size_t{1} << 20)) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (error != 0 || found == nullptr || found->pw_dir == nullptr || found->pw_dir[0] == '\0') {
      return std::nullopt;
    }
    return std::filesystem::path(found->pw_dir);
  }
}

}  // namespace

std::optional<std::filesystem::path> home_dir() {
  if (const char* home = std::getenv("HOME"); home != nullptr && home[0] != '\0') {
    return std::filesystem::path(home);
  }
  return user_database_home();
}

}  // namespace tallowmere_core::home

#include "platform/credential_store.h"

#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>

#include "error.h"
#include "posix.h"
#include "text.h"
#include "unique_fd.h"

namespace tallowmere_cli::platform {

namespace {

namespace fs = std::filesystem;
using tallowmere_core::os_error_text;
using tallowmere_core::text::display;
using tallowmere_core::posix::retry_on_eintr;

std::unexpected<LookupError> failure(LookupFailure kind, std::string message) {
  return std::unexpected(LookupError{kind, std::move(message)});
}

// A name becomes one path component: anything that would step elsewhere is refused.
bool is_valid_name(std::string_view name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
}

std::string_view environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::string_view(value) : std::string_view();
}

std::expected<fs::path, LookupError> data_home() {
  if (auto xdg = environment("XDG_DATA_HOME"); !xdg.empty()) return fs::path(xdg);
  if (auto home = environment("HOME"); !home.empty()) return fs::path(home) / ".local" / "share";
  return failure(LookupFailure::NoDataHome,
                 "no credential store: neither XDG_DATA_HOME nor HOME is set");
}

// Reads what is left of `fd` into wiped-on-drop memory. The buffer grows by moving into a larger
// SecretString, whose move assignment wipes the smaller one, so no stray copy of the bytes is left.
std::expected<SecretString, LookupError> read_all(int fd, std::size_t size_hint, const fs::path& item) {
  // One byte beyond the expected size lets the first read that returns 0 confirm the end without
  // a regrowth. Files that report no size (procfs and the like) may answer a tiny read with a
  // short count and then end of file, so never read less than a page at a time.
  SecretString buffer =
      SecretString::zeroed(std::max<std::size_t>(std::min(size_hint, max_generic_password_size) + 1, 4096));
  std::size_t used = 0;
  for (;;) {
    if (used == buffer.size()) {
      if (used > max_generic_password_size) break;
      SecretString larger = SecretString::zeroed(std::min(buffer.size() * 2, max_generic_password_size + 1));
      std::memcpy(larger.data(), buffer.data(), used);
      buffer = std::move(larger);
    }
    const ssize_t got = retry_on_eintr([&] { return ::read(fd, buffer.data() + used, buffer.size() - used); });
    if (got < 0) {
      return failure(LookupFailure::Io, fmt::format("failed to read credential store item {}: {}",
                                                    display(item), os_error_text(errno)));
    }
    if (got == 0) break;
    used += static_cast<std::size_t>(got);
  }
  if (used > max_generic_password_size) {
    return failure(LookupFailure::TooLarge,
                   fmt::format("credential store item {} holds more than {} bytes", display(item),
                               max_generic_password_size));
  }
  buffer.truncate(used);
  return buffer;
}

}  // namespace

std::expected<fs::path, LookupError> generic_password_path(std::string_view service,
                                                           std::string_view account) {
  for (auto [what, name] : {std::pair{"service", service}, std::pair{"account", account}}) {
    if (!is_valid_name(name)) {
      return failure(LookupFailure::InvalidName,
                     fmt::format("invalid credential store {} name {:?}: it must not be empty, \".\" "
                                 "or \"..\", nor hold \"/\" or NUL",
                                 what, name));
    }
  }
  auto home = data_home();
  if (!home) return std::unexpected(std::move(home.error()));
  return *home / "tallowmere-keychain" / fs::path(service) / fs::path(account);
}

std::expected<SecretString, LookupError> find_generic_password(std::string_view service,
                                                               std::string_view account) {
  auto item = generic_password_path(service, account);
  if (!item) return std::unexpected(std::move(item.error()));

  // O_NOFOLLOW: a symbolic link at the item's path is refused (ELOOP), so the password always
  // comes from a file whose own mode was checked. O_NONBLOCK: a FIFO planted there must not hang
  // the open; it is refused by the type check below. Regular files ignore O_NONBLOCK.
  tallowmere_core::UniqueFd fd(retry_on_eintr(
      [&] { return ::open(item->c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC); }));
  if (!fd) {
    const int error = errno;
    switch (error) {
      case ENOENT:
      case ENOTDIR:
        return failure(LookupFailure::NotFound,
                       fmt::format("no credential store item for service {:?} and account {:?} at {}",
                                   service, account, display(*item)));
      case ELOOP:
        return failure(LookupFailure::NotRegularFile,
                       fmt::format("credential store item {} is a symbolic link, which is not followed",
                                   display(*item)));
      default:
        return failure(LookupFailure::Io, fmt::format("failed to open credential store item {}: {}",
                                                      display(*item), os_error_text(error)));
    }
  }

  // The checks run on the open descriptor, so they hold for exactly the file that is read.
  struct stat status {};
  if (::fstat(fd.get(), &status) != 0) {
    return failure(LookupFailure::Io, fmt::format("failed to inspect credential store item {}: {}",
                                                  display(*item), os_error_text(errno)));
  }
  if (!S_ISREG(status.st_mode)) {
    return failure(LookupFailure::NotRegularFile,
                   fmt::format("credential store item {} is not a regular file", display(*item)));
  }
  if ((status.st_mode & 077) != 0) {
    return failure(LookupFailure::InsecurePermissions,
                   fmt::format("credential store item {} is accessible by group or others (mode {:04o}); "
                               "only its owner may have access (mode 0600)",
                               display(*item), status.st_mode & 07777));
  }
  const auto size = static_cast<std::size_t>(status.st_size);
  if (size > max_generic_password_size) {
    return failure(LookupFailure::TooLarge,
                   fmt::format("credential store item {} holds more than {} bytes", display(*item),
                               max_generic_password_size));
  }
  return read_all(fd.get(), size, *item);
}

std::string generic_password_location(std::string_view service, std::string_view account) {
  using tallowmere_core::text::escape_control;
  std::string location = fmt::format("credential store item {}/{}", escape_control(service), escape_control(account));
  if (auto item = generic_password_path(service, account)) location += fmt::format(" ({})", display(*item));
  return location;
}

}  // namespace tallowmere_cli::platform

#pragma once
// The Linux stand-in for the macOS Keychain's generic passwords, read only. An item is one file,
//   <data home>/tallowmere-keychain/<service>/<account>
// where <data home> is $XDG_DATA_HOME when set and not empty, else $HOME/.local/share. The file's
// bytes are the password. To store an item (tests, set-up scripts), write those bytes to the path
// that generic_password_path() names, creating the folders, with file mode 0600.
#include <cstddef>
#include <expected>
#include <filesystem>
#include <string>
#include <string_view>

#include "platform/secret_string.h"

namespace tallowmere_cli::platform {

enum class LookupFailure {
  InvalidName,          // service or account is empty, ".", "..", or holds "/" or NUL
  NoDataHome,           // neither XDG_DATA_HOME nor HOME is set to a non-empty value
  NotFound,             // nothing at the item's path (or a folder on the way is missing)
  NotRegularFile,       // a folder, a symbolic link (never followed), a FIFO, a device...
  InsecurePermissions,  // the file's mode grants group or others any access (mode & 077)
  TooLarge,             // more than max_generic_password_size bytes
  Io,                   // opening, inspecting or reading the item failed otherwise
};

// Why a lookup failed. The key search only needs to know that it did; the message (one line,
// naming the item's path where there is one) is for developers and tests.
struct LookupError {
  LookupFailure failure;
  std::string message;
};

// An item holds a key's Base64 text (44 bytes); anything larger than this is refused rather than
// loaded whole into memory.
inline constexpr std::size_t max_generic_password_size = 1 << 20;

// Where the item for `service` and `account` lies, by the rules above. Reads the environment;
// fails with InvalidName or NoDataHome only.
std::expected<std::filesystem::path, LookupError> generic_password_path(std::string_view service,
                                                                        std::string_view account);

// The password of the item for `service` and `account`: the file's bytes exactly as stored (no
// trimming, no text decoding), held in memory that is wiped when dropped. A symbolic link at the
// item's path is refused, not followed. Safe to call from several threads as long as nobody
// changes the environment meanwhile.
std::expected<SecretString, LookupError> find_generic_password(std::string_view service,
                                                               std::string_view account);

// Where the item for `service` and `account` is kept, as a message names it: "credential store
// item <service>/<account> (<file>)", control characters escaped; the file is left out when the
// names are invalid or there is no data home. Reads the environment.
std::string generic_password_location(std::string_view service, std::string_view account);

}  // namespace tallowmere_cli::platform

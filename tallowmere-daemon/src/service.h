#pragma once
// Installation as a launchd user agent of the current user: `install` writes the agent's
// property list and loads it through `launchctl`, `uninstall` unloads it and deletes the list.
// Both print their result on standard output and return failures as error chains.
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "error_chain.h"

namespace tallowmere_daemon::service {

inline constexpr std::string_view agent_label = "com.tallowmerelabs.daemon";

// ~/Library/LaunchAgents/com.tallowmerelabs.daemon.plist, or "couldn't determine this user's
// home directory" when there is no home folder.
tallowmere_cli::Result<std::filesystem::path> plist_path();
// ~/Library/Logs/tallowmere-daemon.log, or the same error.
tallowmere_cli::Result<std::filesystem::path> log_path();
// "gui/" and the user id that `id -u` prints.
tallowmere_cli::Result<std::string> gui_domain();

// Runs `launchctl` once with exactly `arguments`; success when it exits with status 0.
tallowmere_cli::Status run_launchctl(const std::vector<std::string>& arguments);

// The agent's property list: it runs `executable` without arguments at load, restarts it after
// an unsuccessful end, and sends both output streams to `log`. The three values are UTF-8
// text; & and < in them are escaped.
std::string plist_text(std::string_view label, std::string_view executable, std::string_view log);

// Writes the property list, then boots out any loaded agent, bootstraps and enables it.
// A failure stops at its step and undoes nothing (a written property list stays).
tallowmere_cli::Status install();
// Boots the agent out (its failure ignored) and deletes the property list when there is one.
tallowmere_cli::Status uninstall();

}  // namespace tallowmere_daemon::service

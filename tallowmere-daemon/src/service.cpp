#include "service.h"

#include <cerrno>
#include <cstdio>
#include <expected>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "home.h"
#include "posix.h"
#include "process.h"
#include "text.h"
#include "unique_fd.h"

namespace tallowmere_daemon::service {
namespace {

using tallowmere_cli::ErrorChain;
using tallowmere_cli::os_error;
using tallowmere_cli::Result;
using tallowmere_cli::Status;
using tallowmere_core::posix::retry_on_eintr;

constexpr std::string_view log_fallback = "~/Library/Logs/tallowmere-daemon.log";

Result<std::filesystem::path> under_home(const std::filesystem::path& relative) {
  auto home = tallowmere_core::home::home_dir();
  if (!home) return std::unexpected(ErrorChain("couldn't determine this user's home directory"));
  return *home / relative;
}

// A captured output stream as text: lossy UTF-8, Unicode white space cut from both ends.
std::string trimmed_text(std::string_view bytes) {
  return std::string(tallowmere_core::text::trim_whitespace(tallowmere_core::text::lossy_utf8(bytes)));
}

std::string display(const std::filesystem::path& path) { return tallowmere_core::text::display(path); }

// launchctl takes the path as text: one that is not valid UTF-8 goes as an empty argument
// rather than as a lossy look-alike that names some other file.
std::string argument_text(const std::filesystem::path& path) {
  return tallowmere_core::text::is_valid_utf8(path.native()) ? path.native() : std::string();
}

std::string xml_character_data(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (const char c : value) {
    if (c == '&') {
      out += "&amp;";
    } else if (c == '<') {
      out += "&lt;";
    } else {
      out += c;
    }
  }
  return out;
}

bool is_folder(const std::filesystem::path& path) {
  struct stat status{};
  return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// Creates `folder` and its missing parents (mode 0777 less the umask). A folder that is
// already there, or that another process creates meanwhile, counts as created; anything else
// standing in the way fails with mkdir's own errno.
std::expected<void, int> make_folders(const std::filesystem::path& folder) {
  if (folder.empty()) return {};
  if (::mkdir(folder.c_str(), 0777) == 0) return {};
  if (errno != ENOENT) {
    const int error = errno;
    if (is_folder(folder)) return {};
    return std::unexpected(error);
  }
  const std::filesystem::path parent = folder.parent_path();
  if (parent == folder) return std::unexpected(ENOENT);
  if (auto made = make_folders(parent); !made) return made;
  if (::mkdir(folder.c_str(), 0777) == 0) return {};
  const int error = errno;
  if (is_folder(folder)) return {};
  return std::unexpected(error);
}

// Creates or truncates `path` and writes `bytes`.
std::expected<void, int> write_whole_file(const std::filesystem::path& path, std::string_view bytes) {
  tallowmere_core::UniqueFd file(retry_on_eintr(
      [&] { return ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666); }));
  if (!file) return std::unexpected(errno);
  while (!bytes.empty()) {
    const ssize_t written = retry_on_eintr([&] { return ::write(file.get(), bytes.data(), bytes.size()); });
    if (written < 0) return std::unexpected(errno);
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  // close can report a deferred write error (NFS, quota).
  if (const int error = file.close(); error != 0 && error != EINTR) return std::unexpected(error);
  return {};
}

// The command's outcome is already settled when it prints, so a console that has gone away
// does not turn a finished installation into a failure.
void print_line(const std::string& line) {
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

std::string service_target(const std::string& domain) { return domain + "/" + std::string(agent_label); }

}  // namespace

Result<std::filesystem::path> plist_path() {
  return under_home(std::filesystem::path("Library") / "LaunchAgents" / (std::string(agent_label) + ".plist"));
}

Result<std::filesystem::path> log_path() {
  return under_home(std::filesystem::path("Library") / "Logs" / "tallowmere-daemon.log");
}

Result<std::string> gui_domain() {
  auto output = process::run("id", {"-u"});
  if (!output) return std::unexpected(os_error("failed to run `id -u` to determine this user's UID", output.error()));
  if (!output->succeeded()) {
    return std::unexpected(ErrorChain("id -u failed: " + trimmed_text(output->standard_error)));
  }
  return "gui/" + trimmed_text(output->standard_output);
}

Status run_launchctl(const std::vector<std::string>& arguments) {
  auto output = process::run("launchctl", arguments);
  if (!output) return std::unexpected(os_error("failed to run launchctl", output.error()));
  if (!output->succeeded()) {
    std::string command = "launchctl";
    for (const std::string& argument : arguments) command += " " + argument;
    return std::unexpected(ErrorChain(command + " failed: " + trimmed_text(output->standard_error)));
  }
  return {};
}

std::string plist_text(std::string_view label, std::string_view executable, std::string_view log) {
  const std::string log_text = xml_character_data(log);
  std::string out;
  out += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  out += "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n";
  out += "<plist version=\"1.0\">\n";
  out += "<dict>\n";
  out += "    <key>Label</key>\n";
  out += "    <string>" + xml_character_data(label) + "</string>\n";
  out += "    <key>ProgramArguments</key>\n";
  out += "    <array>\n";
  out += "        <string>" + xml_character_data(executable) + "</string>\n";
  out += "    </array>\n";
  out += "    <key>RunAtLoad</key>\n";
  out += "    <true/>\n";
  out += "    <key>KeepAlive</key>\n";
  out += "    <dict>\n";
  out += "        <key>SuccessfulExit</key>\n";
  out += "        <false/>\n";
  out += "    </dict>\n";
  out += "    <key>StandardOutPath</key>\n";
  out += "    <string>" + log_text + "</string>\n";
  out += "    <key>StandardErrorPath</key>\n";
  out += "    <string>" + log_text + "</string>\n";
  out += "</dict>\n";
  out += "</plist>\n";
  return out;
}

Status install() {
  const auto executable = process::current_executable();
  if (!executable) return std::unexpected(os_error("failed to resolve this binary's own path", executable.error()));

  const auto plist = plist_path();
  if (!plist) return std::unexpected(plist.error());
  if (auto made = make_folders(plist->parent_path()); !made) {
    return std::unexpected(os_error("failed to create ~/Library/LaunchAgents", made.error()));
  }
  const auto log = log_path();
  if (!log) return std::unexpected(log.error());
  if (auto made = make_folders(log->parent_path()); !made) {
    return std::unexpected(os_error("failed to create ~/Library/Logs", made.error()));
  }
  // The log file itself is left to launchd, which creates it when it starts the agent.
  const std::string text = plist_text(agent_label, display(*executable), display(*log));
  if (auto written = write_whole_file(*plist, text); !written) {
    return std::unexpected(os_error("failed to write launchd plist", written.error()));
  }

  const auto domain = gui_domain();
  if (!domain) return std::unexpected(domain.error());
  const std::string target = service_target(*domain);
  // There may be no agent loaded yet; a stale one must go before the new list is loaded.
  (void)run_launchctl({"bootout", target});
  if (auto loaded = run_launchctl({"bootstrap", *domain, argument_text(*plist)}); !loaded) return loaded;
  if (auto enabled = run_launchctl({"enable", target}); !enabled) return enabled;

  print_line("Installed and started " + std::string(agent_label) + " (" + display(*plist) + ").");
  const auto log_again = log_path();
  print_line("Logs: " + (log_again ? display(*log_again) : std::string(log_fallback)));
  return {};
}

Status uninstall() {
  const auto domain = gui_domain();
  if (!domain) return std::unexpected(domain.error());
  // Nothing may be loaded; that is not a reason to keep the property list.
  (void)run_launchctl({"bootout", service_target(*domain)});

  const auto plist = plist_path();
  if (!plist) return std::unexpected(plist.error());
  // A list whose metadata cannot be read (usually: there is none) is left alone unreported.
  struct stat status{};
  if (::stat(plist->c_str(), &status) == 0 && ::unlink(plist->c_str()) != 0) {
    return std::unexpected(os_error("failed to remove launchd plist", errno));
  }
  print_line("Removed " + std::string(agent_label) + ".");
  return {};
}

}  // namespace tallowmere_daemon::service

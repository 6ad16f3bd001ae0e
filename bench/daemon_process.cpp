#include "daemon_process.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tallowmere_bench::service {
namespace {

namespace fs = std::filesystem;

// NULL-terminated views of `texts` for exec; valid while `texts` lives.
std::vector<char*> c_strings(const std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  pointers.reserve(texts.size() + 1);
  for (const std::string& text : texts) pointers.push_back(const_cast<char*>(text.c_str()));
  pointers.push_back(nullptr);
  return pointers;
}

// A child with a clean signal state: the benchmark's own mask and dispositions (a harness may
// block or ignore SIGINT) must not decide whether the service can be stopped.
class SpawnSettings {
 public:
  SpawnSettings() {
    posix_spawn_file_actions_init(&actions_);
    posix_spawnattr_init(&attributes_);
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int signal : {SIGINT, SIGTERM, SIGPIPE, SIGCHLD}) sigaddset(&defaults, signal);
    posix_spawnattr_setsigmask(&attributes_, &none);
    posix_spawnattr_setsigdefault(&attributes_, &defaults);
    posix_spawnattr_setflags(&attributes_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  }
  ~SpawnSettings() {
    posix_spawn_file_actions_destroy(&actions_);
    posix_spawnattr_destroy(&attributes_);
  }
  SpawnSettings(const SpawnSettings&) = delete;
  SpawnSettings& operator=(const SpawnSettings&) = delete;

  // Standard input from /dev/null, standard output into `out_fd`, standard error to `err_path`.
  void streams(int out_fd, const std::string& err_path) {
    posix_spawn_file_actions_addopen(&actions_, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions_, out_fd, 1);
    posix_spawn_file_actions_addopen(&actions_, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  }

  pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& environment) {
    auto args = c_strings(argv);
    auto env = c_strings(environment);
    pid_t pid = -1;
    const int error = posix_spawnp(&pid, argv.front().c_str(), &actions_, &attributes_, args.data(), env.data());
    if (error != 0) throw std::runtime_error("cannot start " + argv.front() + ": " + std::strerror(error));
    return pid;
  }

 private:
  posix_spawn_file_actions_t actions_;
  posix_spawnattr_t attributes_;
};

struct Pipe {
  int read_end = -1;
  int write_end = -1;
  Pipe() {
    int fds[2];
    // Close-on-exec on both ends: the child gets the write end only through its dup2, so the
    // read end sees the end of output once the child (and nothing else) has closed it.
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    read_end = fds[0];
    write_end = fds[1];
  }
  ~Pipe() {
    close_read();
    close_write();
  }
  void close_read() {
    if (read_end >= 0) ::close(read_end);
    read_end = -1;
  }
  void close_write() {
    if (write_end >= 0) ::close(write_end);
    write_end = -1;
  }
};

double seconds_of(const timeval& value) { return static_cast<double>(value.tv_sec) + value.tv_usec / 1e6; }

}  // namespace

CpuTime process_cpu(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  // The command name in parentheses may hold blanks; the fields after it do not.
  const auto close = text.rfind(')');
  if (close == std::string::npos) return {};
  std::istringstream fields(text.substr(close + 2));
  std::vector<std::string> tokens;
  for (std::string token; fields >> token;) tokens.push_back(token);
  // Fields 14 and 15 of the file (utime, stime); the first token after the name is field 3.
  if (tokens.size() < 13) return {};
  const double ticks = static_cast<double>(::sysconf(_SC_CLK_TCK));
  return CpuTime{std::stod(tokens[11]) / ticks, std::stod(tokens[12]) / ticks};
}

SchedulerTotals scheduler_totals(pid_t pid) {
  SchedulerTotals totals;
  std::error_code error;
  for (fs::directory_iterator task("/proc/" + std::to_string(pid) + "/task", error), end; !error && task != end;
       task.increment(error)) {
    std::ifstream schedstat(task->path() / "schedstat");
    std::uint64_t run_nanoseconds = 0;
    if (schedstat >> run_nanoseconds) totals.run_seconds += static_cast<double>(run_nanoseconds) / 1e9;
    std::ifstream status(task->path() / "status");
    for (std::string line; std::getline(status, line);) {
      const auto value = [&line] { return std::strtoull(line.c_str() + line.find(':') + 1, nullptr, 10); };
      if (line.starts_with("voluntary_ctxt_switches:")) totals.wakeups += value();
      if (line.starts_with("nonvoluntary_ctxt_switches:")) totals.preemptions += value();
    }
  }
  return totals;
}

DaemonProcess::DaemonProcess(const fs::path& program, const std::vector<std::string>& environment,
                             const fs::path& stderr_file) {
  Pipe out;
  SpawnSettings settings;
  settings.streams(out.write_end, stderr_file.string());
  pid_ = settings.spawn({program.string()}, environment);
  out.close_write();
  const int read_end = out.read_end;
  out.read_end = -1;
  reader_ = std::thread([this, read_end] { pump(read_end); });
}

DaemonProcess::~DaemonProcess() {
  stop(std::chrono::seconds(10));
  if (reader_.joinable()) reader_.join();
}

void DaemonProcess::pump(int fd) {
  std::string partial;
  char buffer[64 * 1024];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    const auto at = Clock::now();
    partial.append(buffer, static_cast<std::size_t>(n));
    std::size_t start = 0;
    std::vector<OutputLine> complete;
    for (std::size_t end; (end = partial.find('\n', start)) != std::string::npos; start = end + 1) {
      complete.push_back(OutputLine{at, partial.substr(start, end - start)});
    }
    partial.erase(0, start);
    if (!complete.empty()) {
      std::lock_guard lock(mutex_);
      for (auto& line : complete) lines_.push_back(std::move(line));
      changed_.notify_all();
    }
  }
  ::close(fd);
  std::lock_guard lock(mutex_);
  if (!partial.empty()) lines_.push_back(OutputLine{Clock::now(), partial});
  output_ended_ = true;
  changed_.notify_all();
}

bool DaemonProcess::wait_for(const std::function<bool(const std::vector<OutputLine>&)>& condition,
                             std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    if (condition(lines_)) return true;
    if (output_ended_) return false;
    if (changed_.wait_until(lock, deadline) == std::cv_status::timeout) return condition(lines_);
  }
}

long DaemonProcess::wait_for_line(const std::string& needle, std::size_t from, std::size_t count,
                                  std::chrono::milliseconds timeout) {
  long found = -1;
  wait_for(
      [&](const std::vector<OutputLine>& lines) {
        std::size_t seen = 0;
        for (std::size_t i = from; i < lines.size(); ++i) {
          if (lines[i].text.find(needle) != std::string::npos && ++seen == count) {
            found = static_cast<long>(i);
            return true;
          }
        }
        return false;
      },
      timeout);
  return found;
}

std::vector<OutputLine> DaemonProcess::lines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

std::size_t DaemonProcess::line_count() const {
  std::lock_guard lock(mutex_);
  return lines_.size();
}

CpuTime DaemonProcess::cpu() const { return reaped_ ? CpuTime{} : process_cpu(pid_); }

Memory DaemonProcess::memory() const {
  Memory memory;
  std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
  for (std::string line; std::getline(status, line);) {
    const auto value = [&line] { return static_cast<std::size_t>(std::strtoull(line.c_str() + line.find(':') + 1, nullptr, 10)); };
    if (line.starts_with("VmRSS:")) memory.resident_kib = value();
    if (line.starts_with("VmHWM:")) memory.peak_resident_kib = value();
    if (line.starts_with("Threads:")) memory.threads = value();
  }
  return memory;
}

bool DaemonProcess::stop(std::chrono::seconds grace) {
  if (reaped_ || pid_ <= 0) return exit_status_ == 0;
  ::kill(pid_, SIGINT);
  const auto deadline = Clock::now() + grace;
  int status = 0;
  for (;;) {
    const pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_) break;
    if (done < 0 && errno != EINTR) break;
    if (Clock::now() >= deadline) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  reaped_ = true;
  exit_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return exit_status_ == 0;
}

ProgramRun run_program(const std::vector<std::string>& argv, const std::vector<std::string>& environment) {
  Pipe out;
  SpawnSettings settings;
  settings.streams(out.write_end, "/dev/null");
  ProgramRun run;
  const auto start = Clock::now();
  const pid_t pid = settings.spawn(argv, environment);
  out.close_write();
  char buffer[64 * 1024];
  for (;;) {
    const ssize_t n = ::read(out.read_end, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    run.output.append(buffer, static_cast<std::size_t>(n));
  }
  int status = 0;
  rusage usage{};
  while (::wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  run.wall_seconds = std::chrono::duration<double>(Clock::now() - start).count();
  run.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.cpu = CpuTime{seconds_of(usage.ru_utime), seconds_of(usage.ru_stime)};
  return run;
}

}  // namespace tallowmere_bench::service

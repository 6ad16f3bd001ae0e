#pragma once
// Running a program the way an end-to-end test needs it: exact arguments, a whole environment
// of the test's choosing, optional standard input, captured standard output and error, and a
// deadline after which the program (with everything it started) is killed.
//
//   auto result = tallowmere_test::run_process({.argv = {TALLOWMERE_DAEMON_EXE, "install"},
//                                               .env = {{"HOME", home}, {"PATH", path}}});
//   EXPECT_EQ(result.exit_code, 0) << result.describe();
//
// For a program that keeps running (the service in the foreground), ChildProcess starts it,
// lets the test wait for output and send signals, and collects the end with wait().
#include <unistd.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace tallowmere_test {

struct ProcessOptions {
  // argv[0] is the program: a path, or a bare name looked up in the PATH of `env`.
  std::vector<std::string> argv{};
  // The child's whole environment; nothing of the test's own is passed on unless put here.
  std::map<std::string, std::string> env{};
  // Written to the child's standard input, which is then closed; none: /dev/null.
  std::optional<std::string> stdin_text{};
  // Measured from the start; when it passes, the child's process group is sent SIGKILL.
  std::chrono::milliseconds timeout = std::chrono::seconds(60);
  // Empty: the test's own working directory.
  std::filesystem::path working_directory{};
  // Runs in the child right before exec, after its streams are in place (setuid, setrlimit,
  // ...). Only async-signal-safe calls belong here: the test may have other threads.
  std::function<void()> in_child{};
};

struct ProcessResult {
  std::optional<int> exit_code{};  // when it exited normally
  std::optional<int> signal{};     // when a signal ended it
  bool timed_out = false;        // the deadline passed and it was killed
  std::string stdout_text{};
  std::string stderr_text{};

  // One text with everything, for assertion messages.
  std::string describe() const {
    std::string out = exit_code ? "exit code " + std::to_string(*exit_code)
                                : signal ? "signal " + std::to_string(*signal) : "no status";
    if (timed_out) out += " (timed out)";
    return out + "\n--- stdout ---\n" + stdout_text + "\n--- stderr ---\n" + stderr_text;
  }
};

// This test process's own environment, as a starting point for ProcessOptions::env.
inline std::map<std::string, std::string> current_environment() {
  std::map<std::string, std::string> env{};
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    const std::string text = *entry;
    const auto equals = text.find('=');
    if (equals != std::string::npos) env.emplace(text.substr(0, equals), text.substr(equals + 1));
  }
  return env;
}

class ChildProcess {
 public:
  // Starts the program; throws std::runtime_error when it cannot be started.
  explicit ChildProcess(ProcessOptions options) : options_(std::move(options)) {
    start_ = std::chrono::steady_clock::now();
    if (options_.argv.empty()) throw std::runtime_error("ChildProcess: empty argv");
    spawn();
    reader_ = std::thread([this] { pump(); });
  }

  ~ChildProcess() {
    if (!reaped_) {
      ::kill(-pid_, SIGKILL);
      reap(/*block=*/true);
    }
    finish_reader(std::chrono::seconds(5));
  }

  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }

  // Sends `signal` to the program itself (not to what it started).
  void send_signal(int signal) const {
    if (!reaped_) ::kill(pid_, signal);
  }

  std::string stdout_so_far() const {
    std::lock_guard lock(mutex_);
    return stdout_;
  }
  std::string stderr_so_far() const {
    std::lock_guard lock(mutex_);
    return stderr_;
  }

  // Waits until `condition`(stdout so far, stderr so far) holds, the output ends, or `deadline`
  // passes; true when the condition held.
  bool wait_for_output(const std::function<bool(const std::string&, const std::string&)>& condition,
                       std::chrono::milliseconds deadline = std::chrono::seconds(20)) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, deadline, [&] { return condition(stdout_, stderr_) || output_done_; }) &&
           condition(stdout_, stderr_);
  }

  // Waits for the end, killing the process group when the timeout passes, and returns it.
  ProcessResult wait() {
    const auto deadline = start_ + options_.timeout;
    {
      std::unique_lock lock(mutex_);
      changed_.wait_until(lock, deadline, [&] { return output_done_; });
    }
    // The output may end before the process does; poll for its end up to the same deadline.
    while (!reap(/*block=*/false) && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (!reaped_) {
      timed_out_ = true;
      ::kill(-pid_, SIGKILL);
      reap(/*block=*/true);
    }
    finish_reader(std::chrono::seconds(5));
    ProcessResult result;
    if (WIFEXITED(status_)) result.exit_code = WEXITSTATUS(status_);
    if (WIFSIGNALED(status_)) result.signal = WTERMSIG(status_);
    result.timed_out = timed_out_;
    std::lock_guard lock(mutex_);
    result.stdout_text = stdout_;
    result.stderr_text = stderr_;
    return result;
  }

 private:
  static void make_pipe(int fds[2]) {
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error(std::string("pipe2: ") + std::strerror(errno));
  }

  std::string resolve_program() const {
    const std::string& name = options_.argv.front();
    if (name.find('/') != std::string::npos) return name;
    const auto path = options_.env.find("PATH");
    if (path == options_.env.end()) return name;
    std::size_t begin = 0;
    while (begin <= path->second.size()) {
      std::size_t end = path->second.find(':', begin);
      if (end == std::string::npos) end = path->second.size();
      const std::string folder = path->second.substr(begin, end - begin);
      const std::string candidate = (folder.empty() ? std::string(".") : folder) + "/" + name;
      if (::access(candidate.c_str(), X_OK) == 0) return candidate;
      begin = end + 1;
    }
    return name;
  }

  void spawn() {
    // Everything the child needs is built before fork: the child must not allocate.
    const std::string program = resolve_program();
    std::vector<std::string> argv_storage = options_.argv;
    std::vector<char*> argv;
    for (auto& word : argv_storage) argv.push_back(word.data());
    argv.push_back(nullptr);
    std::vector<std::string> env_storage;
    for (const auto& [key, value] : options_.env) env_storage.push_back(key + "=" + value);
    std::vector<char*> envp;
    for (auto& entry : env_storage) envp.push_back(entry.data());
    envp.push_back(nullptr);
    const std::string working_directory = options_.working_directory.string();

    int out[2], err[2], in[2] = {-1, -1}, exec_error[2];
    make_pipe(out);
    make_pipe(err);
    if (options_.stdin_text) make_pipe(in);
    make_pipe(exec_error);

    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
    if (pid_ == 0) {
      ::setpgid(0, 0);
      int stdin_fd = in[0];
      if (stdin_fd < 0) stdin_fd = ::open("/dev/null", O_RDONLY);
      ::dup2(stdin_fd, 0);
      ::dup2(out[1], 1);
      ::dup2(err[1], 2);
      sigset_t none;
      sigemptyset(&none);
      ::sigprocmask(SIG_SETMASK, &none, nullptr);
      ::signal(SIGPIPE, SIG_DFL);
      int error = 0;
      if (!working_directory.empty() && ::chdir(working_directory.c_str()) != 0) error = errno;
      if (error == 0) {
        if (options_.in_child) options_.in_child();
        ::execve(program.c_str(), argv.data(), envp.data());
        error = errno;
      }
      [[maybe_unused]] auto ignored = ::write(exec_error[1], &error, sizeof error);
      ::_exit(127);
    }
    ::setpgid(pid_, pid_);  // also from here, so that killing the group never races the child
    ::close(out[1]);
    ::close(err[1]);
    ::close(exec_error[1]);
    if (in[0] >= 0) ::close(in[0]);
    stdout_fd_ = out[0];
    stderr_fd_ = err[0];
    stdin_fd_ = in[1];
    if (stdin_fd_ >= 0) ::fcntl(stdin_fd_, F_SETFL, O_NONBLOCK);

    // The error pipe closes on a successful exec; four bytes in it are the errno of a failed one.
    int error = 0;
    ssize_t got;
    do {
      got = ::read(exec_error[0], &error, sizeof error);
    } while (got < 0 && errno == EINTR);
    ::close(exec_error[0]);
    if (got == static_cast<ssize_t>(sizeof error)) {
      reap(/*block=*/true);
      for (int fd : {stdout_fd_, stderr_fd_, stdin_fd_}) {
        if (fd >= 0) ::close(fd);
      }
      throw std::runtime_error("cannot start " + program + ": " + std::strerror(error));
    }
  }

  // The reader thread: moves both outputs into the buffers and feeds standard input.
  void pump() {
    // A child that never reads its input makes our write fail with EPIPE; the signal that goes
    // with it must not end the test, so it stays blocked (and pending) on this thread only.
    sigset_t pipe_signal;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    ::pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);
    std::size_t input_written = 0;
    if (stdin_fd_ >= 0 && options_.stdin_text->empty()) close_fd(stdin_fd_);
    char buffer[16384];
    while ((stdout_fd_ >= 0 || stderr_fd_ >= 0) && !stop_reader_) {
      pollfd watched[3];
      nfds_t count = 0;
      for (int fd : {stdout_fd_, stderr_fd_}) {
        if (fd >= 0) watched[count++] = pollfd{fd, POLLIN, 0};
      }
      if (stdin_fd_ >= 0) watched[count++] = pollfd{stdin_fd_, POLLOUT, 0};
      if (::poll(watched, count, 50) <= 0) continue;
      for (nfds_t k = 0; k < count; ++k) {
        if (watched[k].revents == 0) continue;
        const int fd = watched[k].fd;
        if (fd == stdin_fd_) {
          const std::string& text = *options_.stdin_text;
          const ssize_t put = ::write(fd, text.data() + input_written, text.size() - input_written);
          if (put > 0) input_written += static_cast<std::size_t>(put);
          if ((put < 0 && errno != EINTR && errno != EAGAIN) || input_written == text.size()) close_fd(stdin_fd_);
          continue;
        }
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (got <= 0) {
          close_fd(fd == stdout_fd_ ? stdout_fd_ : stderr_fd_);
          continue;
        }
        std::lock_guard lock(mutex_);
        (fd == stdout_fd_ ? stdout_ : stderr_).append(buffer, static_cast<std::size_t>(got));
        changed_.notify_all();
      }
    }
    for (int* fd : {&stdout_fd_, &stderr_fd_, &stdin_fd_}) close_fd(*fd);
    std::lock_guard lock(mutex_);
    output_done_ = true;
    changed_.notify_all();
  }

  static void close_fd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }

  // Something the killed program started may still hold the pipes open: give the output a
  // grace period to end, then stop reading.
  void finish_reader(std::chrono::milliseconds grace) {
    if (!reader_.joinable()) return;
    {
      std::unique_lock lock(mutex_);
      changed_.wait_for(lock, grace, [&] { return output_done_; });
    }
    stop_reader_ = true;
    reader_.join();
  }

  // True once the child has been reaped.
  bool reap(bool block) {
    if (reaped_) return true;
    for (;;) {
      const pid_t got = ::waitpid(pid_, &status_, block ? 0 : WNOHANG);
      if (got == pid_) {
        reaped_ = true;
        return true;
      }
      if (got == 0) return false;
      if (errno != EINTR) {
        reaped_ = true;  // nothing left to wait for
        return true;
      }
    }
  }

  ProcessOptions options_;
  std::chrono::steady_clock::time_point start_;
  pid_t pid_ = -1;
  int status_ = 0;
  bool reaped_ = false;
  bool timed_out_ = false;
  int stdout_fd_ = -1, stderr_fd_ = -1, stdin_fd_ = -1;
  std::thread reader_;
  std::atomic<bool> stop_reader_{false};
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::string stdout_, stderr_;
  bool output_done_ = false;
};

// Runs the program to its end (or its timeout) and returns what it did.
inline ProcessResult run_process(ProcessOptions options) { return ChildProcess(std::move(options)).wait(); }

}  // namespace tallowmere_test

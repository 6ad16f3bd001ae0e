#pragma once
// Helpers for tests that need a process of their own (a second writer, a crash, a changed user,
// resource limit or system-call filter).
#include <cerrno>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "test_support.h"

namespace tallowmere_test {

struct ChildOutcome {
  bool exited_normally = false;
  int exit_code = -1;
  std::string output;  // what the child's body returned, or the exception text
};

namespace child_pipe {

inline void write_fully(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

inline std::string read_to_end(int fd) {
  std::string text;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return text;
    text.append(buffer, static_cast<std::size_t>(n));
  }
}

}  // namespace child_pipe

// Runs `body` in a forked child and hands back the text it returned. The child leaves with
// _exit, so nothing of the test framework's state runs twice; call it while the test has no
// other threads.
inline ChildOutcome run_in_child(const std::function<std::string()>& body) {
  int fds[2];
  if (::pipe(fds) != 0) return {};
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    int code = 0;
    try {
      child_pipe::write_fully(fds[1], body());
    } catch (const std::exception& error) {
      child_pipe::write_fully(fds[1], std::string("exception: ") + error.what());
      code = 3;
    }
    ::_exit(code);
  }
  ::close(fds[1]);
  ChildOutcome outcome;
  if (pid < 0) {
    ::close(fds[0]);
    return outcome;
  }
  outcome.output = child_pipe::read_to_end(fds[0]);
  ::close(fds[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  outcome.exited_normally = WIFEXITED(status);
  outcome.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return outcome;
}

// Runs `body` in a forked child and tells whether it returned true. The child may change what a
// multi-threaded process cannot (enter another process's mount namespace, say), but since the test
// may have other threads, only system calls belong in `body`: no allocation, no locks.
inline bool system_calls_in_child(const std::function<bool()>& body) {
  const pid_t pid = ::fork();
  if (pid < 0) return false;
  if (pid == 0) ::_exit(body() ? 0 : 1);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Caps the size of every file this process writes, and ignores the signal that would end it at
// the cap, so that a write past it fails part way with EFBIG; the cap holds for root too. For a
// child of run_in_child, to spare the test's own process. False when the cap cannot be set.
inline bool limit_file_size(rlim_t bytes) {
  ::signal(SIGXFSZ, SIG_IGN);
  const rlimit limit{bytes, bytes};
  return ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
}

}  // namespace tallowmere_test

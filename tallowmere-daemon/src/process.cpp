#include "process.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "posix.h"
#include "unique_fd.h"

extern char** environ;

namespace tallowmere_daemon::process {
namespace {

using Fd = tallowmere_core::UniqueFd;
using tallowmere_core::posix::retry_on_eintr;

struct Pipe {
  Fd read_end;
  Fd write_end;
};

// Both ends close on exec and lie above 0, 1 and 2: when the service runs with one of its
// standard streams closed, a pipe end could otherwise land on the very descriptor the child's
// file actions are about to replace. pipe2 would close the short window without close-on-exec,
// but macOS lacks it, and install and uninstall start programs from the only thread there is.
std::expected<Pipe, int> make_pipe() {
  int fds[2];
  if (::pipe(fds) != 0) return std::unexpected(errno);
  Fd first(fds[0]), second(fds[1]);
  Pipe pipe;
  for (auto [from, to] : {std::pair{&first, &pipe.read_end}, std::pair{&second, &pipe.write_end}}) {
    const int moved = ::fcntl(from->get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    if (moved < 0) return std::unexpected(errno);
    to->reset(moved);
  }
  return pipe;
}

class SpawnSetup {
 public:
  SpawnSetup() {
    posix_spawn_file_actions_init(&actions_);
    posix_spawnattr_init(&attributes_);
  }
  ~SpawnSetup() {
    posix_spawnattr_destroy(&attributes_);
    posix_spawn_file_actions_destroy(&actions_);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  // Standard input from /dev/null, output and error into the pipes. The service ignores
  // SIGPIPE for itself; the programs it runs should not inherit that, nor a blocked signal.
  int prepare(int output_fd, int error_fd) {
    if (int e = posix_spawn_file_actions_addopen(&actions_, STDIN_FILENO, "/dev/null", O_RDONLY, 0)) return e;
    if (int e = posix_spawn_file_actions_adddup2(&actions_, output_fd, STDOUT_FILENO)) return e;
    if (int e = posix_spawn_file_actions_adddup2(&actions_, error_fd, STDERR_FILENO)) return e;
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    if (int e = posix_spawnattr_setsigmask(&attributes_, &none)) return e;
    if (int e = posix_spawnattr_setsigdefault(&attributes_, &defaults)) return e;
    return posix_spawnattr_setflags(&attributes_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  }

  const posix_spawn_file_actions_t* actions() const { return &actions_; }
  const posix_spawnattr_t* attributes() const { return &attributes_; }

 private:
  posix_spawn_file_actions_t actions_;
  posix_spawnattr_t attributes_;
};

// Drains both pipes until the child closes them. Reading them together keeps a child that
// fills one pipe while we wait on the other from blocking forever. On a read failure the
// pipe is closed, so that the child is not left blocked on it, and the errno is returned
// once both are done.
int collect(Fd& output_pipe, Fd& error_pipe, Output& output) {
  std::array<Fd*, 2> pipes{&output_pipe, &error_pipe};
  std::array<std::string*, 2> sinks{&output.standard_output, &output.standard_error};
  int failure = 0;
  char buffer[16384];
  while (*pipes[0] || *pipes[1]) {
    pollfd watched[2];
    nfds_t count = 0;
    std::size_t which[2];
    for (std::size_t i = 0; i < pipes.size(); ++i) {
      if (!*pipes[i]) continue;
      watched[count] = pollfd{pipes[i]->get(), POLLIN, 0};
      which[count++] = i;
    }
    if (::poll(watched, count, -1) < 0) {
      if (errno == EINTR) continue;
      failure = errno;
      for (Fd* pipe : pipes) pipe->reset();
      break;
    }
    for (nfds_t k = 0; k < count; ++k) {
      if (watched[k].revents == 0) continue;
      const std::size_t i = which[k];
      const ssize_t got = retry_on_eintr([&] { return ::read(pipes[i]->get(), buffer, sizeof buffer); });
      if (got > 0) {
        sinks[i]->append(buffer, static_cast<std::size_t>(got));
      } else if (got == 0) {
        pipes[i]->reset();
      } else if (errno != EAGAIN) {
        if (failure == 0) failure = errno;
        pipes[i]->reset();
      }
    }
  }
  return failure;
}

std::expected<int, int> wait_for(pid_t pid) {
  int status = 0;
  if (retry_on_eintr([&] { return ::waitpid(pid, &status, 0); }) < 0) return std::unexpected(errno);
  return status;
}

}  // namespace

std::expected<Output, int> run(const std::string& program, const std::vector<std::string>& arguments) {
  auto output_pipe = make_pipe();
  if (!output_pipe) return std::unexpected(output_pipe.error());
  auto error_pipe = make_pipe();
  if (!error_pipe) return std::unexpected(error_pipe.error());

  SpawnSetup setup;
  if (int e = setup.prepare(output_pipe->write_end.get(), error_pipe->write_end.get())) {
    return std::unexpected(e);
  }

  std::vector<std::string> words;
  words.reserve(arguments.size() + 1);
  words.push_back(program);
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  // glibc and macOS report a failed exec (not found, not executable) as the return value,
  // so a program that cannot be started never shows up as a child that exited 127.
  pid_t pid = 0;
  if (int e = posix_spawnp(&pid, program.c_str(), setup.actions(), setup.attributes(), argv.data(), environ)) {
    return std::unexpected(e);
  }
  // Our copies of the write ends must go, or the pipes never reach end of file.
  output_pipe->write_end.reset();
  error_pipe->write_end.reset();

  Output output;
  const int read_failure = collect(output_pipe->read_end, error_pipe->read_end, output);
  const auto status = wait_for(pid);
  if (!status) return std::unexpected(status.error());
  if (read_failure != 0) return std::unexpected(read_failure);
  if (WIFEXITED(*status)) output.exit_code = WEXITSTATUS(*status);
  return output;
}

std::expected<std::filesystem::path, int> current_executable() { return tallowmere_core::posix::current_executable(); }

}  // namespace tallowmere_daemon::process

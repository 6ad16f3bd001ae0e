#include "lib.h"

#include <csignal>
#include <system_error>
#include <thread>

#include <fcntl.h>
#include <fmt/format.h>
#include <pthread.h>
#include <sys/file.h>

#include "console.h"
#include "ipc.h"
#include "posix.h"
#include "project.h"
#include "supervisor.h"
#include "text.h"
#include "unique_fd.h"

namespace tallowmere_daemon {

void run_with_rescan_interval(tallowmere_cli::SharedFlag running) {
  supervisor::State state;
  supervisor::run(running, supervisor::Options{}, state);
}

namespace {

// SIGINT is blocked in every thread and taken synchronously by one thread of its own, so the
// signal context does nothing at all and the flag is cleared from ordinary code.
tallowmere_cli::Status install_ctrl_c_handler(const tallowmere_cli::SharedFlag& running) {
  static std::atomic<bool> installed{false};
  const auto fail = [](std::string cause) {
    return std::unexpected(tallowmere_cli::ErrorChain(std::move(cause)).context("failed to install Ctrl-C handler"));
  };
  if (installed.exchange(true)) return fail("Ctrl-C signal handler already registered");
  sigset_t interrupt;
  sigemptyset(&interrupt);
  sigaddset(&interrupt, SIGINT);
  if (pthread_sigmask(SIG_BLOCK, &interrupt, nullptr) != 0) return fail("Unexpected system error");
  // A shell starts background jobs with SIGINT ignored, and an ignored signal may be dropped
  // before sigwait can take it; the service must stop on Ctrl-C however it was started. Blocked
  // first, so that a Ctrl-C in between stays pending instead of ending the process.
  if (std::signal(SIGINT, SIG_DFL) == SIG_ERR) {
    pthread_sigmask(SIG_UNBLOCK, &interrupt, nullptr);
    return fail("Unexpected system error");
  }
  try {
    std::thread([running, interrupt] {
      tallowmere_core::posix::name_this_thread("ctrl-c");
      while (true) {
        int signal_number = 0;
        if (sigwait(&interrupt, &signal_number) == 0 && signal_number == SIGINT) running->exchange(false);
      }
    }).detach();
  } catch (const std::system_error&) {
    pthread_sigmask(SIG_UNBLOCK, &interrupt, nullptr);
    return fail("Unexpected system error");
  }
  return {};
}

// One service per central root: two would both watch every project and record every save twice.
// The lock lives as long as the descriptor, and the kernel releases it when the process dies, so a
// killed service never blocks the next start.
tallowmere_cli::Result<tallowmere_core::UniqueFd> take_service_lock() {
  auto socket = ipc::socket_path();
  if (!socket) return std::unexpected(std::move(socket.error()));
  const auto lock_file = socket->parent_path() / "daemon.lock";
  tallowmere_core::UniqueFd fd(tallowmere_core::posix::retry_on_eintr(
      [&] { return ::open(lock_file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600); }));
  if (!fd) {
    return std::unexpected(tallowmere_cli::os_error(
        fmt::format("failed to open the service lock {}", tallowmere_core::text::display(lock_file)), errno));
  }
  if (tallowmere_core::posix::retry_on_eintr([&] { return ::flock(fd.get(), LOCK_EX | LOCK_NB); }) != 0) {
    if (errno == EWOULDBLOCK) {
      return std::unexpected(tallowmere_cli::ErrorChain(
          fmt::format("another tallowmere-daemon is already running for {}",
                      tallowmere_core::text::display(socket->parent_path().parent_path()))));
    }
    return std::unexpected(tallowmere_cli::os_error(
        fmt::format("failed to lock the service lock {}", tallowmere_core::text::display(lock_file)), errno));
  }
  return fd;
}

}  // namespace

tallowmere_cli::Status run_daemon() {
  auto service_lock = take_service_lock();
  if (!service_lock) return std::unexpected(std::move(service_lock.error()));
  auto running = std::make_shared<tallowmere_cli::Flag>(true);
  if (auto installed = install_ctrl_c_handler(running); !installed) return installed;
  tallowmere_cli::console::out(
      "tallowmere-daemon starting (rescans the project registry every 5 minutes). Press Ctrl-C to stop.");
  run_with_rescan_interval(running);
  tallowmere_cli::console::out("Stopped.");
  return {};
}

}  // namespace tallowmere_daemon

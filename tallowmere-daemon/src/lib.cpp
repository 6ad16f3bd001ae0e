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
// The lock is on the central root folder itself, which a second service must open whatever has
// become of the files inside it: a lock file in `run` goes when that folder is removed, and the
// socket with it, so neither could tell a second service that one runs. Nothing else locks the
// root folder; the ledger locks are files of their own. The lock lives as long as the descriptor, and the kernel releases it when the process
// dies, so a killed service never blocks the next start.
tallowmere_cli::Result<tallowmere_core::UniqueFd> take_service_lock() {
  auto root = tallowmere_cli::project::central_root();
  if (!root) return std::unexpected(std::move(root.error()));
  const auto open_root = [&] { return tallowmere_core::posix::open_file(*root, O_RDONLY | O_DIRECTORY); };
  tallowmere_core::UniqueFd fd = open_root();
  if (!fd) {
    // A first start makes the central root along with its `run` folder, and a root that cannot
    // be made fails the way the control socket's setup reports it.
    if (auto socket = ipc::socket_path(); !socket) return std::unexpected(std::move(socket.error()));
    fd = open_root();
  }
  if (!fd) {
    return std::unexpected(tallowmere_cli::os_error(
        fmt::format("failed to open the central root {} for the service lock", tallowmere_core::text::display(*root)),
        errno));
  }
  if (tallowmere_core::posix::retry_on_eintr([&] { return ::flock(fd.get(), LOCK_EX | LOCK_NB); }) != 0) {
    if (errno == EWOULDBLOCK) {
      return std::unexpected(tallowmere_cli::ErrorChain(
          fmt::format("another tallowmere-daemon is already running for {}", tallowmere_core::text::display(*root))));
    }
    return std::unexpected(tallowmere_cli::os_error(
        fmt::format("failed to lock the central root {} for the service lock", tallowmere_core::text::display(*root)),
        errno));
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

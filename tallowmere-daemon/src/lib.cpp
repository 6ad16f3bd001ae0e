#include "lib.h"

#include <csignal>
#include <system_error>
#include <thread>

#include <pthread.h>

#include "console.h"
#include "supervisor.h"

namespace tallowmere_daemon {

void run_with_rescan_interval(std::shared_ptr<std::atomic<bool>> running) {
  supervisor::State state;
  supervisor::run(running, supervisor::Options{}, state);
}

namespace {

// SIGINT is blocked in every thread and taken synchronously by one thread of its own, so the
// signal context does nothing at all and the flag is cleared from ordinary code.
tallowmere_cli::Status install_ctrl_c_handler(const std::shared_ptr<std::atomic<bool>>& running) {
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
      pthread_setname_np(pthread_self(), "ctrl-c");
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

}  // namespace

tallowmere_cli::Status run_daemon() {
  auto running = std::make_shared<std::atomic<bool>>(true);
  if (auto installed = install_ctrl_c_handler(running); !installed) return installed;
  tallowmere_cli::console::out(
      "tallowmere-daemon starting (rescans the project registry every 5 minutes). Press Ctrl-C to stop.");
  run_with_rescan_interval(running);
  tallowmere_cli::console::out("Stopped.");
  return {};
}

}  // namespace tallowmere_daemon

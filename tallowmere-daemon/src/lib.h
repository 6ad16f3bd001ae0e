#pragma once
// Service mode: the supervisor that keeps one watcher thread per watch-enabled project.
#include <atomic>
#include <chrono>
#include <memory>

#include "error_chain.h"
#include "flag.h"

namespace tallowmere_daemon {

// Runs the supervisor on the calling thread until `running` turns false, then stops and joins
// every thread it started.
void run_with_rescan_interval(tallowmere_cli::SharedFlag running);

// Service mode: the Ctrl-C handler, the banner, the supervisor, "Stopped.".
tallowmere_cli::Status run_daemon();

}  // namespace tallowmere_daemon

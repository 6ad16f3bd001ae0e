#pragma once
// Repair of a ledger whose last line was cut off by a writer that died mid-write.
#include <string>

#include "error_chain.h"
#include "ledger.h"
#include "project.h"

namespace tallowmere_cli::checkpoint_ops {

// The warning for a torn last line (two lines, no final line feed): its number, the reader's
// error, and its raw text, cut to 120 characters plus "..." when longer.
std::string torn_line_warning(const tallowmere_core::TrailingIncomplete& torn);

// Prints the warning for `torn` (as project loading saw it), then, under the ledger lock, rereads
// the ledger and, only when its last line is still torn, cuts the file just after its last line
// feed and forces it to disk. The lock keeps this from cutting the half-written line of an append
// by another process that is still in progress. Error chain "failed to repair truncated ledger
// tail" over the lock, read or write failure.
Status repair_ledger_tail(const ProjectPaths& paths, const tallowmere_core::TrailingIncomplete& torn);

// The same repair for a caller that already holds the ledger lock and has just found `torn` in a
// reread under it (an append finding a tail torn by a writer that died while this watcher ran):
// prints the warning, then cuts and syncs. Same error chain.
Status repair_ledger_tail_under_lock(const ProjectPaths& paths, const tallowmere_core::TrailingIncomplete& torn);

}  // namespace tallowmere_cli::checkpoint_ops

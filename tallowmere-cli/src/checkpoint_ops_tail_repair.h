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

// Under the ledger lock, rereads the ledger and, only when its last line is still torn, prints
// the warning for that line as the reread found it, cuts the file just after its last line feed
// and forces it to disk. `seen_at_load`, the torn line project loading reported, only calls for
// the repair: the line may since have been completed by the writer it belonged to, and then
// nothing is cut or printed. The lock keeps this from cutting the half-written line of an append
// by another process that is still in progress. Error chain "failed to repair truncated ledger
// tail" over the lock, read or write failure.
Status repair_ledger_tail(const ProjectPaths& paths, const tallowmere_core::TrailingIncomplete& seen_at_load);

// The same repair for a caller that already holds the ledger lock and has just found `torn` in a
// reread under it (an append finding a tail torn by a writer that died while this watcher ran):
// once a line to cut is found after the last line feed, prints the warning for `torn`, then cuts
// and syncs; a file that ends in a line feed is left alone, silently. Same error chain.
Status repair_ledger_tail_under_lock(const ProjectPaths& paths, const tallowmere_core::TrailingIncomplete& torn);

}  // namespace tallowmere_cli::checkpoint_ops

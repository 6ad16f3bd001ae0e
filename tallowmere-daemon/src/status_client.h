#pragma once
// `tallowmere-daemon status`: asks the running service over its control socket what it watches and
// prints one block of five lines per project.
#include <string>
#include <vector>

#include "error_chain.h"
#include "protocol.h"

namespace tallowmere_daemon::ipc {

// One connection, one `Status` request, one reply; the connection is closed before this returns.
// Any reply but a `Status` is a failure with its own message.
tallowmere_cli::Result<std::vector<ProjectStatus>> query_status();

// The report's lines, without line feeds: "No projects currently being watched." for an empty
// list, else five lines per project in the order given.
std::vector<std::string> report_lines(const std::vector<ProjectStatus>& projects);

// query_status, then the report on standard output.
tallowmere_cli::Status status_client();

}  // namespace tallowmere_daemon::ipc

#pragma once
// The platform stand-ins retry interrupted system calls through the core's one helper.
#include "posix.h"

namespace tallowmere_cli::platform {

using tallowmere_core::posix::retry_on_eintr;

}  // namespace tallowmere_cli::platform

#pragma once
// The one helper through which the platform stand-ins retry system calls interrupted by a signal.
#include <cerrno>

namespace tallowmere_cli::platform {

// Calls `call` (a system call returning -1 and setting errno on failure) again for as long as it
// fails with EINTR; returns its first other result, errno left as the call set it.
template <class Call>
auto retry_on_eintr(Call&& call) {
  for (;;) {
    auto result = call();
    if (result != -1 || errno != EINTR) return result;
  }
}

}  // namespace tallowmere_cli::platform

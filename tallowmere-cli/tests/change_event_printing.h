#pragma once
// Readable failure output for assertions on change events, for the watcher's test files.
#include <ostream>

#include "platform/file_watcher.h"

namespace tallowmere_cli::platform {

// Found by argument-dependent lookup; inline, so every test file that includes this shares one.
inline void PrintTo(EventKind kind, std::ostream* out) {
  static constexpr const char* names[] = {"Any", "Access", "Create", "Modify", "Remove", "Other"};
  *out << names[static_cast<int>(kind)];
}
inline void PrintTo(const ChangeEvent& event, std::ostream* out) {
  PrintTo(event.kind, out);
  *out << "[";
  for (std::size_t i = 0; i < event.paths.size(); ++i) *out << (i ? ", " : "") << event.paths[i].string();
  *out << "]";
}

}  // namespace tallowmere_cli::platform

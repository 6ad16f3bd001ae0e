#pragma once
namespace tallowmere_daemon {
// The version the control socket reports.
inline constexpr const char* kVersion = "0.2.0";
}  // namespace tallowmere_daemon

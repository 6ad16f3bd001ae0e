#pragma once
namespace tallowmere_daemon {
// The version the control socket reports.
// The build passes in the project's version, so it is written once, in CMakeLists.txt.
inline constexpr const char* daemon_version = TALLOWMERE_VERSION;
}  // namespace tallowmere_daemon

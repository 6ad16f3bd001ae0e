#pragma once
// What only Linux lets a test see or do to a process: its /proc folder (the size-less regular
// files there, the executable link, the mount namespace, the memory it maps) and system-call
// filters. The tests that use these are Linux-specific; elsewhere the filter is reported
// unavailable and the paths name nothing.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include <sys/types.h>

#if defined(__linux__)
#include <cerrno>
#include <cstddef>
#include <iterator>

#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#endif

namespace tallowmere_test::linux_process {

// /proc/self and /proc/<pid>.
inline std::filesystem::path this_process() { return "/proc/self"; }
inline std::filesystem::path process(pid_t pid) { return "/proc/" + std::to_string(pid); }

// The pages this process maps (the first field of /proc/self/statm); 0 when that cannot be read.
inline std::size_t mapped_pages() {
  std::size_t pages = 0;
  if (std::FILE* statm = std::fopen((this_process() / "statm").c_str(), "r")) {
    if (std::fscanf(statm, "%zu", &pages) != 1) pages = 0;
    std::fclose(statm);
  }
  return pages;
}

// Makes getrandom(2) fail with `error` in this process for the rest of its life (so: in a forked
// child), through a seccomp filter. False where the system or the architecture has no such filter.
inline bool refuse_random_source(int error) {
#if defined(__linux__) && (defined(__x86_64__) || defined(__aarch64__))
#if defined(__x86_64__)
  constexpr std::uint32_t arch = AUDIT_ARCH_X86_64;
#else
  constexpr std::uint32_t arch = AUDIT_ARCH_AARCH64;
#endif
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, arch, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_getrandom, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (static_cast<std::uint32_t>(error) & SECCOMP_RET_DATA)),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
  return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
#else
  (void)error;
  return false;
#endif
}

}  // namespace tallowmere_test::linux_process

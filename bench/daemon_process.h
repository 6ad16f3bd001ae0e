#pragma once
// The real executable as a benchmark drives it: the service running in the foreground with its
// standard output read line by line (each line stamped with the moment it arrived), its CPU time
// and memory read from /proc, and one-shot runs of a program such as `status`.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <sys/types.h>

namespace tallowmere_bench::service {

using Clock = std::chrono::steady_clock;

struct OutputLine {
  Clock::time_point at;  // when the line reached this process
  std::string text;      // without its line feed
};

// CPU time of a whole process (all its threads), in seconds, from /proc/<pid>/stat.
struct CpuTime {
  double user = 0;
  double system = 0;
  double total() const { return user + system; }
};

// Resident memory from /proc/<pid>/status, in kibibytes.
struct Memory {
  std::size_t resident_kib = 0;       // VmRSS
  std::size_t peak_resident_kib = 0;  // VmHWM
  std::size_t threads = 0;
};

class DaemonProcess {
 public:
  // Starts `program` with no arguments and exactly `environment`; standard error goes to
  // `stderr_file`. Throws std::runtime_error when it cannot be started.
  DaemonProcess(const std::filesystem::path& program, const std::vector<std::string>& environment,
                const std::filesystem::path& stderr_file);
  // Stops the service if it still runs.
  ~DaemonProcess();
  DaemonProcess(const DaemonProcess&) = delete;
  DaemonProcess& operator=(const DaemonProcess&) = delete;

  pid_t pid() const { return pid_; }

  // Waits until `condition` holds for the lines so far (it is asked again on every new line),
  // the output ends or `timeout` passes; true when it held.
  bool wait_for(const std::function<bool(const std::vector<OutputLine>&)>& condition, std::chrono::milliseconds timeout);
  // Waits for the `count`-th line, counted from line index `from`, that contains `needle`; its
  // index, or -1 after `timeout`.
  long wait_for_line(const std::string& needle, std::size_t from, std::size_t count, std::chrono::milliseconds timeout);
  std::vector<OutputLine> lines() const;
  std::size_t line_count() const;

  CpuTime cpu() const;
  Memory memory() const;

  // SIGINT, then waits up to `grace` for the exit, then SIGKILL. True for a clean exit (status 0).
  bool stop(std::chrono::seconds grace = std::chrono::seconds(20));

 private:
  void pump(int fd);

  pid_t pid_ = -1;
  bool reaped_ = false;
  int exit_status_ = -1;
  std::thread reader_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<OutputLine> lines_;
  bool output_ended_ = false;
};

struct ProgramRun {
  int exit_status = -1;   // -1 unless it exited normally
  std::string output;     // standard output
  double wall_seconds = 0;
  CpuTime cpu;            // of the program itself, from wait4
};

// Runs `argv` to its end with exactly `environment`, standard error discarded.
ProgramRun run_program(const std::vector<std::string>& argv, const std::vector<std::string>& environment);

// The CPU time of process `pid` so far, or zeros when it cannot be read.
CpuTime process_cpu(pid_t pid);

// What the scheduler recorded for all threads of a process, to the nanosecond: the tick-based
// CPU time of /proc/<pid>/stat cannot resolve a few milliseconds per second.
struct SchedulerTotals {
  double run_seconds = 0;           // time on a CPU, summed over /proc/<pid>/task/*/schedstat
  std::uint64_t wakeups = 0;        // voluntary context switches: each is a sleep that ended
  std::uint64_t preemptions = 0;    // involuntary context switches
};
SchedulerTotals scheduler_totals(pid_t pid);

}  // namespace tallowmere_bench::service

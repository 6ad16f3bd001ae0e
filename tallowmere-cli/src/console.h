#pragma once
// Console lines for the user (standard output) and for problems (standard error). Each line goes
// out whole, with its line feed, in one write that is flushed at once, so lines of several
// watcher threads never interleave mid-line, even when the stream is a pipe or a log file.
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace tallowmere_cli::console {

// Writes `line` followed by "\n" to standard output. Thread-safe; never fails (a closed stream
// loses the line).
void out(std::string_view line);
// The same on standard error.
void err(std::string_view line);

// While a Capture lives, out() and err() append their lines (without the "\n") to it instead of
// writing them; the one created last wins, and the previous one is restored when it goes. For
// tests. Thread-safe.
class Capture {
 public:
  Capture();
  ~Capture();
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;

  std::vector<std::string> out_lines() const;
  std::vector<std::string> err_lines() const;
  // Standard output and standard error interleaved in the order written, each line prefixed
  // "out: " or "err: ".
  std::vector<std::string> all_lines() const;

 private:
  friend void write_line(bool to_error, std::string_view line);
  mutable std::mutex mutex_;
  std::vector<std::string> out_;
  std::vector<std::string> err_;
  std::vector<std::string> all_;
  Capture* previous_ = nullptr;
};

}  // namespace tallowmere_cli::console

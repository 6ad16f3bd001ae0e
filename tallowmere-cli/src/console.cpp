#include "console.h"

#include <cstdio>

namespace tallowmere_cli::console {
namespace {

// Guards the active capture and orders whole lines across threads.
std::mutex& console_mutex() {
  static std::mutex mutex;
  return mutex;
}

Capture*& active_capture() {
  static Capture* capture = nullptr;
  return capture;
}

}  // namespace

void write_line(bool to_error, std::string_view line) {
  std::string text;
  text.reserve(line.size() + 1);
  text.append(line);
  text.push_back('\n');

  std::lock_guard lock(console_mutex());
  if (Capture* capture = active_capture()) {
    std::lock_guard capture_lock(capture->mutex_);
    (to_error ? capture->err_ : capture->out_).emplace_back(line);
    capture->all_.push_back((to_error ? "err: " : "out: ") + std::string(line));
    return;
  }
  // Through stdio rather than write(2), so that the line keeps its place among anything else the
  // process prints with stdio or iostreams.
  std::FILE* stream = to_error ? stderr : stdout;
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}

void out(std::string_view line) { write_line(false, line); }
void err(std::string_view line) { write_line(true, line); }

Capture::Capture() {
  std::lock_guard lock(console_mutex());
  previous_ = active_capture();
  active_capture() = this;
}

Capture::~Capture() {
  std::lock_guard lock(console_mutex());
  if (active_capture() == this) active_capture() = previous_;
}

std::vector<std::string> Capture::out_lines() const {
  std::lock_guard lock(mutex_);
  return out_;
}

std::vector<std::string> Capture::err_lines() const {
  std::lock_guard lock(mutex_);
  return err_;
}

std::vector<std::string> Capture::all_lines() const {
  std::lock_guard lock(mutex_);
  return all_;
}

}  // namespace tallowmere_cli::console

// Reading a 100,000-entry ledger (about 120 MB) into typed entries against nlohmann::json::parse
// of each of its lines into a value tree, both from the same file read the same way (the
// ledger's own line source); and the peak memory of our read as a multiple of the file's size.
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <fmt/format.h>
#include <malloc.h>
#include <nlohmann/json.hpp>
#include <sys/wait.h>
#include <unistd.h>

#include "posix.h"
#include "bench_support.h"
#include "synthetic_text.h"
#include "durable_file.h"
#include "ledger.h"
#include "model.h"
#include "unique_fd.h"

namespace {

namespace core = tallowmere_core;
using core::UniqueFd;

constexpr std::size_t entry_count = 100'000;

std::string ledger_text() {
  static constexpr const char* sessions[] = {
      "Night Drive (Mix v12).als",
      "Glass Harbour – Arrangement.als",
      "Cue 4M12 \"The Chase\" v3.logicx",
  };
  static constexpr const char* bounces[] = {
      "Bounces/Night Drive (Mix v12) 24-48.wav",
      "Bounces/Glass Harbour – Stems/Bass.wav",
      "Bounces/4M12 Full Mix.aif",
  };
  tallowmere_bench::TextSource source(7);
  const std::string contributor = source.uuid();
  std::string text;
  text.reserve(entry_count * 1300);
  std::string previous_hash;
  for (std::size_t n = 0; n < entry_count; ++n) {
    core::LedgerEntry entry;
    entry.entry_id = source.uuid();
    entry.contributor_id = contributor;
    entry.causal_position = n;
    if (n > 0) entry.parent_entry_hashes.push_back(previous_hash);
    entry.timestamp_local = tallowmere_bench::checkpoint_time(n);
    entry.event_type = core::EventType::SessionSave;
    entry.daw_context = core::DawContext{"Ableton Live", "macos"};
    const std::size_t project = source.below(3);
    for (int k = 0; k < 2; ++k) {
      core::ContentReference reference;
      reference.ref_id = source.uuid();
      reference.content_type = k == 0 ? core::ContentType::DawSession : core::ContentType::AudioBounce;
      reference.sha256_hash = source.hex(64);
      reference.byte_size = 1'000'000 + source.below(400'000'000);
      reference.storage = core::ContentStorage{"blob_store", k == 0 ? sessions[project] : bounces[project], false};
      entry.content_refs.push_back(std::move(reference));
    }
    if (n % 10 == 0) entry.notes = "Autosave after editing the bridge; comped vocals, takes 3–7";
    entry.entry_hash = source.hex(64);
    entry.signature = source.signature();
    previous_hash = entry.entry_hash;
    text += core::model::write_entry_line(entry).value();
    text += '\n';
  }
  return text;
}

// The ledger file in a folder of its own, both removed afterwards.
class LedgerFile {
 public:
  LedgerFile() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tallowmere-bench-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    folder_ = pattern;
    path_ = folder_ / "ledger.jsonl";
    const std::string text = ledger_text();
    size_ = text.size();
    UniqueFd fd(::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (!fd || !core::posix::write_all(fd.get(), text, path_))
      throw std::runtime_error("cannot write " + path_.string());
  }
  ~LedgerFile() {
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }
  const std::filesystem::path& path() const { return path_; }
  std::size_t size() const { return size_; }

 private:
  std::filesystem::path folder_;
  std::filesystem::path path_;
  std::size_t size_ = 0;
};

// The anchor: the same line source as ours (the file read in chunks, split at line feeds), then
// one value tree per line. The trees are handed back so that, like our entries, they are freed
// outside the timed part.
std::vector<nlohmann::json> parse_with_nlohmann(const std::filesystem::path& path) {
  auto lines = core::ledger::LedgerLines::open(path).value();
  std::vector<nlohmann::json> values;
  values.reserve(entry_count);
  std::string_view line;
  while (lines.next(line).value()) {
    if (!line.empty()) values.push_back(nlohmann::json::parse(line.data(), line.data() + line.size()));
  }
  return values;
}

// Kilobytes of a "VmHWM:" / "VmRSS:" line of /proc/self/status.
std::size_t status_kilobytes(const char* key) {
  std::FILE* status = std::fopen("/proc/self/status", "r");
  if (!status) return 0;
  char line[256];
  std::size_t kilobytes = 0;
  while (std::fgets(line, sizeof line, status)) {
    if (std::strncmp(line, key, std::strlen(key)) == 0) kilobytes = std::strtoull(line + std::strlen(key), nullptr, 10);
  }
  std::fclose(status);
  return kilobytes;
}

// Peak resident memory added by one read, measured in a child process so that nothing the
// benchmark itself allocated before counts: the child hands its free heap back to the system
// and resets its high-water mark to its resident size first.
double peak_bytes_of_read(const std::filesystem::path& path) {
  int pipe_fds[2];
  if (::pipe(pipe_fds) != 0) return 0;
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(pipe_fds[0]);
    // Free heap pages left resident by the benchmark would otherwise be reused unseen.
    ::malloc_trim(0);
    if (std::FILE* clear = std::fopen("/proc/self/clear_refs", "w")) {
      std::fputs("5", clear);  // resets VmHWM to VmRSS
      std::fclose(clear);
    }
    const std::size_t before = status_kilobytes("VmRSS:");
    std::size_t entries = 0;
    {
      auto result = core::ledger::read_ledger(path);
      entries = result ? result->entries.size() : 0;
    }
    const std::size_t peak = status_kilobytes("VmHWM:");
    const double added = entries == entry_count ? static_cast<double>(peak - before) * 1024.0 : 0.0;
    (void)!::write(pipe_fds[1], &added, sizeof added);
    ::_exit(0);
  }
  ::close(pipe_fds[1]);
  double added = 0;
  if (::read(pipe_fds[0], &added, sizeof added) != sizeof added) added = 0;
  ::close(pipe_fds[0]);
  ::waitpid(child, nullptr, 0);
  return added;
}

void ledger_read_vs_nlohmann(benchmark::State& state) {
  const LedgerFile file;
  // One untimed pass of each: the page cache holds the file and both agree on the count.
  auto first = core::ledger::read_ledger(file.path());
  if (!first || first->entries.size() != entry_count || parse_with_nlohmann(file.path()).size() != entry_count) {
    state.SkipWithError(first ? "entry counts differ" : first.error().message().c_str());
    return;
  }
  first = core::LedgerReadResult{};
  // As after every timed side below, so that the first timed side does not pay for merging the
  // blocks the untimed passes freed.
  ::malloc_trim(0);

  const auto [ours, anchor] = tallowmere_bench::alternate_sides(
      state, static_cast<double>(file.size()) / 1e6, [&] { return core::ledger::read_ledger(file.path()); },
      [&] { return parse_with_nlohmann(file.path()); },
      // The side that just ran has freed millions of small blocks; without this the next side's
      // first large allocation would pay for merging them, and a side would also find pages the
      // other left resident. Each side starts from the same allocator state.
      [] { ::malloc_trim(0); });
  const double peak_multiple = peak_bytes_of_read(file.path()) / static_cast<double>(file.size());
  state.counters["file_MB"] = static_cast<double>(file.size()) / 1e6;
  state.counters["ours_MB/s"] = ours;
  state.counters["anchor_MB/s"] = anchor;
  state.counters["peak_x_file"] = peak_multiple;
  tallowmere_bench::report_ratio("ledger_read_vs_nlohmann", ours, anchor, "MB/s");
  fmt::print("PEAK ledger_read {:.2f}x the file size ({:.1f} MB file)\n", peak_multiple,
             static_cast<double>(file.size()) / 1e6);
}

BENCHMARK(ledger_read_vs_nlohmann)->Iterations(5)->Unit(benchmark::kMillisecond);

}  // namespace

// Streaming SHA-256 of a 1 GiB file against OpenSSL's one-shot digest of the same bytes, read
// from the same (page-cached) file in the same 1 MiB reads.
#include <cstdlib>
#include <random>
#include <stdexcept>
#include <vector>

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include "posix.h"
#include "bench_support.h"
#include "durable_file.h"
#include "hash.h"
#include "unique_fd.h"

namespace {

using tallowmere_core::UniqueFd;
namespace hash = tallowmere_core::hash;

constexpr std::size_t piece_size = 1 << 20;
constexpr std::size_t file_size = std::size_t{1} << 30;

// A file of `file_size` pseudo-random bytes in a folder of its own, both removed afterwards.
class LargeFile {
 public:
  LargeFile() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tallowmere-bench-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    folder_ = pattern;
    path_ = folder_ / "large.bin";
    std::mt19937_64 generator(42);
    std::vector<std::uint64_t> block(piece_size / sizeof(std::uint64_t));
    for (auto& word : block) word = generator();
    UniqueFd fd(::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (!fd) throw std::runtime_error("cannot create " + path_.string());
    for (std::size_t written = 0; written < file_size; written += piece_size) {
      block[0] ^= written;  // no two pieces alike
      const std::span<const unsigned char> bytes(reinterpret_cast<const unsigned char*>(block.data()), piece_size);
      if (!tallowmere_core::posix::write_all(fd.get(), bytes, path_))
        throw std::runtime_error("cannot write " + path_.string());
    }
  }
  ~LargeFile() {
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path folder_;
  std::filesystem::path path_;
};

// The anchor: the whole file read in 1 MiB pieces into one buffer, then one EVP_Digest call.
std::string one_shot_digest(const std::filesystem::path& path, std::vector<unsigned char>& whole) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  std::size_t filled = 0;
  for (;;) {
    const std::size_t room = std::min(piece_size, whole.size() - filled);
    const ssize_t n = room == 0 ? 0 : ::read(fd.get(), whole.data() + filled, room);
    if (n < 0) throw std::runtime_error("read failed");
    if (n == 0) break;
    filled += static_cast<std::size_t>(n);
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(whole.data(), filled, digest, &length, EVP_sha256(), nullptr);
  return hash::to_hex(std::span<const unsigned char>(digest, length));
}

void hash_vs_openssl(benchmark::State& state) {
  const LargeFile file;
  std::vector<unsigned char> whole(file_size);
  // One untimed pass of each: the page cache holds the file and the anchor's buffer is mapped.
  const std::string expected = one_shot_digest(file.path(), whole);
  if (hash::hash_file_streaming(file.path()).value().sha256_hex != expected) {
    state.SkipWithError("digests differ");
    return;
  }

  const auto [ours, anchor] = tallowmere_bench::alternate_sides(
      state, static_cast<double>(file_size) / 1e6, [&] { return hash::hash_file_streaming(file.path()); },
      [&] { return one_shot_digest(file.path(), whole); }, [] {});
  state.counters["ours_MB/s"] = ours;
  state.counters["anchor_MB/s"] = anchor;
  tallowmere_bench::report_ratio("hash_vs_openssl", ours, anchor, "MB/s");
}

BENCHMARK(hash_vs_openssl)->Iterations(6)->Unit(benchmark::kMillisecond);

}  // namespace

#include "hash.h"

#include <cerrno>
#include <new>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include "posix.h"
#include "unique_fd.h"

namespace tallowmere_core::hash {

std::string to_hex(std::span<const unsigned char> bytes) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string text(bytes.size() * 2, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    text[2 * i] = digits[bytes[i] >> 4];
    text[2 * i + 1] = digits[bytes[i] & 0x0F];
  }
  return text;
}

void Sha256::FreeContext::operator()(evp_md_ctx_st* context) const noexcept { EVP_MD_CTX_free(context); }

Sha256::Sha256() : context_(EVP_MD_CTX_new()) {
  if (!context_ || EVP_DigestInit_ex(context_.get(), EVP_sha256(), nullptr) != 1) throw std::bad_alloc();
}
Sha256::Sha256(Sha256&&) noexcept = default;
Sha256& Sha256::operator=(Sha256&&) noexcept = default;
Sha256::~Sha256() = default;

void Sha256::update(std::span<const unsigned char> bytes) {
  // SHA-256 updates on an initialised context cannot fail.
  EVP_DigestUpdate(context_.get(), bytes.data(), bytes.size());
}

void Sha256::update(std::string_view bytes) {
  EVP_DigestUpdate(context_.get(), bytes.data(), bytes.size());
}

std::string Sha256::finish_hex() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_DigestFinal_ex(context_.get(), digest, &length);
  EVP_DigestInit_ex(context_.get(), EVP_sha256(), nullptr);
  return to_hex(std::span<const unsigned char>(digest, length));
}

std::string sha256_hex(std::string_view bytes) {
  Sha256 hasher;
  hasher.update(bytes);
  return hasher.finish_hex();
}

std::expected<FileDigest, CoreError> hash_file_streaming(const std::filesystem::path& path) {
  constexpr std::size_t piece_size = 1 << 20;
  auto opened = posix::open_regular_file(path, O_RDONLY, 0, posix::Links::Refuse);
  if (!opened) return std::unexpected(CoreError::io(path, std::move(opened).error()));
  const UniqueFd fd = std::move(opened->fd);

  std::vector<unsigned char> buffer(piece_size);
  Sha256 hasher;
  std::uint64_t byte_count = 0;
  for (;;) {
    // An interrupted read is not retried: it fails the hash like any other read error.
    const ssize_t n = ::read(fd.get(), buffer.data(), buffer.size());
    if (n < 0) return std::unexpected(CoreError::io(path, errno));
    if (n == 0) break;
    hasher.update(std::span<const unsigned char>(buffer.data(), static_cast<std::size_t>(n)));
    byte_count += static_cast<std::uint64_t>(n);
  }
  return FileDigest{hasher.finish_hex(), byte_count};
}

namespace {

using posix::probe;

}  // namespace

std::expected<bool, CoreError> wait_for_file_stable(const std::filesystem::path& path,
                                                    const StableOptions& options) {
  using namespace std::chrono;
  auto previous = probe(path);
  if (!previous) return std::unexpected(std::move(previous).error());

  const sys_time<nanoseconds> modified{seconds(previous->mtime_seconds) + nanoseconds(previous->mtime_nanoseconds)};
  // A modification time in the future (clock skew, a copied file) counts as "just now".
  const nanoseconds age = std::max(nanoseconds::zero(), system_clock::now() - modified);
  if (age >= options.min_age) return false;

  const auto start = steady_clock::now();
  std::uint32_t unchanged = 0;
  for (;;) {
    std::this_thread::sleep_for(options.poll_interval);
    auto current = probe(path);
    if (!current) return std::unexpected(std::move(current).error());
    if (*current == *previous) {
      // Counted before the time-out is looked at: settling in the last round still counts.
      if (++unchanged >= options.required_stable_polls) return false;
    } else {
      unchanged = 0;
    }
    if (steady_clock::now() - start >= options.timeout) return true;
    previous = std::move(current);
  }
}

}  // namespace tallowmere_core::hash

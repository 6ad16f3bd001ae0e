#pragma once
// SHA-256 of files and texts, and the wait for a file that is still being written to settle.
#include <chrono>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "error.h"

struct evp_md_ctx_st;

namespace tallowmere_core::hash {

// Lowercase hexadecimal text of `bytes`, two characters per byte.
std::string to_hex(std::span<const unsigned char> bytes);

// An incremental SHA-256 (OpenSSL EVP, hardware-accelerated where the CPU offers it). Move-only;
// not safe for concurrent use. Throws std::bad_alloc only when OpenSSL cannot set up a digest
// context (out of memory); feeding and finishing cannot fail. A moved-from hasher may only be
// assigned to or destroyed.
class Sha256 {
 public:
  Sha256();
  Sha256(Sha256&&) noexcept;
  Sha256& operator=(Sha256&&) noexcept;
  ~Sha256();

  void update(std::span<const unsigned char> bytes);
  void update(std::string_view bytes);
  // The digest of everything fed so far as 64 lowercase hexadecimal characters. The hasher is
  // then reset to the empty input, ready for a new message.
  std::string finish_hex();

 private:
  struct FreeContext {
    void operator()(evp_md_ctx_st* context) const noexcept;
  };
  std::unique_ptr<evp_md_ctx_st, FreeContext> context_;
};

// SHA-256 of `bytes` as 64 lowercase hexadecimal characters.
std::string sha256_hex(std::string_view bytes);

// What hashing a file yields: the hash text and the number of bytes that were read.
struct FileDigest {
  std::string sha256_hex;
  std::uint64_t byte_count = 0;
};

// Streams the file through SHA-256 in 1 MiB reads (memory stays at 1 MiB whatever the size).
// Only a regular file is read, and a symbolic link is not followed: a session file that is a
// FIFO or a link to a device would block or never end. Failure to open or read: CoreError::Io
// with `path` as given ("not a regular file" for anything else standing there); no partial result.
std::expected<FileDigest, CoreError> hash_file_streaming(const std::filesystem::path& path);

// The settings of one wait for a file to settle.
struct StableOptions {
  std::chrono::nanoseconds min_age;        // a file last modified at least this long ago is settled
  std::chrono::nanoseconds poll_interval;  // the pause before each probe
  std::chrono::nanoseconds timeout;        // polling time after which the file counts as still changing
  std::uint32_t required_stable_polls;     // unchanged probes in a row needed to count as settled
};

// What the checkpoint of a batch and its change filter wait with.
inline constexpr StableOptions checkpoint_stable_options{
    std::chrono::seconds(2), std::chrono::milliseconds(150), std::chrono::seconds(5), 2};

// Waits until the file stops changing, judged by its size and modification time (symbolic links
// followed). Yields false when it counts as settled, true when it was still changing when
// `timeout` ran out, CoreError::Io (`path` as given) when a probe fails. Blocks the calling thread
// for up to about timeout + poll_interval; keeps no state, so any thread may call it.
std::expected<bool, CoreError> wait_for_file_stable(const std::filesystem::path& path,
                                                    const StableOptions& options);

}  // namespace tallowmere_core::hash

#pragma once
// Key items in the stand-in credential store, written the way a test or set-up script does.
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string_view>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace tallowmere_test {

// Writes `bytes` to `path` (its folders made as needed) and then sets exactly `mode`, so that
// the process umask plays no part.
inline void write_file_with_mode(const std::filesystem::path& path, std::string_view bytes, mode_t mode = 0600) {
  std::filesystem::create_directories(path.parent_path());
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0) << std::strerror(errno);
  ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  ASSERT_EQ(::fchmod(fd, mode), 0);
  ::close(fd);
}

// Stores `text` as the key item of `contributor` under `data_home`, with exactly `mode`.
inline void store_key_item(const std::filesystem::path& data_home, std::string_view contributor, std::string_view text,
                           mode_t mode = 0600) {
  write_file_with_mode(data_home / "tallowmere-keychain" / "tallowmere-core" / contributor, text, mode);
}

}  // namespace tallowmere_test

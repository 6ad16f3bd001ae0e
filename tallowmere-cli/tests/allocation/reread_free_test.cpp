// The allocation probe replaces the global operator new and delete, so it has a program of its own:
// the replacement then runs under this one test and no other.
#include <atomic>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "append_fixture.h"
#include "ledger.h"

// The sanitizers bring allocators of their own, which a replacement would hide from them for this
// whole program; there the probe is left out and its test skipped.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TALLOWMERE_REREAD_FREE_PROBE 0
#else
#define TALLOWMERE_REREAD_FREE_PROBE 1

// Watches, while armed, for the reread of a long ledger being freed after its new line went in,
// and asks at that moment whether the ledger lock is still held: another open of the lock file
// cannot take a BSD lock while any holder keeps it, even in this process. Nothing here may
// allocate, since it runs inside operator delete.
namespace reread_free_probe {

std::atomic<bool> armed{false};
std::size_t reread_bytes = 0;  // the entries' buffer of the reread holds at least this much
char ledger_path[4096];
char lock_path[4096];
off_t ledger_size_before = 0;
std::atomic<int> frees_seen{0};
std::atomic<int> frees_under_lock{0};

void on_free(std::size_t size) noexcept {
  if (!armed.load() || size < reread_bytes || size % sizeof(tallowmere_core::LedgerEntry) != 0) return;
  struct stat metadata {};
  // Earlier large frees (the ledger's text) come before the line is written and are no concern.
  if (::stat(ledger_path, &metadata) != 0 || metadata.st_size <= ledger_size_before) return;
  ++frees_seen;
  const int fd = ::open(lock_path, O_RDWR | O_CLOEXEC);
  if (fd < 0) return;
  if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
    ::flock(fd, LOCK_UN);
  } else {
    ++frees_under_lock;
  }
  ::close(fd);
}

// Out of line, so that the compiler never sees a block from operator new reach free() directly.
[[gnu::noinline]] void give_back(void* block) noexcept { std::free(block); }

}  // namespace reread_free_probe

// The probe needs the size of each freed block, which only sized deallocation gives; the rest of
// the set is replaced with it so that every block comes from malloc and goes back to free.
void* operator new(std::size_t size) {
  if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return ::operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return std::malloc(size == 0 ? 1 : size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return std::malloc(size == 0 ? 1 : size); }
void operator delete(void* block) noexcept { reread_free_probe::give_back(block); }
void operator delete[](void* block) noexcept { reread_free_probe::give_back(block); }
void operator delete(void* block, std::size_t size) noexcept {
  reread_free_probe::on_free(size);
  reread_free_probe::give_back(block);
}
void operator delete[](void* block, std::size_t) noexcept { reread_free_probe::give_back(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { reread_free_probe::give_back(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { reread_free_probe::give_back(block); }

#endif  // TALLOWMERE_REREAD_FREE_PROBE

namespace tallowmere_cli {
namespace {

using append_testing::AppendTest;
using append_testing::foreign_entry;
using append_testing::line_of;
using append_testing::write_file;
using tallowmere_core::LedgerEntry;

// Freeing the reread of a long history takes milliseconds that every other writer of the ledger
// would otherwise spend waiting for the lock.
TEST_F(AppendTest, LetsGoOfTheLockBeforeFreeingTheReread) {
#if !TALLOWMERE_REREAD_FREE_PROBE
  GTEST_SKIP() << "the allocation probe is left out of sanitizer builds";
#else
  constexpr std::size_t entries = 2000;
  std::string ledger;
  for (std::size_t i = 0; i < entries; ++i) {
    ledger += line_of(foreign_entry(i, "2001-01-01T00:00:00+00:00", std::string(64, 'b'))) + "\n";
  }
  write_file(paths_.ledger_file, ledger);
  const std::string lock_file = tallowmere_core::LedgerLock::lock_file_for(paths_.ledger_file).string();
  ASSERT_LT(lock_file.size(), sizeof reread_free_probe::lock_path);
  std::snprintf(reread_free_probe::ledger_path, sizeof reread_free_probe::ledger_path, "%s",
                paths_.ledger_file.c_str());
  std::snprintf(reread_free_probe::lock_path, sizeof reread_free_probe::lock_path, "%s", lock_file.c_str());
  reread_free_probe::ledger_size_before = static_cast<off_t>(ledger.size());
  reread_free_probe::reread_bytes = entries * sizeof(LedgerEntry);

  reread_free_probe::armed = true;
  auto entry = append();
  reread_free_probe::armed = false;

  ASSERT_TRUE(entry) << entry.error().one_line();
  EXPECT_EQ(entry->causal_position, entries);
  EXPECT_GE(reread_free_probe::frees_seen.load(), 1) << "the reread's entries were never seen being freed";
  EXPECT_EQ(reread_free_probe::frees_under_lock.load(), 0);
#endif
}

}  // namespace
}  // namespace tallowmere_cli

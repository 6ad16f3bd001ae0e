// Security checks of the service: the control socket's folder is the owner's alone after every
// start, so is the blob store, a pointer file cannot aim the service outside the central root's projects folder, a key
// item that others may read is never used, and no key material is left in a heap block when
// the block is given back (the wipe is checked at the moment of release, not by reading freed
// memory).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <malloc.h>
#include <pwd.h>
#include <sys/stat.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <new>
#include <set>

#include <openssl/crypto.h>

#include "cmd_watch_signing_identity.h"
#include "daemon_world.h"
#include "forked_child.h"
#include "model.h"

// ---- Release inspection ----
//
// Every heap block this process gives back, through operator delete or OpenSSL's allocator, is
// searched for the patterns of the test (a key's text and bytes) right before it is freed, while
// the inspection is armed. The replacements only forward to malloc and free otherwise.
namespace {

constexpr std::size_t kMaxPatterns = 4;
constexpr std::size_t kMaxPatternSize = 64;

struct ReleaseInspection {
  std::atomic<bool> armed{false};
  unsigned char patterns[kMaxPatterns][kMaxPatternSize]{};
  std::size_t pattern_sizes[kMaxPatterns]{};
  std::size_t pattern_count = 0;
  std::atomic<std::size_t> releases{0};
  std::atomic<std::size_t> releases_holding_a_pattern{0};
};

ReleaseInspection& inspection() {
  static ReleaseInspection instance;
  return instance;
}

void inspect_release(void* block) noexcept {
  ReleaseInspection& state = inspection();
  if (block == nullptr || !state.armed.load(std::memory_order_acquire)) return;
  const std::size_t size = ::malloc_usable_size(block);
  state.releases.fetch_add(1);
  for (std::size_t i = 0; i < state.pattern_count; ++i) {
    if (::memmem(block, size, state.patterns[i], state.pattern_sizes[i]) != nullptr) {
      state.releases_holding_a_pattern.fetch_add(1);
      return;
    }
  }
}

void* allocate(std::size_t size) noexcept { return std::malloc(size == 0 ? 1 : size); }

// Out of line, so that the compiler never sees a block from operator new reach free() directly.
[[gnu::noinline]] void release(void* block) noexcept {
  inspect_release(block);
  std::free(block);
}

void* openssl_malloc(std::size_t size, const char*, int) { return allocate(size); }

// A block that moves is released here, so it is inspected like any other.
void* openssl_realloc(void* block, std::size_t size, const char*, int) {
  if (block == nullptr) return allocate(size);
  if (size == 0) {
    release(block);
    return nullptr;
  }
  void* moved = allocate(size);
  if (moved == nullptr) return nullptr;
  std::memcpy(moved, block, std::min(size, ::malloc_usable_size(block)));
  release(block);
  return moved;
}

void openssl_free(void* block, const char*, int) { release(block); }

// Before main, so before OpenSSL has allocated anything (it refuses the change afterwards).
const bool openssl_releases_inspected =
    CRYPTO_set_mem_functions(openssl_malloc, openssl_realloc, openssl_free) == 1;

}  // namespace

void* operator new(std::size_t size) {
  if (void* block = allocate(size)) return block;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return ::operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void operator delete(void* block) noexcept { release(block); }
void operator delete[](void* block) noexcept { ::operator delete(block); }
void operator delete(void* block, std::size_t) noexcept { ::operator delete(block); }
void operator delete[](void* block, std::size_t) noexcept { ::operator delete(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { ::operator delete(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { ::operator delete(block); }

namespace {

namespace fs = std::filesystem;
using tallowmere_test::ChildProcess;
using tallowmere_test::DaemonWorld;

// Arms the inspection for `patterns` while it lives, and tells what it saw.
class InspectedReleases {
 public:
  explicit InspectedReleases(std::initializer_list<std::string_view> patterns) {
    ReleaseInspection& state = inspection();
    state.pattern_count = 0;
    for (const std::string_view pattern : patterns) {
      std::memcpy(state.patterns[state.pattern_count], pattern.data(), pattern.size());
      state.pattern_sizes[state.pattern_count++] = pattern.size();
    }
    state.releases = 0;
    state.releases_holding_a_pattern = 0;
    state.armed.store(true, std::memory_order_release);
  }
  ~InspectedReleases() { stop(); }
  void stop() { inspection().armed.store(false, std::memory_order_release); }
  std::size_t releases() const { return inspection().releases.load(); }
  std::size_t releases_holding_a_pattern() const { return inspection().releases_holding_a_pattern.load(); }
};

using ScopedEnvironment = tallowmere_test::ScopedEnv;

std::string_view as_text(const tallowmere_test::KeyBytes& bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

TEST(KeyMaterial, NoHeapBlockHoldsThePrivateKeyWhenItIsReleased) {
  ASSERT_TRUE(openssl_releases_inspected) << "OpenSSL allocated before this file's set-up; its releases cannot be seen";
  tallowmere_test::TempDir temp;
  constexpr unsigned char kSeed = 42;
  const tallowmere_test::KeyBytes key = tallowmere_test::private_key_bytes(kSeed);
  const std::string key_text = tallowmere_test::key_item_text(kSeed);
  tallowmere_test::store_key_item(temp / "data", "alice", key_text);
  const ScopedEnvironment data_home("XDG_DATA_HOME", (temp / "data").string());
  tallowmere_core::WorkManifest manifest;
  tallowmere_core::Contributor alice;
  alice.contributor_id = "alice";
  manifest.contributors.push_back(alice);

  {
    // The inspection sees an unwiped copy on both roads a block takes back.
    InspectedReleases releases{key_text, as_text(key)};
    {
      const std::string copy(key_text);
      asm volatile("" : : "r"(copy.data()) : "memory");  // the copy must really be made and released
    }
    void* block = OPENSSL_malloc(key.size());
    std::memcpy(block, key.data(), key.size());
    OPENSSL_free(block);
    releases.stop();
    ASSERT_EQ(releases.releases_holding_a_pattern(), 2u);
  }

  // Reading the key item, decoding it, making the signing key, signing, and dropping it all.
  bool found = false, signed_something = false;
  InspectedReleases releases{key_text, as_text(key)};
  {
    auto identity = tallowmere_cli::cmd_watch::find_signing_key(manifest);
    found = identity.has_value();
    if (found) {
      const auto signature = identity->key.sign(std::string(64, 'a'));
      signed_something = signature != decltype(signature){};
    }
  }
  releases.stop();
  EXPECT_TRUE(found);
  EXPECT_TRUE(signed_something);
  EXPECT_GT(releases.releases(), 0u);
  EXPECT_EQ(releases.releases_holding_a_pattern(), 0u) << "key material was released without being wiped";
}

// ---- The running service ----

mode_t mode_of(const fs::path& path) {
  struct stat metadata {};
  return ::stat(path.c_str(), &metadata) == 0 ? metadata.st_mode : 0;
}

struct RunFolderStart {
  const char* name;
  std::optional<mode_t> existing_mode;  // none: no run folder before the start
  bool status_client;                   // `status` instead of the service
  mode_t umask;
};

constexpr RunFolderStart kRunFolderStarts[] = {
    {"service, no run folder yet, umask 0", std::nullopt, false, 0},
    {"service, run folder left open to everyone", 0777, false, 022},
    {"service, run folder with set-group-id and sticky bits", 03775, false, 022},
    {"service, run folder already private", 0700, false, 077},
    {"status client, run folder left open to everyone", 0777, true, 022},
    {"status client, no run folder yet, umask 0", std::nullopt, true, 0},
};

TEST(RunFolder, IsTheOwnersAloneAfterEveryStart) {
  DaemonWorld world;
  world.write_registry();
  const fs::path run = world.central_root / "run";
  for (const auto& start : kRunFolderStarts) {
    SCOPED_TRACE(start.name);
    std::error_code ignored;
    fs::remove_all(run, ignored);
    if (start.existing_mode) {
      fs::create_directories(run);
      ASSERT_EQ(::chmod(run.c_str(), *start.existing_mode), 0);
    }
    auto options = world.daemon(start.status_client ? std::vector<std::string>{"status"} : std::vector<std::string>{});
    options.in_child = [mask = start.umask] { ::umask(mask); };
    if (start.status_client) {
      const auto result = tallowmere_test::run_process(options);
      EXPECT_EQ(result.exit_code, 1) << result.describe();  // nothing listens
    } else {
      ChildProcess daemon(options);
      // The socket is bound only after the folder's mode was set.
      ASSERT_TRUE(tallowmere_test::wait_until([&] { return fs::exists(world.socket_path()); }))
          << daemon.stderr_so_far();
      EXPECT_EQ(mode_of(run) & 07777, 0700u);
      daemon.send_signal(SIGINT);
      EXPECT_EQ(daemon.wait().exit_code, 0);
    }
    EXPECT_TRUE(S_ISDIR(mode_of(run)));
    EXPECT_EQ(mode_of(run) & 07777, 0700u);
  }
}

// What another local user gets when opening `path` for reading: "readable", or the system's
// error. Call it while the test has no other threads.
std::string as_a_stranger_open(const fs::path& path) {
  uid_t stranger = 61000;
  while (::getpwuid(stranger) != nullptr) ++stranger;
  const auto outcome = tallowmere_test::run_in_child([&] {
    if (::setgroups(0, nullptr) != 0 || ::setgid(stranger) != 0 || ::setuid(stranger) != 0) {
      return std::string("setuid failed");
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::string(std::strerror(errno));
    ::close(fd);
    return std::string("readable");
  });
  return outcome.output;
}

// A session file may be private only by its folder: 0644 itself in a 0700 project folder. Its copy
// keeps the file's mode, and the store around it keeps others out, whether the service made it or
// found it open; a store linked in from elsewhere is used where it leads and left as it is.
TEST(BlobStore, ACopyOfAFilePrivateByItsFolderIsNotReadableByOthers) {
  if (::geteuid() != 0) GTEST_SKIP() << "changing the user id needs root";
  DaemonWorld world;
  struct Store {
    const char* work_id;
    std::optional<mode_t> existing_mode;  // none: no store yet
    bool linked;                          // objects/ a link to a folder elsewhere with that mode
  };
  const std::vector<Store> stores{
      {"w-new", std::nullopt, false},
      {"w-open", 0777, false},
      {"w-linked", 0755, true},
  };
  const fs::path elsewhere = world.temp / "external-store";
  for (const Store& store : stores) {
    world.add_project({.work_id = store.work_id, .folder = store.work_id, .title = store.work_id, .store_blobs = true});
    ASSERT_EQ(::chmod(world.project_folder(store.work_id).c_str(), 0700), 0);
    if (!store.existing_mode) continue;
    const fs::path folder = store.linked ? elsewhere : world.objects_dir(store.work_id);
    fs::create_directories(folder);
    ASSERT_EQ(::chmod(folder.c_str(), *store.existing_mode), 0);
    if (store.linked) fs::create_symlink(folder, world.objects_dir(store.work_id));
  }
  world.store_all_keys();
  // Everything above the project folders and the store is open to others, as a home folder may be.
  ASSERT_EQ(::chmod(world.temp.path().c_str(), 0755), 0);

  auto options = world.daemon();
  options.in_child = [] { ::umask(022); };
  ChildProcess daemon(options);
  ASSERT_TRUE(tallowmere_test::wait_for_lines_starting(daemon, "Press Ctrl-C to stop.", stores.size()))
      << daemon.stdout_so_far() << daemon.stderr_so_far();
  for (const Store& store : stores) {
    const fs::path folder = world.project_folder(store.work_id);
    const fs::path staging = folder / ".Song.rpp.saving";
    tallowmere_test::write_file(staging, std::string("<REAPER ") + store.work_id + ">");
    ASSERT_EQ(::chmod(staging.c_str(), 0644), 0);
    fs::rename(staging, folder / "Song.rpp");
  }
  ASSERT_TRUE(tallowmere_test::wait_for_lines_starting(daemon, "[", stores.size()))
      << daemon.stdout_so_far() << daemon.stderr_so_far();
  daemon.send_signal(SIGINT);
  const auto result = daemon.wait();
  ASSERT_EQ(result.exit_code, 0) << result.describe();

  for (const Store& store : stores) {
    SCOPED_TRACE(store.work_id);
    const fs::path objects = world.objects_dir(store.work_id);
    const fs::path copy = objects / tallowmere_core::hash::sha256_hex(std::string("<REAPER ") + store.work_id + ">");
    EXPECT_EQ(mode_of(copy) & 07777, 0644u) << "the copy keeps its source's mode";
    if (store.linked) {
      EXPECT_TRUE(fs::is_symlink(objects));
      EXPECT_EQ(mode_of(elsewhere) & 07777, 0755u) << "never changed through the link";
      continue;
    }
    EXPECT_EQ(mode_of(objects) & 07777, 0700u);
    EXPECT_EQ(as_a_stranger_open(copy), "Permission denied");
  }
}

struct UnsafeWorkId {
  std::string work_id;     // as the pointer file gives it
  fs::path target;         // where it would lead from the projects folder (a complete central directory)
  const char* reason;
};

TEST(PointerFile, AnUnsafeWorkIdIsRefusedEvenWhereItWouldLeadToAProject) {
  DaemonWorld world;
  const fs::path projects = world.central_root / "projects";
  const std::vector<UnsafeWorkId> cases{
      {"../escape", world.central_root / "escape", "it holds the path separator \"/\""},
      {"nested/deeper", projects / "nested" / "deeper", "it holds the path separator \"/\""},
      {"..", world.central_root, "it names the folder above the projects folder"},
      {".", projects, "it names the projects folder itself"},
      {"", projects, "it is empty"},
      {(world.temp / "elsewhere").string(), world.temp / "elsewhere", "it is an absolute path"},
  };
  std::set<std::string> expected_warnings;
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const tallowmere_test::ProjectSpec spec{.work_id = fmt::format("w-unsafe-{}", i),
                                            .folder = fmt::format("Unsafe{}", i),
                                            .title = fmt::format("Unsafe {}", i),
                                            .pointer_work_id = cases[i].work_id};
    world.add_project(spec);
    // The place the work id points at holds a complete, watch-enabled project: only the check of
    // the work id keeps the service from watching it and writing there.
    world.write_project_files(spec, cases[i].target);
    expected_warnings.insert(fmt::format(
        "WARNING: skipping {} ({}): pointer file {}/.tallowmere is malformed (if it was hand-edited, that's likely "
        "why): unsafe work_id \"{}\": {}; a work id must be a single folder name under the central root's "
        "\"projects\" folder",
        spec.title, spec.work_id, world.project_folder(spec.work_id).string(), cases[i].work_id, cases[i].reason));
  }
  world.add_project({.work_id = "w-safe", .folder = "Safe", .title = "Safe"});
  world.store_all_keys();

  ChildProcess daemon(world.daemon());
  ASSERT_TRUE(tallowmere_test::wait_for_line(daemon, [](const std::string& l) { return l == "Press Ctrl-C to stop."; }))
      << daemon.stdout_so_far() << daemon.stderr_so_far();
  for (std::size_t i = 0; i < cases.size(); ++i) {
    world.save(fmt::format("w-unsafe-{}", i), "Song.rpp", "<SESSION 1>\n");
  }
  world.save("w-safe", "Song.rpp", "<SESSION 1>\n");
  ASSERT_TRUE(tallowmere_test::wait_for_lines_starting(daemon, "[", 1)) << daemon.stdout_so_far();
  daemon.send_signal(SIGINT);
  const auto result = daemon.wait();
  ASSERT_EQ(result.exit_code, 0) << result.describe();

  const auto errors = tallowmere_test::complete_lines_of(result.stderr_text);
  EXPECT_EQ(std::set<std::string>(errors.begin(), errors.end()), expected_warnings);
  EXPECT_EQ(errors.size(), expected_warnings.size());
  EXPECT_EQ(tallowmere_test::count_lines_starting(result.stdout_text, "Watching "), 2u)  // the safe project's two
      << result.stdout_text;
  for (const auto& unsafe : cases) {
    EXPECT_FALSE(fs::exists(unsafe.target / "ledger.jsonl")) << unsafe.target;
    EXPECT_FALSE(fs::exists(unsafe.target / "ledger.jsonl.lock")) << unsafe.target;
  }
  EXPECT_TRUE(world.ledger_is_sound("w-safe"));
}

struct KeyItemKind {
  const char* name;
  mode_t mode;
  bool symbolic_link;  // the item is a link to a private file holding the key
};

constexpr KeyItemKind kUnsafeKeyItems[] = {
    {"readable by everyone", 0644, false},  {"readable by others only", 0604, false},
    {"readable by the group", 0640, false}, {"writable by the group", 0620, false},
    {"writable by others", 0602, false},    {"open to everyone", 0666, false},
    {"a symbolic link", 0600, true},
};

TEST(KeyItem, OneOthersMayReachIsNeverUsed) {
  // Per kind: a project whose only contributor's item is unsafe (its watcher cannot start), and a
  // project whose preferred (last) contributor's item is unsafe and whose first one's is private
  // (the first one signs).
  DaemonWorld world;
  std::set<std::string> expected_errors;
  const std::size_t kinds = std::size(kUnsafeKeyItems);
  for (std::size_t i = 0; i < kinds; ++i) {
    const KeyItemKind& kind = kUnsafeKeyItems[i];
    const auto seed = [&](std::size_t n) { return static_cast<unsigned char>(10 + 3 * i + n); };
    const tallowmere_test::WorldContributor unsafe{fmt::format("unsafe-{}", i), seed(0)};
    const tallowmere_test::WorldContributor lone{fmt::format("lone-{}", i), seed(1)};
    const tallowmere_test::WorldContributor safe{fmt::format("safe-{}", i), seed(2)};
    world.add_project({.work_id = fmt::format("w-lone-{}", i), .folder = fmt::format("Lone{}", i),
                       .title = fmt::format("Lone {}", i), .contributors = {lone}});
    world.add_project({.work_id = fmt::format("w-pair-{}", i), .folder = fmt::format("Pair{}", i),
                       .title = fmt::format("Pair {}", i), .contributors = {safe, unsafe}});
    world.store_key(safe);
    for (const auto& contributor : {lone, unsafe}) {
      if (kind.symbolic_link) {
        const fs::path real = world.temp / ("real-key-" + contributor.id);
        tallowmere_test::write_file(real, tallowmere_test::key_item_text(contributor.seed));
        fs::permissions(real, fs::perms::owner_read | fs::perms::owner_write);
        const fs::path item = world.data_home / "tallowmere-keychain" / "tallowmere-core" / contributor.id;
        fs::create_directories(item.parent_path());
        fs::create_symlink(real, item);
      } else {
        world.store_key(contributor, kind.mode);
      }
    }
    expected_errors.insert(fmt::format(
        "ERROR: watcher for {} (w-lone-{}) stopped: no signing key found in OS secure storage for any of this "
        "project's 1 recorded contributor(s). This usually means this project was initialized on a different device "
        "or user account, or the key was deleted without running `tallowmere de-init`. If the key is unrecoverable, "
        "see `tallowmere recover-identity`.",
        world.project_folder(fmt::format("w-lone-{}", i)).string(), i));
  }

  ChildProcess daemon(world.daemon());
  ASSERT_TRUE(daemon.wait_for_output([&](const std::string& out, const std::string& err) {
    return tallowmere_test::count_lines_starting(out, "Press Ctrl-C to stop.") >= kinds &&
           tallowmere_test::count_lines_starting(err, "ERROR: ") >= kinds;
  })) << daemon.stdout_so_far() << daemon.stderr_so_far();
  for (std::size_t i = 0; i < kinds; ++i) world.save(fmt::format("w-pair-{}", i), "Song.rpp", "<SESSION 1>\n");
  ASSERT_TRUE(tallowmere_test::wait_for_lines_starting(daemon, "[", kinds)) << daemon.stdout_so_far();
  daemon.send_signal(SIGINT);
  const auto result = daemon.wait();
  ASSERT_EQ(result.exit_code, 0) << result.describe();

  const auto errors = tallowmere_test::complete_lines_of(result.stderr_text);
  EXPECT_EQ(std::set<std::string>(errors.begin(), errors.end()), expected_errors);
  for (std::size_t i = 0; i < kinds; ++i) {
    SCOPED_TRACE(kUnsafeKeyItems[i].name);
    std::vector<tallowmere_core::LedgerEntry> entries;
    ASSERT_TRUE(world.ledger_is_sound(fmt::format("w-pair-{}", i), false, &entries));
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].contributor_id, fmt::format("safe-{}", i));
  }
}

}  // namespace

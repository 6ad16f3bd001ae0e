#include "platform/file_watcher.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include <sys/inotify.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "test_support.h"

namespace tallowmere_cli::platform {

// Readable failure output for the event assertions. Static: found by argument-dependent lookup
// here, and never clashing with another test file's printers.
static void PrintTo(EventKind kind, std::ostream* out) {
  static constexpr const char* names[] = {"Any", "Access", "Create", "Modify", "Remove", "Other"};
  *out << names[static_cast<int>(kind)];
}
static void PrintTo(const ChangeEvent& event, std::ostream* out) {
  PrintTo(event.kind, out);
  *out << "[";
  for (std::size_t i = 0; i < event.paths.size(); ++i) *out << (i ? ", " : "") << event.paths[i].string();
  *out << "]";
}

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// How long a test waits for an event that must come. Only a failing test waits it out.
constexpr auto patience = 20s;

std::string describe(const std::vector<ChangeEvent>& events) {
  std::ostringstream out;
  for (const auto& event : events) {
    PrintTo(event, &out);
    out << "\n";
  }
  return out.str();
}

bool mentions(const std::vector<ChangeEvent>& events, const fs::path& path) {
  return std::any_of(events.begin(), events.end(), [&](const ChangeEvent& event) {
    return std::find(event.paths.begin(), event.paths.end(), path) != event.paths.end();
  });
}

// Index of the first event equal to `wanted`, or nullopt.
std::optional<std::size_t> position(const std::vector<ChangeEvent>& events, const ChangeEvent& wanted) {
  auto found = std::find(events.begin(), events.end(), wanted);
  if (found == events.end()) return std::nullopt;
  return static_cast<std::size_t>(found - events.begin());
}

// ---- the real watcher on a temporary folder ----

class FileWatcherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = fs::canonical(temp_.path()) / "project";
    fs::create_directory(folder_);
    auto [sender, receiver] = Channel<ChangeEvent>::create();
    receiver_.emplace(std::move(receiver));
    auto watcher = FileWatcher::watch(folder_, std::move(sender));
    ASSERT_TRUE(watcher.has_value()) << watcher.error();
    watcher_ = std::move(*watcher);
  }

  fs::path in(const fs::path& name) const { return folder_ / name; }

  // Receives until an event equal to `wanted` arrives; everything received up to and including
  // it, or nullopt (with what did arrive recorded as a failure) when the deadline passes first.
  std::optional<std::vector<ChangeEvent>> receive_until(const ChangeEvent& wanted) {
    auto received = receive_until([&](const ChangeEvent& event) { return event == wanted; });
    if (!received) ADD_FAILURE() << "the event looked for: " << ::testing::PrintToString(wanted);
    return received;
  }

  // The same for the first event for which `wanted` holds.
  std::optional<std::vector<ChangeEvent>> receive_until(const std::function<bool(const ChangeEvent&)>& wanted) {
    std::vector<ChangeEvent> received;
    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (std::chrono::steady_clock::now() < deadline) {
      auto event = receiver_->receive(deadline - std::chrono::steady_clock::now());
      if (!event) {
        if (event.error() == ReceiveFailure::Disconnected) break;
        continue;
      }
      received.push_back(std::move(*event));
      if (wanted(received.back())) return received;
    }
    ADD_FAILURE() << "no event like the one looked for arrived; received:\n" << describe(received);
    return std::nullopt;
  }

  // Every event still on its way: creates a marker file and receives up to its creation. inotify
  // keeps the order of one folder's records, so whatever happened before has then been received.
  std::vector<ChangeEvent> settle() {
    const fs::path marker = in(".marker-" + std::to_string(markers_++));
    tallowmere_test::write_file(marker, "");
    auto received = receive_until(ChangeEvent{EventKind::Create, {marker}});
    return received.value_or(std::vector<ChangeEvent>{});
  }

  // Receives until the channel says no sender is left; false if that did not happen in time.
  bool receive_until_disconnected(std::vector<ChangeEvent>* received = nullptr) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (std::chrono::steady_clock::now() < deadline) {
      auto event = receiver_->receive(deadline - std::chrono::steady_clock::now());
      if (event) {
        if (received) received->push_back(std::move(*event));
      } else if (event.error() == ReceiveFailure::Disconnected) {
        return true;
      }
    }
    return false;
  }

  tallowmere_test::TempDir temp_;
  fs::path folder_;
  std::optional<Channel<ChangeEvent>::Receiver> receiver_;
  std::unique_ptr<FileWatcher> watcher_;  // declared last: stopped before the receiver goes
  int markers_ = 0;
};

TEST_F(FileWatcherTest, CreatingAFileReportsCreateThenModifyWithItsFullPath) {
  tallowmere_test::write_file(in("Song.als"), "version 1");
  auto received = receive_until({EventKind::Modify, {in("Song.als")}});
  ASSERT_TRUE(received);
  ASSERT_TRUE(position(*received, {EventKind::Create, {in("Song.als")}})) << describe(*received);
  EXPECT_LT(*position(*received, {EventKind::Create, {in("Song.als")}}),
            *position(*received, {EventKind::Modify, {in("Song.als")}}));
}

TEST_F(FileWatcherTest, WritingAnExistingFileReportsModify) {
  tallowmere_test::write_file(in("Song.rpp"), "version 1");
  settle();
  {
    std::ofstream out(in("Song.rpp"), std::ios::binary | std::ios::app);
    out << "version 2";
  }
  auto received = receive_until({EventKind::Modify, {in("Song.rpp")}});
  ASSERT_TRUE(received);
  EXPECT_FALSE(position(*received, {EventKind::Create, {in("Song.rpp")}})) << describe(*received);
}

TEST_F(FileWatcherTest, RenamingATemporaryFileOverTheSessionReportsCreateForTheSession) {
  tallowmere_test::write_file(in("Song.als"), "version 1");
  tallowmere_test::write_file(in(".Song.als.tmp"), "version 2");
  settle();
  fs::rename(in(".Song.als.tmp"), in("Song.als"));
  auto received = receive_until({EventKind::Create, {in("Song.als")}});
  ASSERT_TRUE(received);
  EXPECT_TRUE(position(*received, {EventKind::Remove, {in(".Song.als.tmp")}})) << describe(*received);
  EXPECT_EQ(tallowmere_test::read_file(in("Song.als")), "version 2");
}

TEST_F(FileWatcherTest, DeletingAFileReportsRemove) {
  tallowmere_test::write_file(in("Song.als"), "version 1");
  settle();
  fs::remove(in("Song.als"));
  ASSERT_TRUE(receive_until({EventKind::Remove, {in("Song.als")}}));
}

TEST_F(FileWatcherTest, MovingAFileAwayReportsRemove) {
  tallowmere_test::write_file(in("Song.als"), "version 1");
  settle();
  fs::rename(in("Song.als"), temp_ / "Song.als");
  ASSERT_TRUE(receive_until({EventKind::Remove, {in("Song.als")}}));
}

TEST_F(FileWatcherTest, ChangingAttributesReportsOther) {
  tallowmere_test::write_file(in("Song.als"), "version 1");
  settle();
  fs::permissions(in("Song.als"), fs::perms::owner_read);
  ASSERT_TRUE(receive_until({EventKind::Other, {in("Song.als")}}));
}

TEST_F(FileWatcherTest, FilesInASubFolderAreNotReported) {
  fs::create_directory(in("Backup"));
  auto before = settle();
  EXPECT_TRUE(position(before, {EventKind::Create, {in("Backup")}})) << describe(before);

  tallowmere_test::write_file(in("Backup") / "Song.als", "a backup");
  fs::remove(in("Backup") / "Song.als");
  auto after = settle();
  EXPECT_FALSE(mentions(after, in("Backup") / "Song.als")) << describe(after);
}

TEST_F(FileWatcherTest, ManySavesAllArrive) {
  constexpr int files = 300;
  for (int i = 0; i < files; ++i) tallowmere_test::write_file(in("take-" + std::to_string(i) + ".rpp"), "take");
  auto received = settle();
  for (int i = 0; i < files; ++i) {
    const auto path = in("take-" + std::to_string(i) + ".rpp");
    ASSERT_TRUE(position(received, {EventKind::Create, {path}})) << path;
  }
}

// The watcher's thread waits in poll() without a time-out, so a stop that failed to wake it would
// hang here (and the test runner's time-out would fail the test) rather than merely be slow.
TEST_F(FileWatcherTest, StoppingJoinsTheThreadAndLetsGoOfTheSender) {
  tallowmere_test::write_file(in("Song.als"), "version 1");
  settle();
  watcher_->stop();
  // The watcher held the only sender: once it has stopped, nothing more can arrive.
  EXPECT_TRUE(receive_until_disconnected());
  tallowmere_test::write_file(in("After.als"), "too late");
  EXPECT_EQ(receiver_->try_receive().error(), ReceiveFailure::Disconnected);
  watcher_->stop();  // idempotent
}

TEST_F(FileWatcherTest, DestroyingTheWatcherStopsIt) {
  watcher_.reset();
  EXPECT_EQ(receiver_->try_receive().error(), ReceiveFailure::Disconnected);
}

// The watch is on the folder's path, as FSEvents' is: however the folder goes, one that stands
// there again is watched, and every file in it is reported as after lost events.
struct ReturnCase {
  const char* label;
  // Takes the watched folder (holding Song.als) away and puts a folder with Song.als back.
  std::function<void(const fs::path& folder, const fs::path& aside)> take_away_and_back;
  friend void PrintTo(const ReturnCase& c, std::ostream* out) { *out << c.label; }
};

class FileWatcherReturnTest : public FileWatcherTest, public ::testing::WithParamInterface<ReturnCase> {};

TEST_P(FileWatcherReturnTest, AFolderStandingAtThePathAgainIsWatchedAndItsFilesReported) {
  tallowmere_test::write_file(in("Song.als"), "version 1");
  settle();
  GetParam().take_away_and_back(folder_, temp_ / "aside");
  auto recrawl = receive_until([&](const ChangeEvent& event) {
    return event.kind == EventKind::Any && mentions({event}, in("Song.als"));
  });
  ASSERT_TRUE(recrawl);
  tallowmere_test::write_file(in("After.als"), "saved in the folder that is there now");
  ASSERT_TRUE(receive_until({EventKind::Create, {in("After.als")}}));
}

INSTANTIATE_TEST_SUITE_P(
    Ways, FileWatcherReturnTest,
    ::testing::Values(ReturnCase{"DeletedAndMadeAgain",
                                 [](const fs::path& folder, const fs::path&) {
                                   fs::remove_all(folder);
                                   tallowmere_test::write_file(folder / "Song.als", "restored");
                                 }},
                      ReturnCase{"MovedAwayAndBack",
                                 [](const fs::path& folder, const fs::path& aside) {
                                   fs::rename(folder, aside);
                                   fs::rename(aside, folder);
                                 }},
                      ReturnCase{"ReplacedByACopy",
                                 [](const fs::path& folder, const fs::path& aside) {
                                   fs::copy(folder, aside, fs::copy_options::recursive);
                                   fs::rename(folder, aside.parent_path() / "old");
                                   fs::rename(aside, folder);
                                 }},
                      ReturnCase{"AFileStoodThereFirst",
                                 [](const fs::path& folder, const fs::path&) {
                                   fs::remove_all(folder);
                                   tallowmere_test::write_file(folder, "not a folder");
                                   fs::remove(folder);
                                   tallowmere_test::write_file(folder / "Song.als", "restored");
                                 }}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(FileWatcherTest, WhileNoFolderStandsThereTheWatchGoesOnAndTheMovedFolderIsNotReported) {
  tallowmere_test::write_file(in("Song.als"), "version 1");
  settle();
  fs::rename(folder_, temp_ / "moved");
  tallowmere_test::write_file(temp_ / "moved" / "Ghost.als", "in the moved folder");
  fs::create_directory(folder_);
  tallowmere_test::write_file(in("New.als"), "in the new folder");
  auto received = receive_until([&](const ChangeEvent& event) { return mentions({event}, in("New.als")); });
  ASSERT_TRUE(received);
  EXPECT_FALSE(mentions(*received, in("Ghost.als"))) << describe(*received);
  EXPECT_FALSE(mentions(*received, temp_ / "moved" / "Ghost.als")) << describe(*received);
}

// A folder further up moved: the watched folder keeps its inode, but the path now leads elsewhere.
TEST(FileWatcherPathTest, AFolderMadeAtThePathAfterItsParentMovedIsWatched) {
  tallowmere_test::TempDir temp;
  const fs::path parent = fs::canonical(temp.path()) / "Music";
  const fs::path folder = parent / "Album";
  fs::create_directories(folder);
  auto [sender, receiver] = Channel<ChangeEvent>::create();
  auto watcher = FileWatcher::watch(folder, std::move(sender));
  ASSERT_TRUE(watcher.has_value()) << watcher.error();

  fs::rename(parent, temp / "Music-old");
  tallowmere_test::write_file(folder / "Song.als", "in the folder now standing at the path");
  std::vector<ChangeEvent> received;
  const auto deadline = std::chrono::steady_clock::now() + patience;
  while (!mentions(received, folder / "Song.als") && std::chrono::steady_clock::now() < deadline) {
    if (auto event = receiver.receive(deadline - std::chrono::steady_clock::now())) received.push_back(*event);
  }
  EXPECT_TRUE(mentions(received, folder / "Song.als")) << describe(received);
  (*watcher)->stop();
}

// A folder two levels up moved: the watched folder sends no event of its own, yet its path leads
// elsewhere until the folder is back. Each move is noticed, the first folder's return included.
TEST(FileWatcherPathTest, AGrandparentMovedAwayAndRestoredIsFollowedEachTime) {
  tallowmere_test::TempDir temp;
  const fs::path studio = fs::canonical(temp.path()) / "Studio";
  const fs::path away = studio.parent_path() / "Studio-away";
  const fs::path folder = studio / "Music" / "Album";
  tallowmere_test::write_file(folder / "Song.als", "in the first folder");
  auto [sender, receiver] = Channel<ChangeEvent>::create();
  auto watcher = FileWatcher::watch(folder, std::move(sender));
  ASSERT_TRUE(watcher.has_value()) << watcher.error();
  std::vector<ChangeEvent> received;
  const auto receive_until = [&](const std::function<bool(const ChangeEvent&)>& wanted) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (std::chrono::steady_clock::now() < deadline) {
      auto event = receiver.receive(deadline - std::chrono::steady_clock::now());
      if (!event) continue;
      received.push_back(*event);
      if (wanted(received.back())) return true;
    }
    return false;
  };
  const auto recrawl_naming = [](const fs::path& file) {
    return [file](const ChangeEvent& event) { return event.kind == EventKind::Any && mentions({event}, file); };
  };
  const auto created = [](const fs::path& file) {
    return [file](const ChangeEvent& event) { return event == ChangeEvent{EventKind::Create, {file}}; };
  };

  // Away and straight back: the folder at the path is the watched one still.
  fs::rename(studio, away);
  fs::rename(away, studio);
  tallowmere_test::write_file(folder / "Back.als", "saved after the return");
  ASSERT_TRUE(receive_until(created(folder / "Back.als"))) << describe(received);

  // Away, and another folder made at the path: that one is watched.
  fs::rename(studio, away);
  tallowmere_test::write_file(folder / "New.als", "in the folder now standing at the path");
  ASSERT_TRUE(receive_until(recrawl_naming(folder / "New.als"))) << describe(received);

  // The first folder restored in its place: watched again, with everything in it reported.
  fs::remove_all(studio);
  fs::rename(away, studio);
  ASSERT_TRUE(receive_until(recrawl_naming(folder / "Song.als"))) << describe(received);
  tallowmere_test::write_file(folder / "After.als", "saved in the restored folder");
  ASSERT_TRUE(receive_until(created(folder / "After.als"))) << describe(received);
  (*watcher)->stop();
}

TEST_F(FileWatcherTest, EventsAreDroppedOnceTheReceiverIsGone) {
  receiver_.reset();
  for (int i = 0; i < 50; ++i) tallowmere_test::write_file(in("Song" + std::to_string(i) + ".als"), "unheard");
  watcher_->stop();
}

// ---- failures to start ----

struct WatchFailureCase {
  const char* label;
  std::string expected_error;
};

class FileWatcherStartTest : public ::testing::TestWithParam<WatchFailureCase> {};

TEST_P(FileWatcherStartTest, FailsWithTheSystemsTextAndLetsGoOfTheSender) {
  tallowmere_test::TempDir temp;
  tallowmere_test::write_file(temp / "a-file", "not a folder");
  const fs::path target = std::string(GetParam().label) == "Missing" ? temp / "missing" : temp / "a-file";
  auto [sender, receiver] = Channel<ChangeEvent>::create();
  auto watcher = FileWatcher::watch(target, std::move(sender));
  ASSERT_FALSE(watcher.has_value());
  EXPECT_EQ(watcher.error(), GetParam().expected_error);
  EXPECT_EQ(receiver.try_receive().error(), ReceiveFailure::Disconnected);
}

INSTANTIATE_TEST_SUITE_P(Targets, FileWatcherStartTest,
                         ::testing::Values(WatchFailureCase{"Missing", "No such file or directory (os error 2)"},
                                           WatchFailureCase{"File", "Not a directory (os error 20)"}),
                         [](const auto& info) { return std::string(info.param.label); });

// ---- the step function, without threads ----

// Builds a buffer of inotify records the way the kernel packs them: the header, then the name
// with its NUL, padded with NULs to a multiple of the header's size (or unpadded when asked).
class InotifyRecords {
 public:
  InotifyRecords& add(std::uint32_t mask, std::string_view name = {}, bool padded = true, int wd = 1) {
    std::uint32_t length = 0;
    if (!name.empty()) {
      length = static_cast<std::uint32_t>(name.size() + 1);
      if (padded) length = (length + sizeof(inotify_event) - 1) / sizeof(inotify_event) * sizeof(inotify_event);
    }
    inotify_event header{};
    header.wd = wd;
    header.mask = mask;
    header.len = length;
    const auto start = bytes_.size();
    bytes_.resize(start + sizeof header + length, std::byte{0});
    std::memcpy(bytes_.data() + start, &header, sizeof header);
    if (!name.empty()) std::memcpy(bytes_.data() + start + sizeof header, name.data(), name.size());
    return *this;
  }
  InotifyRecords& overflow() { return add(IN_Q_OVERFLOW, {}, true, -1); }
  std::span<const std::byte> bytes() const { return bytes_; }
  std::vector<std::byte>& raw() { return bytes_; }

 private:
  std::vector<std::byte> bytes_;
};

const fs::path folder = "/projects/Album";

struct KindCase {
  const char* label;
  std::uint32_t mask;
  EventKind kind;
};

class InotifyKindTest : public ::testing::TestWithParam<KindCase> {};

TEST_P(InotifyKindTest, MapsTheRecordToItsKindAndFullPath) {
  auto translation = inotify::translate(InotifyRecords().add(GetParam().mask, "Song.als").bytes(), folder);
  EXPECT_FALSE(translation.watch_ended);
  ASSERT_EQ(translation.events.size(), 1u);
  EXPECT_EQ(translation.events[0], (ChangeEvent{GetParam().kind, {"/projects/Album/Song.als"}}));
}

INSTANTIATE_TEST_SUITE_P(Masks, InotifyKindTest,
                         ::testing::Values(KindCase{"Create", IN_CREATE, EventKind::Create},
                                           KindCase{"MovedTo", IN_MOVED_TO, EventKind::Create},
                                           KindCase{"CreateFolder", IN_CREATE | IN_ISDIR, EventKind::Create},
                                           KindCase{"Modify", IN_MODIFY, EventKind::Modify},
                                           KindCase{"CloseWrite", IN_CLOSE_WRITE, EventKind::Modify},
                                           KindCase{"Delete", IN_DELETE, EventKind::Remove},
                                           KindCase{"MovedFrom", IN_MOVED_FROM, EventKind::Remove},
                                           KindCase{"DeleteFolder", IN_DELETE | IN_ISDIR, EventKind::Remove},
                                           KindCase{"Attrib", IN_ATTRIB, EventKind::Other}),
                         [](const auto& info) { return std::string(info.param.label); });

// One descriptor watches the folder (watch 1), its parent (2) and the parent's parent (3).
TEST(InotifySortTest, TheFoldersRecordsGoToTranslationAndOnlyMovesAboveItCountAsMoves) {
  constexpr int own = 1, parent = 2, grandparent = 3, dropped = 4;
  const std::vector<int> above{parent, grandparent};
  struct Case {
    const char* label;
    InotifyRecords records;
    bool moved;
  };
  const std::vector<Case> cases{
      {"nothing", InotifyRecords(), false},
      {"a folder above moved", InotifyRecords().add(IN_MOVE_SELF, {}, true, grandparent), true},
      {"a folder above deleted",
       InotifyRecords().add(IN_DELETE_SELF, {}, true, parent).add(IN_IGNORED, {}, true, parent), true},
      {"records lost", InotifyRecords().overflow(), true},
      {"the folder moved away", InotifyRecords().add(IN_MOVED_FROM | IN_ISDIR, "Album", true, parent), true},
      {"something moved over it", InotifyRecords().add(IN_MOVED_TO | IN_ISDIR, "Album", true, parent), true},
      {"the folder deleted", InotifyRecords().add(IN_DELETE | IN_ISDIR, "Album", false, parent), true},
      {"other entries of the parent",
       InotifyRecords().add(IN_DELETE, "Album.bak", true, parent).add(IN_MOVED_FROM, "Albu", true, parent), false},
      {"the folder's own entry of that name", InotifyRecords().add(IN_DELETE, "Album", true, own), false},
      {"a watch no longer kept", InotifyRecords().add(IN_IGNORED, {}, true, dropped), false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(inotify::sort_records(c.records.bytes(), own, above, "Album").path_may_have_moved, c.moved) << c.label;
  }

  InotifyRecords mixed;
  mixed.add(IN_CREATE, "Song.als", true, own).add(IN_MOVE_SELF, {}, true, grandparent);
  mixed.add(IN_MODIFY, "Song.als", false, own);
  mixed.add(IN_IGNORED, {}, true, dropped).overflow();
  const auto sorted = inotify::sort_records(mixed.bytes(), own, above, "Album");
  EXPECT_TRUE(sorted.path_may_have_moved);
  InotifyRecords expected;
  expected.add(IN_CREATE, "Song.als", true, own).add(IN_MODIFY, "Song.als", false, own).overflow();
  EXPECT_EQ(sorted.folder_records, expected.raw()) << "the folder's records and the overflow, in their order";

  InotifyRecords truncated;
  truncated.add(IN_MOVE_SELF, {}, true, parent);
  truncated.raw().pop_back();
  EXPECT_FALSE(inotify::sort_records(truncated.bytes(), own, above, "Album").path_may_have_moved)
      << "a truncated record is ignored";
}

TEST(InotifyTranslateTest, KeepsTheOrderOfTheRecords) {
  InotifyRecords records;
  records.add(IN_CREATE, ".Song.als.tmp").add(IN_MODIFY, ".Song.als.tmp").add(IN_CLOSE_WRITE, ".Song.als.tmp", false);
  records.add(IN_MOVED_FROM, ".Song.als.tmp").add(IN_MOVED_TO, "Song.als").add(IN_DELETE, "Old.als", false);
  auto translation = inotify::translate(records.bytes(), folder);
  EXPECT_EQ(translation.events, (std::vector<ChangeEvent>{
                                    {EventKind::Create, {folder / ".Song.als.tmp"}},
                                    {EventKind::Modify, {folder / ".Song.als.tmp"}},
                                    {EventKind::Remove, {folder / ".Song.als.tmp"}},
                                    {EventKind::Create, {folder / "Song.als"}},
                                    {EventKind::Remove, {folder / "Old.als"}},
                                }));
}

TEST(InotifyTranslateTest, ARepeatOfTheEventJustBeforeAddsNothing) {
  InotifyRecords records;
  records.add(IN_MODIFY, "A.als").add(IN_MODIFY, "A.als").add(IN_CLOSE_WRITE, "A.als");
  records.add(IN_MODIFY, "B.als").add(IN_MODIFY, "A.als");
  auto translation = inotify::translate(records.bytes(), folder);
  EXPECT_EQ(translation.events, (std::vector<ChangeEvent>{
                                    {EventKind::Modify, {folder / "A.als"}},
                                    {EventKind::Modify, {folder / "B.als"}},
                                    {EventKind::Modify, {folder / "A.als"}},
                                }));
}

TEST(InotifyTranslateTest, KindsNotAskedForAddNothing) {
  InotifyRecords records;
  records.add(IN_ACCESS, "Song.als").add(IN_OPEN, "Song.als").add(IN_CLOSE_NOWRITE, "Song.als");
  EXPECT_TRUE(inotify::translate(records.bytes(), folder).events.empty());
}

TEST(InotifyTranslateTest, ARecordWithoutANameConcernsTheFolderItself) {
  auto translation = inotify::translate(InotifyRecords().add(IN_ATTRIB | IN_ISDIR).bytes(), folder);
  EXPECT_EQ(translation.events, (std::vector<ChangeEvent>{{EventKind::Other, {folder}}}));
}

TEST(InotifyTranslateTest, EmptyBufferMeansNothing) {
  auto translation = inotify::translate({}, folder);
  EXPECT_TRUE(translation.events.empty());
  EXPECT_FALSE(translation.watch_ended);
}

TEST(InotifyTranslateTest, ATruncatedLastRecordIsIgnored) {
  InotifyRecords records;
  records.add(IN_CREATE, "Song.als").add(IN_CREATE, "Cut.als");
  records.raw().resize(records.raw().size() - 3);
  EXPECT_EQ(inotify::translate(records.bytes(), folder).events,
            (std::vector<ChangeEvent>{{EventKind::Create, {folder / "Song.als"}}}));

  InotifyRecords header_only;
  header_only.add(IN_CREATE, "Song.als");
  header_only.raw().resize(header_only.raw().size() + sizeof(inotify_event) / 2, std::byte{0xff});
  EXPECT_EQ(inotify::translate(header_only.bytes(), folder).events.size(), 1u);
}

TEST(InotifyTranslateTest, ReadsRecordsFromAnUnalignedBuffer) {
  InotifyRecords records;
  records.add(IN_CREATE, "Song.als").add(IN_DELETE, "Song.als");
  std::vector<std::byte> shifted(records.bytes().size() + 1);
  std::memcpy(shifted.data() + 1, records.bytes().data(), records.bytes().size());
  EXPECT_EQ(inotify::translate(std::span(shifted).subspan(1), folder).events,
            (std::vector<ChangeEvent>{{EventKind::Create, {folder / "Song.als"}},
                                      {EventKind::Remove, {folder / "Song.als"}}}));
}

struct EndCase {
  const char* label;
  std::uint32_t mask;
};

class InotifyEndTest : public ::testing::TestWithParam<EndCase> {};

TEST_P(InotifyEndTest, TheFolderGoingEndsTheWatchAndLaterRecordsAreIgnored) {
  InotifyRecords records;
  records.add(IN_DELETE, "Song.als").add(GetParam().mask).add(IN_IGNORED).add(IN_CREATE, "Ghost.als");
  auto translation = inotify::translate(records.bytes(), folder);
  EXPECT_TRUE(translation.watch_ended);
  EXPECT_EQ(translation.events, (std::vector<ChangeEvent>{{EventKind::Remove, {folder / "Song.als"}}}));
}

INSTANTIATE_TEST_SUITE_P(Masks, InotifyEndTest,
                         ::testing::Values(EndCase{"Ignored", IN_IGNORED}, EndCase{"DeleteSelf", IN_DELETE_SELF},
                                           EndCase{"MoveSelf", IN_MOVE_SELF}, EndCase{"Unmount", IN_UNMOUNT}),
                         [](const auto& info) { return std::string(info.param.label); });

TEST(InotifyTranslateTest, OverflowReportsEveryRegularFileInTheFolderAsAny) {
  tallowmere_test::TempDir temp;
  const fs::path project = temp.path();
  tallowmere_test::write_file(project / "Song.als", "session");
  tallowmere_test::write_file(project / "notes.txt", "notes");
  tallowmere_test::write_file(project / "Backup" / "Old.als", "in a sub-folder");
  fs::create_symlink(project / "Song.als", project / "Link.als");

  InotifyRecords records;
  records.add(IN_CREATE, "Before.als").overflow().add(IN_MODIFY, "After.als");
  auto translation = inotify::translate(records.bytes(), project);
  EXPECT_FALSE(translation.watch_ended);
  EXPECT_EQ(translation.events, (std::vector<ChangeEvent>{
                                    {EventKind::Create, {project / "Before.als"}},
                                    {EventKind::Any, {project / "Song.als", project / "notes.txt"}},
                                    {EventKind::Modify, {project / "After.als"}},
                                }));
}

TEST(InotifyTranslateTest, OverflowOnAFolderThatCannotBeListedReportsNoPaths) {
  auto translation = inotify::translate(InotifyRecords().overflow().bytes(), "/nonexistent/tallowmere/folder");
  EXPECT_EQ(translation.events, (std::vector<ChangeEvent>{{EventKind::Any, {}}}));
}

TEST(InotifyRecrawlTest, ListsRegularFilesDirectlyInTheFolderInPathOrder) {
  tallowmere_test::TempDir temp;
  for (auto name : {"b.rpp", "A.als", "c.ardour", ".hidden.als"}) tallowmere_test::write_file(temp / name, "x");
  fs::create_directory(temp / "Project.logicx");
  EXPECT_EQ(inotify::recrawl(temp.path()),
            (ChangeEvent{EventKind::Any, {temp / ".hidden.als", temp / "A.als", temp / "b.rpp", temp / "c.ardour"}}));
}

}  // namespace
}  // namespace tallowmere_cli::platform

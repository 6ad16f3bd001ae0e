#include "platform/file_watcher.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "change_event_printing.h"
#include "test_support.h"

namespace tallowmere_cli::platform {
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
  // A folder made again and then filled may be found before its Song.als is written, which then
  // comes as an event of its own; a folder put back whole is reported whole.
  auto recrawl = receive_until([&](const ChangeEvent& event) {
    return (event.kind == EventKind::Any || event.kind == EventKind::Create) && mentions({event}, in("Song.als"));
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
  // A folder found at the path is watched at once, so a file written into it just after may come
  // as its own event or in the report of the folder's contents, depending on which came first.
  const auto mentioning = [](const fs::path& file) {
    return [file](const ChangeEvent& event) { return mentions({event}, file); };
  };

  // Away and straight back: the folder at the path is the watched one still (or again).
  fs::rename(studio, away);
  fs::rename(away, studio);
  tallowmere_test::write_file(folder / "Back.als", "saved after the return");
  ASSERT_TRUE(receive_until(mentioning(folder / "Back.als"))) << describe(received);

  // Away, and another folder made at the path: that one is watched.
  fs::rename(studio, away);
  tallowmere_test::write_file(folder / "New.als", "in the folder now standing at the path");
  ASSERT_TRUE(receive_until(mentioning(folder / "New.als"))) << describe(received);

  // The first folder restored in its place: watched again, with everything in it reported.
  fs::remove_all(studio);
  fs::rename(away, studio);
  ASSERT_TRUE(receive_until(recrawl_naming(folder / "Song.als"))) << describe(received);
  tallowmere_test::write_file(folder / "After.als", "saved in the restored folder");
  ASSERT_TRUE(receive_until(created(folder / "After.als"))) << describe(received);
  (*watcher)->stop();
}

// Receives on `receiver` until an event for which `wanted` holds; false when the deadline passes.
bool receive_matching(Channel<ChangeEvent>::Receiver& receiver, const std::function<bool(const ChangeEvent&)>& wanted,
                      std::vector<ChangeEvent>& received) {
  const auto deadline = std::chrono::steady_clock::now() + patience;
  while (std::chrono::steady_clock::now() < deadline) {
    auto event = receiver.receive(deadline - std::chrono::steady_clock::now());
    if (!event) {
      if (event.error() == ReceiveFailure::Disconnected) return false;
      continue;
    }
    received.push_back(*event);
    if (wanted(received.back())) return true;
  }
  return false;
}

std::function<bool(const ChangeEvent&)> recrawl_naming(const fs::path& file) {
  return [file](const ChangeEvent& event) { return event.kind == EventKind::Any && mentions({event}, file); };
}

std::function<bool(const ChangeEvent&)> created(const fs::path& file) {
  return [file](const ChangeEvent& event) { return event == ChangeEvent{EventKind::Create, {file}}; };
}

// A file written into a folder just after it appears at the path may come as its own event or in
// the report of the folder's contents, depending on which the watch saw first.
std::function<bool(const ChangeEvent&)> mentioning(const fs::path& file) {
  return [file](const ChangeEvent& event) { return mentions({event}, file); };
}

// A watch and its receiver, for tests with several at once.
struct Watched {
  fs::path folder;
  std::optional<Channel<ChangeEvent>::Receiver> receiver;
  std::unique_ptr<FileWatcher> watcher;
  std::vector<ChangeEvent> received;

  static Watched start(const fs::path& folder, FolderCheck accept = {}) {
    Watched watched{folder, std::nullopt, nullptr, {}};
    auto [sender, receiver] = Channel<ChangeEvent>::create();
    watched.receiver.emplace(std::move(receiver));
    auto watcher = FileWatcher::watch(folder, std::move(sender), std::move(accept));
    EXPECT_TRUE(watcher.has_value()) << (watcher ? "" : watcher.error());
    if (watcher) watched.watcher = std::move(*watcher);
    return watched;
  }
  bool receive(const std::function<bool(const ChangeEvent&)>& wanted) {
    return receive_matching(*receiver, wanted, received);
  }
};

// The folder check decides what a folder at the path is: a refused one reports nothing, however
// much changes in it, but each change asks the check again; once it says yes, the folder is
// reported whole and then watched.
TEST(FileWatcherCheckTest, ARefusedFolderReportsNothingUntilTheCheckTakesIt) {
  tallowmere_test::TempDir temp;
  const fs::path folder = fs::canonical(temp.path()) / "Album";
  fs::create_directory(folder);
  std::atomic<bool> wanted{false};
  std::atomic<int> asked{0};
  auto watched = Watched::start(folder, [&](const fs::path& at) {
    EXPECT_EQ(at, folder);
    ++asked;
    return wanted.load();
  });
  ASSERT_TRUE(watched.watcher);
  EXPECT_EQ(asked.load(), 1) << "asked once at the start";

  tallowmere_test::write_file(folder / "Song.als", "in a folder not ours");
  ASSERT_TRUE(tallowmere_test::wait_until([&] { return asked.load() >= 2; }));
  EXPECT_EQ(watched.receiver->try_receive().error(), ReceiveFailure::Timeout) << "a refused folder reports nothing";

  wanted = true;
  tallowmere_test::write_file(folder / ".marker", "what made the check change its mind");
  ASSERT_TRUE(watched.receive(recrawl_naming(folder / "Song.als"))) << describe(watched.received);
  tallowmere_test::write_file(folder / "After.als", "saved in the folder taken");
  ASSERT_TRUE(watched.receive(created(folder / "After.als"))) << describe(watched.received);
}

// While nothing stands at the path, not even the folders above it, each one made along the path
// is followed down until the folder is back.
TEST(FileWatcherCheckTest, AFolderWhosePathIsGoneFromFurtherUpIsFoundWhenThePathIsMadeAgain) {
  tallowmere_test::TempDir temp;
  const fs::path studio = fs::canonical(temp.path()) / "Studio";
  const fs::path folder = studio / "Music" / "Album";
  fs::create_directories(folder);
  auto watched = Watched::start(folder);
  ASSERT_TRUE(watched.watcher);
  fs::remove_all(studio);
  fs::create_directory(studio);
  fs::create_directory(studio / "Music");
  tallowmere_test::write_file(folder / "Song.als", "restored");
  ASSERT_TRUE(watched.receive(mentioning(folder / "Song.als"))) << describe(watched.received);
}

// Watches share the system's watch of a folder they all watch (a common parent, a project folder
// that is another one's parent): the one left keeps it when another stops.
TEST(FileWatcherSharingTest, AWatchThatStopsLeavesTheFoldersItSharedWatchedForTheOthers) {
  tallowmere_test::TempDir temp;
  const fs::path music = fs::canonical(temp.path()) / "Music";
  const fs::path album = music / "Album", other = music / "Other", inner = album / "Inner";
  fs::create_directories(inner);
  fs::create_directories(other);
  auto album_watch = Watched::start(album);
  auto other_watch = Watched::start(other);
  auto inner_watch = Watched::start(inner);
  ASSERT_TRUE(album_watch.watcher && other_watch.watcher && inner_watch.watcher);

  // Album's folder is Inner's parent, and Music is everybody's parent or grandparent.
  other_watch.watcher->stop();
  EXPECT_EQ(other_watch.receiver->try_receive().error(), ReceiveFailure::Disconnected);
  inner_watch.watcher->stop();

  tallowmere_test::write_file(album / "Song.als", "still watched");
  ASSERT_TRUE(album_watch.receive(created(album / "Song.als"))) << describe(album_watch.received);
  // Music's watch is still there for Album: Album replaced through it is noticed.
  fs::rename(album, music / "Album-old");
  tallowmere_test::write_file(album / "New.als", "in the folder now at the path");
  ASSERT_TRUE(album_watch.receive(mentioning(album / "New.als"))) << describe(album_watch.received);

  // And the other way round: Album's watch stopped, Inner's folder above (the new Album) still
  // reports Inner's move.
  fs::create_directory(album / "Inner2");
  auto inner_again = Watched::start(album / "Inner2");
  ASSERT_TRUE(inner_again.watcher);
  album_watch.watcher->stop();
  fs::rename(album / "Inner2", album / "Inner2-old");
  tallowmere_test::write_file(album / "Inner2" / "Deep.als", "in the folder now at the path");
  ASSERT_TRUE(inner_again.receive(mentioning(album / "Inner2" / "Deep.als"))) << describe(inner_again.received);
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

TEST(InotifyRecrawlTest, ListsRegularFilesDirectlyInTheFolderInPathOrder) {
  tallowmere_test::TempDir temp;
  for (auto name : {"b.rpp", "A.als", "c.ardour", ".hidden.als"}) tallowmere_test::write_file(temp / name, "x");
  fs::create_directory(temp / "Project.logicx");
  EXPECT_EQ(recrawl(temp.path()),
            (ChangeEvent{EventKind::Any, {temp / ".hidden.als", temp / "A.als", temp / "b.rpp", temp / "c.ardour"}}));
}

}  // namespace
}  // namespace tallowmere_cli::platform

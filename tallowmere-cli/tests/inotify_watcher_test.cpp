#include "platform/inotify_watcher.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include <sys/inotify.h>

#include <gtest/gtest.h>

#include "change_event_printing.h"
#include "test_support.h"

// The inotify backend's step, without threads: crafted records in, change events out.
namespace tallowmere_cli::platform {
namespace {

namespace fs = std::filesystem;

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

// One descriptor shared by every watch: a watch descriptor held by several watches goes to each
// only with the kinds it asked for, and is given up only when the last holder lets go.
TEST(InotifyWatchTableTest, SharedWatchDescriptorsReachTheirHoldersAndOutliveAHolderThatLeaves) {
  using Hold = inotify::WatchTable::Hold;
  using Ids = std::vector<std::uint64_t>;
  constexpr std::uint64_t a = 1, b = 2;
  constexpr int a_folder = 10, music = 11, b_folder = 12, other_parent = 13;
  inotify::WatchTable table;
  // A's folder and B's folder lie in one Music folder: both hold its watch descriptor.
  EXPECT_TRUE(table.replace(a, std::vector<Hold>{{a_folder, IN_CREATE | IN_MODIFY}, {music, IN_MOVED_FROM}}).empty());
  EXPECT_TRUE(table.replace(b, std::vector<Hold>{{b_folder, IN_MODIFY}, {music, IN_MOVE_SELF}}).empty());

  struct Case {
    const char* label;
    int wd;
    std::uint32_t mask;
    Ids expected;
  };
  const std::vector<Case> cases{
      {"A's own folder", a_folder, IN_MODIFY, {a}},
      {"a name moved out of Music, which only A asked for", music, IN_MOVED_FROM, {a}},
      {"the same about a folder", music, IN_MOVED_FROM | IN_ISDIR, {a}},
      {"Music itself moved, which only B asked for", music, IN_MOVE_SELF, {b}},
      {"a kind nobody asked for", music, IN_CREATE, {}},
      {"the watch's end goes to every holder", music, IN_IGNORED, {a, b}},
      {"so does an unmount", music, IN_UNMOUNT, {a, b}},
      {"a descriptor nobody holds", 99, IN_MODIFY, {}},
  };
  for (const auto& c : cases) EXPECT_EQ(table.recipients(c.wd, c.mask), c.expected) << c.label;

  EXPECT_EQ(table.remove(b), (std::vector<int>{b_folder})) << "Music is still A's";
  EXPECT_EQ(table.recipients(music, IN_MOVED_FROM), (Ids{a}));
  EXPECT_EQ(table.recipients(music, IN_MOVE_SELF), Ids{});

  // A re-arms elsewhere: what it no longer holds, and nobody else does, is given up.
  EXPECT_EQ(table.replace(a, std::vector<Hold>{{a_folder, IN_MODIFY}, {other_parent, IN_MOVED_FROM}}),
            (std::vector<int>{music}));
  // A descriptor the kernel dropped needs no removal.
  table.forget(a_folder);
  EXPECT_EQ(table.recipients(a_folder, IN_MODIFY), Ids{});
  EXPECT_EQ(table.remove(a), (std::vector<int>{other_parent}));
  EXPECT_TRUE(table.empty());

  // One holder naming a descriptor twice (a folder that is also its own ancestor through a bind
  // mount, say) holds it once, with both masks.
  EXPECT_TRUE(table.replace(a, std::vector<Hold>{{music, IN_CREATE}, {music, IN_MOVE_SELF}}).empty());
  EXPECT_EQ(table.recipients(music, IN_MOVE_SELF), (Ids{a}));
  EXPECT_EQ(table.remove(a), (std::vector<int>{music}));
}

TEST(InotifyErrorTextTest, TheLimitsNameTheSettingThatRaisesThem) {
  struct Case {
    int error;
    bool adding_watch;
    std::string expected;
  };
  const std::vector<Case> cases{
      {EMFILE, false,
       "Too many open files (os error 24): the per-user limit of inotify instances is reached; raise "
       "/proc/sys/fs/inotify/max_user_instances"},
      {ENOSPC, true,
       "No space left on device (os error 28): the per-user limit of inotify watches is reached; raise "
       "/proc/sys/fs/inotify/max_user_watches"},
      {ENOENT, true, "No such file or directory (os error 2)"},
      {ENOTDIR, true, "Not a directory (os error 20)"},
  };
  for (const auto& c : cases) EXPECT_EQ(inotify::error_text(c.error, c.adding_watch), c.expected) << c.error;
}

}  // namespace
}  // namespace tallowmere_cli::platform

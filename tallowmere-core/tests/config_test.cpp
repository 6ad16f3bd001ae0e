#include "config.h"

#include <algorithm>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "forked_child.h"
#include "json/document.h"
#include "test_support.h"

namespace tallowmere_core::config {
namespace {

using tallowmere_test::read_file;
using tallowmere_test::TempDir;
using tallowmere_test::write_file;

std::expected<ProjectConfig, JsonError> read_config(std::string_view text) {
  return json::read_document<ProjectConfig>(text);
}

constexpr std::string_view kPolicyOnly = R"({"checkpoint_policy":{"mode":"hybrid","event_triggers":["session_save"]}})";

// The saved form of kPolicyOnly: every default written out.
constexpr std::string_view kPolicyOnlySaved = R"({
  "checkpoint_policy": {
    "mode": "hybrid",
    "event_triggers": [
      "session_save"
    ],
    "collapse_window_minutes": null
  },
  "retention_policy": {
    "store_blobs": false,
    "purge_blobs_older_than_days": null,
    "always_keep_latest_versions": null,
    "storage_milestones_gb": [
      10,
      20,
      40,
      60,
      80,
      100
    ],
    "last_notified_milestone_gb": null
  },
  "verification_history": {
    "last_verified_at": null,
    "last_verified_ok": null,
    "last_verified_detail": null
  },
  "evidence_pack_builds": []
})";

TEST(ConfigReadTest, OnlyACheckpointPolicyTakesEveryDefault) {
  auto config = read_config(kPolicyOnly);
  ASSERT_TRUE(config) << config.error().to_string();
  EXPECT_EQ(config->checkpoint_policy.mode, "hybrid");
  EXPECT_EQ(config->checkpoint_policy.event_triggers, std::vector<std::string>{"session_save"});
  EXPECT_FALSE(config->checkpoint_policy.collapse_window_minutes);
  EXPECT_FALSE(config->retention_policy.store_blobs);
  EXPECT_FALSE(config->retention_policy.purge_blobs_older_than_days);
  EXPECT_FALSE(config->retention_policy.always_keep_latest_versions);
  EXPECT_EQ(config->retention_policy.storage_milestones_gb, (std::vector<std::uint64_t>{10, 20, 40, 60, 80, 100}));
  EXPECT_FALSE(config->retention_policy.last_notified_milestone_gb);
  EXPECT_FALSE(config->verification_history.last_verified_at);
  EXPECT_FALSE(config->verification_history.last_verified_ok);
  EXPECT_FALSE(config->verification_history.last_verified_detail);
  EXPECT_TRUE(config->evidence_pack_builds.empty());
}

TEST(ConfigReadTest, AcceptedForms) {
  struct Case {
    std::string_view text;
    std::optional<std::uint32_t> collapse_window_minutes;
    std::optional<std::uint64_t> last_notified_milestone_gb;
    std::size_t milestones;
  };
  const Case cases[] = {
      {R"({"checkpoint_policy":["hybrid",["session_save"],5]})", 5, {}, 6},
      {R"({"checkpoint_policy":{"mode":"m","event_triggers":[],"collapse_window_minutes":4294967295}})", 4294967295u, {}, 6},
      {R"({"checkpoint_policy":{"mode":"m","event_triggers":[],"collapse_window_minutes":null},"unknown":{"a":[{}]},)"
       R"("retention_policy":{"store_blobs":true,"storage_milestones_gb":[1],"last_notified_milestone_gb":null,"x":0}})",
       {}, {}, 1},
      {R"([["m",[],null],[false,1,2,[3],4],["a",true,"d"],["x"]])", {}, 4, 1},
      {R"([["m",[],7]])", 7, {}, 6},
  };
  for (const Case& c : cases) {
    auto config = read_config(c.text);
    ASSERT_TRUE(config) << c.text << ": " << config.error().to_string();
    EXPECT_EQ(config->checkpoint_policy.collapse_window_minutes, c.collapse_window_minutes) << c.text;
    EXPECT_EQ(config->retention_policy.last_notified_milestone_gb, c.last_notified_milestone_gb) << c.text;
    EXPECT_EQ(config->retention_policy.storage_milestones_gb.size(), c.milestones) << c.text;
  }
}

TEST(ConfigReadTest, RejectsWhatTheRulesRefuse) {
  struct Case {
    std::string_view text;
    std::string_view error;  // the description, before " at line 1 column N"
  };
  const Case cases[] = {
      {R"({"checkpoint_policy":{"mode":"m","event_triggers":[]},"retention_policy":null})",
       "invalid type: null, expected struct RetentionPolicy"},
      {R"({"checkpoint_policy":{"mode":"m","event_triggers":[]},"verification_history":null})",
       "invalid type: null, expected struct VerificationHistory"},
      {R"({"checkpoint_policy":{"mode":"m","event_triggers":[]},"evidence_pack_builds":null})",
       "invalid type: null, expected a sequence"},
      {R"({"checkpoint_policy":{"mode":"hybrid"}})", "missing field `event_triggers`"},
      {R"({"retention_policy":{"store_blobs":false,"storage_milestones_gb":[]}})", "missing field `checkpoint_policy`"},
      {R"({"checkpoint_policy":{"mode":"m","event_triggers":[],"collapse_window_minutes":4294967296}})",
       "invalid value: integer `4294967296`, expected u32"},
      {R"({"checkpoint_policy":{"mode":"hybrid","mode":"manual","event_triggers":[]}})", "duplicate field `mode`"},
      {R"({"checkpoint_policy":["hybrid",["session_save"]]})",
       "invalid length 2, expected struct CheckpointPolicy with 3 elements"},
      {R"({"checkpoint_policy":["hybrid",["session_save"],5,6]})", "trailing characters"},
      {R"({"checkpoint_policy":{"mode":"m","event_triggers":[]},"retention_policy":[true,null,null,[5]]})",
       "invalid length 4, expected struct RetentionPolicy with 5 elements"},
      {R"({"checkpoint_policy":{"mode":"m","event_triggers":[]},"verification_history":[null,null]})",
       "invalid length 2, expected struct VerificationHistory with 3 elements"},
      {"[]", "invalid length 0, expected struct ProjectConfig with 4 elements"},
      {R"({"checkpoint_policy":{"mode":"m","event_triggers":[]},"retention_policy":{"store_blobs":null,"storage_milestones_gb":[]}})",
       "invalid type: null, expected a boolean"},
      {R"({"checkpoint_policy":{"mode":"m","event_triggers":[]},"retention_policy":{"store_blobs":true}})",
       "missing field `storage_milestones_gb`"},
      {R"({"checkpoint_policy":{"mode":"m","event_triggers":[]},"retention_policy":{"store_blobs":false,)"
       R"("purge_blobs_older_than_days":-1,"storage_milestones_gb":[]}})",
       "invalid value: integer `-1`, expected u32"},
      {R"({"checkpoint_policy":{"mode":"m","event_triggers":[]},"retention_policy":{"store_blobs":false,)"
       R"("purge_blobs_older_than_days":1.5,"storage_milestones_gb":[]}})",
       "invalid type: floating point `1.5`, expected u32"},
  };
  for (const Case& c : cases) {
    auto config = read_config(c.text);
    ASSERT_FALSE(config) << c.text;
    EXPECT_EQ(config.error().description, c.error) << c.text;
    EXPECT_EQ(config.error().line, 1u) << c.text;
  }
}

class ConfigSaveTest : public ::testing::Test {
 protected:
  TempDir dir_;
  std::filesystem::path config_file_ = dir_ / "config.json";

  static ProjectConfig policy_only() { return read_config(kPolicyOnly).value(); }

  // Every name in the folder; a save must leave no temporary file behind.
  std::vector<std::string> folder_names() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }
};

TEST_F(ConfigSaveTest, WritesEveryMemberWithoutAFinalLineFeed) {
  ASSERT_TRUE(save_config(config_file_, policy_only()));
  const std::string saved = read_file(config_file_);
  EXPECT_EQ(saved, kPolicyOnlySaved);
  EXPECT_TRUE(saved.starts_with("{\n  \"checkpoint_policy\": {\n"));
  EXPECT_EQ(saved.back(), '}');
  EXPECT_EQ(config_text(policy_only()).value(), kPolicyOnlySaved);
}

TEST_F(ConfigSaveTest, SavedFileReadsBackAsTheSameConfiguration) {
  auto config = read_config(
      R"({"checkpoint_policy":["event_triggered",[],30],"retention_policy":{"store_blobs":true,)"
      R"("purge_blobs_older_than_days":null,"always_keep_latest_versions":7,"storage_milestones_gb":[],)"
      R"("last_notified_milestone_gb":20},"verification_history":["2024-03-01T00:00:00+00:00",false,"chain \"broken\""],)"
      R"("evidence_pack_builds":["pack-1","pack-2"],"dropped":1})");
  ASSERT_TRUE(config) << config.error().to_string();
  write_file(config_file_, "old");
  ASSERT_TRUE(save_config(config_file_, *config));
  const std::string saved = read_file(config_file_);
  EXPECT_EQ(saved.find("dropped"), std::string::npos);
  EXPECT_NE(saved.find("\n  \"retention_policy\": {\n    \"store_blobs\": true,\n    \"purge_blobs_older_than_days\": null,"),
            std::string::npos)
      << saved;
  EXPECT_NE(saved.find("\n    \"storage_milestones_gb\": [],\n"), std::string::npos) << saved;
  auto reread = read_config(saved);
  ASSERT_TRUE(reread) << reread.error().to_string();
  EXPECT_EQ(config_text(*reread).value(), saved);
  EXPECT_EQ(folder_names(), std::vector<std::string>{"config.json"});
}

TEST_F(ConfigSaveTest, KeepsTheOldPermissionBitsAndHonoursTheUmaskForANewFile) {
  write_file(config_file_, "{}");
  ASSERT_EQ(::chmod(config_file_.c_str(), 0640), 0);
  ASSERT_TRUE(save_config(config_file_, policy_only()));
  struct stat metadata {};
  ASSERT_EQ(::stat(config_file_.c_str(), &metadata), 0);
  EXPECT_EQ(metadata.st_mode & 07777, 0640u);

  const auto fresh = dir_ / "fresh.json";
  const mode_t old_mask = ::umask(027);
  const auto saved = save_config(fresh, policy_only());
  ::umask(old_mask);
  ASSERT_TRUE(saved);
  ASSERT_EQ(::stat(fresh.c_str(), &metadata), 0);
  EXPECT_EQ(metadata.st_mode & 07777, 0640u);
}

// A write that fails part way (the file-size limit holds for root too) must leave the old
// configuration whole: a rewrite in place would leave the first bytes of the new text.
TEST_F(ConfigSaveTest, WriteFailingPartWayLeavesTheOldFileIntact) {
  const std::string old_text =
      config_text(read_config(R"({"checkpoint_policy":{"mode":"manual","event_triggers":[]}})").value()).value();
  write_file(config_file_, old_text);

  const auto outcome = tallowmere_test::run_in_child([&]() -> std::string {
    if (!tallowmere_test::limit_file_size(64)) return "no limit";
    const auto saved = save_config(config_file_, policy_only());
    if (saved) return "save succeeded";
    const auto* io = saved.error().get<core_error::Io>();
    if (io == nullptr || io->path != config_file_ || io->source.os_error != EFBIG) return "not Io/EFBIG for the path";
    return "";
  });
  ASSERT_TRUE(outcome.exited_normally) << outcome.output;
  EXPECT_EQ(outcome.output, "");
  EXPECT_EQ(read_file(config_file_), old_text);
  EXPECT_EQ(folder_names(), std::vector<std::string>{"config.json"});
}

TEST_F(ConfigSaveTest, UnwritablePlaceIsIoForThePathAsGiven) {
  std::filesystem::create_directory(dir_ / "folder.json");
  struct Case {
    std::filesystem::path path;
    int os_error;
  };
  const Case cases[] = {
      {dir_ / "missing" / "config.json", ENOENT},
      {dir_ / "folder.json", EISDIR},
  };
  for (const Case& c : cases) {
    const auto saved = save_config(c.path, policy_only());
    ASSERT_FALSE(saved) << c.path;
    const auto* io = saved.error().get<core_error::Io>();
    ASSERT_NE(io, nullptr) << saved.error().message();
    EXPECT_EQ(io->path, c.path);
    EXPECT_EQ(io->source.os_error, c.os_error) << saved.error().message();
  }
}

}  // namespace
}  // namespace tallowmere_core::config

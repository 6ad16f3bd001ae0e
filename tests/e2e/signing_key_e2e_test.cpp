// The signing key as the running service meets it: a key whose public key is not the one the
// manifest records (replaced by hand, restored from another machine) is reported once when the
// watch starts and still signs every save, and a key file that is not plain Base64 stops its
// watcher with the decoder's description of the first bad byte.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "base64.h"
#include "daemon_world.h"
#include "ledger.h"
#include "run_process.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using tallowmere_test::ChildProcess;
using tallowmere_test::DaemonWorld;
using tallowmere_test::WorldContributor;

std::string key_file(const DaemonWorld& world, const std::string& contributor) {
  return (world.data_home / "tallowmere-keychain" / "tallowmere-core" / contributor).string();
}

TEST(SigningKey, OneTheManifestCannotVerifyIsReportedAndStillSigns) {
  DaemonWorld world;
  const WorldContributor alice{"alice", 1};
  const WorldContributor bob{"bob", 2};
  const WorldContributor carol{"carol", 3};
  const WorldContributor dave{"dave", 4};
  world.add_project({.work_id = "w-match", .folder = "Match", .title = "Match", .contributors = {alice}});
  world.add_project({.work_id = "w-replaced", .folder = "Replaced", .title = "Replaced", .contributors = {bob}});
  world.add_project({.work_id = "w-garbled", .folder = "Garbled", .title = "Garbled", .contributors = {carol}});
  world.add_project({.work_id = "w-line-feed", .folder = "LineFeed", .title = "LineFeed", .contributors = {dave}});
  world.store_key(alice);
  // bob's key replaced by another one: the manifest still records the public key of seed 2.
  world.store_key({"bob", 9});
  world.store_key(carol);
  {
    const fs::path manifest = world.manifest_file("w-garbled");
    std::string text = tallowmere_test::read_file(manifest);
    const std::string recorded = tallowmere_core::base64::encode(tallowmere_test::public_key_of(carol.seed));
    text.replace(text.find(recorded), recorded.size(), "not a key");
    tallowmere_test::write_file(manifest, text);
  }
  // What `echo` and `base64` write: the key's text and a line feed.
  tallowmere_test::store_key_item(world.data_home, dave.id, tallowmere_test::key_item_text(dave.seed) + "\n");

  ChildProcess daemon(world.daemon());
  ASSERT_TRUE(tallowmere_test::wait_for_lines_starting(daemon, "Press Ctrl-C to stop.", 3))
      << daemon.stdout_so_far() << daemon.stderr_so_far();
  for (const char* work_id : {"w-match", "w-replaced", "w-garbled"})
    world.save(work_id, "Song.rpp", "<REAPER_PROJECT\n>\n");
  ASSERT_TRUE(tallowmere_test::wait_for_lines_starting(daemon, "[", 3))
      << daemon.stdout_so_far() << daemon.stderr_so_far();
  daemon.send_signal(SIGINT);
  const auto result = daemon.wait();
  ASSERT_EQ(result.exit_code, 0) << result.describe();

  const std::string ending = "; entries signed with it will not verify with the manifest's key";
  const std::set<std::string> expected{
      fmt::format("WARNING: {} (w-replaced): the signing key of contributor bob, from credential store item "
                  "tallowmere-core/bob ({}), does not match the public key that the manifest records for this "
                  "contributor{}",
                  world.project_folder("w-replaced").string(), key_file(world, "bob"), ending),
      fmt::format("WARNING: {} (w-garbled): the signing key of contributor carol, from credential store item "
                  "tallowmere-core/carol ({}), cannot be checked, since the manifest's public key for this "
                  "contributor is not standard Base64 of 32 bytes{}",
                  world.project_folder("w-garbled").string(), key_file(world, "carol"), ending),
      fmt::format("ERROR: watcher for {} (w-line-feed) stopped: invalid base64 in private key: invalid symbol 0x0a at "
                  "offset 44",
                  world.project_folder("w-line-feed").string()),
  };
  const auto lines = tallowmere_test::lines_of(result.stderr_text);
  EXPECT_EQ(std::set<std::string>(lines.begin(), lines.end()), expected) << result.stderr_text;
  EXPECT_EQ(lines.size(), expected.size()) << "each once: " << result.stderr_text;

  // Every save is recorded; the replaced key's entry verifies with that key only.
  EXPECT_TRUE(world.ledger_is_sound("w-match"));
  struct Signed {
    const char* work_id;
    unsigned char signer;    // the seed of the key that signed
    unsigned char recorded;  // the seed of the key that the manifest records
  };
  for (const Signed& project : {Signed{"w-replaced", 9, bob.seed}, Signed{"w-garbled", carol.seed, carol.seed}}) {
    SCOPED_TRACE(project.work_id);
    const auto ledger = tallowmere_core::ledger::read_ledger(world.ledger_file(project.work_id));
    ASSERT_TRUE(ledger.has_value());
    ASSERT_EQ(ledger->entries.size(), 1u);
    const auto& entry = ledger->entries[0];
    EXPECT_TRUE(tallowmere_test::signature_verifies(entry, tallowmere_test::public_key_of(project.signer)));
    if (project.signer != project.recorded) {
      EXPECT_FALSE(tallowmere_test::signature_verifies(entry, tallowmere_test::public_key_of(project.recorded)));
    }
  }
  EXPECT_FALSE(fs::exists(world.ledger_file("w-line-feed")));
}

}  // namespace

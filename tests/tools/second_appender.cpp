// A second writer of one project's ledger, standing in for the companion command-line tool while
// the daemon checkpoints the same project: appends manual checkpoint entries through
// checkpoint_ops::append_locked, signed with its own contributor's key, until the time is up.
//
//   tallowmere_second_appender <project folder> <contributor id> <milliseconds>
//
// Reads TALLOWMERE_HOME (the central root) and XDG_DATA_HOME (the credential store holding the
// contributor's key) as the daemon does. Prints the entry hash of every appended entry on a line
// of its own. A failed append is printed as "ERROR: <chain>" on standard error and makes the exit
// status 1; the appends go on until the time is up. A start that fails exits with status 2.
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <thread>

#include <fmt/format.h>

#include "base64.h"
#include "checkpoint_ops.h"
#include "cmd_watch_signing_identity.h"
#include "platform/credential_store.h"
#include "project.h"

namespace {

using tallowmere_cli::checkpoint_ops::append_locked;

int fail_to_start(const std::string& message) {
  std::fprintf(stderr, "ERROR: %s\n", message.c_str());
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) return fail_to_start("usage: tallowmere_second_appender <project folder> <contributor id> <milliseconds>");
  const std::string contributor_id = argv[2];
  const auto duration = std::chrono::milliseconds(std::stoll(argv[3]));

  auto project = tallowmere_cli::project::load_project(argv[1]);
  if (!project) return fail_to_start(project.error().one_line());

  auto key_text = tallowmere_cli::platform::find_generic_password(tallowmere_cli::cmd_watch::key_service, contributor_id);
  if (!key_text) return fail_to_start(key_text.error().message);
  auto key_bytes = tallowmere_core::base64::decode(key_text->view());
  if (!key_bytes) return fail_to_start("private key: " + key_bytes.error());
  auto key = tallowmere_core::SigningKey::from_private_bytes(key_bytes->bytes());
  if (!key) return fail_to_start("private key: " + key.error());

  // Short random pauses between appends, as separate runs of a command would leave, so that the
  // daemon's lock attempts (every 50 ms) find the lock free now and then.
  std::mt19937 random(std::random_device{}());
  std::uniform_int_distribution<int> pause_ms(5, 25);

  int status = 0;
  const auto end = std::chrono::steady_clock::now() + duration;
  for (std::uint64_t n = 1; std::chrono::steady_clock::now() < end; ++n) {
    tallowmere_cli::EntryDraft draft;
    draft.event_type = tallowmere_core::EventType::ManualCheckpoint;
    draft.notes = fmt::format("second appender, append {}", n);
    auto entry = append_locked(project->paths, project->manifest, contributor_id, *key, std::move(draft));
    if (entry) {
      std::printf("%s\n", entry->entry_hash.c_str());
      std::fflush(stdout);
    } else {
      std::fprintf(stderr, "ERROR: %s\n", entry.error().one_line().c_str());
      status = 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms(random)));
  }
  return status;
}

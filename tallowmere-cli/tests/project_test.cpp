#include "project.h"

#include <cstdio>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <pwd.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "forked_child.h"
#include "linux_process.h"
#include "test_support.h"

namespace tallowmere_cli {
namespace {

namespace fs = std::filesystem;
using tallowmere_test::TempDir;
using tallowmere_test::write_file;
using tallowmere_test::run_in_child;
using tallowmere_test::ScopedEnv;

constexpr std::string_view valid_pointer =
    R"({"schema_version":"1","work_id":"w1","warning":"managed by tallowmere; do not edit"})";
constexpr std::string_view valid_manifest =
    R"({"schema_version":"1","work_id":"w1","title":"Song","created_at":"2026-01-01T00:00:00+01:00",)"
    R"("contributors":[{"contributor_id":"alice","display_name":"Alice","public_key":"pk",)"
    R"("key_created_at":"2026-01-01T00:00:00+01:00"}],"current_head_hash":null,"current_sequence":0})";
constexpr std::string_view valid_config = R"({"checkpoint_policy":{"mode":"hybrid","event_triggers":[]}})";
constexpr std::string_view valid_entry =
    R"({"entry_id":"e1","contributor_id":"alice","causal_position":0,"parent_entry_hashes":[],)"
    R"("timestamp_local":"2026-01-01T00:00:00+01:00","timestamp_trusted":null,"event_type":"session_save",)"
    R"("daw_context":null,"content_refs":[],"notes":null,"entry_hash":"h1","signature":"s1",)"
    R"("key_rotation":null,"identity_recovery":null})";

// A project folder with its pointer file and a complete central directory for work id "w1",
// under a central root that TALLOWMERE_HOME names for as long as the value lives.
struct ProjectOnDisk {
  TempDir temp;
  fs::path central_root = temp / "central";
  fs::path root = temp / "song";
  fs::path pointer_file = root / ".tallowmere";
  fs::path central_dir = central_root / "projects" / "w1";
  ScopedEnv home{"TALLOWMERE_HOME", central_root.string()};

  ProjectOnDisk() {
    write_file(pointer_file, valid_pointer);
    write_file(central_dir / "manifest.json", valid_manifest);
    write_file(central_dir / "config.json", valid_config);
    write_file(central_dir / "ledger.jsonl", std::string(valid_entry) + "\n");
  }
  fs::path file(std::string_view name) const { return central_dir / name; }
};

std::string load_error(const fs::path& root) {
  auto loaded = project::load_project(root);
  if (loaded) return "(loaded)";
  return loaded.error().one_line();
}

std::string summary_error(const fs::path& root) {
  auto summary = project::load_project_summary(root);
  if (summary) return "(loaded)";
  return summary.error().one_line();
}

TEST(LoadProject, LoadsEveryFileIntoOneValue) {
  ProjectOnDisk project;
  write_file(project.file("ledger.jsonl"), std::string(valid_entry) + "\n\n" + R"({"entry_id":"cut)");

  auto loaded = project::load_project(project.root);
  ASSERT_TRUE(loaded) << loaded.error().one_line();
  EXPECT_EQ(loaded->paths.root, project.root);
  EXPECT_EQ(loaded->paths.pointer_file, project.pointer_file);
  EXPECT_EQ(loaded->paths.central_dir, project.central_dir);
  EXPECT_EQ(loaded->paths.manifest_file, project.file("manifest.json"));
  EXPECT_EQ(loaded->paths.config_file, project.file("config.json"));
  EXPECT_EQ(loaded->paths.ledger_file, project.file("ledger.jsonl"));
  EXPECT_EQ(loaded->paths.objects_dir, project.file("objects"));
  EXPECT_EQ(loaded->manifest.title, "Song");
  ASSERT_EQ(loaded->manifest.contributors.size(), 1u);
  EXPECT_EQ(loaded->manifest.contributors[0].contributor_id, "alice");
  EXPECT_EQ(loaded->config.checkpoint_policy.mode, "hybrid");
  EXPECT_FALSE(loaded->config.retention_policy.store_blobs);
  EXPECT_EQ(loaded->config.retention_policy.storage_milestones_gb, (std::vector<std::uint64_t>{10, 20, 40, 60, 80, 100}));
  ASSERT_EQ(loaded->ledger.entries.size(), 1u);
  EXPECT_EQ(loaded->ledger.entries[0].entry_hash, "h1");
  ASSERT_TRUE(loaded->ledger.trailing_incomplete);
  EXPECT_EQ(loaded->ledger.trailing_incomplete->line_number, 3u);
  EXPECT_EQ(loaded->ledger.trailing_incomplete->raw_line, R"({"entry_id":"cut)");
}

TEST(LoadProject, SummaryCountsTheLedgerAndKeepsTheRest) {
  ProjectOnDisk project;
  const std::string later = std::string(valid_entry).replace(std::string(valid_entry).find("2026-01-01T00:00:00"), 19,
                                                             "2026-02-03T04:05:06");
  write_file(project.file("ledger.jsonl"),
             std::string(valid_entry) + "\n" + later + "\n\n" + R"({"entry_id":"cut)");

  auto summary = project::load_project_summary(project.root);
  ASSERT_TRUE(summary) << summary.error().one_line();
  EXPECT_EQ(summary->paths.ledger_file, project.file("ledger.jsonl"));
  EXPECT_EQ(summary->manifest.title, "Song");
  EXPECT_EQ(summary->config.checkpoint_policy.mode, "hybrid");
  EXPECT_EQ(summary->ledger.entry_count, 2u);
  EXPECT_EQ(summary->ledger.last_timestamp_local, "2026-02-03T04:05:06+01:00");
  ASSERT_TRUE(summary->ledger.trailing_incomplete);
  EXPECT_EQ(summary->ledger.trailing_incomplete->line_number, 4u);
}

// A ledger of one line too long to hold: the child's address space is capped a little above what
// it already uses, below the buffer a ledger line of the longest allowed length needs, and the
// ledger is a sparse file of zeros with no line feed at all.
TEST(LoadProject, SummaryOfAProjectTooLargeToHoldFailsThatProjectOnly) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "an address-space limit and the sanitizers' shadow memory do not mix";
#endif
  ProjectOnDisk fine;
  const fs::path huge_root = fine.temp / "huge";
  const fs::path huge_central = fine.central_root / "projects" / "w2";
  write_file(huge_root / ".tallowmere", R"({"schema_version":"1","work_id":"w2","warning":"w"})");
  write_file(huge_central / "manifest.json", valid_manifest);
  write_file(huge_central / "config.json", valid_config);
  {
    std::FILE* ledger = std::fopen((huge_central / "ledger.jsonl").c_str(), "w");
    ASSERT_NE(ledger, nullptr);
    ASSERT_EQ(::ftruncate(::fileno(ledger), off_t{1} << 30), 0);
    std::fclose(ledger);
  }
  const auto outcome = run_in_child([&] {
    const std::size_t pages = tallowmere_test::linux_process::mapped_pages();
    if (pages == 0) return std::string("the mapped pages cannot be counted");
    const rlim_t cap = static_cast<rlim_t>(pages) * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE)) + (rlim_t{16} << 20);
    const rlimit limit{cap, cap};
    if (::setrlimit(RLIMIT_AS, &limit) != 0) return std::string("setrlimit failed");
    std::string report = summary_error(huge_root);
    auto other = project::load_project_summary(fine.root);
    report += "\n" + (other ? std::to_string(other->ledger.entry_count) : other.error().one_line());
    return report;
  });
  EXPECT_TRUE(outcome.exited_normally);
  EXPECT_EQ(outcome.output, "failed to load " + huge_root.string() + ": out of memory\n1");
}

TEST(LoadProject, AcceptsEveryFormOfAValidPointerFile) {
  struct Case {
    const char* name;
    std::function<void(ProjectOnDisk&)> arrange;
  };
  const Case cases[] = {
      {"keys in another order with unknown keys",
       [](ProjectOnDisk& p) {
         write_file(p.pointer_file, R"( {"extra":{"a":[1,2]},"warning":"w","work_id":"w1","schema_version":"9"} )");
       }},
      {"array form", [](ProjectOnDisk& p) { write_file(p.pointer_file, R"(["1","w1","w"])"); }},
      {"symbolic link to a regular file",
       [](ProjectOnDisk& p) {
         write_file(p.temp / "elsewhere", valid_pointer);
         fs::remove(p.pointer_file);
         fs::create_symlink(p.temp / "elsewhere", p.pointer_file);
       }},
      {"no ledger yet", [](ProjectOnDisk& p) { fs::remove(p.file("ledger.jsonl")); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ProjectOnDisk project;
    c.arrange(project);
    auto loaded = project::load_project(project.root);
    ASSERT_TRUE(loaded) << loaded.error().one_line();
    EXPECT_EQ(loaded->paths.central_dir, project.central_dir);
    EXPECT_FALSE(loaded->ledger.trailing_incomplete);
  }
}

// Each case breaks one step and, where it can, every step after it too: the message must be the
// one of the earliest broken step.
TEST(LoadProject, FailsAtTheFirstBrokenStepWithItsMessage) {
  struct Case {
    const char* name;
    std::function<void(ProjectOnDisk&)> arrange;
    std::function<std::string(const ProjectOnDisk&)> expected;
  };
  const auto not_a_project = [](const ProjectOnDisk& p) {
    return p.root.string() + " is not a tallowmere project (run `tallowmere init --project " + p.root.string() +
           " --contributor-name <name>` first)";
  };
  const auto malformed = [](const ProjectOnDisk& p, const std::string& cause) {
    return "pointer file " + p.pointer_file.string() +
           " is malformed (if it was hand-edited, that's likely why): " + cause;
  };
  const auto missing_central = [](const ProjectOnDisk& p) {
    return p.pointer_file.string() + " points to tallowmere history at " + p.central_dir.string() +
           " (work_id w1), but that central directory doesn't exist. This usually means ~/.tallowmere was moved, "
           "deleted, or wasn't restored along with this project folder from a backup. If you have an exported "
           "bundle for this project, verify it directly with `tallowmere verify --bundle <file>`.";
  };
  const std::string enoent = "No such file or directory (os error 2)";
  const std::string eisdir = "Is a directory (os error 21)";

  const Case cases[] = {
      {"no pointer file, no central directory",
       [](ProjectOnDisk& p) {
         fs::remove(p.pointer_file);
         fs::remove_all(p.central_root);
       },
       not_a_project},
      {"pointer file is a directory",
       [](ProjectOnDisk& p) {
         fs::remove(p.pointer_file);
         fs::create_directory(p.pointer_file);
       },
       not_a_project},
      {"pointer file is a dangling symbolic link",
       [](ProjectOnDisk& p) {
         fs::remove(p.pointer_file);
         fs::create_symlink(p.temp / "gone", p.pointer_file);
       },
       not_a_project},
      {"pointer file is not UTF-8, and it is malformed",
       [](ProjectOnDisk& p) { write_file(p.pointer_file, "{\"work_id\":\"\xff\"}"); },
       [](const ProjectOnDisk& p) {
         return "failed to read pointer file " + p.pointer_file.string() + ": stream did not contain valid UTF-8";
       }},
      {"pointer file lacks warning, and the central directory is gone",
       [](ProjectOnDisk& p) {
         write_file(p.pointer_file, R"({"schema_version":"1","work_id":"w1"})");
         fs::remove_all(p.central_root);
       },
       [=](const ProjectOnDisk& p) { return malformed(p, "missing field `warning` at line 1 column 37"); }},
      {"work_id given twice",
       [](ProjectOnDisk& p) { write_file(p.pointer_file, R"({"schema_version":"1","work_id":"a","work_id":"b"})"); },
       [=](const ProjectOnDisk& p) { return malformed(p, "duplicate field `work_id` at line 1 column 45"); }},
      {"text after the object",
       [](ProjectOnDisk& p) { write_file(p.pointer_file, std::string(valid_pointer) + " x"); },
       [=](const ProjectOnDisk& p) { return malformed(p, "trailing characters at line 1 column 86"); }},
      {"null warning",
       [](ProjectOnDisk& p) { write_file(p.pointer_file, R"({"schema_version":"1","work_id":"w1","warning":null})"); },
       [=](const ProjectOnDisk& p) { return malformed(p, "invalid type: null, expected a string at line 1 column 51"); }},
      {"array of two",
       [](ProjectOnDisk& p) { write_file(p.pointer_file, R"(["1","w1"])"); },
       [=](const ProjectOnDisk& p) {
         return malformed(p, "invalid length 2, expected struct ProjectPointer with 3 elements at line 1 column 10");
       }},
      {"array of four",
       [](ProjectOnDisk& p) { write_file(p.pointer_file, R"(["1","w1","w","x"])"); },
       [=](const ProjectOnDisk& p) { return malformed(p, "trailing characters at line 1 column 15"); }},
      {"not an object",
       [](ProjectOnDisk& p) { write_file(p.pointer_file, "5"); },
       [=](const ProjectOnDisk& p) {
         return malformed(p, "invalid type: integer `5`, expected struct ProjectPointer at line 1 column 1");
       }},
      {"central directory is gone", [](ProjectOnDisk& p) { fs::remove_all(p.central_root); }, missing_central},
      {"central directory is a file",
       [](ProjectOnDisk& p) {
         fs::remove_all(p.central_dir);
         write_file(p.central_dir, "not a folder");
       },
       missing_central},
      {"manifest and configuration are gone",
       [](ProjectOnDisk& p) {
         fs::remove(p.file("manifest.json"));
         fs::remove(p.file("config.json"));
       },
       [=](const ProjectOnDisk& p) {
         const std::string m = p.file("manifest.json").string();
         return "failed to load " + m + ": I/O error at " + m + ": " + enoent + ": " + enoent;
       }},
      {"manifest is a directory",
       [](ProjectOnDisk& p) {
         fs::remove(p.file("manifest.json"));
         fs::create_directory(p.file("manifest.json"));
       },
       [=](const ProjectOnDisk& p) {
         const std::string m = p.file("manifest.json").string();
         return "failed to load " + m + ": I/O error at " + m + ": " + eisdir + ": " + eisdir;
       }},
      {"manifest lacks work_id and current_sequence, configuration is broken",
       [](ProjectOnDisk& p) {
         write_file(p.file("manifest.json"),
                    R"({"schema_version":"1","created_at":"x","contributors":[]})");
         write_file(p.file("config.json"), "{");
       },
       [](const ProjectOnDisk& p) {
         const std::string m = p.file("manifest.json").string();
         return "failed to load " + m + ": failed to parse manifest at " + m +
                ": missing field `work_id` at line 1 column 57";
       }},
      {"configuration is gone, ledger is broken",
       [](ProjectOnDisk& p) {
         fs::remove(p.file("config.json"));
         write_file(p.file("ledger.jsonl"), "garbage\n");
       },
       [=](const ProjectOnDisk& p) {
         const std::string c = p.file("config.json").string();
         return "failed to load " + c + ": I/O error at " + c + ": " + enoent + ": " + enoent;
       }},
      {"configuration lacks its checkpoint policy, ledger is broken",
       [](ProjectOnDisk& p) {
         write_file(p.file("config.json"), R"({"evidence_pack_builds":[]})");
         write_file(p.file("ledger.jsonl"), "garbage\n");
       },
       [](const ProjectOnDisk& p) {
         const std::string c = p.file("config.json").string();
         return "failed to load " + c + ": failed to parse config at " + c +
                ": missing field `checkpoint_policy` at line 1 column 27";
       }},
      {"a bad ledger line before the end",
       [](ProjectOnDisk& p) { write_file(p.file("ledger.jsonl"), "garbage\n" + std::string(valid_entry)); },
       [](const ProjectOnDisk& p) {
         const std::string l = p.file("ledger.jsonl").string();
         return "failed to read " + l + ": failed to parse JSON at " + l + " line 1: expected value at line 1 column 1";
       }},
      {"ledger is a directory",
       [](ProjectOnDisk& p) {
         fs::remove(p.file("ledger.jsonl"));
         fs::create_directory(p.file("ledger.jsonl"));
       },
       [=](const ProjectOnDisk& p) {
         const std::string l = p.file("ledger.jsonl").string();
         return "failed to read " + l + ": I/O error at " + l + ": " + eisdir + ": " + eisdir;
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ProjectOnDisk project;
    c.arrange(project);
    EXPECT_EQ(load_error(project.root), c.expected(project));
    EXPECT_EQ(summary_error(project.root), c.expected(project));
  }
}

// What archives and sync clients leave behind: a FIFO would block the open for ever, a sparse
// 64 GiB file was read into a buffer of its size and ended the service with std::bad_alloc.
TEST(LoadProject, NonRegularAndOversizedFilesFailTheLoadWithoutHangingOrAllocating) {
  const auto fifo = [](const fs::path& file) {
    fs::remove(file);
    ASSERT_EQ(::mkfifo(file.c_str(), 0644), 0);
  };
  const auto sparse = [](const fs::path& file) { fs::resize_file(file, std::uintmax_t{64} << 30); };
  struct Case {
    const char* name;
    std::function<fs::path(const ProjectOnDisk&)> file;
    std::function<void(const fs::path&)> make;
    std::string expected_tail;
  };
  const auto central = [](const char* name) { return [name](const ProjectOnDisk& p) { return p.file(name); }; };
  const auto pointer = [](const ProjectOnDisk& p) { return p.pointer_file; };
  const std::string too_large = "file is larger than the 16777216 byte limit";
  const std::vector<Case> cases{
      {"pointer FIFO", pointer, fifo, " is not a tallowmere project"},
      {"huge pointer", pointer, sparse, ": " + too_large},
      {"manifest FIFO", central("manifest.json"), fifo, ": not a regular file"},
      {"huge manifest", central("manifest.json"), sparse, ": " + too_large},
      {"huge config", central("config.json"), sparse, ": " + too_large},
      {"ledger FIFO", central("ledger.jsonl"), fifo, ": not a regular file"},
      {"ledger with one endless line",
       central("ledger.jsonl"),
       [&](const fs::path& file) {
         sparse(file);
         std::ofstream(file, std::ios::app) << '\n';
       },
       " line 2: line is longer than 16777216 bytes"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ProjectOnDisk project;
    c.make(c.file(project));
    const std::string error = load_error(project.root);
    EXPECT_TRUE(error.find(c.expected_tail) != std::string::npos) << error;
  }
}

// A ledger too large for the memory there is fails its own load, not the service.
TEST(LoadProject, RunningOutOfMemoryFailsOnlyThatLoad) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "an address-space limit and the sanitizers' shadow memory do not mix";
#endif
  ProjectOnDisk project;
  // Its size alone asks for room for a million entries, more than the limit below allows.
  fs::resize_file(project.file("ledger.jsonl"), std::uintmax_t{1} << 30);
  const auto outcome = run_in_child([&] {
    const rlimit limit{std::size_t{256} << 20, std::size_t{256} << 20};
    if (::setrlimit(RLIMIT_AS, &limit) != 0) return std::string("setrlimit failed");
    return load_error(project.root);
  });
  EXPECT_TRUE(outcome.exited_normally) << outcome.output;
  EXPECT_EQ(outcome.output, "failed to load " + project.root.string() + ": out of memory");
}

TEST(LoadProject, ShowsTheProjectFolderAsGiven) {
  const std::string relative = "no/such/song folder";
  EXPECT_EQ(load_error(relative), relative + " is not a tallowmere project (run `tallowmere init --project " +
                                      relative + " --contributor-name <name>` first)");
  // Bytes that are not UTF-8 are shown as U+FFFD.
  EXPECT_EQ(load_error("/no/such/\xff"),
            "/no/such/\xEF\xBF\xBD is not a tallowmere project (run `tallowmere init --project /no/such/\xEF\xBF\xBD "
            "--contributor-name <name>` first)");
}

// A work id is one folder name under `projects/`. Each refused id here would otherwise reach a
// real, loadable central directory outside that folder (or the folder itself).
TEST(LoadProject, RefusesAWorkIdThatEscapesTheProjectsFolder) {
  struct Case {
    std::string work_id_json;  // as written in the pointer file
    std::string shown;         // as the message quotes it
    std::string reason;
  };
  ProjectOnDisk project;
  // Make every escape land on a complete central directory.
  for (const fs::path& elsewhere : {project.central_root / "x", project.central_root / "projects",
                                    project.central_root, project.central_dir / "sub"}) {
    fs::create_directories(elsewhere);
    for (const char* name : {"manifest.json", "config.json"}) {
      fs::copy_file(project.file(name), elsewhere / name, fs::copy_options::overwrite_existing);
    }
  }
  const std::string absolute = project.central_dir.string();
  const Case cases[] = {
      {R"("")", R"("")", "it is empty"},
      {"\"" + absolute + "\"", "\"" + absolute + "\"", "it is an absolute path"},
      {R"(".")", R"(".")", "it names the projects folder itself"},
      {R"("..")", R"("..")", "it names the folder above the projects folder"},
      {R"("../x")", R"("../x")", "it holds the path separator \"/\""},
      {R"("w1/sub")", R"("w1/sub")", "it holds the path separator \"/\""},
      {R"("w1/")", R"("w1/")", "it holds the path separator \"/\""},
      {R"("w1\u0000")", R"("w1\u0000")", "it holds a NUL byte"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.work_id_json);
    write_file(project.pointer_file, R"({"schema_version":"1","work_id":)" + c.work_id_json + R"(,"warning":"w"})");
    EXPECT_EQ(load_error(project.root),
              "pointer file " + project.pointer_file.string() +
                  " is malformed (if it was hand-edited, that's likely why): unsafe work_id " + c.shown + ": " +
                  c.reason + "; a work id must be a single folder name under the central root's \"projects\" folder");
  }
}

TEST(LoadProject, AcceptsWorkIdsThatOnlyLookUnusual) {
  for (const std::string work_id : {"...", "a..b", ".hidden", "with space", "x\\y"}) {
    SCOPED_TRACE(work_id);
    ProjectOnDisk project;
    const fs::path central_dir = project.central_root / "projects" / work_id;
    fs::rename(project.central_dir, central_dir);
    write_file(project.pointer_file, R"({"schema_version":"1","work_id":")" +
                                         (work_id == "x\\y" ? std::string("x\\\\y") : work_id) + R"(","warning":"w"})");
    auto loaded = project::load_project(project.root);
    ASSERT_TRUE(loaded) << loaded.error().one_line();
    EXPECT_EQ(loaded->paths.central_dir, central_dir);
  }
}

std::string password_database_home() {
  const passwd* entry = ::getpwuid(::getuid());
  return entry && entry->pw_dir ? entry->pw_dir : "";
}

TEST(CentralRoot, ComesFromTallowmereHomeThenHomeThenThePasswordDatabase) {
  const std::string passwd_home = password_database_home();
  ASSERT_FALSE(passwd_home.empty()) << "the test user needs a home directory in the password database";
  struct Case {
    const char* name;
    std::optional<std::string> tallowmere_home;
    std::optional<std::string> home;
    fs::path expected;
  };
  const Case cases[] = {
      {"TALLOWMERE_HOME is the root itself", "/srv/history", "/home/u", "/srv/history"},
      {"no tilde expansion, not made absolute", "~/rel/../x", "/home/u", "~/rel/../x"},
      {"empty TALLOWMERE_HOME is the empty path", "", "/home/u", ""},
      {"TALLOWMERE_HOME that is not Unicode is ignored", "/srv/\xff\xfe", "/home/u", "/home/u/.tallowmere"},
      {"HOME when TALLOWMERE_HOME is unset", std::nullopt, "/home/u", "/home/u/.tallowmere"},
      {"HOME taken as bytes", std::nullopt, "/home/\xff", "/home/\xff/.tallowmere"},
      {"empty HOME falls back to the password database", std::nullopt, "", fs::path(passwd_home) / ".tallowmere"},
      {"unset HOME falls back to the password database", std::nullopt, std::nullopt,
       fs::path(passwd_home) / ".tallowmere"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScopedEnv tallowmere_home("TALLOWMERE_HOME", c.tallowmere_home);
    ScopedEnv home("HOME", c.home);
    auto root = project::central_root();
    ASSERT_TRUE(root) << root.error().one_line();
    EXPECT_EQ(root->native(), c.expected.native());
  }
}

TEST(CentralRoot, EmptyTallowmereHomePutsProjectsUnderTheWorkingDirectory) {
  ProjectOnDisk project;
  ScopedEnv home("TALLOWMERE_HOME", "");
  const auto outcome = run_in_child([&] {
    if (::chdir(project.central_root.c_str()) != 0) return std::string("chdir failed");
    auto loaded = project::load_project(project.root);
    return loaded ? loaded->paths.central_dir.string() : loaded.error().one_line();
  });
  EXPECT_EQ(outcome.output, "projects/w1");
}

TEST(CentralRoot, TheHomeFolderItselfIsNoProject) {
  TempDir home;
  write_file(home / ".tallowmere" / "registry.json", "{}");
  ScopedEnv tallowmere_home("TALLOWMERE_HOME", std::nullopt);
  ScopedEnv home_variable("HOME", home.path().string());
  EXPECT_EQ(load_error(home.path()), home.path().string() + " is not a tallowmere project (run `tallowmere init "
                                                            "--project " +
                                         home.path().string() + " --contributor-name <name>` first)");
}

// Without TALLOWMERE_HOME and HOME, a user the password database does not know has no home: the
// child takes such a user id (the test runs as root) and reports what it sees.
TEST(CentralRoot, FailsWithoutAnyHomeDirectoryAndLoadsReportItInStepOrder) {
  if (::geteuid() != 0) GTEST_SKIP() << "changing the user id needs root";
  uid_t unknown = 61000;
  while (::getpwuid(unknown) != nullptr) ++unknown;

  ProjectOnDisk project;
  ProjectOnDisk malformed_project;
  write_file(malformed_project.pointer_file, "{}");
  for (const fs::path& folder : {project.temp.path(), malformed_project.temp.path()}) {
    fs::permissions(folder, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                fs::perms::others_read | fs::perms::others_exec);
  }

  const auto outcome = run_in_child([&] {
    ::unsetenv("TALLOWMERE_HOME");
    ::unsetenv("HOME");
    if (::setgid(unknown) != 0 || ::setuid(unknown) != 0) return std::string("setuid failed");
    std::string report;
    auto root = project::central_root();
    report += root ? "root " + root->string() : root.error().one_line();
    report += "\n" + load_error(project.root);
    report += "\n" + load_error(malformed_project.root);
    return report;
  });
  const std::string no_home = "could not determine the current user's home directory";
  EXPECT_EQ(outcome.output, no_home + "\n" + no_home + "\npointer file " + malformed_project.pointer_file.string() +
                                " is malformed (if it was hand-edited, that's likely why): missing field "
                                "`schema_version` at line 1 column 2");
}

}  // namespace
}  // namespace tallowmere_cli

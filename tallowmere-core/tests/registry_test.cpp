#include "registry.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace tallowmere_core::registry {
namespace {

using tallowmere_test::TempDir;
using tallowmere_test::write_file;

class RegistryTest : public ::testing::Test {
 protected:
  TempDir dir_;
  std::filesystem::path registry_file_ = dir_ / "registry.json";
};

TEST_F(RegistryTest, NothingToLookAtIsTheEmptyRegistry) {
  std::filesystem::create_symlink(dir_ / "nowhere.json", dir_ / "dangling.json");
  for (const auto& path : {registry_file_, dir_ / "dangling.json", dir_ / "no-folder" / "registry.json"}) {
    auto registry = load_registry(path);
    ASSERT_TRUE(registry) << path << ": " << registry.error().message();
    EXPECT_EQ(registry->schema_version, "0.1") << path;
    EXPECT_TRUE(registry->projects.empty()) << path;
  }
}

TEST_F(RegistryTest, UnreadableFileIsIo) {
  std::filesystem::create_directory(dir_ / "folder.json");
  write_file(dir_ / "latin1.json", "{\"schema_version\":\"caf\xe9\",\"projects\":[]}");
  struct Case {
    std::filesystem::path path;
    std::string source;
  };
  const Case cases[] = {
      {dir_ / "folder.json", "Is a directory (os error 21)"},
      {dir_ / "latin1.json", "stream did not contain valid UTF-8"},
  };
  for (const Case& c : cases) {
    auto registry = load_registry(c.path);
    ASSERT_FALSE(registry) << c.path;
    const auto* io = registry.error().get<core_error::Io>();
    ASSERT_NE(io, nullptr) << registry.error().message();
    EXPECT_EQ(io->path, c.path);
    EXPECT_EQ(io->source.to_string(), c.source);
  }
}

TEST_F(RegistryTest, ReadsObjectAndArrayForms) {
  struct Case {
    std::string_view text;
    std::string_view schema_version;
    std::vector<std::optional<std::string>> titles;  // one per project
  };
  const Case cases[] = {
      {R"({"schema_version":"anything","more":{"x":[1]},"projects":[)"
       R"({"work_id":"w1","project_path":"/p/one","title":"One","registered_at":"r","extra":[]},)"
       R"({"registered_at":"r","project_path":"/p/two","work_id":"w2"},)"
       R"({"work_id":"w3","project_path":"/p/three","title":null,"registered_at":"r"}]}  )" "\n",
       "anything",
       {"One", std::nullopt, std::nullopt}},
      {R"(["1",[]])", "1", {}},
      {R"(["1",[["w1","/p/one","One","r"],["w2","/p/two",null,"r"]]])", "1", {"One", std::nullopt}},
  };
  for (const Case& c : cases) {
    write_file(registry_file_, c.text);
    auto registry = load_registry(registry_file_);
    ASSERT_TRUE(registry) << c.text << ": " << registry.error().message();
    EXPECT_EQ(registry->schema_version, c.schema_version);
    std::vector<std::optional<std::string>> titles;
    for (const auto& entry : registry->projects) titles.push_back(entry.title);
    EXPECT_EQ(titles, c.titles) << c.text;
  }
  write_file(registry_file_, R"(["1",[["w1","/p/one",null,"2024-01-01"]]])");
  auto registry = load_registry(registry_file_);
  ASSERT_TRUE(registry && registry->projects.size() == 1);
  EXPECT_EQ(registry->projects[0].work_id, "w1");
  EXPECT_EQ(registry->projects[0].project_path, "/p/one");
  EXPECT_EQ(registry->projects[0].registered_at, "2024-01-01");
}

TEST_F(RegistryTest, OneBadPartFailsTheWholeRegistry) {
  struct Case {
    std::string_view text;
    std::string_view error;  // the parser's description, before " at line L column C"
  };
  const Case cases[] = {
      {"", "EOF while parsing a value"},
      {" \n", "EOF while parsing a value"},
      {"{}", "missing field `schema_version`"},
      {R"({"schema_version":"0.1"})", "missing field `projects`"},
      {R"({"schema_version":"1","projects":[{"work_id":"w","project_path":"/p","registered_at":"r"},)"
       R"({"work_id":"w1","project_path":"/p","title":"T"}]})",
       "missing field `registered_at`"},
      {R"(["1"])", "invalid length 1, expected struct Registry with 2 elements"},
      {R"(["1",[["w","/p","r"]]])", "invalid length 3, expected struct RegistryEntry with 4 elements"},
      {R"(["1",[["w","/p",null,"r",1]]])", "trailing characters"},
      {R"({"schema_version":"1","projects":[]} x)", "trailing characters"},
      {R"({"schema_version":"1","projects":[]}{})", "trailing characters"},
      {R"({"schema_version":"1","projects":null})", "invalid type: null, expected a sequence"},
      {R"({"schema_version":"1","projects":[],"projects":[]})", "duplicate field `projects`"},
      {R"({"schema_version":"1","projects":[{"work_id":1,"project_path":"/p","registered_at":"r"}]})",
       "invalid type: integer `1`, expected a string"},
      {R"([])", "invalid length 0, expected struct Registry with 2 elements"},
      {R"(null)", "invalid type: null, expected struct Registry"},
  };
  for (const Case& c : cases) {
    write_file(registry_file_, c.text);
    auto registry = load_registry(registry_file_);
    ASSERT_FALSE(registry) << c.text;
    const auto* malformed = registry.error().get<core_error::MalformedRegistry>();
    ASSERT_NE(malformed, nullptr) << registry.error().message();
    EXPECT_EQ(malformed->path, registry_file_);
    EXPECT_TRUE(malformed->message.starts_with(fmt::format("{} at line ", c.error))) << c.text << ": " << malformed->message;
  }
  write_file(registry_file_, "");
  EXPECT_EQ(load_registry(registry_file_).error().message(),
            fmt::format("failed to parse project registry at {}: EOF while parsing a value at line 1 column 0",
                        registry_file_.string()));
}

}  // namespace
}  // namespace tallowmere_core::registry

// The wire records read and written as the control socket's peers see them. The expected texts
// are those of an independent strict reader (serde_json) for the same bytes, except where noted.
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "protocol.h"

namespace tallowmere_daemon::ipc {
namespace {

struct ReadCase {
  std::string_view input;
  std::string_view outcome;  // "OK " and the value written back compactly, or "ERR " and the error
};

template <class T>
std::string outcome_of(const std::expected<T, tallowmere_core::JsonError>& read) {
  if (!read) return "ERR " + read.error().to_string();
  if constexpr (std::is_same_v<T, Request>) {
    return "OK " + write_request(*read).value();
  } else {
    return "OK " + write_response(*read).value();
  }
}

constexpr ReadCase kRequestCases[] = {
    {"\"Status\"", "OK \"Status\""},
    {"{\"Status\":null}", "OK \"Status\""},
    {"{\"Rescan\":null}", "OK \"Rescan\""},
    {"\"Version\"", "OK \"Version\""},
    {" { \"Version\" : null } ", "OK \"Version\""},
    {"{\"Status\":{}}", "ERR invalid type: map, expected unit at line 1 column 10"},
    {"\"status\"", "ERR unknown variant `status`, expected one of `Status`, `Rescan`, `Version` at line 1 column 8"},
    {"\"Ack\"", "ERR unknown variant `Ack`, expected one of `Status`, `Rescan`, `Version` at line 1 column 5"},
    {"5", "ERR expected value at line 1 column 1"},
    {"", "ERR EOF while parsing a value at line 1 column 0"},
    {"{\"Status\":null,\"x\":1}", "ERR expected value at line 1 column 14"},
    {"{\"Version\":1}", "ERR invalid type: integer `1`, expected unit at line 1 column 12"},
    {"{}", "ERR expected value at line 1 column 2"},
    {"{\"Status\"}", "ERR expected `:` at line 1 column 10"},
    {"{\"Status\":null", "ERR EOF while parsing an object at line 1 column 14"},
    {"\"Status\" x", "ERR trailing characters at line 1 column 10"},
    {"[]", "ERR expected value at line 1 column 1"},
    {"null", "ERR expected value at line 1 column 1"},
    {"{\"x\":null}", "ERR unknown variant `x`, expected one of `Status`, `Rescan`, `Version` at line 1 column 4"},
    {"{1:2}", "ERR invalid type: integer `1`, expected variant identifier at line 1 column 2"},
    {"\"Sta\\u0074us\"", "OK \"Status\""},
    {"\"Status", "ERR EOF while parsing a string at line 1 column 7"},
};

constexpr ReadCase kResponseCases[] = {
    {"\"Ack\"", "OK \"Ack\""},
    {"{\"Ack\":null}", "OK \"Ack\""},
    {"\"Nope\"", "ERR unknown variant `Nope`, expected one of `Status`, `Ack`, `Version`, `Error` at line 1 column 6"},
    {"{\"Nope\":1}", "ERR unknown variant `Nope`, expected one of `Status`, `Ack`, `Version`, `Error` at line 1 column 7"},
    {"{\"Status\":{\"projects\":[]}}", "OK {\"Status\":{\"projects\":[]}}"},
    {"{\"Status\":[[]]}", "OK {\"Status\":{\"projects\":[]}}"},
    {"{\"Status\":[]}", "ERR invalid length 0, expected struct variant Response::Status with 1 element at line 1 column 12"},
    {"{\"Status\":[[],1]}", "ERR trailing characters at line 1 column 15"},
    {"{\"Status\":{}}", "ERR missing field `projects` at line 1 column 12"},
    {"{\"Status\":{\"projects\":[],\"projects\":[]}}", "ERR duplicate field `projects` at line 1 column 35"},
    {"{\"Status\":{\"projects\":[],\"x\":1}}", "OK {\"Status\":{\"projects\":[]}}"},
    {"{\"Status\":null}", "ERR invalid type: null, expected struct variant Response::Status at line 1 column 14"},
    {"{\"Status\":5}", "ERR invalid type: integer `5`, expected struct variant Response::Status at line 1 column 11"},
    {"{\"Version\":{\"version\":\"0.2.0\"}}", "OK {\"Version\":{\"version\":\"0.2.0\"}}"},
    {"{\"Version\":[\"0.2.0\"]}", "OK {\"Version\":{\"version\":\"0.2.0\"}}"},
    {"{\"Version\":[]}", "ERR invalid length 0, expected struct variant Response::Version with 1 element at line 1 column 13"},
    {"{\"Version\":{}}", "ERR missing field `version` at line 1 column 13"},
    {"{\"Version\":{\"version\":1}}", "ERR invalid type: integer `1`, expected a string at line 1 column 23"},
    {"{\"Error\":{\"message\":\"boom\"}}", "OK {\"Error\":{\"message\":\"boom\"}}"},
    {"{\"Error\":[\"boom\"]}", "OK {\"Error\":{\"message\":\"boom\"}}"},
    {"{\"Error\":[]}", "ERR invalid length 0, expected struct variant Response::Error with 1 element at line 1 column 11"},
    {"{\"Error\":null}", "ERR invalid type: null, expected struct variant Response::Error at line 1 column 13"},
    {"{\"Error\":{\"message\":\"a\",\"message\":\"b\"}}", "ERR duplicate field `message` at line 1 column 33"},
    {"{\"Ack\":{}}", "ERR invalid type: map, expected unit at line 1 column 7"},
    {"{\"Ack\":null,\"x\":1}", "ERR expected value at line 1 column 11"},
    {"{\"Status\":{\"projects\":[]},\"x\":1}", "ERR expected value at line 1 column 25"},
    {"{\"Status\":{\"projects\":[]}", "ERR EOF while parsing an object at line 1 column 25"},
    {"{}", "ERR expected value at line 1 column 2"},
    {"5", "ERR expected value at line 1 column 1"},
    {"null", "ERR expected value at line 1 column 1"},
    {"", "ERR EOF while parsing a value at line 1 column 0"},
    {"{\"Status\":{\"projects\":[{\"work_id\":\"w\",\"project_path\":\"/p\",\"watching_since\":\"t\",\"current_sequence\":3}]}}", "OK {\"Status\":{\"projects\":[{\"work_id\":\"w\",\"project_path\":\"/p\",\"title\":null,\"watching_since\":\"t\",\"current_sequence\":3,\"last_checkpoint_at\":null}]}}"},
    {"{\"Status\":{\"projects\":[{\"title\":\"T\",\"last_checkpoint_at\":\"c\",\"work_id\":\"w\",\"project_path\":\"/p\",\"watching_since\":\"t\",\"current_sequence\":3,\"extra\":[1,{\"a\":null}]}]}}", "OK {\"Status\":{\"projects\":[{\"work_id\":\"w\",\"project_path\":\"/p\",\"title\":\"T\",\"watching_since\":\"t\",\"current_sequence\":3,\"last_checkpoint_at\":\"c\"}]}}"},
    {"{\"Status\":{\"projects\":[{\"work_id\":\"w\",\"project_path\":\"/p\",\"watching_since\":\"t\"}]}}", "ERR missing field `current_sequence` at line 1 column 79"},
    {"{\"Status\":{\"projects\":[{\"project_path\":\"/p\",\"current_sequence\":3}]}}", "ERR missing field `work_id` at line 1 column 65"},
    {"{\"Status\":{\"projects\":[[\"w\",\"/p\",null,\"t\",3,null]]}}", "OK {\"Status\":{\"projects\":[{\"work_id\":\"w\",\"project_path\":\"/p\",\"title\":null,\"watching_since\":\"t\",\"current_sequence\":3,\"last_checkpoint_at\":null}]}}"},
    {"{\"Status\":{\"projects\":[[\"w\",\"/p\",null,\"t\",3]]}}", "ERR invalid length 5, expected struct ProjectStatus with 6 elements at line 1 column 44"},
    {"{\"Status\":{\"projects\":[[\"w\",\"/p\",null,\"t\",3,null,7]]}}", "ERR trailing characters at line 1 column 50"},
    {"{\"Status\":{\"projects\":[{\"work_id\":\"w\",\"work_id\":\"x\"}]}}", "ERR duplicate field `work_id` at line 1 column 47"},
    {"{\"Status\":{\"projects\":[5]}}", "ERR invalid type: integer `5`, expected struct ProjectStatus at line 1 column 24"},
    {"{\"Status\":{\"projects\":[{\"work_id\":\"w\",\"project_path\":\"/p\",\"watching_since\":\"t\",\"current_sequence\":-1}]}}", "ERR invalid value: integer `-1`, expected u64 at line 1 column 100"},
    {"{\"Status\":{\"projects\":5}}", "ERR invalid type: integer `5`, expected a sequence at line 1 column 23"},
    {"{\"Status\":{\"projects\":[]}} x", "ERR trailing characters at line 1 column 28"},
    {"{\"Ack\"}", "ERR expected `:` at line 1 column 7"},
    {"{\"Ack\":}", "ERR expected value at line 1 column 8"},
    {"{1:2}", "ERR invalid type: integer `1`, expected variant identifier at line 1 column 2"},
    {"{\"Status\"", "ERR EOF while parsing an object at line 1 column 9"},
    {"{\"Status\":", "ERR EOF while parsing a value at line 1 column 10"},
    {"{\"Status\":[", "ERR EOF while parsing a list at line 1 column 11"},
    {"{\"Error\":{\"message\":\"tab\\there \\u00e9\"}}", "OK {\"Error\":{\"message\":\"tab\\there é\"}}"},
    // The independent reader gives these two without a position; every reading error here has one.
    {"\"Status\"", "ERR invalid type: unit variant, expected struct variant at line 1 column 8"},
    {"\"Version\"", "ERR invalid type: unit variant, expected struct variant at line 1 column 9"},
};

TEST(ProtocolRead, RequestsAreReadAsAStrictReaderReadsThem) {
  for (const ReadCase& c : kRequestCases) {
    EXPECT_EQ(outcome_of(read_request(c.input)), c.outcome) << "input: " << c.input;
  }
}

TEST(ProtocolRead, ResponsesAreReadAsAStrictReaderReadsThem) {
  for (const ReadCase& c : kResponseCases) {
    EXPECT_EQ(outcome_of(read_response(c.input)), c.outcome) << "input: " << c.input;
  }
}

TEST(ProtocolWrite, EveryFormIsCompactWithKeysInDeclarationOrder) {
  ProjectStatus full{"w1", "/music/song", "Song", "2024-03-01T10:00:00+01:00", 7, "2024-03-02T11:00:00.250+01:00"};
  ProjectStatus bare{"w2", "/", std::nullopt, "2024-03-01T10:00:00-05:30", 0, std::nullopt};
  const struct {
    Response response;
    std::string_view written;
  } cases[] = {
      {{Response::Status{}}, R"({"Status":{"projects":[]}})"},
      {{Response::Ack{}}, R"("Ack")"},
      {{Response::Version{"0.2.0"}}, R"({"Version":{"version":"0.2.0"}})"},
      {{Response::Error{"no \"such\" thing"}}, R"({"Error":{"message":"no \"such\" thing"}})"},
      {{Response::Status{{full, bare}}},
       R"({"Status":{"projects":[)"
       R"({"work_id":"w1","project_path":"/music/song","title":"Song","watching_since":"2024-03-01T10:00:00+01:00",)"
       R"("current_sequence":7,"last_checkpoint_at":"2024-03-02T11:00:00.250+01:00"},)"
       R"({"work_id":"w2","project_path":"/","title":null,"watching_since":"2024-03-01T10:00:00-05:30",)"
       R"("current_sequence":0,"last_checkpoint_at":null}]}})"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(write_response(c.response).value(), c.written);
    EXPECT_EQ(read_response(c.written).value(), c.response) << c.written;
  }
  EXPECT_EQ(write_request(Request::Status).value(), R"("Status")");
  EXPECT_EQ(write_request(Request::Rescan).value(), R"("Rescan")");
  EXPECT_EQ(write_request(Request::Version).value(), R"("Version")");
}

}  // namespace
}  // namespace tallowmere_daemon::ipc

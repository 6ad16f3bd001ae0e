// What a failed mode writes to standard error. Through the real executable only two-message
// chains can be provoked, so the numbered form is checked here.
#include <gtest/gtest.h>

#include <string>

#include "cli.h"
#include "error_chain.h"

namespace {

using tallowmere_cli::ErrorChain;

TEST(FailureReport, ShowsTheOuterMessageThenItsCauses) {
  struct Case {
    const char* name;
    ErrorChain chain;
    std::string report;
  };
  const Case cases[] = {
      {"no cause", ErrorChain("couldn't determine this user's home directory"),
       "Error: couldn't determine this user's home directory\n"},
      {"one cause", ErrorChain("Not a directory (os error 20)").context("failed to create daemon run directory"),
       "Error: failed to create daemon run directory\n\nCaused by:\n    Not a directory (os error 20)\n"},
      {"two causes, numbered",
       ErrorChain("EOF while parsing a value at line 1 column 0").context("failed to parse").context("failed to load"),
       "Error: failed to load\n\nCaused by:\n    0: failed to parse\n    1: EOF while parsing a value at line 1 column 0\n"},
      {"a cause of several lines",
       ErrorChain("first line\nsecond line").context("inner").context("outer"),
       "Error: outer\n\nCaused by:\n    0: inner\n    1: first line\n       second line\n"},
      {"a single cause of several lines", ErrorChain("first line\nsecond line").context("outer"),
       "Error: outer\n\nCaused by:\n    first line\n    second line\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(tallowmere_daemon::cli::failure_report(c.chain), c.report);
  }
}

}  // namespace

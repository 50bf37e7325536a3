// The progress line's text at each terminal width.
#include <gtest/gtest.h>

#include <string>

#include "runtime/cli/progress.hpp"

namespace {

TEST(ProgressLine, TakesTheLongestFormThatFitsAndNeverFillsTheLastColumn) {
  struct Case {
    int columns;
    std::string expected;
  };
  const Case cases[] = {
      {200, "100000 BY groups done, 4000000 observations read, 2000000 observations/s"},
      {73, "100000 BY groups done, 4000000 observations read, 2000000 observations/s"},
      {72, "100000 groups, 4000000 obs, 2000000 obs/s"},
      {42, "100000 groups, 4000000 obs, 2000000 obs/s"},
      {41, "100000 groups, 4000000 obs"},
      {27, "100000 groups, 4000000 obs"},
      {26, "100000 groups"},
      {14, "100000 groups"},
      {10, "100000 gr"},
      {1, ""},
      {0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.columns);
    EXPECT_EQ(quilvar::runtime::progress_line(100000, 4000000, 2.0, c.columns), c.expected);
  }
}

}  // namespace

#include "intake/processing_stats.h"

#include <gtest/gtest.h>

#include "testsupport/temp_root.h"

namespace corvane::intake {
namespace {

using corvane::testing::FilesIn;
using corvane::testing::ReadFileOrEmpty;
using corvane::testing::WriteFile;

TEST(ProcessingStatsTest, TheFormatReadsBackAndNamesEveryCount) {
  const ProcessingStats stats{1, 2, 30000000000ull, 4, 5};
  const std::string text = FormatProcessingStats(stats);
  EXPECT_EQ(text,
            "scans_applied=1\nscans_refused=2\nstatements=30000000000\nrows_written=4\n"
            "conflict_retries=5\n");
  EXPECT_EQ(ParseProcessingStats(text), stats);
}

TEST(ProcessingStatsTest, ReadersPassOverWhatTheyDoNotKnowButNeedEveryCount) {
  EXPECT_EQ(ParseProcessingStats("# comment\r\nscans_applied=5\r\nqueue_depth=3\r\n"
                                 "scans_refused=0\r\nrows_written=7\r\nstatements=9"),
            (ProcessingStats{5, 0, 9, 7}));
  // A file cut short or written by hand with a bad number is no answer.
  EXPECT_FALSE(ParseProcessingStats("scans_applied=5\nscans_refused=0\nstatements=9\n"));
  EXPECT_FALSE(
      ParseProcessingStats("scans_applied=5\nscans_refused=x\nstatements=9\n"
                           "rows_written=7\n"));
  EXPECT_FALSE(
      ParseProcessingStats("scans_applied=5 \nscans_refused=0\nstatements=9\n"
                           "rows_written=7\n"));
  EXPECT_FALSE(
      ParseProcessingStats("scans_applied=-1\nscans_refused=0\nstatements=9\n"
                           "rows_written=7\n"));
  EXPECT_FALSE(ParseProcessingStats(""));
}

TEST(ProcessingStatsTest, PublishingReplacesTheFileWholeAndLeavesNoTemporaryFile) {
  corvane::testing::TempRoot root;
  const std::string path = root.path() + "/CVDiv32.stats";
  WriteFile(path, "older text that is longer than the new one ..........................\n");
  ASSERT_TRUE(PublishProcessingStats(path, ProcessingStats{3, 1, 10, 20}));
  EXPECT_EQ(ParseProcessingStats(ReadFileOrEmpty(path)), (ProcessingStats{3, 1, 10, 20}));
  EXPECT_EQ(FilesIn(root.path()), std::vector<std::string>{"CVDiv32.stats"});

  EXPECT_FALSE(PublishProcessingStats(root.path() + "/missing/CVDiv32.stats", {}));
  EXPECT_EQ(FilesIn(root.path()), std::vector<std::string>{"CVDiv32.stats"});
}

}  // namespace
}  // namespace corvane::intake

#include "notifex/message_table.h"

#include <gtest/gtest.h>

#include "platform/embedded.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "testsupport/temp_root.h"

namespace corvane::notifex {

// A table carried by this test program, found again through its file.
CORVANE_MESSAGE_TABLE(kTestMessages) =
    CORVANE_MESSAGE_TABLE_BEGIN CORVANE_MESSAGE(7, "Seven %1 and %2.\r\n")
        CORVANE_MESSAGE(4000000000, "Large id\r\n") CORVANE_MESSAGE_TABLE_END;

namespace {

TEST(MessageTable, ParsesTheBlobTheMacrosBuild) {
  std::optional<MessageTable> table =
      ParseMessageTable(std::string_view(kTestMessages, sizeof kTestMessages));
  ASSERT_TRUE(table);
  EXPECT_EQ(table->size(), 2u);
  EXPECT_EQ(table->at(7), "Seven %1 and %2.\r\n");
  EXPECT_EQ(table->at(4000000000u), "Large id\r\n");
}

TEST(MessageTable, RejectsBlobsThatAreNotTables) {
  EXPECT_FALSE(ParseMessageTable(""));
  EXPECT_FALSE(ParseMessageTable("CVMSGTBL2"));
  EXPECT_FALSE(
      ParseMessageTable(std::string("CVMSGTBL1\0"
                                    "12\0unterminated",
                                    25)));
  EXPECT_FALSE(
      ParseMessageTable(std::string("CVMSGTBL1\0"
                                    "1x\0t\0\0",
                                    16)));
  EXPECT_FALSE(
      ParseMessageTable(std::string("CVMSGTBL1\0"
                                    "99999999999\0t\0\0",
                                    25)));
}

TEST(MessageTable, LoadsFromAProgramFileAndFromABareTableFile) {
  std::optional<MessageTable> from_program = LoadMessageTable(platform::ProgramPath());
  ASSERT_TRUE(from_program);
  EXPECT_EQ(from_program->at(7), "Seven %1 and %2.\r\n");

  testing::TempRoot root;
  std::string bare = root.path() + "/table.msg";
  testing::WriteFile(bare, std::string(kTestMessages, sizeof kTestMessages));
  EXPECT_EQ(LoadMessageTable(bare), from_program);

  testing::WriteFile(bare, "plain text");
  EXPECT_FALSE(LoadMessageTable(bare));
  EXPECT_FALSE(LoadMessageTable(root.path() + "/missing"));
}

TEST(MessageTable, CorruptProgramFilesYieldNoTable) {
  std::optional<std::string> image = platform::ReadWholeFile(platform::ProgramPath());
  ASSERT_TRUE(image);
  // Cut at several points, including inside the ELF and section headers.
  for (size_t cut : {size_t{3}, size_t{20}, size_t{64}, image->size() / 2, image->size() - 10}) {
    EXPECT_FALSE(platform::FindEmbeddedSection(std::string_view(*image).substr(0, cut),
                                               CORVANE_MESSAGE_SECTION))
        << "cut at " << cut;
  }
  std::string scrambled = *image;
  for (size_t i = 0x28; i < 0x40; ++i) scrambled[i] = '\xFF';  // section header offsets
  EXPECT_FALSE(platform::FindEmbeddedSection(scrambled, CORVANE_MESSAGE_SECTION));
}

TEST(ExpandMessage, InsertsLineBreaksAndEscapes) {
  EXPECT_EQ(ExpandMessage("Device ID: %1%n\r\nDone %2.", {"dev-1", "now"}),
            "Device ID: dev-1\r\n\r\nDone now.");
  EXPECT_EQ(ExpandMessage("100%% %t%r.%0 never", {}), "100% \t\r.");
  EXPECT_EQ(ExpandMessage("%1!s! and %12", std::vector<std::string>(12, "x")), "x and x");
}

TEST(ExpandMessage, InsertTextsAreNotExpandedAgain) {
  EXPECT_EQ(ExpandMessage("[%1]", {"%2 %n %%"}), "[%2 %n %%]");
}

TEST(ExpandMessage, MissingInsertsStayAsWritten) {
  EXPECT_EQ(ExpandMessage("a %1 b %3 c", {"one"}), "a one b %3 c");
  EXPECT_EQ(ExpandMessage("ends with %", {}), "ends with %");
  EXPECT_EQ(HighestInsertNumber("%1 %%3 %12!s! %n"), 12);
}

TEST(FormatEventText, FallsBackToTheDefaultFormatThenToTheNotFoundTexts) {
  MessageTable table = {{5, "Found %1.\r\n"}};
  EXPECT_EQ(FormatEventText(&table, "App", 5, {"it"}, ""), "Found it.\r\n");
  EXPECT_EQ(FormatEventText(&table, "App", 6, {"a", "b"}, "Default %2 %1"), "Default b a");
  EXPECT_EQ(FormatEventText(&table, "App", 0x1A, {"a", "b"}, ""),
            "Message not found (id 0x1A).  Inserts were: a b");
  EXPECT_EQ(FormatEventText(nullptr, "App", 0x1A, {"a"}, ""),
            "Message source 'App' not found (id 0x1A).  Inserts were: a");
  EXPECT_EQ(FormatEventText(nullptr, "%s%n", 1, {}, ""),
            "Message source '%s%n' not found (id 0x1).  Inserts were:");
}

}  // namespace
}  // namespace corvane::notifex

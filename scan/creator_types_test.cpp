// The creator table and the substitution of creator codes in data lines.

#include "scan/creator_types.h"

#include <gtest/gtest.h>

#include "testsupport/temp_root.h"

namespace corvane::scan {
namespace {

const char kIni[] =
    "\xEF\xBB\xBF; creator codes of Mac applications\r\n"
    "[Other]\r\n"
    "'ABCD'=Wrong Section\r\n"
    "[ creator types ]\r\n"
    "  'MSWD'  =  Microsoft Word  \r\n"
    "'ttxt'=\"  Text Edit  \"\r\n"
    "'R*ch'=BBEdit\r\n"
    "'r*ch'=Second\r\n"
    "'EMPT'=\r\n"
    "no equals sign\r\n"
    "# another comment\r\n";

TEST(CreatorTypesTest, ParsesTheCreatorSectionOnly) {
  CreatorTypes table = CreatorTypes::Parse(kIni);
  EXPECT_EQ(table.Find("'MSWD'"), "Microsoft Word");
  EXPECT_EQ(table.Find("'mswd'  "), "Microsoft Word");  // keys ignore case and trailing blanks
  EXPECT_EQ(table.Find("'ttxt'"), "  Text Edit  ");     // quotes keep inner blanks
  EXPECT_EQ(table.Find("'R*CH'"), "BBEdit");            // first of equal keys
  EXPECT_EQ(table.Find("'EMPT'"), "");
  EXPECT_FALSE(table.Find("'ABCD'").has_value());
  EXPECT_EQ(table.Lookup("'ABCD'", "Word"), "Word");
  EXPECT_EQ(table.Lookup("'EMPT'", "Word"), "");  // a present empty value wins
  EXPECT_EQ(table.Lookup("'x'", std::string(600, 'd')).size(), 511u);
}

TEST(CreatorTypesTest, LoadsFromTheProgramDirectory) {
  corvane::testing::TempRoot root;
  EXPECT_EQ(CreatorTypes::Load(root.path()).size(), 0u);  // no file: empty table
  corvane::testing::WriteFile(root.path() + "/creator.ini", kIni);
  CreatorTypes table = CreatorTypes::Load(root.path());
  EXPECT_EQ(table.size(), 4u);
  EXPECT_EQ(table.Find("'MSWD'"), "Microsoft Word");
}

TEST(CreatorDefaultNameTest, LastPathPartBeforeTheName) {
  EXPECT_EQ(CreatorDefaultName("Files - (Path:Disk:Apps:Word) - Name = 'ABCD'"), "Word");
  // The last ":" comes first, even in a path that has backslashes.
  EXPECT_EQ(CreatorDefaultName("Files - (Path:C:\\Apps\\Word) - Name = 'ABCD'"), "\\Apps\\Word");
  // "\" and then "/" serve only when the text before the name has no ":".
  EXPECT_EQ(CreatorDefaultName("Dir\\Sub/Word) - Name = '(Path:'"), "Sub/Word");
  EXPECT_EQ(CreatorDefaultName("Dir/Word) - Name = '(Path:'"), "Word");
  EXPECT_EQ(CreatorDefaultName("Files - (File:/Apps/Word) - Name = 'ABCD'"), "");
  EXPECT_EQ(CreatorDefaultName("Files - (Path:Disk:Apps:Word) - Kind = 'ABCD'"), "");
}

TEST(SubstituteCreatorTypeTest, ReplacesQuotedFourCharacterCodes) {
  CreatorTypes table = CreatorTypes::Parse(kIni);
  std::string known = "Files - (Path:Disk:Apps:Word) - Name = 'MSWD'";
  EXPECT_TRUE(SubstituteCreatorType(&known, table));
  EXPECT_EQ(known, "Files - (Path:Disk:Apps:Word) - Name = Microsoft Word");

  std::string fallback = "Files - (Path:Disk:Apps:Word) - Name = 'ABCD'";
  EXPECT_TRUE(SubstituteCreatorType(&fallback, table));
  EXPECT_EQ(fallback, "Files - (Path:Disk:Apps:Word) - Name = Word");

  // Not a creator code, or no answer: unchanged.
  for (std::string line : {"Files - (Path:a:b) - Name = 'ABC'", "Files - (Path:a:b) - Name = ABCD",
                           "Creator = 'ZZZZ'", "Files - (Path:a:b) - Name =   ", "No value"}) {
    std::string before = line;
    EXPECT_FALSE(SubstituteCreatorType(&line, table)) << before;
    EXPECT_EQ(line, before);
  }
  // The sixth character counts characters, not bytes.
  std::string wide =
      "Creator =\t'\xC2\xA9"
      "BCD'";
  CreatorTypes wide_table = CreatorTypes::Parse(
      "[Creator Types]\n'\xC2\xA9"
      "BCD'=Copyright\n");
  EXPECT_TRUE(SubstituteCreatorType(&wide, wide_table));
  EXPECT_EQ(wide, "Creator =\tCopyright");
}

TEST(SubstituteCreatorTypeTest, TooLongResultLeavesTheValueEmpty) {
  std::string path(480, 'p');
  CreatorTypes table = CreatorTypes::Parse("[Creator Types]\n'LONG'=" + std::string(40, 'n'));
  std::string line = "F - (Path:" + path + ") - Name = 'LONG'";
  EXPECT_TRUE(SubstituteCreatorType(&line, table));
  EXPECT_EQ(line, "F - (Path:" + path + ") - Name = ");

  std::string fits = "F - (Path:x) - Name = 'LONG'";
  EXPECT_TRUE(SubstituteCreatorType(&fits, table));
  EXPECT_EQ(fits, "F - (Path:x) - Name = " + std::string(40, 'n'));
}

}  // namespace
}  // namespace corvane::scan

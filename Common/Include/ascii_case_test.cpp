#include "Common/Include/ascii_case.h"

#include <string>

#include <gtest/gtest.h>

namespace corvane {
namespace {

// The characters next to the letter ranges ('@' '[' '`' '{') and bytes above
// 0x7F are not letters to these rules and must come through unchanged.
const std::string kBoundaries = "@AZ[`az{\xC4\xE4\xFF";

TEST(AsciiCaseTest, FoldsOnlyAsciiLetters) {
  EXPECT_EQ(Upper(kBoundaries), "@AZ[`AZ{\xC4\xE4\xFF");
  EXPECT_EQ(Lower(kBoundaries), "@az[`az{\xC4\xE4\xFF");
  EXPECT_EQ(Lower("Computer_Idn9"), "computer_idn9");
  EXPECT_EQ(Upper(""), "");
}

TEST(AsciiCaseTest, EqualityIgnoresOnlyAsciiCase) {
  EXPECT_TRUE(EqualsIgnoringCase("FileInfoInstance", "FILEINFOINSTANCE"));
  EXPECT_TRUE(EqualsIgnoringCase("", ""));
  EXPECT_FALSE(EqualsIgnoringCase("Computer", "Computers"));
  EXPECT_FALSE(EqualsIgnoringCase("@", "`"));  // one apart from 'A' and 'a' alike
  EXPECT_FALSE(EqualsIgnoringCase("[", "{"));
  EXPECT_FALSE(EqualsIgnoringCase("\xC4", "\xE4"));  // Latin-1 A/a umlaut
  EXPECT_TRUE(EqualsIgnoringCase("\xC4x", "\xC4X"));
}

TEST(AsciiCaseTest, PrefixAndContainment) {
  EXPECT_TRUE(StartsWithIgnoringCase("HKEY_CURRENT_USER\\Software", "hkey_"));
  EXPECT_TRUE(StartsWithIgnoringCase("dword:0", ""));
  EXPECT_FALSE(StartsWithIgnoringCase("hex", "hex:"));
  EXPECT_FALSE(StartsWithIgnoringCase("xhex:", "hex:"));

  EXPECT_TRUE(ContainsIgnoringCase("PostgreSQL Unicode", "postgresql"));
  EXPECT_TRUE(ContainsIgnoringCase("Oracle in OraClient", "ORACLE"));
  EXPECT_TRUE(ContainsIgnoringCase("driver: postgreSQL", "postgresql"));  // at the very end
  EXPECT_TRUE(ContainsIgnoringCase("SQLite3", ""));
  EXPECT_FALSE(ContainsIgnoringCase("SQLite3", "sqlite3 "));
  EXPECT_FALSE(ContainsIgnoringCase("", "x"));
  EXPECT_FALSE(ContainsIgnoringCase("postgre sql", "postgresql"));
}

TEST(AsciiCaseTest, CharacterFolding) {
  EXPECT_EQ(AsciiLower('Q'), 'q');
  EXPECT_EQ(AsciiLower('q'), 'q');
  EXPECT_EQ(AsciiUpper('q'), 'Q');
  EXPECT_EQ(AsciiUpper('\xE4'), '\xE4');
  EXPECT_EQ(AsciiLower('\xC4'), '\xC4');
}

}  // namespace
}  // namespace corvane

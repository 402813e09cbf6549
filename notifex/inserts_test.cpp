#include "notifex/inserts.h"

#include <gtest/gtest.h>

namespace corvane::notifex {
namespace {

// Hands out arguments in order and remembers how many were taken of each kind.
class ListArguments : public InsertArguments {
 public:
  ListArguments(std::vector<int32_t> numbers, std::vector<const char*> texts)
      : numbers_(std::move(numbers)), texts_(std::move(texts)) {}
  int32_t NextNumber() override { return numbers_.at(numbers_taken++); }
  const char* NextText() override { return texts_.at(texts_taken++); }
  size_t numbers_taken = 0;
  size_t texts_taken = 0;

 private:
  std::vector<int32_t> numbers_;
  std::vector<const char*> texts_;
};

TEST(Inserts, TokensTakeTextsAndNumbersInOrder) {
  ListArguments arguments({42}, {"first", "third"});
  EXPECT_EQ(BuildInserts("%s %d %s", arguments),
            (std::vector<std::string>{"first", "42", "third"}));
  EXPECT_EQ(arguments.numbers_taken, 1u);
  EXPECT_EQ(arguments.texts_taken, 2u);
}

TEST(Inserts, NumberTokensFormatWithTheirOwnWidthAndBase) {
  EXPECT_EQ(FormatNumberInsert("%08x", 0x2A), "0000002a");
  EXPECT_EQ(FormatNumberInsert("%X", 255), "FF");
  EXPECT_EQ(FormatNumberInsert("%lx", -1), "ffffffff");
  EXPECT_EQ(FormatNumberInsert("id=%d.", 7), "id=7.");
  // The widest 32-bit numbers are never cut short.
  EXPECT_EQ(FormatNumberInsert("%d", INT32_MIN), "-2147483648");
}

TEST(Inserts, HostileNumberTokensAreNeverUsedAsFormats) {
  // Two conversions, a text conversion and a write-back conversion: each
  // would read or write memory that was not passed.
  EXPECT_EQ(FormatNumberInsert("%d%s", 5), "5");
  EXPECT_EQ(FormatNumberInsert("%s-d", 6), "6");
  EXPECT_EQ(FormatNumberInsert("%n%x", 10), "a");
  EXPECT_EQ(FormatNumberInsert("%99999d", 1), "1");
}

TEST(Inserts, AtMostTenTokensAndExtraBlanksIgnored) {
  std::vector<const char*> texts(12, "t");
  ListArguments arguments({}, texts);
  std::vector<std::string> inserts =
      BuildInserts("  %s %s  %s %s %s %s %s %s %s %s %s %s ", arguments);
  EXPECT_EQ(inserts.size(), kMaxInserts);
  EXPECT_EQ(arguments.texts_taken, kMaxInserts);
}

TEST(Inserts, NullTextsAndFormatsAreSafe) {
  ListArguments arguments({}, {nullptr});
  EXPECT_EQ(BuildInserts("%s", arguments), std::vector<std::string>{"(null)"});
  EXPECT_TRUE(BuildInserts(nullptr, arguments).empty());
  EXPECT_TRUE(BuildInserts("", arguments).empty());
}

TEST(Inserts, TextsKeepPercentSignsAsData) {
  ListArguments arguments({}, {"100% %s %n"});
  EXPECT_EQ(BuildInserts("%s", arguments), std::vector<std::string>{"100% %s %n"});
}

}  // namespace
}  // namespace corvane::notifex

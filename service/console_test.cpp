#include "service/console.h"

#include <cerrno>

#include <gtest/gtest.h>

namespace corvane::service {
namespace {

TEST(ConsoleText, TextsComeFromTheStringTableWithTheirInsert) {
  EXPECT_EQ(ConsoleText(kInstalled, "Corvane Inventory Server"),
            "Corvane Inventory Server installed.\n");
  EXPECT_EQ(ConsoleText(kStopped, "Corvane Inventory Server"),
            "\nCorvane Inventory Server stopped.\n");
  EXPECT_EQ(ConsoleText(kOpenServiceFailed, "x (0x2)"), "OpenService failed - x (0x2)\n");
  EXPECT_EQ(ConsoleText(kServiceDescription, ""),
            "Handles the processing of inventory data for Corvane(R) Vantora");
  EXPECT_EQ(ConsoleText(999, "x"), "");
}

TEST(ConsoleText, InsertsAreCopiedNotInterpreted) {
  EXPECT_EQ(FillConsoleText("a %s b %s %%", "%s %d"), "a %s %d b %s %");
}

TEST(ErrorText, AddsTheNumberInHexAndGivesUpWhenTooLong) {
  EXPECT_EQ(ErrorText("Access denied", 5), "Access denied (0x5)");
  EXPECT_EQ(ErrorTextFor(ENOENT), "No such file or directory (0x2)");
  EXPECT_EQ(ErrorText("", 5), "");
  EXPECT_EQ(ErrorText(std::string(242, 'm'), 0x10).size(), 242u + 7);
  EXPECT_EQ(ErrorText(std::string(243, 'm'), 0x10), "");
}

}  // namespace
}  // namespace corvane::service

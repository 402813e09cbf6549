#include "service/command_line.h"

#include <gtest/gtest.h>

namespace corvane::service {
namespace {

Command Parse(std::vector<std::string> arguments) { return ParseCommandLine(arguments); }

TEST(CommandLine, WordsAreCaseBlindAfterDashOrSlash) {
  for (const char* word : {"-install", "/install", "-INSTALL", "/InStAlL"}) {
    EXPECT_EQ(Parse({word}).kind, CommandKind::kInstall) << word;
  }
  EXPECT_EQ(Parse({"/Remove"}).kind, CommandKind::kRemove);
  EXPECT_EQ(Parse({"-DEBUG", "extra"}).kind, CommandKind::kDebug);
}

TEST(CommandLine, CoreAnywhereAfterInstallAddsTheDependency) {
  EXPECT_FALSE(Parse({"-install"}).core);
  EXPECT_TRUE(Parse({"-install", "core"}).core);
  EXPECT_TRUE(Parse({"/install", "-CORE"}).core);
  EXPECT_TRUE(Parse({"-install", "x", "y", "/Core"}).core);
  EXPECT_FALSE(Parse({"-install", "cores"}).core);
  EXPECT_FALSE(Parse({"-remove", "core"}).core);
}

TEST(CommandLine, OtherFirstArgumentsRunTheServiceOrDoNothing) {
  EXPECT_EQ(Parse({}).kind, CommandKind::kRunService);
  EXPECT_EQ(Parse({"install"}).kind, CommandKind::kRunService);
  EXPECT_EQ(Parse({""}).kind, CommandKind::kRunService);
  EXPECT_EQ(Parse({"/bogus"}).kind, CommandKind::kUnknownWord);
  EXPECT_EQ(Parse({"-"}).kind, CommandKind::kUnknownWord);
  EXPECT_EQ(Parse({"-installx"}).kind, CommandKind::kUnknownWord);
  EXPECT_EQ(Parse({"--help"}).kind, CommandKind::kHelp);
  EXPECT_EQ(Parse({"/?"}).kind, CommandKind::kHelp);
  EXPECT_EQ(Parse({"--version"}).kind, CommandKind::kVersion);
  EXPECT_EQ(Parse({"-version"}).kind, CommandKind::kUnknownWord);
}

TEST(CommandLine, JoinedArgumentsFitTheirBuffer) {
  EXPECT_EQ(JoinArguments({"-debug", "a", "b"}), "-debug a b");
  EXPECT_EQ(JoinArguments({}), "");
  std::string joined = JoinArguments({std::string(200, 'a'), std::string(200, 'b')});
  EXPECT_EQ(joined.size(), 255u);
  EXPECT_EQ(joined[200], ' ');
}

}  // namespace
}  // namespace corvane::service

#include "Common/Include/xtrace.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cctype>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/paths.h"
#include "platform/registry.h"
#include "testsupport/temp_root.h"

namespace corvane::xtrace {
namespace {

using platform::RegValue;

constexpr char kName[] = "XTest";
constexpr char kSwitchKey[] = "Software\\Arvex\\Corvane\\XTrace";
const char kHeader[] =
    "[  D A T E  /  T I M E  /  P I D  /  T I D  /  F I L E  /  L I N E  ]  M E S S A G E";

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// At most `max_fields` fields; the last one keeps the rest of the text.
std::vector<std::string> Split(const std::string& text, char separator, size_t max_fields) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (size_t end;
       fields.size() + 1 < max_fields && (end = text.find(separator, start)) != std::string::npos;
       start = end + 1) {
    fields.push_back(text.substr(start, end - start));
  }
  fields.push_back(text.substr(start));
  return fields;
}

bool HasShape(const std::string& text, const std::string& shape) {  // '9': any digit
  if (text.size() != shape.size() || text.empty()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (shape[i] == '9' ? !std::isdigit(static_cast<unsigned char>(text[i])) : text[i] != shape[i])
      return false;
  }
  return true;
}

bool IsNumber(const std::string& text) { return HasShape(text, std::string(text.size(), '9')); }

struct Line {
  std::string pid, tid, file, line, message;
};

// The fields of a line of either layout, or nothing when it is malformed.
std::optional<Line> Parse(const std::string& text, bool bracketed) {
  std::vector<std::string> fields;
  if (bracketed) {
    const size_t end = text.find(']');
    if (text.size() < 25 || text[0] != '[' || text[24] != '/' || end == std::string::npos)
      return {};
    fields = Split(text.substr(25, end - 25), '/', 4);
    fields.insert(fields.begin(), text.substr(1, 23));
    fields.push_back(text.substr(end + 1));
  } else {
    fields = Split(text, '\t', 6);
  }
  if (fields.size() != 6 || !HasShape(fields[0], "99/99/9999 99:99:99.999") ||
      !IsNumber(fields[1]) || !IsNumber(fields[2]) || !IsNumber(fields[4])) {
    return {};
  }
  return Line{fields[1], fields[2], fields[3], fields[4], fields[5]};
}

std::string Message(const std::string& text) {
  const auto line = Parse(text, false);
  return line ? line->message : "<malformed: " + text + ">";
}

class XTraceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    module_dir_ = root_.path() + "/bin";
    platform::CreateDirectories(module_dir_);
    module_ = module_dir_ + "/cvdiv32";
    log_ = module_dir_ + "/XTest.xlg";
  }
  void TearDown() override { Shutdown(); }

  void SetSwitch(const std::optional<RegValue>& value) {
    const auto root = platform::RegRoot::kLocalMachine;
    if (value) {
      platform::registry::SetValue(root, kSwitchKey, kName, *value);
    } else {
      platform::registry::DeleteValue(root, kSwitchKey, kName);
    }
  }
  // Initialises with `value`, writes through `body`, shuts down and returns
  // the log's lines.
  template <typename Body>
  std::vector<std::string> Trace(const std::optional<RegValue>& value, Body body) {
    SetSwitch(value);
    InitForModule(module_, kName);
    body();
    Shutdown();
    return SplitLines(corvane::testing::ReadFileOrEmpty(log_));
  }

  corvane::testing::TempRoot root_;
  std::string module_dir_, module_, log_;
};

TEST_F(XTraceTest, ValueOneWritesTabSeparatedLinesWithoutHeader) {
  int line = 0;
  const auto lines = Trace(RegValue::Dword(1), [&] {
    line = __LINE__ + 1;
    XTRACE("hello %d %s", 42, "world");
  });
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(Message(lines[0]), "Start of log for process " + module_);
  EXPECT_EQ(Message(lines[1]), "process log file " + log_);
  EXPECT_EQ(Message(lines[3]), "process log done");
  const auto traced = Parse(lines[2], false);
  ASSERT_TRUE(traced) << lines[2];
  EXPECT_EQ(traced->pid, std::to_string(getpid()));
  EXPECT_EQ(traced->tid, std::to_string(gettid()));
  EXPECT_EQ(traced->file, "xtrace_test.cpp");
  EXPECT_EQ(traced->line, std::to_string(line));
  EXPECT_EQ(traced->message, "hello 42 world");
  EXPECT_FALSE(Enabled());
}

TEST_F(XTraceTest, ValueTwoWritesBracketedLinesAfterOneHeader) {
  const auto lines = Trace(RegValue::Dword(2), [] { XTRACE("%s", "bracketed"); });
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0], kHeader);
  for (size_t i = 1; i < lines.size(); ++i) {
    const auto traced = Parse(lines[i], true);
    ASSERT_TRUE(traced) << lines[i];
    EXPECT_EQ(traced->pid, std::to_string(getpid()));
    EXPECT_EQ(traced->tid, std::to_string(gettid()));
  }
  EXPECT_EQ(Parse(lines[1], true)->message, "Start of log for process " + module_);
  EXPECT_EQ(Parse(lines[3], true)->file, "xtrace_test.cpp");
  EXPECT_EQ(Parse(lines[3], true)->message, "bracketed");
  EXPECT_EQ(Parse(lines[4], true)->message, "process log done");
}

TEST_F(XTraceTest, OffSwitchesAndUnreadableRegistryWriteNothing) {
  for (const std::optional<RegValue>& value :
       {std::optional<RegValue>(RegValue::Dword(0)), std::optional<RegValue>(RegValue::Sz("1")),
        std::optional<RegValue>()}) {
    const auto lines = Trace(value, [] {
      EXPECT_FALSE(Enabled());
      Write(__FILE__, __LINE__, "not written");
    });
    EXPECT_TRUE(lines.empty());
  }
  // A hive that cannot be parsed counts as "off", not as a failure.
  corvane::testing::WriteFile(platform::RegistryDirectory() + "/HKEY_LOCAL_MACHINE.reg",
                              "\x01garbage[[[\n");
  InitForModule(module_, kName);
  EXPECT_FALSE(Enabled());
  XTRACE("not written");
  Shutdown();
  EXPECT_EQ(corvane::testing::ReadFileOrEmpty(log_), "");
  // A null name leaves tracing uninitialised.
  InitForModule(module_, nullptr);
  EXPECT_FALSE(Enabled());
}

TEST_F(XTraceTest, LongMessageIsCutAndStillEndsTheLine) {
  const std::string long_text(5000, 'x');
  const auto lines = Trace(RegValue::Dword(1), [&] {
    XTRACE("%s", long_text.c_str());
    XTRACE("after");
  });
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_LE(lines[2].size(), 2046u);  // plus "\n": at most 2047 bytes
  EXPECT_GT(lines[2].size(), 2000u);
  EXPECT_EQ(Message(lines[2]), std::string(Message(lines[2]).size(), 'x'));
  EXPECT_EQ(Message(lines[3]), "after");
  EXPECT_EQ(corvane::testing::ReadFileOrEmpty(log_).back(), '\n');
}

TEST_F(XTraceTest, ALogThatWouldPassItsBoundBecomesTheOlderCopyAndBeginsAnew) {
  platform::registry::SetValue(platform::RegRoot::kLocalMachine, kSwitchKey, "Max Log MB",
                               RegValue::Dword(1));
  const std::string filler(1900, 'f');
  // About 4.6 MiB in all: the log is begun anew four times.
  const auto lines = Trace(RegValue::Dword(1), [&] {
    for (int i = 0; i < 2500; ++i) XTRACE("%d %s", i, filler.c_str());
  });
  const std::string older = corvane::testing::ReadFileOrEmpty(log_ + ".1");
  const uint64_t bound = 1 << 20;
  EXPECT_LE(corvane::testing::ReadFileOrEmpty(log_).size(), bound);
  EXPECT_LE(older.size(), bound);
  // Moved aside only when the next line would not fit.
  EXPECT_GT(older.size(), bound - 2048);
  // The two hold the latest lines, whole, in order, with none missing
  // between them.
  std::vector<std::string> kept = SplitLines(older);
  kept.insert(kept.end(), lines.begin(), lines.end());
  ASSERT_EQ(Message(kept.back()), "process log done");
  kept.pop_back();
  for (size_t i = 0; i < kept.size(); ++i) {
    EXPECT_EQ(Message(kept[i]), std::to_string(2500 - kept.size() + i) + " " + filler) << i;
  }
  EXPECT_EQ(access((log_ + ".2").c_str(), F_OK), -1) << "one older copy only";
}

TEST_F(XTraceTest, UnwritableLogDirectoryFallsBackToTheCurrentDirectory) {
  const std::string work = root_.path() + "/work";
  platform::CreateDirectories(work);
  char previous[4096];
  ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
  ASSERT_EQ(chdir(work.c_str()), 0);
  // Root may write anywhere, so the module's directory simply does not exist.
  module_ = root_.path() + "/missing/cvdiv32";
  Trace(RegValue::Dword(1), [] { XTRACE("to the fallback"); });
  EXPECT_EQ(chdir(previous), 0);
  const auto lines = SplitLines(corvane::testing::ReadFileOrEmpty(work + "/corvane.xls"));
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(Message(lines[1]), "process log file " + root_.path() + "/missing/XTest.xlg");
  EXPECT_EQ(Message(lines[2]), "to the fallback");
}

TEST_F(XTraceTest, DumpWritesTitleAndTwoRowsPerSixteenBytes) {
  unsigned char data[20];
  for (int i = 0; i < 20; ++i) data[i] = static_cast<unsigned char>(i < 16 ? i : 'A' + i - 16);
  // Memory that cannot be read is not dumped (and does not crash the dumper).
  void* unreadable = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(unreadable, MAP_FAILED);
  const auto lines = Trace(RegValue::Dword(1), [&] {
    Dump(__FILE__, __LINE__, "unreadable", 16, unreadable);
    Dump(__FILE__, __LINE__, "null", 4, nullptr);
    Dump(__FILE__, __LINE__, "twenty", sizeof data, data);
  });
  munmap(unreadable, 4096);
  ASSERT_EQ(lines.size(), 8u);
  EXPECT_EQ(Message(lines[2]), "twenty");
  EXPECT_EQ(Message(lines[3]), std::string(48, ' '));
  EXPECT_EQ(Message(lines[4]), "00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F ");
  EXPECT_EQ(Message(lines[5]), " A  B  C  D ");
  EXPECT_EQ(Message(lines[6]), "41 42 43 44 ");
}

TEST_F(XTraceTest, AddressTextUsesOneBufferPerThread) {
  const char* first = AddressText(0x0100007F);
  EXPECT_STREQ(first, "127.0.0.1");
  const char* second = AddressText(0xFFFEFDC0);
  EXPECT_EQ(first, second);
  EXPECT_STREQ(first, "192.253.254.255");
  const char* other = nullptr;
  std::string other_text;
  std::thread([&] { other = AddressText(0x0A0B0C0D), other_text = other; }).join();
  EXPECT_NE(other, first);
  EXPECT_EQ(other_text, "13.12.11.10");
  EXPECT_STREQ(first, "192.253.254.255");
}

TEST_F(XTraceTest, ConcurrentWritersProduceWholeLines) {
  constexpr int kThreads = 4, kLines = 150;
  const auto lines = Trace(RegValue::Dword(1), [] {
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([t] {
        for (int i = 0; i < kLines; ++i) XTRACE("writer %d line %d %s", t, i, "padding-padding");
      });
    }
    for (auto& thread : threads) thread.join();
  });
  ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines + 3));
  std::set<std::string> seen;
  for (const auto& line : lines) {
    const auto traced = Parse(line, false);
    ASSERT_TRUE(traced) << line;
    if (traced->message.starts_with("writer ")) seen.insert(traced->message);
  }
  EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kLines));
}

}  // namespace
}  // namespace corvane::xtrace

#include "notifex/event_file.h"

#include <sys/wait.h>
#include <unistd.h>

#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "platform/paths.h"
#include "testsupport/temp_root.h"

namespace corvane::notifex {
namespace {

using corvane::testing::ReadFileOrEmpty;
using corvane::testing::TempRoot;
using corvane::testing::WriteFile;

EventRecord Sample(uint32_t id, std::vector<std::string> inserts = {"a", "b"}) {
  return EventRecord{FileTimeFrom(std::chrono::system_clock::now()), "Source", 2, id,
                     std::move(inserts)};
}

TEST(EventFileFormat, LengthPrefixesFollowTheThreeForms) {
  std::string short_form, medium_form, long_form;
  AppendLengthPrefixed(short_form, std::string(254, 'a'));
  AppendLengthPrefixed(medium_form, std::string(300, 'b'));
  AppendLengthPrefixed(long_form, std::string(70000, 'c'));
  EXPECT_EQ(static_cast<unsigned char>(short_form[0]), 254);
  EXPECT_EQ(short_form.size(), 255u);
  EXPECT_EQ(medium_form.substr(0, 3), std::string("\xFF\x2C\x01", 3));  // 300
  EXPECT_EQ(medium_form.size(), 303u);
  EXPECT_EQ(long_form.substr(0, 7), std::string("\xFF\xFF\xFF\x70\x11\x01\x00", 7));  // 70000
  EXPECT_EQ(long_form.size(), 70007u);

  std::string boundary;
  AppendLengthPrefixed(boundary, std::string(65534, 'd'));
  EXPECT_EQ(boundary.substr(0, 7), std::string("\xFF\xFF\xFF\xFE\xFF\x00\x00", 7));
}

TEST(EventFileFormat, RecordsRoundTripAndTruncationEndsTheList) {
  EventRecord first = Sample(1, {std::string(300, 'x'), std::string(70000, 'y'), ""});
  EventRecord second = Sample(2);
  std::string image("\x02\x00\x00\x00", 4);
  image += EncodeEventRecord(first);
  image += EncodeEventRecord(second);
  EventFileContents contents = ParseEventFile(image);
  ASSERT_EQ(contents.records.size(), 2u);
  EXPECT_EQ(contents.records[0], first);
  EXPECT_EQ(contents.records[1], second);
  EXPECT_EQ(contents.end_of_records, image.size());

  for (size_t cut = 5; cut < image.size(); cut += 997) {
    EventFileContents partial = ParseEventFile(std::string_view(image).substr(0, cut));
    EXPECT_EQ(partial.declared_count, 2u);
    EXPECT_LT(partial.records.size(), 2u);
    EXPECT_LE(partial.end_of_records, cut);
  }
}

TEST(EventFileFormat, FileTimeCountsFrom1601) {
  EXPECT_EQ(FileTimeFrom(std::chrono::system_clock::from_time_t(0)), 116444736000000000ULL);
  auto now = std::chrono::system_clock::now();
  auto back = TimeFromFileTime(FileTimeFrom(now));
  EXPECT_LT(std::chrono::abs(back - now), std::chrono::microseconds(1));
}

class EventFileAppend : public ::testing::Test {
 protected:
  TempRoot root_;
  std::string path_ = EventFilePath();
};

TEST_F(EventFileAppend, CreatesTheFileUnderTheSystemDirectoryAndCounts) {
  EXPECT_EQ(path_, root_.path() + "/system/cvevents/cvevent.evt");
  ASSERT_EQ(AppendEventRecord(path_, Sample(7)), AppendResult::kAppended);
  ASSERT_EQ(AppendEventRecord(path_, Sample(8)), AppendResult::kAppended);
  EventFileContents contents = ParseEventFile(ReadFileOrEmpty(path_));
  EXPECT_EQ(contents.declared_count, 2u);
  ASSERT_EQ(contents.records.size(), 2u);
  EXPECT_EQ(contents.records[1].event_id, 8u);
  EXPECT_EQ(contents.end_of_records, ReadFileOrEmpty(path_).size());
}

TEST_F(EventFileAppend, CutsOffWhatADeadAppenderLeftBehind) {
  ASSERT_EQ(AppendEventRecord(path_, Sample(1)), AppendResult::kAppended);
  // A record written without its count update, then half of another.
  std::string image = ReadFileOrEmpty(path_);
  std::string orphan = EncodeEventRecord(Sample(99));
  WriteFile(path_, image + orphan + orphan.substr(0, 9));
  ASSERT_EQ(AppendEventRecord(path_, Sample(2)), AppendResult::kAppended);
  EventFileContents contents = ParseEventFile(ReadFileOrEmpty(path_));
  ASSERT_EQ(contents.records.size(), 2u);
  EXPECT_EQ(contents.records[1].event_id, 2u);
  EXPECT_EQ(contents.end_of_records, ReadFileOrEmpty(path_).size());
}

TEST_F(EventFileAppend, HealsACountThatClaimsMissingRecords) {
  std::string image("\x05\x00\x00\x00", 4);
  image += EncodeEventRecord(Sample(1));
  platform::CreateDirectories(root_.path() + "/system/cvevents");
  WriteFile(path_, image);
  ASSERT_EQ(AppendEventRecord(path_, Sample(2)), AppendResult::kAppended);
  EventFileContents contents = ParseEventFile(ReadFileOrEmpty(path_));
  EXPECT_EQ(contents.declared_count, 2u);
  EXPECT_EQ(contents.records.size(), 2u);
}

TEST_F(EventFileAppend, AnUnreadableCountLeavesTheFileAlone) {
  platform::CreateDirectories(root_.path() + "/system/cvevents");
  WriteFile(path_, "ab");
  EXPECT_EQ(AppendEventRecord(path_, Sample(1)), AppendResult::kCountUnreadable);
  EXPECT_EQ(ReadFileOrEmpty(path_), "ab");
}

TEST_F(EventFileAppend, AFileAtItsBoundBecomesTheOlderCopyAndBeginsAnew) {
  const uint64_t record_size = EncodeEventRecord(Sample(1)).size();
  const uint64_t bound = 4 + 3 * record_size;
  for (uint32_t id = 1; id <= 5; ++id) {
    ASSERT_EQ(AppendEventRecord(path_, Sample(id), bound), AppendResult::kAppended);
  }
  auto ids = [](const std::string& path) {
    std::vector<uint32_t> found;
    for (const EventRecord& record : ParseEventFile(ReadFileOrEmpty(path)).records) {
      found.push_back(record.event_id);
    }
    return found;
  };
  EXPECT_EQ(ids(path_ + ".1"), (std::vector<uint32_t>{1, 2, 3}));
  EXPECT_EQ(ids(path_), (std::vector<uint32_t>{4, 5}));
  EXPECT_EQ(ParseEventFile(ReadFileOrEmpty(path_)).declared_count, 2u);

  // One older copy: the next turn replaces it.
  for (uint32_t id = 6; id <= 7; ++id) {
    ASSERT_EQ(AppendEventRecord(path_, Sample(id), bound), AppendResult::kAppended);
  }
  EXPECT_EQ(ids(path_ + ".1"), (std::vector<uint32_t>{4, 5, 6}));
  EXPECT_EQ(ids(path_), (std::vector<uint32_t>{7}));

  // A record larger than the bound still gets a file of its own.
  ASSERT_EQ(AppendEventRecord(path_, Sample(8, {std::string(bound, 'x')}), bound),
            AppendResult::kAppended);
  ASSERT_EQ(AppendEventRecord(path_, Sample(9), bound), AppendResult::kAppended);
  EXPECT_EQ(ids(path_ + ".1"), (std::vector<uint32_t>{8}));
  EXPECT_EQ(ids(path_), (std::vector<uint32_t>{9}));
}

// Every record written by `processes` processes of `threads` threads each,
// `each` per thread, with the bound given; the records left in the file
// and its older copy.
std::vector<EventRecord> AppendConcurrently(const std::string& path, int processes, int threads,
                                            int each, uint64_t max_bytes) {
  std::vector<pid_t> children;
  for (int p = 0; p < processes; ++p) {
    pid_t child = fork();
    EXPECT_GE(child, 0);
    if (child == 0) {
      std::vector<std::thread> workers;
      for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
          for (int i = 0; i < each; ++i) {
            uint32_t id = static_cast<uint32_t>((p * threads + t) * 1000 + i);
            if (AppendEventRecord(path, Sample(id), max_bytes) != AppendResult::kAppended) {
              _exit(3);
            }
          }
        });
      }
      for (auto& worker : workers) worker.join();
      _exit(0);
    }
    children.push_back(child);
  }
  for (pid_t child : children) {
    int status = 0;
    EXPECT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  std::vector<EventRecord> records = ParseEventFile(ReadFileOrEmpty(path + ".1")).records;
  EventFileContents contents = ParseEventFile(ReadFileOrEmpty(path));
  EXPECT_EQ(contents.declared_count, contents.records.size());
  records.insert(records.end(), contents.records.begin(), contents.records.end());
  return records;
}

// Appenders that wait for the lock while the file turns over must write to
// the new file, not to the older copy they opened before it.
TEST_F(EventFileAppend, ATurnOverAmongConcurrentAppendersLosesNoRecord) {
  constexpr int kProcesses = 3, kThreads = 4, kEach = 25;
  const uint64_t record_size = EncodeEventRecord(Sample(1)).size();
  // Two thirds of the records: the file turns over once.
  const uint64_t bound = 4 + record_size * kProcesses * kThreads * kEach * 2 / 3;
  std::vector<EventRecord> records = AppendConcurrently(path_, kProcesses, kThreads, kEach, bound);
  EXPECT_GT(ParseEventFile(ReadFileOrEmpty(path_ + ".1")).records.size(), 0u);
  ASSERT_EQ(records.size(), static_cast<size_t>(kProcesses * kThreads * kEach));
  std::set<uint32_t> ids;
  for (const EventRecord& record : records) ids.insert(record.event_id);
  EXPECT_EQ(ids.size(), records.size());
}

TEST_F(EventFileAppend, ConcurrentThreadsAndProcessesLoseNoRecord) {
  constexpr int kProcesses = 3, kThreads = 4, kEach = 25;
  std::vector<EventRecord> records = AppendConcurrently(path_, kProcesses, kThreads, kEach, 0);
  EXPECT_EQ(ParseEventFile(ReadFileOrEmpty(path_)).declared_count,
            static_cast<uint32_t>(kProcesses * kThreads * kEach));
  ASSERT_EQ(records.size(), static_cast<size_t>(kProcesses * kThreads * kEach));
  std::set<uint32_t> ids;
  for (const EventRecord& record : records) ids.insert(record.event_id);
  EXPECT_EQ(ids.size(), records.size());
}

}  // namespace
}  // namespace corvane::notifex

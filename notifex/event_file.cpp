#include "notifex/event_file.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <optional>
#include <unordered_map>

#include "platform/error.h"
#include "platform/files.h"
#include "platform/paths.h"

namespace corvane::notifex {
namespace {

constexpr uint64_t kUnixEpochAsFileTime = 116444736000000000ULL;

void AppendLittleEndian(std::string& out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

class Reader {
 public:
  explicit Reader(std::string_view image) : image_(image) {}
  size_t position() const { return position_; }

  bool Number(int bytes, uint64_t& value) {
    if (image_.size() - position_ < static_cast<size_t>(bytes)) return false;
    value = 0;
    for (int i = 0; i < bytes; ++i) {
      value |= uint64_t{static_cast<unsigned char>(image_[position_ + i])} << (8 * i);
    }
    position_ += bytes;
    return true;
  }

  bool Text(std::string& text) {
    uint64_t length = 0;
    if (!Number(1, length)) return false;
    if (length == 0xFF) {
      if (!Number(2, length)) return false;
      if (length == 0xFFFF && !Number(4, length)) return false;
    }
    if (image_.size() - position_ < length) return false;
    text.assign(image_.substr(position_, length));
    position_ += length;
    return true;
  }

 private:
  std::string_view image_;
  size_t position_ = 0;
};

bool ReadRecord(Reader& reader, EventRecord& record) {
  uint64_t type = 0, id = 0, count = 0;
  if (!reader.Number(8, record.filetime) || !reader.Text(record.source) ||
      !reader.Number(4, type) || !reader.Number(4, id) || !reader.Number(4, count)) {
    return false;
  }
  record.type = static_cast<uint32_t>(type);
  record.event_id = static_cast<uint32_t>(id);
  record.inserts.clear();
  for (uint64_t i = 0; i < count; ++i) {
    std::string insert;
    if (!reader.Text(insert)) return false;
    record.inserts.push_back(std::move(insert));
  }
  return true;
}

// What this process last left in a file it appended to. When the file still
// looks the same, its counted records end at its size and no re-parse is due.
struct KnownState {
  uint64_t inode = 0;
  uint64_t size = 0;
  uint32_t count = 0;
};
std::mutex known_mutex;
std::unordered_map<std::string, KnownState> known_states;

}  // namespace

uint64_t FileTimeFrom(std::chrono::system_clock::time_point time) {
  auto since_unix = std::chrono::duration_cast<std::chrono::nanoseconds>(time.time_since_epoch());
  return kUnixEpochAsFileTime + static_cast<uint64_t>(since_unix.count() / 100);
}

std::chrono::system_clock::time_point TimeFromFileTime(uint64_t filetime) {
  auto hundreds = static_cast<int64_t>(filetime) - static_cast<int64_t>(kUnixEpochAsFileTime);
  return std::chrono::system_clock::time_point(
      std::chrono::duration_cast<std::chrono::system_clock::duration>(
          std::chrono::nanoseconds(hundreds * 100)));
}

void AppendLengthPrefixed(std::string& out, std::string_view text) {
  uint64_t n = text.size();
  if (n < 255) {
    AppendLittleEndian(out, n, 1);
  } else if (n < 65534) {
    out += '\xFF';
    AppendLittleEndian(out, n, 2);
  } else {
    out += '\xFF';
    AppendLittleEndian(out, 0xFFFF, 2);
    AppendLittleEndian(out, n, 4);
  }
  out.append(text);
}

std::string EncodeEventRecord(const EventRecord& record) {
  std::string out;
  AppendLittleEndian(out, record.filetime, 8);
  AppendLengthPrefixed(out, record.source);
  AppendLittleEndian(out, record.type, 4);
  AppendLittleEndian(out, record.event_id, 4);
  AppendLittleEndian(out, record.inserts.size(), 4);
  for (const std::string& insert : record.inserts) AppendLengthPrefixed(out, insert);
  return out;
}

EventFileContents ParseEventFile(std::string_view image) {
  EventFileContents contents;
  Reader reader(image);
  uint64_t count = 0;
  if (!reader.Number(4, count)) {
    contents.end_of_records = image.size() == 0 ? 4 : image.size();
    return contents;
  }
  contents.declared_count = static_cast<uint32_t>(count);
  contents.end_of_records = reader.position();
  for (uint64_t i = 0; i < count; ++i) {
    EventRecord record;
    if (!ReadRecord(reader, record)) break;
    contents.records.push_back(std::move(record));
    contents.end_of_records = reader.position();
  }
  return contents;
}

std::string EventFilePath() {
  return platform::JoinPath(platform::JoinPath(platform::SystemDirectory(), "cvevents"),
                            "cvevent.evt");
}

AppendResult AppendEventRecord(const std::string& path, const EventRecord& record,
                               uint64_t max_bytes) {
  // Threads of this process queue here, so only other processes are left to
  // contend for the file lock; both waits share one time budget.
  static std::timed_mutex appenders;
  auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kEventFileLockWaitMs);
  std::unique_lock<std::timed_mutex> queued(appenders, deadline);
  if (!queued.owns_lock()) return AppendResult::kNotOpened;
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());

  std::optional<platform::LockedFile> file;
  try {
    size_t slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0) platform::CreateDirectories(path.substr(0, slash));
    file =
        platform::LockedFile::Open(path, static_cast<uint32_t>(std::max<int64_t>(left.count(), 0)));
  } catch (const platform::OsError&) {
    return AppendResult::kNotOpened;
  }
  if (!file) return AppendResult::kNotOpened;

  try {
    uint64_t size = file->Size();
    uint32_t count = 0;
    uint64_t end = 4;
    if (size > 0) {
      unsigned char header[4];
      if (file->ReadAt(0, header, 4) != 4) return AppendResult::kCountUnreadable;
      count = uint32_t{header[0]} | uint32_t{header[1]} << 8 | uint32_t{header[2]} << 16 |
              uint32_t{header[3]} << 24;
      struct stat info;
      uint64_t inode = stat(path.c_str(), &info) == 0 ? info.st_ino : 0;
      bool known = false;
      {
        std::lock_guard<std::mutex> lock(known_mutex);
        auto it = known_states.find(path);
        known = it != known_states.end() && it->second.inode == inode && it->second.size == size &&
                it->second.count == count;
      }
      if (known) {
        end = size;
      } else {
        std::string image(size, '\0');
        image.resize(file->ReadAt(0, image.data(), image.size()));
        EventFileContents contents = ParseEventFile(image);
        count = static_cast<uint32_t>(contents.records.size());
        end = contents.end_of_records;
      }
      if (end < size) file->Truncate(end);
    }
    std::string bytes = EncodeEventRecord(record);
    if (max_bytes > 0 && count > 0 && end + bytes.size() > max_bytes) {
      // The records so far become the older copy, and the file begins anew
      // in place: appenders waiting for the lock hold this same file, so
      // renaming it would send their records to the copy.
      std::string image(end, '\0');
      image.resize(file->ReadAt(0, image.data(), image.size()));
      bool copied = false;
      try {
        platform::ReplaceFileContents(path + kOlderCopySuffix, image);
        copied = true;
      } catch (const platform::OsError&) {
        // Without the copy the file grows on: better than losing events.
      }
      if (copied) {
        file->Truncate(0);
        const unsigned char empty[4] = {0, 0, 0, 0};
        file->WriteAt(0, empty, 4);
        count = 0;
        end = 4;
      }
    }
    file->WriteAt(end, bytes.data(), bytes.size());
    // The record must be on disk before the count that claims it.
    file->Sync();
    ++count;
    unsigned char header[4] = {
        static_cast<unsigned char>(count), static_cast<unsigned char>(count >> 8),
        static_cast<unsigned char>(count >> 16), static_cast<unsigned char>(count >> 24)};
    file->WriteAt(0, header, 4);
    struct stat info;
    if (stat(path.c_str(), &info) == 0) {
      std::lock_guard<std::mutex> lock(known_mutex);
      known_states[path] = {static_cast<uint64_t>(info.st_ino), end + bytes.size(), count};
    }
  } catch (const platform::OsError&) {
    // A write that failed half way leaves bytes past the counted records;
    // the next append cuts them off, so the file stays readable.
    std::lock_guard<std::mutex> lock(known_mutex);
    known_states.erase(path);
  }
  return AppendResult::kAppended;
}

}  // namespace corvane::notifex

#include "tasks/server_log.h"

#include <sys/stat.h>

#include <cstdio>
#include <exception>

#include "platform/named_mutex.h"
#include "platform/paths.h"

namespace corvane::tasks {
namespace {

constexpr uint32_t kMutexWaitMs = 5000;
constexpr uint64_t kServerLogLimit = 1024 * 1024;

constexpr const char* kDayNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

const char* BaseName(const char* path) {
  const char* base = path;
  for (const char* p = path; *p != '\0'; ++p) {
    if (*p == '/' || *p == '\\') base = p + 1;
  }
  return base;
}

// A field outside its range (a caller's own std::tm) shows as "???" rather
// than reading past the table.
const char* NameAt(const char* const* names, int count, int index) {
  return index >= 0 && index < count ? names[index] : "???";
}

uint64_t FileSize(const std::string& path) {
  struct stat status {};
  return stat(path.c_str(), &status) == 0 ? static_cast<uint64_t>(status.st_size) : 0;
}

}  // namespace

TextLogSettings ServerTextLogSettings(const std::string& program_directory) {
  return {program_directory, "CVDiv32", "CVDiv32LogMutex", kServerLogLimit};
}

std::string FormatTextLogLine(const std::tm& local, const char* source_file, int line,
                              std::string_view text) {
  char head[160];
  std::snprintf(
      head, sizeof head,
      "%-3.3s, %02d %-3.3s %04d %02d:%02d:%02d %s(%d): ", NameAt(kDayNames, 7, local.tm_wday),
      local.tm_mday, NameAt(kMonthNames, 12, local.tm_mon), local.tm_year + 1900, local.tm_hour,
      local.tm_min, local.tm_sec, BaseName(source_file == nullptr ? "" : source_file), line);
  std::string result = head;
  result.append(text);
  result += '\n';
  return result;
}

TextLog::TextLog(TextLogSettings settings) : settings_(std::move(settings)) {}

TextLog::~TextLog() = default;

std::string TextLog::path() const {
  return platform::JoinPath(settings_.directory, settings_.base_name + ".log");
}

std::string TextLog::old_path() const {
  return platform::JoinPath(settings_.directory, settings_.base_name + ".old");
}

platform::NamedMutex* TextLog::Mutex() {
  std::lock_guard<std::mutex> guard(mutex_guard_);
  if (!mutex_) {
    try {
      mutex_ = std::make_unique<platform::NamedMutex>(settings_.mutex_name);
    } catch (const std::exception&) {
      return nullptr;
    }
  }
  return mutex_.get();
}

bool TextLog::Append(const char* source_file, int line, std::string_view text) {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  const std::string formatted = FormatTextLogLine(local, source_file, line, text);

  platform::NamedMutex* mutex = Mutex();
  if (mutex == nullptr) return false;
  try {
    if (!mutex->Lock(kMutexWaitMs)) return false;
  } catch (const std::exception&) {
    return false;
  }
  const std::string file_path = path();
  const uint64_t size = FileSize(file_path);
  if (settings_.max_bytes != 0 && size != 0 && size + formatted.size() > settings_.max_bytes) {
    // Should the rename fail, the line still goes to the full file: it is
    // worth more than the limit.
    std::rename(file_path.c_str(), old_path().c_str());
  }
  bool written = false;
  if (std::FILE* file = std::fopen(file_path.c_str(), "a")) {
    written = std::fwrite(formatted.data(), 1, formatted.size(), file) == formatted.size();
    written = std::fclose(file) == 0 && written;
  }
  mutex->Unlock();
  return written;
}

}  // namespace corvane::tasks

#include "Common/Include/xtrace.h"

#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <new>

#include "platform/named_mutex.h"
#include "platform/paths.h"
#include "platform/registry.h"

namespace corvane::xtrace {

std::atomic<bool> g_enabled{false};

namespace {

constexpr char kMutexName[] = "XLogAccessMutex";
constexpr char kSwitchKey[] = "Software\\Arvex\\Corvane\\XTrace";
constexpr uint32_t kMutexWaitMs = 2500;
constexpr size_t kNameSize = 260;
constexpr size_t kLineSize = 2048;
constexpr size_t kStampSize = 128;
constexpr size_t kBytesPerRow = 16;
constexpr char kFallbackFile[] = "corvane.xls";
// "Max Log MB" under the switch key: the size at which the log is moved to
// "<log>.1" (replacing the older copy) and begun anew; 0 or absent stands
// for the default.
constexpr char kMaxSizeSetting[] = "Max Log MB";
constexpr uint32_t kDefaultMaxLogMb = 64;
constexpr char kOlderCopySuffix[] = ".1";
constexpr char kAddressError[] = "err.err.err.err";
constexpr char kHeader[] =
    "[  D A T E  /  T I M E  /  P I D  /  T I D  /  F I L E  /  L I N E  ]  M E S S A G E\n";

// Everything fixed at initialisation. Writers keep a reference while they
// work, so Shutdown may drop it while another thread is mid-line.
struct Config {
  std::unique_ptr<platform::NamedMutex> mutex;
  std::string module_path;
  std::string log_path;
  bool bracketed = false;
  uint64_t max_bytes = uint64_t{kDefaultMaxLogMb} << 20;
};

std::mutex g_lifecycle;     // serialises Init and Shutdown
std::mutex g_config_guard;  // guards the pointer below, not the object
std::shared_ptr<const Config> g_config;

std::shared_ptr<const Config> CurrentConfig() {
  std::lock_guard<std::mutex> guard(g_config_guard);
  return g_config;
}

void PublishConfig(std::shared_ptr<const Config> config) {
  std::lock_guard<std::mutex> guard(g_config_guard);
  g_config = std::move(config);
}

// Holds the access mutex for a scope; every failure, including an error from
// the lock file, just means "not acquired".
class AccessHold {
 public:
  explicit AccessHold(platform::NamedMutex& mutex) : mutex_(mutex) {
    try {
      acquired_ = mutex_.Lock(kMutexWaitMs);
    } catch (...) {
      acquired_ = false;
    }
  }
  ~AccessHold() {
    if (acquired_) mutex_.Unlock();
  }
  AccessHold(const AccessHold&) = delete;
  AccessHold& operator=(const AccessHold&) = delete;

  bool acquired() const { return acquired_; }

 private:
  platform::NamedMutex& mutex_;
  bool acquired_ = false;
};

// Opens `path` for appending `adding` bytes. A log that would grow past
// `max_bytes` becomes the older copy first, so a program traced for years
// keeps at most twice the bound on disk. Every writer holds the access
// mutex, so no other one has the file open while it is renamed.
FILE* OpenBounded(const std::string& path, uint64_t max_bytes, size_t adding) {
  FILE* file = std::fopen(path.c_str(), "a+");
  if (file == nullptr) return nullptr;
  struct stat status;
  if (fstat(fileno(file), &status) != 0 || status.st_size == 0 ||
      static_cast<uint64_t>(status.st_size) + adding <= max_bytes) {
    return file;
  }
  std::fclose(file);
  const std::string older = path + kOlderCopySuffix;
  // Failing that, the log grows on rather than losing lines.
  static_cast<void>(std::rename(path.c_str(), older.c_str()));
  return std::fopen(path.c_str(), "a+");
}

// Opening and closing per line lets support move or delete the file while the
// programs keep running.
void Append(const Config& config, const char* text) {
  AccessHold hold(*config.mutex);
  if (!hold.acquired() || !Enabled()) return;
  const size_t length = std::strlen(text);
  FILE* file = OpenBounded(config.log_path, config.max_bytes, length);
  if (file == nullptr) file = OpenBounded(kFallbackFile, config.max_bytes, length);
  if (file == nullptr) return;
  std::fputs(text, file);
  std::fflush(file);
  std::fclose(file);
}

void FormatTimeStamp(char* out, size_t size) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  const size_t length = std::strftime(out, size, "%m/%d/%Y %H:%M:%S", &local);
  std::snprintf(out + length, size - length, ".%03d", static_cast<int>(now.tv_nsec / 1000000));
}

const char* BaseName(const char* path) {
  const char* base = path;
  for (const char* p = path; *p != '\0'; ++p) {
    if (*p == '/' || *p == '\\') base = p + 1;
  }
  return base;
}

void WriteLine(const Config& config, const char* source_file, int line, const char* format,
               va_list arguments) {
  AccessHold hold(*config.mutex);
  if (!hold.acquired()) return;

  char stamp[kStampSize] = {};
  FormatTimeStamp(stamp, sizeof stamp);
  // The text before the line end fills at most kLineSize - 2 bytes, leaving
  // room for "\n" and the terminator; longer messages are cut silently.
  char buffer[kLineSize] = {};
  const size_t limit = kLineSize - 1;
  std::snprintf(buffer, limit, config.bracketed ? "[%s/%d/%d/%s/%d]" : "%s\t%d\t%d\t%s\t%d\t",
                stamp, static_cast<int>(getpid()), static_cast<int>(gettid()),
                BaseName(source_file), line);
  size_t length = std::strlen(buffer);
  std::vsnprintf(buffer + length, limit - length, format, arguments);
  length = std::strlen(buffer);
  buffer[length] = '\n';
  Append(config, buffer);
}

// A dump of memory the caller cannot read must not take the program down, so
// the kernel copies it first and reports a fault instead of raising a signal.
bool Readable(const void* data, size_t length) {
  if (data == nullptr) return false;
  char scratch[4096];
  const char* position = static_cast<const char*>(data);
  while (length > 0) {
    const size_t chunk = std::min(length, sizeof scratch);
    iovec local{scratch, chunk};
    iovec remote{const_cast<char*>(position), chunk};
    const ssize_t copied = process_vm_readv(getpid(), &local, 1, &remote, 1, 0);
    if (copied < 0) return errno != EFAULT;  // no probe available: trust the caller
    if (static_cast<size_t>(copied) < chunk) return false;
    position += chunk;
    length -= chunk;
  }
  return true;
}

struct AddressRecord {
  uint32_t thread_id = 0;
  char text[48] = {};
  AddressRecord* next = nullptr;
};

// The records are this process's own, so a local mutex guards them: an
// address text never has to wait for another program's trace line.
std::mutex g_address_guard;
AddressRecord* g_address_records = nullptr;

void FreeAddressRecords() {
  std::lock_guard<std::mutex> guard(g_address_guard);
  while (g_address_records != nullptr) {
    AddressRecord* next = g_address_records->next;
    delete g_address_records;
    g_address_records = next;
  }
}

}  // namespace

void Init(const char* name) {
  try {
    InitForModule(platform::ProgramPath(), name);
  } catch (...) {
  }
}

void InitForModule(const std::string& module_path, const char* name) {
  if (name == nullptr) return;
  try {
    std::lock_guard<std::mutex> lifecycle(g_lifecycle);
    // The setting is read once; a later Init changes nothing until Shutdown.
    if (CurrentConfig() != nullptr) return;

    char trace_name[kNameSize] = {};
    std::strncpy(trace_name, name, kNameSize - 1);

    auto config = std::make_shared<Config>();
    try {
      config->mutex = std::make_unique<platform::NamedMutex>(kMutexName);
    } catch (...) {
      return;  // without the mutex tracing stays uninitialised
    }
    config->module_path = module_path;
    const size_t slash = module_path.rfind('/');
    const std::string directory =
        slash == std::string::npos ? std::string() : module_path.substr(0, slash + 1);
    config->log_path = directory + (trace_name[0] != '\0' ? trace_name : "corvane") + ".xlg";

    AccessHold hold(*config->mutex);
    if (!hold.acquired()) {
      PublishConfig(config);  // initialised, tracing off
      return;
    }
    bool on = false;
    try {
      const auto value =
          platform::registry::GetValue(platform::RegRoot::kLocalMachine, kSwitchKey, trace_name);
      if (value && value->type == platform::RegType::kDword && value->dword != 0) {
        on = true;
        config->bracketed = value->dword == 2;
      }
      const auto max_mb = platform::registry::GetValue(platform::RegRoot::kLocalMachine, kSwitchKey,
                                                       kMaxSizeSetting);
      if (max_mb && max_mb->type == platform::RegType::kDword && max_mb->dword != 0) {
        config->max_bytes = uint64_t{max_mb->dword} << 20;
      }
    } catch (...) {
      // An unreadable registry leaves tracing off.
    }
    PublishConfig(config);
    if (!on) return;
    g_enabled.store(true);
    if (config->bracketed) Append(*config, kHeader);
    Write(__FILE__, __LINE__, "Start of log for process %s", config->module_path.c_str());
    Write(__FILE__, __LINE__, "process log file %s", config->log_path.c_str());
  } catch (...) {
  }
}

void Write(const char* source_file, int line, const char* format, ...) {
  if (source_file == nullptr || format == nullptr || !Enabled()) return;
  try {
    const std::shared_ptr<const Config> config = CurrentConfig();
    if (config == nullptr) return;
    va_list arguments;
    va_start(arguments, format);
    WriteLine(*config, source_file, line, format, arguments);
    va_end(arguments);
  } catch (...) {
  }
}

void Dump(const char* source_file, int line, const char* title, size_t length, const void* data) {
  if (source_file == nullptr || !Enabled()) return;
  if (length > 0 && !Readable(data, length)) return;
  if (title != nullptr) Write(source_file, line, "%s", title);

  const auto* bytes = static_cast<const unsigned char*>(data);
  // Each byte takes three characters in both rows.
  char characters[kBytesPerRow * 3 + 1] = {};
  char hex[kBytesPerRow * 3 + 1] = {};
  size_t in_row = 0;
  for (size_t i = 0; i < length; ++i) {
    const unsigned char byte = bytes[i];
    // Fixed ASCII range, so the log reads the same whatever the locale.
    if (byte >= 0x20 && byte < 0x7F) {
      std::snprintf(characters + in_row * 3, 4, " %c ", byte);
    } else {
      std::memcpy(characters + in_row * 3, "   ", 4);
    }
    std::snprintf(hex + in_row * 3, 4, "%02X ", byte);
    ++in_row;
    if (in_row == kBytesPerRow || i + 1 == length) {
      Write(source_file, line, "%s", characters);
      Write(source_file, line, "%s", hex);
      in_row = 0;
      characters[0] = '\0';
      hex[0] = '\0';
    }
  }
}

const char* AddressText(uint32_t address) {
  const auto thread_id = static_cast<uint32_t>(gettid());
  AddressRecord* record = nullptr;
  {
    std::lock_guard<std::mutex> guard(g_address_guard);
    for (record = g_address_records; record != nullptr; record = record->next) {
      if (record->thread_id == thread_id) break;
    }
    if (record == nullptr) {
      record = new (std::nothrow) AddressRecord;
      if (record == nullptr) return kAddressError;
      record->thread_id = thread_id;
      record->next = g_address_records;
      g_address_records = record;
    }
  }
  std::memset(record->text, 0, sizeof record->text);
  std::snprintf(record->text, sizeof record->text, "%u.%u.%u.%u", address & 0xFF,
                (address >> 8) & 0xFF, (address >> 16) & 0xFF, (address >> 24) & 0xFF);
  return record->text;
}

const char* BoolText(int value) { return value != 0 ? "true" : "false"; }

void Shutdown() {
  try {
    std::lock_guard<std::mutex> lifecycle(g_lifecycle);
    if (Enabled()) Write(__FILE__, __LINE__, "process log done");
    g_enabled.store(false);
    PublishConfig(nullptr);
  } catch (...) {
  }
  FreeAddressRecords();
}

}  // namespace corvane::xtrace

// The server's own text log: time-stamped lines for the few failures that
// are recorded beside the program rather than reported as events (the job
// component that cannot be created).
//
// Each line is "Www, DD Mmm YYYY HH:MM:SS file(line): text" in local time,
// with English day and month names whatever the locale. Lines are appended
// under a named mutex (platform/named_mutex.h), so the threads of this
// process and other programs of the product never interleave them. Before a
// line would take the file past its size limit, the file is renamed to the
// ".old" name (replacing the previous one) and a fresh file is begun.
//
// Errors: Append never raises; a line that cannot be written (the mutex not
// had within its wait, the file not writable) is dropped and Append answers
// false. Thread safety: a TextLog may be shared by any threads.

#ifndef CORVANE_TASKS_SERVER_LOG_H_
#define CORVANE_TASKS_SERVER_LOG_H_

#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace corvane::platform {
class NamedMutex;
}

namespace corvane::tasks {

struct TextLogSettings {
  std::string directory;  // the files are "<directory>/<base_name>.log" and ".old"
  std::string base_name;
  std::string mutex_name;  // a plain file name (see NamedMutex)
  uint64_t max_bytes = 0;  // 0: never rolled over
};

// The server's log: "CVDiv32.log" in `program_directory`, rolled over to
// "CVDiv32.old" at 1 MiB, under the mutex "CVDiv32LogMutex".
TextLogSettings ServerTextLogSettings(const std::string& program_directory);

// One line of the log, its line end included. `source_file` is shown
// without its directories.
std::string FormatTextLogLine(const std::tm& local_time, const char* source_file, int line,
                              std::string_view text);

class TextLog {
 public:
  explicit TextLog(TextLogSettings settings);
  ~TextLog();
  TextLog(const TextLog&) = delete;
  TextLog& operator=(const TextLog&) = delete;

  // Appends one line stamped with the current local time.
  bool Append(const char* source_file, int line, std::string_view text);

  std::string path() const;
  std::string old_path() const;

 private:
  // Made on first use: a lock file that cannot be made only costs the line.
  platform::NamedMutex* Mutex();

  const TextLogSettings settings_;
  std::mutex mutex_guard_;
  std::unique_ptr<platform::NamedMutex> mutex_;
};

}  // namespace corvane::tasks

#endif  // CORVANE_TASKS_SERVER_LOG_H_

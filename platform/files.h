// Files that several threads and processes append to under an exclusive lock.
//
// A LockedFile holds an exclusive flock for its whole life, so two holders
// never interleave their writes; the lock is released when the object is
// destroyed or the process dies. Errors throw OsError naming the file.
// One object belongs to one thread at a time.

#ifndef CORVANE_PLATFORM_FILES_H_
#define CORVANE_PLATFORM_FILES_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace corvane::platform {

class LockedFile {
 public:
  // Opens (creating with `mode` when missing) `path` for reading and writing
  // and waits up to `wait_ms` for the exclusive lock. Returns nullopt when the
  // lock stays busy; throws OsError when the file cannot be opened.
  static std::optional<LockedFile> Open(const std::string& path, uint32_t wait_ms,
                                        unsigned mode = 0644);

  LockedFile(LockedFile&& other) noexcept;
  LockedFile& operator=(LockedFile&& other) noexcept;
  LockedFile(const LockedFile&) = delete;
  LockedFile& operator=(const LockedFile&) = delete;
  ~LockedFile();

  uint64_t Size() const;
  // Reads up to `length` bytes at `offset`; returns how many were read.
  size_t ReadAt(uint64_t offset, void* buffer, size_t length) const;
  void WriteAt(uint64_t offset, const void* data, size_t length);
  void Truncate(uint64_t length);
  // Flushes the file's data to the device.
  void Sync();

 private:
  LockedFile(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  int fd_ = -1;
  std::string path_;
};

// Reads a whole file; nullopt when it cannot be opened or read.
std::optional<std::string> ReadWholeFile(const std::string& path);

// Replaces the file at `path` with `contents` in one step: written beside it
// under a name of this process, flushed to the device and renamed over it,
// so a reader, or a crash, sees the old file or the new one whole, never a
// part. `mode` is that of the new file. Throws OsError naming what failed;
// the old file then stays as it was and no temporary file is left.
void ReplaceFileContents(const std::string& path, std::string_view contents, unsigned mode = 0644);

}  // namespace corvane::platform

#endif  // CORVANE_PLATFORM_FILES_H_

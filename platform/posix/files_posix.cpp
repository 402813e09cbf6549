#include "platform/files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <utility>

#include "platform/error.h"

namespace corvane::platform {

std::optional<LockedFile> LockedFile::Open(const std::string& path, uint32_t wait_ms,
                                           unsigned mode) {
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, mode);
  if (fd < 0) throw OsError("open " + path, errno);
  // flock has no timed form; poll it. Locks belong to the open file
  // description, so threads of one process exclude each other as well.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
  auto pause = std::chrono::milliseconds(1);
  for (;;) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return LockedFile(fd, path);
    int error = errno;
    if (error == EINTR) continue;
    if (error != EWOULDBLOCK || std::chrono::steady_clock::now() >= deadline) {
      close(fd);
      if (error == EWOULDBLOCK) return std::nullopt;
      throw OsError("lock " + path, error);
    }
    std::this_thread::sleep_for(pause);
    if (pause < std::chrono::milliseconds(2)) pause *= 2;
  }
}

LockedFile::LockedFile(LockedFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), path_(std::move(other.path_)) {}

LockedFile& LockedFile::operator=(LockedFile&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) close(fd_);
    fd_ = std::exchange(other.fd_, -1);
    path_ = std::move(other.path_);
  }
  return *this;
}

LockedFile::~LockedFile() {
  if (fd_ >= 0) close(fd_);  // closing releases the lock
}

uint64_t LockedFile::Size() const {
  off_t end = lseek(fd_, 0, SEEK_END);
  if (end < 0) throw OsError("size of " + path_, errno);
  return static_cast<uint64_t>(end);
}

size_t LockedFile::ReadAt(uint64_t offset, void* buffer, size_t length) const {
  size_t done = 0;
  auto* bytes = static_cast<char*>(buffer);
  while (done < length) {
    ssize_t got = pread(fd_, bytes + done, length - done, static_cast<off_t>(offset + done));
    if (got < 0) {
      if (errno == EINTR) continue;
      throw OsError("read " + path_, errno);
    }
    if (got == 0) break;
    done += static_cast<size_t>(got);
  }
  return done;
}

void LockedFile::WriteAt(uint64_t offset, const void* data, size_t length) {
  size_t done = 0;
  const auto* bytes = static_cast<const char*>(data);
  while (done < length) {
    ssize_t put = pwrite(fd_, bytes + done, length - done, static_cast<off_t>(offset + done));
    if (put < 0) {
      if (errno == EINTR) continue;
      throw OsError("write " + path_, errno);
    }
    done += static_cast<size_t>(put);
  }
}

void LockedFile::Truncate(uint64_t length) {
  if (ftruncate(fd_, static_cast<off_t>(length)) != 0) throw OsError("truncate " + path_, errno);
}

void LockedFile::Sync() {
  if (fdatasync(fd_) != 0) throw OsError("sync " + path_, errno);
}

std::optional<std::string> ReadWholeFile(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string contents;
  char buffer[65536];
  for (;;) {
    ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      close(fd);
      return std::nullopt;
    }
    if (got == 0) break;
    contents.append(buffer, static_cast<size_t>(got));
  }
  close(fd);
  return contents;
}

void ReplaceFileContents(const std::string& path, std::string_view contents, unsigned mode) {
  const std::string temporary = path + ".tmp" + std::to_string(getpid());
  const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) throw OsError("create " + temporary, errno);
  auto fail = [&](const std::string& what, int error_number) {
    close(fd);
    unlink(temporary.c_str());
    throw OsError(what, error_number);
  };
  // The mode asked for, whatever the umask took from it.
  if (fchmod(fd, mode) != 0) fail("chmod " + temporary, errno);
  size_t done = 0;
  while (done < contents.size()) {
    const ssize_t written = write(fd, contents.data() + done, contents.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written < 0) fail("write " + temporary, errno);
    if (written == 0) fail("write " + temporary, EIO);
    done += static_cast<size_t>(written);
  }
  if (fsync(fd) != 0) fail("sync " + temporary, errno);
  if (close(fd) != 0) {
    const int error_number = errno;
    unlink(temporary.c_str());
    throw OsError("close " + temporary, error_number);
  }
  if (rename(temporary.c_str(), path.c_str()) != 0) {
    const int error_number = errno;
    unlink(temporary.c_str());
    throw OsError("rename " + temporary + " to " + path, error_number);
  }
}

}  // namespace corvane::platform

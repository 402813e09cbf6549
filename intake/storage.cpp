#include "intake/storage.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <utility>

#include "Common/Include/ascii_case.h"
#include "Common/Include/xtrace.h"
#include "platform/error.h"
#include "platform/paths.h"

namespace corvane::intake {
namespace {

constexpr size_t kPrefixCharacters = 3;
constexpr uint32_t kUniqueNumbers = 0x10000;
constexpr unsigned kScanFileMode = 0644;
constexpr unsigned kDirectoryMode = 0755;
// A move only races with another one for a freshly reserved name when a
// file appears there from outside the naming; a few rounds settle that.
constexpr int kMoveAttempts = 8;

// Where the next search for a free number starts. Spreading the starts
// keeps concurrent writers from probing the same taken numbers one by one.
std::atomic<uint32_t> g_next_unique_number{
    static_cast<uint32_t>(std::chrono::steady_clock::now().time_since_epoch().count())};

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool Exists(const std::string& path) {
  struct stat status;
  return lstat(path.c_str(), &status) == 0;
}

// 0 or the errno. Never replaces an existing `to`.
int RenameWithoutReplacing(const std::string& from, const std::string& to) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  int error = errno;
  if (error != EINVAL && error != ENOSYS) return error;
  // File systems without the flag: a hard link fails on an existing name
  // just as atomically.
  if (link(from.c_str(), to.c_str()) != 0) return errno;
  unlink(from.c_str());
  return 0;
}

bool HasExtension(std::string_view name, std::string_view extension) {
  if (extension.empty()) return true;
  if (name.size() < extension.size() + 2) return false;  // at least one character before "."
  const size_t dot = name.size() - extension.size() - 1;
  if (name[dot] != '.') return false;
  return EqualsIgnoringCase(name.substr(dot + 1), extension);
}

}  // namespace

service::StorageDirectories StorageDirectoriesFor(const std::string& program_directory) {
  service::StorageDirectories directories;
  directories.root = platform::JoinPath(program_directory, "cvscan");
  directories.error_scan = directories.root + "/ErrorScan";
  directories.error_big_scan = directories.root + "/ErrorBigScan";
  directories.error_trans = directories.root + "/ErrorTrans";
  directories.storage = directories.root + "/Storage";
  return directories;
}

bool EnsureDirectory(const std::string& path) {
  if (mkdir(path.c_str(), kDirectoryMode) == 0) return true;
  int error = errno;
  struct stat status;
  if (error == EEXIST && stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) return true;
  XTRACE("Cannot create directory %s: error %d", path.c_str(), error);
  return false;
}

bool SetUpStorageDirectories(service::ServerContext& context) {
  context.storage = StorageDirectoriesFor(context.program_directory);
  const service::StorageDirectories& dirs = context.storage;
  bool ok = EnsureDirectory(dirs.root);
  ok = EnsureDirectory(dirs.error_scan) && ok;
  ok = EnsureDirectory(dirs.error_big_scan) && ok;
  if (context.settings().store_scans != 0) ok = EnsureDirectory(dirs.storage) && ok;
  ok = EnsureDirectory(dirs.error_trans) && ok;
  return ok;
}

std::string ReplaceExtension(const std::string& path, std::string_view extension) {
  size_t name_start = path.rfind('/');
  name_start = name_start == std::string::npos ? 0 : name_start + 1;
  size_t dot = path.rfind('.');
  std::string result =
      dot != std::string::npos && dot >= name_start ? path.substr(0, dot + 1) : path + ".";
  result.append(extension);
  return result;
}

std::string UniqueTempFileName(std::string_view prefix, uint16_t number) {
  char digits[8];
  std::snprintf(digits, sizeof digits, "%04X", static_cast<unsigned>(number));
  std::string name(prefix.substr(0, kPrefixCharacters));
  name += digits;
  name += ".tmp";
  return name;
}

ScanFileWriter::ScanFileWriter(int descriptor, std::string path)
    : descriptor_(descriptor), path_(std::move(path)) {}

ScanFileWriter::ScanFileWriter(ScanFileWriter&& other) noexcept
    : descriptor_(std::exchange(other.descriptor_, -1)), path_(std::move(other.path_)) {}

ScanFileWriter& ScanFileWriter::operator=(ScanFileWriter&& other) noexcept {
  if (this != &other) {
    if (descriptor_ >= 0) close(descriptor_);
    descriptor_ = std::exchange(other.descriptor_, -1);
    path_ = std::move(other.path_);
  }
  return *this;
}

ScanFileWriter::~ScanFileWriter() {
  if (descriptor_ >= 0) close(descriptor_);
}

void ScanFileWriter::Write(std::string_view data) {
  while (!data.empty()) {
    ssize_t written = write(descriptor_, data.data(), data.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      throw platform::OsError("write " + path_, errno);
    }
    data.remove_prefix(static_cast<size_t>(written));
  }
}

void ScanFileWriter::SyncAndClose() {
  if (fsync(descriptor_) != 0) throw platform::OsError("fsync " + path_, errno);
  Close();
}

void ScanFileWriter::Close() {
  int descriptor = std::exchange(descriptor_, -1);
  // Linux releases the descriptor even when close reports an error, so it is
  // never retried.
  if (descriptor >= 0 && close(descriptor) != 0) throw platform::OsError("close " + path_, errno);
}

ScanFileWriter CreateUniqueFile(const std::string& directory, std::string_view prefix,
                                std::string_view final_extension) {
  uint32_t start = g_next_unique_number.fetch_add(1, std::memory_order_relaxed);
  for (uint32_t i = 0; i < kUniqueNumbers; ++i) {
    auto number = static_cast<uint16_t>(start + i);
    std::string path = platform::JoinPath(directory, UniqueTempFileName(prefix, number));
    int descriptor = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kScanFileMode);
    if (descriptor < 0) {
      if (errno == EEXIST) continue;
      throw platform::OsError("create " + path, errno);
    }
    ScanFileWriter file(descriptor, path);
    // Checked only once the number is ours: a writer that held it before
    // may have renamed its file to that final name a moment ago.
    if (!final_extension.empty() && Exists(ReplaceExtension(path, final_extension))) {
      file.Close();
      unlink(path.c_str());
      continue;
    }
    return file;
  }
  throw platform::OsError("no unique file name left in " + directory, EEXIST);
}

std::string MoveToUniqueName(const std::string& path, const std::string& directory,
                             std::string_view prefix, std::string_view extension) {
  for (int attempt = 0; attempt < kMoveAttempts; ++attempt) {
    ScanFileWriter placeholder = CreateUniqueFile(directory, prefix, extension);
    placeholder.Close();
    std::string target = ReplaceExtension(placeholder.path(), extension);
    // The placeholder stays until the move is done, so no other writer
    // takes its number meanwhile.
    int error = RenameWithoutReplacing(path, target);
    unlink(placeholder.path().c_str());
    if (error == 0) return target;
    if (error != EEXIST) throw platform::OsError("move " + path + " to " + target, error);
  }
  throw platform::OsError("no free name for " + path + " in " + directory, EEXIST);
}

std::string RenameToFinalName(const std::string& path, std::string_view prefix,
                              std::string_view extension) {
  std::string final_path = ReplaceExtension(path, extension);
  int error = RenameWithoutReplacing(path, final_path);
  if (error == 0) return final_path;
  if (error != EEXIST) throw platform::OsError("rename " + path + " to " + final_path, error);
  return MoveToUniqueName(path, DirectoryOf(path), prefix, extension);
}

std::vector<ScanFileEntry> ListDirectory(const std::string& directory, std::string_view extension) {
  DIR* dir = opendir(directory.c_str());
  if (dir == nullptr) throw platform::OsError("list directory " + directory, errno);
  std::vector<ScanFileEntry> entries;
  for (;;) {
    errno = 0;
    dirent* record = readdir(dir);
    if (record == nullptr) break;
    std::string_view name = record->d_name;
    if (!HasExtension(name, extension)) continue;
    struct stat status;
    // Gone since the listing, or not a plain file (a directory or a link
    // with a scan file's name): not a scan.
    if (fstatat(dirfd(dir), record->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (!S_ISREG(status.st_mode)) continue;
    ScanFileEntry entry;
    entry.name = std::string(name);
    entry.size = static_cast<uint64_t>(status.st_size);
    entry.last_write_ns =
        static_cast<int64_t>(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec;
    entries.push_back(std::move(entry));
  }
  const int error = errno;
  closedir(dir);
  if (error != 0) throw platform::OsError("list directory " + directory, error);
  return entries;
}

}  // namespace corvane::intake

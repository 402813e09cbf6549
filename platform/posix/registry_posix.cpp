#include "platform/registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <utility>

#include "platform/error.h"
#include "platform/paths.h"

namespace corvane::platform::registry {

namespace {

// What a hive file is on disk. A new content always comes as a new file
// (rename), and the loaded tree keeps its file open, so that inode number
// cannot be handed to a newer file while the tree is cached: comparing the
// identity is enough to notice every change made through this module. Size
// and modification time catch an editor that rewrote the file in place.
struct FileId {
  bool exists = false;
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  timespec mtime{};

  static FileId Of(const struct stat& info) {
    return {true, info.st_dev, info.st_ino, info.st_size, info.st_mtim};
  }
  bool operator==(const FileId& other) const {
    return exists == other.exists && device == other.device && inode == other.inode &&
           size == other.size && mtime.tv_sec == other.mtime.tv_sec &&
           mtime.tv_nsec == other.mtime.tv_nsec;
  }
};

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

// A tree as read from (or written to) the hive file, with the file it came
// from held open (see FileId). A file that did not parse keeps the error
// instead, so that it is not parsed again until it changes.
struct Loaded {
  FileId id;
  Fd file;
  RegTree tree;
  std::string error;  // the file and the parser's complaint; empty when parsed
};

[[noreturn]] void Fail(const std::string& what, const std::string& path, int error_number) {
  throw RegistryError(what + " " + path + ": " + ErrnoText(error_number));
}

class Hive {
 public:
  Hive(RegRoot root, const std::string& directory)
      : root_(root),
        directory_(directory),
        path_(JoinPath(directory, std::string(RegRootName(root)) + ".reg")),
        lock_path_(JoinPath(directory, std::string(RegRootName(root)) + ".lock")) {}

  // The tree as the file holds it now: one stat() when nothing changed.
  std::shared_ptr<const Loaded> Current() {
    FileId now;
    struct stat info;
    if (stat(path_.c_str(), &info) == 0) {
      now = FileId::Of(info);
    } else if (errno != ENOENT && errno != ENOTDIR) {
      Fail("stat", path_, errno);
    }
    std::lock_guard lock(state_mutex_);
    if (!loaded_ || !(loaded_->id == now)) loaded_ = Load();
    return loaded_;
  }

  // A readable tree, or RegistryError when the file does not parse.
  std::shared_ptr<const Loaded> Read() {
    std::shared_ptr<const Loaded> loaded = Current();
    if (!loaded->error.empty()) throw RegistryError(loaded->error);
    return loaded;
  }

  void Update(const std::function<void(RegTree&)>& change) {
    std::lock_guard writer(write_mutex_);
    Fd lock = OpenLockFile();
    while (flock(lock.get(), LOCK_EX) != 0) {
      if (errno != EINTR) Fail("lock", lock_path_, errno);
    }
    std::shared_ptr<const Loaded> current = Current();
    if (!current->error.empty()) {
      throw RegistryError(current->error + " (not changed, the file is kept as it is)");
    }
    RegTree tree = current->tree;
    change(tree);
    if (tree == current->tree) return;

    auto written = std::make_shared<Loaded>();
    Write(FormatRegText(tree, root_), *written);
    written->tree = std::move(tree);
    std::lock_guard lock_state(state_mutex_);
    loaded_ = std::move(written);
    // The flock goes with `lock` when it closes.
  }

 private:
  std::shared_ptr<const Loaded> Load() const {
    auto loaded = std::make_shared<Loaded>();
    Fd file(open(path_.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.get() < 0) {
      if (errno == ENOENT || errno == ENOTDIR) return loaded;  // an empty hive
      Fail("open", path_, errno);
    }
    struct stat info;
    if (fstat(file.get(), &info) != 0) Fail("stat", path_, errno);
    loaded->id = FileId::Of(info);

    std::string text;
    text.resize(static_cast<size_t>(info.st_size));
    size_t filled = 0;
    while (true) {
      if (filled == text.size()) text.resize(text.size() + 4096);
      ssize_t count = read(file.get(), text.data() + filled, text.size() - filled);
      if (count < 0) {
        if (errno == EINTR) continue;
        Fail("read", path_, errno);
      }
      if (count == 0) break;
      filled += static_cast<size_t>(count);
    }
    text.resize(filled);
    loaded->file = std::move(file);

    try {
      ApplyRegText(text, root_, loaded->tree);
    } catch (const RegistryError& error) {
      loaded->tree = RegTree();
      loaded->error = path_ + ": " + error.what();
    }
    return loaded;
  }

  Fd OpenLockFile() const {
    for (int attempt = 0;; ++attempt) {
      int fd = open(lock_path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
      if (fd >= 0) return Fd(fd);
      if (errno == EINTR) continue;
      if (errno != ENOENT || attempt > 0) Fail("open", lock_path_, errno);
      try {
        CreateDirectories(directory_, 0700);  // the first write of this root
      } catch (const OsError& error) {
        throw RegistryError(std::string("cannot create the registry directory: ") + error.what());
      }
    }
  }

  // Writes `text` as the new hive file; `result` gets its identity and the
  // open file.
  void Write(const std::string& text, Loaded& result) const {
    std::string temp = path_ + ".tmp." + std::to_string(getpid());
    Fd file(open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (file.get() < 0) Fail("create", temp, errno);
    try {
      // A left-over file of a killed process with our pid keeps its mode.
      if (fchmod(file.get(), 0600) != 0) Fail("chmod", temp, errno);
      // The hive keeps its owner: root changing a setting of the server's
      // account must not leave a hive that the server can no longer read.
      struct stat existing;
      if (geteuid() == 0 && stat(path_.c_str(), &existing) == 0 &&
          (existing.st_uid != 0 || existing.st_gid != 0) &&
          fchown(file.get(), existing.st_uid, existing.st_gid) != 0) {
        Fail("chown", temp, errno);
      }
      size_t done = 0;
      while (done < text.size()) {
        ssize_t count = write(file.get(), text.data() + done, text.size() - done);
        if (count < 0) {
          if (errno == EINTR) continue;
          Fail("write", temp, errno);
        }
        done += static_cast<size_t>(count);
      }
      if (fsync(file.get()) != 0) Fail("fsync", temp, errno);
      struct stat info;
      if (fstat(file.get(), &info) != 0) Fail("stat", temp, errno);
      if (rename(temp.c_str(), path_.c_str()) != 0) Fail("rename " + temp + " to", path_, errno);
      result.id = FileId::Of(info);
    } catch (...) {
      unlink(temp.c_str());
      throw;
    }
    result.file = std::move(file);

    Fd directory(open(directory_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directory.get() < 0) Fail("open", directory_, errno);
    if (fsync(directory.get()) != 0) Fail("fsync", directory_, errno);
  }

  const RegRoot root_;
  const std::string directory_;
  const std::string path_;
  const std::string lock_path_;
  std::mutex write_mutex_;  // one writer of this process at a time; taken before state_mutex_
  std::mutex state_mutex_;  // guards loaded_
  std::shared_ptr<const Loaded> loaded_;
};

// One Hive per file (directory and root), kept for the life of the process:
// tests and tools may point CORVANE_ROOT elsewhere between calls.
Hive& HiveFor(RegRoot root) {
  static std::mutex mutex;
  static auto* hives = new std::map<std::pair<std::string, RegRoot>, std::unique_ptr<Hive>>();
  std::pair<std::string, RegRoot> id(RegistryDirectory(), root);
  std::lock_guard lock(mutex);
  std::unique_ptr<Hive>& hive = (*hives)[id];
  if (!hive) hive = std::make_unique<Hive>(root, id.first);
  return *hive;
}

}  // namespace

std::optional<RegValue> GetValue(RegRoot root, std::string_view key, std::string_view name) {
  auto loaded = HiveFor(root).Read();
  const RegKey* found = loaded->tree.Find(key);
  if (found == nullptr) return std::nullopt;
  const RegValue* value = found->Find(name);
  if (value == nullptr) return std::nullopt;
  return *value;
}

bool KeyExists(RegRoot root, std::string_view key) {
  return HiveFor(root).Read()->tree.Find(key) != nullptr;
}

std::vector<std::string> SubkeyNames(RegRoot root, std::string_view key) {
  return HiveFor(root).Read()->tree.Subkeys(key);
}

std::vector<std::pair<std::string, RegValue>> Values(RegRoot root, std::string_view key) {
  auto loaded = HiveFor(root).Read();
  const RegKey* found = loaded->tree.Find(key);
  if (found == nullptr) return {};
  return found->values;
}

void CreateKey(RegRoot root, std::string_view key) {
  Update(root, [&](RegTree& tree) { tree.Create(key); });
}

void SetValue(RegRoot root, std::string_view key, std::string_view name, const RegValue& value) {
  Update(root, [&](RegTree& tree) { tree.Create(key).Set(name, value); });
}

bool DeleteValue(RegRoot root, std::string_view key, std::string_view name) {
  bool removed = false;
  Update(root, [&](RegTree& tree) {
    RegKey* found = tree.Find(key);
    removed = found != nullptr && found->Remove(name);
  });
  return removed;
}

bool DeleteKey(RegRoot root, std::string_view key) {
  // The tree would take this as "clear the root"; the registry refuses, as
  // Windows does, rather than lose the whole hive to an empty path.
  if (FoldKeyPath(key).empty()) throw std::invalid_argument("the root key cannot be deleted");
  bool removed = false;
  Update(root, [&](RegTree& tree) { removed = tree.Remove(key); });
  return removed;
}

void Update(RegRoot root, const std::function<void(RegTree&)>& change) {
  HiveFor(root).Update(change);
}

RegTree Snapshot(RegRoot root) { return HiveFor(root).Read()->tree; }

}  // namespace corvane::platform::registry

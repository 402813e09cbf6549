#include "platform/paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "platform/error.h"

namespace corvane::platform {

std::string RuntimeRoot() {
  const char* root = std::getenv("CORVANE_ROOT");
  if (root != nullptr && *root != '\0') return root;
  return "/var/lib/corvane";
}

std::string RegistryDirectory() { return JoinPath(RuntimeRoot(), "registry"); }

std::string SystemDirectory() { return JoinPath(RuntimeRoot(), "system"); }

std::string ProgramPath() {
  char buffer[PATH_MAX];
  ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (length <= 0) return {};
  return std::string(buffer, static_cast<size_t>(length));
}

std::string ProgramDirectory() {
  std::string path = ProgramPath();
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string DataDirectory() {
  const char* directory = std::getenv("CORVANE_DATA_DIR");
  if (directory != nullptr && *directory != '\0') return directory;
  return ProgramDirectory();
}

std::string ComputerName() {
  char buffer[HOST_NAME_MAX + 1] = {};
  if (gethostname(buffer, sizeof buffer - 1) != 0) return {};
  return buffer;
}

void CreateDirectories(const std::string& path, unsigned mode) {
  if (path.empty()) return;
  std::string partial;
  size_t position = 0;
  while (position != std::string::npos) {
    position = path.find('/', position + 1);
    partial = path.substr(0, position);
    if (partial.empty()) continue;
    if (mkdir(partial.c_str(), mode) != 0 && errno != EEXIST) {
      throw OsError("create directory " + partial, errno);
    }
  }
  struct stat info;
  if (stat(path.c_str(), &info) != 0) throw OsError("create directory " + path, errno);
  if (!S_ISDIR(info.st_mode)) throw OsError("create directory " + path, ENOTDIR);
}

std::string JoinPath(const std::string& dir, const std::string& name) {
  if (dir.empty()) return name;
  if (dir.back() == '/') return dir + name;
  return dir + "/" + name;
}

}  // namespace corvane::platform

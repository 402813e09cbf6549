#include "testsupport/temp_root.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "platform/paths.h"

namespace corvane::testing {

TempRoot::TempRoot() {
  std::string pattern = (std::filesystem::temp_directory_path() / "corvane-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
  if (const char* old = std::getenv("CORVANE_ROOT")) {
    had_previous_root_ = true;
    previous_root_ = old;
  }
  setenv("CORVANE_ROOT", path_.c_str(), 1);
  // Nothing a test starts reads the machine's Samba configuration.
  if (const char* old = std::getenv("CORVANE_SMB_CONF")) previous_smb_conf_ = old;
  setenv("CORVANE_SMB_CONF", (path_ + "/smb.conf").c_str(), 1);
}

TempRoot::~TempRoot() {
  if (had_previous_root_) {
    setenv("CORVANE_ROOT", previous_root_.c_str(), 1);
  } else {
    unsetenv("CORVANE_ROOT");
  }
  if (previous_smb_conf_) {
    setenv("CORVANE_SMB_CONF", previous_smb_conf_->c_str(), 1);
  } else {
    unsetenv("CORVANE_SMB_CONF");
  }
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string ReadFileOrEmpty(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteFile(const std::string& path, const std::string& contents) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << contents;
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::vector<std::string> FilesIn(const std::string& directory, const std::string& suffix) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(directory, error)) {
    std::string name = entry.path().filename().string();
    if (entry.is_regular_file() && name.ends_with(suffix)) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string BuildBinDirectory() { return platform::ProgramDirectory(); }

}  // namespace corvane::testing

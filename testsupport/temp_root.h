// Test helper: a fresh runtime root per test.
//
// Creates a private temporary directory, points CORVANE_ROOT at it for the
// life of the object and removes it afterwards, so tests never share registry
// hives or event files. CORVANE_SMB_CONF points at "smb.conf" in it (absent
// until a test writes it), so no test reads the machine's Samba shares.

#ifndef CORVANE_TESTSUPPORT_TEMP_ROOT_H_
#define CORVANE_TESTSUPPORT_TEMP_ROOT_H_

#include <optional>
#include <string>
#include <vector>

namespace corvane::testing {

class TempRoot {
 public:
  TempRoot();
  ~TempRoot();
  TempRoot(const TempRoot&) = delete;
  TempRoot& operator=(const TempRoot&) = delete;

  const std::string& path() const { return path_; }

 private:
  std::string path_;
  std::string previous_root_;
  bool had_previous_root_ = false;
  std::optional<std::string> previous_smb_conf_;
};

// Reads a whole file; empty when it cannot be read.
std::string ReadFileOrEmpty(const std::string& path);

// Writes a whole file (truncating); throws std::runtime_error on failure.
void WriteFile(const std::string& path, const std::string& contents);

// The names of the regular files in `directory` that end in `suffix`, sorted.
std::vector<std::string> FilesIn(const std::string& directory, const std::string& suffix = "");

// Directory of the running test program (where the built programs lie).
std::string BuildBinDirectory();

}  // namespace corvane::testing

#endif  // CORVANE_TESTSUPPORT_TEMP_ROOT_H_

// The storage directory beside the program and the naming of the files that
// land in it.
//
// Every receiver writes a new file under a unique temporary name
// ("<up to 3 prefix characters><4 hex digits>.tmp", created exclusively) and
// renames it to its final extension only when it is complete, so the
// processing thread never sees half a scan. Renames never replace an existing
// file: a taken final name yields a fresh unique name instead.
//
// Errors throw platform::OsError carrying the errno (EEXIST when every
// unique number of a prefix is taken). All functions are thread-safe; a
// ScanFileWriter belongs to one thread at a time.

#ifndef CORVANE_INTAKE_STORAGE_H_
#define CORVANE_INTAKE_STORAGE_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "service/server_context.h"

namespace corvane::intake {

inline constexpr char kScanExtension[] = "scn";
inline constexpr char kMiniScanExtension[] = "ims";
inline constexpr char kMiniScanPrefix[] = "IMS";

// The storage paths under `program_directory`. Pure.
service::StorageDirectories StorageDirectoriesFor(const std::string& program_directory);

// Fills context.storage from context.program_directory and creates every
// directory that is missing ("Storage" only with "Store Scans"); parents are
// not created. False when a directory could not be created (traced).
bool SetUpStorageDirectories(service::ServerContext& context);

// `path` with the text after the file name's last "." replaced by
// `extension`, or with "." and `extension` appended when the name has no
// ".". Pure.
std::string ReplaceExtension(const std::string& path, std::string_view extension);

// "<first 3 characters of prefix><number as 4 upper-case hex digits>.tmp". Pure.
std::string UniqueTempFileName(std::string_view prefix, uint16_t number);

// An open, newly created file that is written once and then closed.
class ScanFileWriter {
 public:
  ScanFileWriter(int descriptor, std::string path);
  ScanFileWriter(ScanFileWriter&& other) noexcept;
  ScanFileWriter& operator=(ScanFileWriter&& other) noexcept;
  ScanFileWriter(const ScanFileWriter&) = delete;
  ScanFileWriter& operator=(const ScanFileWriter&) = delete;
  // Closes without reporting errors; the file stays.
  ~ScanFileWriter();

  const std::string& path() const { return path_; }
  // Throw OsError.
  void Write(std::string_view data);
  // Flushes the data to the device and closes, so a rename that follows
  // publishes a complete file.
  void SyncAndClose();
  void Close();

 private:
  int descriptor_ = -1;
  std::string path_;
};

// Creates "<directory>/<unique name>.tmp" exclusively (mode 0644), trying
// the next number on a clash and giving up after all 65536. When
// `final_extension` is not empty, a number whose final name already exists
// is passed over too, so the later rename does not meet an older file.
ScanFileWriter CreateUniqueFile(const std::string& directory, std::string_view prefix,
                                std::string_view final_extension);

// Renames `path` to ReplaceExtension(path, extension). When that name is
// taken, moves the file to a fresh unique name in the same directory
// instead. Returns the final path.
std::string RenameToFinalName(const std::string& path, std::string_view prefix,
                              std::string_view extension);

// Moves `path` into `directory` under a fresh unique name with `prefix` and
// `extension`; the placeholder that the unique naming creates is removed.
// Returns the new path.
std::string MoveToUniqueName(const std::string& path, const std::string& directory,
                             std::string_view prefix, std::string_view extension);

// Creates `path` (not its parents) unless it exists. False on failure.
bool EnsureDirectory(const std::string& path);

// One file as the directory listing found it.
struct ScanFileEntry {
  std::string name;  // within the directory
  uint64_t size = 0;
  int64_t last_write_ns = 0;  // nanoseconds since 1970
};

// The regular files of `directory` whose names end in "." + `extension`
// (ASCII case ignored), or all of them when `extension` is empty, in the
// order the directory returns them. Links and subdirectories are left out.
// Throws OsError when the directory cannot be read.
std::vector<ScanFileEntry> ListDirectory(const std::string& directory, std::string_view extension);

}  // namespace corvane::intake

#endif  // CORVANE_INTAKE_STORAGE_H_

// Reading, deleting and setting aside scan files.

#include "scan/scan_file.h"

#include <filesystem>
#include <fstream>
#include <thread>

namespace corvane::scan {
namespace {

namespace fs = std::filesystem;

// The whole file, or nullopt when fewer bytes could be read than its size.
std::optional<std::string> ReadAll(std::ifstream& in, const std::string& path) {
  std::error_code error;
  uintmax_t size = fs::file_size(path, error);
  if (error) return std::nullopt;
  std::string bytes;
  try {
    bytes.resize(static_cast<size_t>(size));
  } catch (const std::exception&) {
    return std::nullopt;
  }
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (static_cast<uintmax_t>(in.gcount()) != size) return std::nullopt;
  return bytes;
}

void MoveToErrorScan(const std::string& path) {
  std::error_code error;
  std::string target = ErrorScanPath(path);
  fs::create_directories(fs::path(target).parent_path(), error);
  fs::rename(path, target, error);
}

}  // namespace

std::string ErrorScanPath(const std::string& path) {
  size_t slash = path.rfind('/');
  std::string directory = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  return directory + kErrorScanDirectory + "/" + name;
}

std::optional<ScanText> ReadScanFile(const std::string& path, bool keep_file,
                                     const ScanFileRetry& retry) {
  std::ifstream in;
  for (int attempt = 0; attempt < retry.attempts; ++attempt) {
    if (attempt > 0) std::this_thread::sleep_for(retry.delay);
    in.open(path, std::ios::binary);
    if (in.is_open()) break;
    in.clear();
  }
  if (!in.is_open()) return std::nullopt;

  std::optional<std::string> bytes = ReadAll(in, path);
  in.close();
  if (keep_file) {
    if (!bytes) return std::nullopt;
    return ScanText(std::move(*bytes));
  }
  if (!bytes) {
    MoveToErrorScan(path);
    return std::nullopt;
  }
  std::error_code error;
  fs::remove(path, error);
  return ScanText(std::move(*bytes));
}

}  // namespace corvane::scan

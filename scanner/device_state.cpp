#include "scanner/device_state.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace corvane::scanner {
namespace {

constexpr char kDeviceIdFile[] = "device-id";

std::string Reason(int error) { return std::strerror(error); }

bool LooksLikeDeviceId(const std::string& text) {
  if (text.size() != 38 || text.front() != '{' || text.back() != '}') return false;
  for (size_t i = 1; i + 1 < text.size(); ++i) {
    const bool dash = i == 9 || i == 14 || i == 19 || i == 24;
    if (dash ? text[i] != '-' : !std::isxdigit(static_cast<unsigned char>(text[i]))) return false;
  }
  return true;
}

}  // namespace

std::string NewDeviceId() {
  unsigned char bytes[16] = {};
  size_t filled = 0;
  while (filled < sizeof bytes) {
    const ssize_t got = getrandom(bytes + filled, sizeof bytes - filled, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return {};
    filled += static_cast<size_t>(got);
  }
  // A version 4 (random) UUID.
  bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);
  char text[40];
  std::snprintf(text, sizeof text,
                "{%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X}", bytes[0],
                bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8],
                bytes[9], bytes[10], bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
  return text;
}

bool WriteFileAtomically(const std::string& path, std::string_view text, std::string* error) {
  const std::string temporary = path + ".tmp" + std::to_string(getpid());
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    *error = "cannot create " + temporary + ": " + Reason(errno);
    return false;
  }
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t written = ::write(fd, text.data() + done, text.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) break;
    done += static_cast<size_t>(written);
  }
  const int write_error = done == text.size() ? 0 : errno;
  const bool synced = write_error == 0 && ::fsync(fd) == 0;
  const int sync_error = synced ? 0 : errno;
  const bool closed = ::close(fd) == 0;
  if (write_error != 0 || !synced || !closed || std::rename(temporary.c_str(), path.c_str()) != 0) {
    const int failure = write_error != 0 ? write_error : (sync_error != 0 ? sync_error : errno);
    *error = "cannot write " + path + ": " + Reason(failure);
    ::unlink(temporary.c_str());
    return false;
  }
  return true;
}

std::string LoadOrCreateDeviceId(const std::string& directory, std::string* error) {
  const std::string path = directory + "/" + kDeviceIdFile;
  {
    std::ifstream stored(path);
    std::string line;
    if (stored && std::getline(stored, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (LooksLikeDeviceId(line)) return line;
    }
  }
  std::error_code failure;
  std::filesystem::create_directories(directory, failure);
  if (failure) {
    *error = "cannot create the state directory " + directory + ": " + failure.message();
    return {};
  }
  const std::string id = NewDeviceId();
  if (id.empty()) {
    *error = "the kernel's random source gave no device ID: " + Reason(errno);
    return {};
  }
  if (!WriteFileAtomically(path, id + "\n", error)) return {};
  return id;
}

}  // namespace corvane::scanner

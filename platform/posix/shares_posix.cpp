#include "platform/shares.h"

#include <cstdlib>

#include "platform/files.h"

namespace corvane::platform {

std::string SambaConfigurationPath() {
  const char* configured = std::getenv("CORVANE_SMB_CONF");
  if (configured != nullptr && *configured != '\0') return configured;
  return "/etc/samba/smb.conf";
}

std::optional<std::string> LocalSharePath(std::string_view share) {
  std::optional<std::string> configuration = ReadWholeFile(SambaConfigurationPath());
  if (!configuration) return std::nullopt;
  return SharePathInSambaConfiguration(*configuration, share);
}

}  // namespace corvane::platform

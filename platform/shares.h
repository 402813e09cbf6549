// The local directory of a network share ("cvlogon": where the server finds
// its own inventory scanner).
//
// On Linux a share is a section of Samba's configuration: its "path ="
// (or its synonym "directory =") is the local directory. The configuration
// file is /etc/samba/smb.conf, or the file that CORVANE_SMB_CONF names.
// The parser is pure; the lookup reads the file on every call, so a share
// added while the server runs is found on the next try. Thread-safe.

#ifndef CORVANE_PLATFORM_SHARES_H_
#define CORVANE_PLATFORM_SHARES_H_

#include <optional>
#include <string>
#include <string_view>

namespace corvane::platform {

// The Samba configuration file the lookup reads.
std::string SambaConfigurationPath();

// The path of share `share` in the text of a Samba configuration: section
// and parameter names compare ignoring case and blanks, "#" and ";" begin
// comment lines, a line ending in "\" continues on the next, the last
// "path =" of the section wins. Nullopt when the section is missing or has
// no non-empty path.
std::optional<std::string> SharePathInSambaConfiguration(std::string_view configuration,
                                                         std::string_view share);

// The local directory of `share` on this machine; nullopt when the
// configuration cannot be read or names no such share.
std::optional<std::string> LocalSharePath(std::string_view share);

}  // namespace corvane::platform

#endif  // CORVANE_PLATFORM_SHARES_H_

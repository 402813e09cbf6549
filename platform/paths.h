// Where the programs keep their state on this machine.
//
// The runtime root ($CORVANE_ROOT, default /var/lib/corvane) holds the
// registry hives and the "system directory"; what the server keeps beside
// its program (the storage directory, the trace log, its text log and
// statistics) lives in the data directory, the program's own directory
// unless $CORVANE_DATA_DIR names another (an installed server's unit points
// it at the runtime root, so that nothing is written under /usr). All functions read the environment on every call, so a test can
// point a process at a fresh root before it touches any state. Thread-safe as
// long as nobody changes the environment concurrently.

#ifndef CORVANE_PLATFORM_PATHS_H_
#define CORVANE_PLATFORM_PATHS_H_

#include <string>

namespace corvane::platform {

// $CORVANE_ROOT when set and not empty, else "/var/lib/corvane".
std::string RuntimeRoot();

// RuntimeRoot() + "/registry": one hive file per registry root.
std::string RegistryDirectory();

// RuntimeRoot() + "/system": the counterpart of the Windows system directory.
std::string SystemDirectory();

// Full path of the running program (empty when it cannot be determined).
std::string ProgramPath();

// Directory of the running program, without a trailing separator.
std::string ProgramDirectory();

// $CORVANE_DATA_DIR when set and not empty, else ProgramDirectory().
std::string DataDirectory();

// This machine's host name (the "computer name"), empty on failure.
std::string ComputerName();

// Creates `path` and any missing parents with `mode`; throws OsError.
void CreateDirectories(const std::string& path, unsigned mode = 0755);

// Joins two path pieces with exactly one separator.
std::string JoinPath(const std::string& dir, const std::string& name);

}  // namespace corvane::platform

#endif  // CORVANE_PLATFORM_PATHS_H_

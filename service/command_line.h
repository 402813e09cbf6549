// The program's command words.
//
// The first argument decides: none, or one not starting with "-" or "/",
// runs the service; "install", "remove" and "debug" after "-" or "/" (any
// case) install, remove or run in the foreground; any other word does
// nothing. After install, a later argument "core" (with or without its own
// "-" or "/") adds the dependency on the alert originator service.
// "--help" (or "-h", "/?") and "--version" print the usage and the version.
// Pure.

#ifndef CORVANE_SERVICE_COMMAND_LINE_H_
#define CORVANE_SERVICE_COMMAND_LINE_H_

#include <string>
#include <vector>

namespace corvane::service {

enum class CommandKind { kRunService, kInstall, kRemove, kDebug, kUnknownWord, kHelp, kVersion };

struct Command {
  CommandKind kind = CommandKind::kRunService;
  bool core = false;  // install only
};

// `arguments` excludes the program name.
Command ParseCommandLine(const std::vector<std::string>& arguments);

// The arguments joined by single blanks, cut to fit a buffer of
// `buffer_size` characters with its terminator.
std::string JoinArguments(const std::vector<std::string>& arguments, size_t buffer_size = 256);

}  // namespace corvane::service

#endif  // CORVANE_SERVICE_COMMAND_LINE_H_

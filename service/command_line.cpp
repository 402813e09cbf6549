#include "service/command_line.h"

#include <strings.h>

namespace corvane::service {
namespace {

bool IsSwitch(const std::string& argument) {
  return !argument.empty() && (argument[0] == '-' || argument[0] == '/');
}

bool SameWord(const std::string& a, const char* b) { return strcasecmp(a.c_str(), b) == 0; }

}  // namespace

Command ParseCommandLine(const std::vector<std::string>& arguments) {
  Command command;
  if (arguments.empty() || !IsSwitch(arguments[0])) return command;
  std::string word = arguments[0].substr(1);
  if (SameWord(word, "install")) {
    command.kind = CommandKind::kInstall;
    for (size_t i = 1; i < arguments.size(); ++i) {
      std::string later = IsSwitch(arguments[i]) ? arguments[i].substr(1) : arguments[i];
      if (SameWord(later, "core")) command.core = true;
    }
  } else if (SameWord(word, "remove")) {
    command.kind = CommandKind::kRemove;
  } else if (SameWord(word, "debug")) {
    command.kind = CommandKind::kDebug;
  } else {
    command.kind = CommandKind::kUnknownWord;
  }
  return command;
}

std::string JoinArguments(const std::vector<std::string>& arguments, size_t buffer_size) {
  std::string joined;
  for (const std::string& argument : arguments) {
    if (!joined.empty()) joined += ' ';
    joined += argument;
  }
  if (buffer_size > 0 && joined.size() > buffer_size - 1) joined.resize(buffer_size - 1);
  return joined;
}

}  // namespace corvane::service

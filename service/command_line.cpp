#include "service/command_line.h"

#include "Common/Include/ascii_case.h"

namespace corvane::service {
namespace {

bool IsSwitch(const std::string& argument) {
  return !argument.empty() && (argument[0] == '-' || argument[0] == '/');
}

}  // namespace

Command ParseCommandLine(const std::vector<std::string>& arguments) {
  Command command;
  if (arguments.empty() || !IsSwitch(arguments[0])) return command;
  if (arguments[0] == "--help" || arguments[0] == "-h" || arguments[0] == "/?") {
    command.kind = CommandKind::kHelp;
    return command;
  }
  if (arguments[0] == "--version") {
    command.kind = CommandKind::kVersion;
    return command;
  }
  std::string word = arguments[0].substr(1);
  if (EqualsIgnoringCase(word, "install")) {
    command.kind = CommandKind::kInstall;
    for (size_t i = 1; i < arguments.size(); ++i) {
      std::string later = IsSwitch(arguments[i]) ? arguments[i].substr(1) : arguments[i];
      if (EqualsIgnoringCase(later, "core")) command.core = true;
    }
  } else if (EqualsIgnoringCase(word, "remove")) {
    command.kind = CommandKind::kRemove;
  } else if (EqualsIgnoringCase(word, "debug")) {
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

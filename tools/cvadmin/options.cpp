#include "tools/cvadmin/options.h"

#include <algorithm>

#include "platform/registry.h"

namespace corvane::cvadmin {

using platform::RegRoot;
using platform::RegType;
using platform::RegValue;

std::string DefaultConnectionName() {
  std::optional<RegValue> stored =
      platform::registry::GetValue(RegRoot::kLocalMachine, db::kConnectionsKey, "Default");
  if (stored && stored->type == RegType::kSz && !stored->text.empty() &&
      stored->text.size() <= kMaxStoredValue) {
    return stored->text;
  }
  return "Local";
}

std::string DefaultConnectionKey() {
  return std::string(db::kConnectionsKey) + "\\" + DefaultConnectionName();
}

std::optional<std::map<std::string, std::string>> ParseOptions(
    const std::vector<std::string>& arguments, const std::vector<std::string>& allowed,
    std::string* error) {
  std::map<std::string, std::string> options;
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (!argument.starts_with("--")) {
      *error = "unexpected argument '" + argument + "'";
      return std::nullopt;
    }
    size_t equals = argument.find('=');
    std::string name = argument.substr(2, equals == std::string::npos ? equals : equals - 2);
    std::string value;
    if (equals != std::string::npos) {
      value = argument.substr(equals + 1);
    } else if (i + 1 < arguments.size()) {
      value = arguments[++i];
    } else {
      *error = "option --" + name + " needs a value";
      return std::nullopt;
    }
    if (std::find(allowed.begin(), allowed.end(), name) == allowed.end()) {
      *error = "unknown option --" + name;
      return std::nullopt;
    }
    if (!options.emplace(name, value).second) {
      *error = "option --" + name + " given twice";
      return std::nullopt;
    }
  }
  return options;
}

std::optional<db::ConnectionCredentials> RequireDefaultConnection(std::ostream& err,
                                                                  std::string_view command) {
  std::optional<db::ConnectionCredentials> credentials = db::LoadCredentials();
  if (!credentials) {
    err << "cvadmin " << command << ": there is no readable default connection ("
        << DefaultConnectionKey() << "); cvadmin db create writes one\n";
  }
  return credentials;
}

bool AsksForHelp(const std::vector<std::string>& arguments) {
  return std::any_of(arguments.begin(), arguments.end(), [](const std::string& argument) {
    return argument == "--help" || argument == "-h";
  });
}

bool OpenDefaultDatabase(db::Connection& connection, db::DbmsKind* kind, std::ostream& err,
                         std::string_view command) {
  std::optional<db::ConnectionCredentials> credentials = RequireDefaultConnection(err, command);
  if (!credentials) return false;
  connection.Open(db::BuildConnectionString(*credentials), -1);
  const std::string dbms = connection.DbmsName();
  *kind = db::ClassifyDbmsName(dbms, !dbms.empty());
  return true;
}

}  // namespace corvane::cvadmin

#include "db/connection_settings.h"

#include <strings.h>

#include <array>
#include <string_view>

#include "db/credentials.h"
#include "platform/registry.h"
#include "platform/regtree.h"

namespace corvane::db {
namespace {

using platform::RegRoot;
using platform::RegType;
using platform::RegValue;

constexpr std::string_view kConnectionsKey = "SOFTWARE\\Corvane\\Vantora\\Core\\Connections";
// The store's readers have always used buffers of this size.
constexpr size_t kValueBuffer = 260;

// "Driver" is not part of the exported reader (other tools do not know it),
// so it is read here from the same connection key that reader resolves.
std::string ReadDriver() {
  std::string name = "Local";
  std::optional<RegValue> stored =
      platform::registry::GetValue(RegRoot::kLocalMachine, kConnectionsKey, "Default");
  if (stored && stored->type == RegType::kSz && !stored->text.empty() &&
      stored->text.size() < kValueBuffer) {
    name = stored->text;
  }
  std::optional<RegValue> driver = platform::registry::GetValue(
      RegRoot::kLocalMachine, std::string(kConnectionsKey) + "\\" + name, "Driver");
  if (!driver || driver->type != RegType::kSz || driver->text.size() >= kValueBuffer) return {};
  return driver->text;
}

// ODBC's quoting: inside braces only "}" is special, and it is doubled.
// Drivers differ in what they accept in braces (SQLite's takes them as part
// of the file name, PostgreSQL's strips them only from the password), so a
// value is braced only where it must be: the driver name, the password, and
// any value holding a character that would end it or start another
// attribute. A braced value a driver does not unwrap fails to connect; it
// can never add an attribute.
bool NeedsBraces(std::string_view value) {
  return value.find_first_of(";{}=") != std::string_view::npos ||
         (!value.empty() && (value.front() == ' ' || value.back() == ' '));
}

void AppendAttribute(std::string& out, std::string_view name, std::string_view value) {
  if (!out.empty()) out += ';';
  out += name;
  if (name != "DRIVER" && name != "PWD" && !NeedsBraces(value)) {
    out += '=';
    out += value;
    return;
  }
  out += "={";
  for (char c : value) {
    out += c;
    if (c == '}') out += '}';
  }
  out += '}';
}

}  // namespace

std::optional<ConnectionCredentials> LoadCredentials() {
  std::array<char, kValueBuffer> user{}, server{}, database{}, password{};
  int is_oracle = 0;
  int rollup = 0;
  if (!GetDbCredentials(&is_oracle, &rollup, database.size(), database.data(), server.size(),
                        server.data(), user.size(), user.data(), password.size(),
                        password.data())) {
    return std::nullopt;
  }
  ConnectionCredentials credentials;
  credentials.user = user.data();
  credentials.server = server.data();
  credentials.database = database.data();
  credentials.password = password.data();
  credentials.is_oracle = is_oracle != 0;
  credentials.rollup = rollup != 0;
  try {
    credentials.driver = ReadDriver();
  } catch (const platform::RegistryError&) {
    // The same hive was readable a moment ago; fall back to the default driver.
  }
  // The password buffer is cleared so it does not linger on the stack.
  password.fill(0);
  return credentials;
}

std::string BuildConnectionString(const ConnectionCredentials& credentials) {
  std::string driver = credentials.driver;
  if (driver.empty()) driver = credentials.is_oracle ? kOracleDriver : kSqlServerDriver;
  std::string out;
  AppendAttribute(out, "DRIVER", driver);
  if (strcasecmp(driver.c_str(), kSqliteDriver) == 0) {
    AppendAttribute(out, "DATABASE", credentials.database);
    return out;
  }
  if (credentials.is_oracle) {
    AppendAttribute(out, "DBQ", credentials.server);
  } else {
    AppendAttribute(out, "SERVER", credentials.server);
    AppendAttribute(out, "DATABASE", credentials.database);
  }
  AppendAttribute(out, "UID", credentials.user);
  AppendAttribute(out, "PWD", credentials.password);
  return out;
}

}  // namespace corvane::db

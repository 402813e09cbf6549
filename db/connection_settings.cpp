#include "db/connection_settings.h"

#include <array>
#include <string_view>
#include <utility>

#include "Common/Include/ascii_case.h"
#include "db/credentials.h"
#include "platform/registry.h"
#include "platform/regtree.h"

namespace corvane::db {
namespace {

using platform::RegRoot;
using platform::RegType;
using platform::RegValue;

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

bool IsPostgresDriver(std::string_view driver) {
  return ContainsIgnoringCase(driver, "postgresql");
}

std::pair<std::string_view, std::string_view> SplitServerPort(std::string_view server) {
  size_t colon = server.rfind(':');
  if (colon == std::string_view::npos || colon + 1 == server.size()) return {server, {}};
  std::string_view port = server.substr(colon + 1);
  if (port.find_first_not_of("0123456789") != std::string_view::npos) return {server, {}};
  std::string_view host = server.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    return {host.substr(1, host.size() - 2), port};
  }
  if (host.empty() || host.find(':') != std::string_view::npos) return {server, {}};
  return {host, port};
}

std::string BuildConnectionString(const ConnectionCredentials& credentials) {
  std::string driver = credentials.driver;
  if (driver.empty()) driver = credentials.is_oracle ? kOracleDriver : kSqlServerDriver;
  std::string out;
  AppendAttribute(out, "DRIVER", driver);
  if (EqualsIgnoringCase(driver, kSqliteDriver)) {
    AppendAttribute(out, "DATABASE", credentials.database);
    return out + ";" + kSqliteAttributes;
  }
  if (credentials.is_oracle) {
    AppendAttribute(out, "DBQ", credentials.server);
  } else if (IsPostgresDriver(driver)) {
    auto [host, port] = SplitServerPort(credentials.server);
    AppendAttribute(out, "SERVER", host);
    if (!port.empty()) AppendAttribute(out, "PORT", port);
    AppendAttribute(out, "DATABASE", credentials.database);
  } else {
    AppendAttribute(out, "SERVER", credentials.server);
    AppendAttribute(out, "DATABASE", credentials.database);
  }
  AppendAttribute(out, "UID", credentials.user);
  AppendAttribute(out, "PWD", credentials.password);
  if (IsPostgresDriver(driver)) out += std::string(";") + kPostgresAttributes;
  return out;
}

}  // namespace corvane::db

// cvadmin db: creates the inventory database and keeps the default
// connection of the credential store that the server reads.

#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "Common/Include/ascii_case.h"
#include "db/connection.h"
#include "db/connection_settings.h"
#include "db/credentials.h"
#include "db/dbms.h"
#include "db/error.h"
#include "db/schema.h"
#include "db/schema_create.h"
#include "db/schema_ddl.h"
#include "db/schema_upgrade.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "tools/cvadmin/commands.h"
#include "tools/cvadmin/options.h"

namespace corvane::cvadmin {
namespace {

using db::kConnectionsKey;
using platform::RegRoot;
using platform::RegType;
using platform::RegValue;

// Where scripts give the database password, so that it is in no command
// line.
constexpr char kPasswordVariable[] = "CORVANE_DB_PASSWORD";

// PostgreSQL cuts longer identifiers, and would then not find the database.
constexpr size_t kMaxPostgresName = 63;

constexpr char kDbUsage[] =
    "usage: cvadmin db create --driver D [--server S] [--database N] [--user U] [--password P]\n"
    "       cvadmin db connect --driver D [--server S] [--database N] [--user U] [--password P]\n"
    "         (without --password: $CORVANE_DB_PASSWORD, else a line of standard input;\n"
    "         --password shows the password to every user in ps)\n"
    "       cvadmin db upgrade\n"
    "       cvadmin db ddl --dbms sqlite|postgres|sqlserver|oracle\n"
    "       cvadmin db show\n"
    "       cvadmin db set-password [--no-check] [PASSWORD]   (standard input when not given;\n"
    "         the connection is tried first unless --no-check)\n"
    "       cvadmin db metaschema\n"
    "       cvadmin db backup FILE   a copy to restore (SQLite: consistent while the server\n"
    "                                runs; PostgreSQL: pg_dump's custom format)\n";

int Usage(std::ostream& err, std::string_view complaint = {}) {
  if (!complaint.empty()) err << "cvadmin db: " << complaint << "\n";
  err << kDbUsage;
  return 2;
}

int Fail(std::ostream& err, std::string_view text) {
  err << "cvadmin db: " << text << "\n";
  return 1;
}

// One line of standard input, after a prompt with echo off when it is a
// terminal; nullopt at its end.
std::optional<std::string> ReadPassword(std::ostream& err) {
  const bool terminal = ::isatty(STDIN_FILENO) == 1;
  termios saved{};
  if (terminal && ::tcgetattr(STDIN_FILENO, &saved) == 0) {
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    err << "Password: " << std::flush;
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  }
  std::string password;
  const bool read = static_cast<bool>(std::getline(std::cin, password));
  if (terminal) {
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    err << "\n";
  }
  if (!read) return std::nullopt;
  if (!password.empty() && password.back() == '\r') password.pop_back();
  return password;
}

bool IsSqliteDriver(std::string_view driver) {
  return EqualsIgnoringCase(driver, db::kSqliteDriver);
}

// A text literal kept exactly (SqlQuote trims, which a name must not be).
std::string ExactLiteral(std::string_view text) {
  std::string out = "'";
  for (char c : text) {
    out += c;
    if (c == '\'') out += '\'';
  }
  return out + "'";
}

std::string QuotedIdentifier(std::string_view name) {
  std::string out = "\"";
  for (char c : name) {
    out += c;
    if (c == '"') out += '"';
  }
  return out + "\"";
}

// Creates the PostgreSQL database of `credentials` through the maintenance
// database "postgres" when it does not exist yet. Quoted, so that the name
// keeps its case: psqlODBC connects with the name exactly as stored.
void EnsurePostgresDatabase(const db::ConnectionCredentials& credentials, std::ostream& out) {
  db::ConnectionCredentials maintenance = credentials;
  maintenance.database = "postgres";
  db::Connection connection;
  connection.Open(db::BuildConnectionString(maintenance), -1);
  db::Recordset found = connection.Query("SELECT COUNT(*) FROM pg_database WHERE datname = " +
                                         ExactLiteral(credentials.database));
  bool exists = !found.AtEnd() && found.Value(0).ToText() != "0";
  found.Close();
  if (!exists) {
    connection.Execute("CREATE DATABASE " + QuotedIdentifier(credentials.database));
    out << "Created the PostgreSQL database " << credentials.database << ".\n";
  }
  connection.Close();
}

// Writes the connection as the store's default one and reads it back, since
// the store's writers report no failure of their own.
void WriteDefaultConnection(const db::ConnectionCredentials& credentials) {
  SetDbCredentials(credentials.is_oracle ? 1 : 0, 0, credentials.database.c_str(),
                   credentials.server.c_str(), credentials.user.c_str(),
                   credentials.password.c_str());
  platform::registry::SetValue(RegRoot::kLocalMachine, DefaultConnectionKey(), "Driver",
                               RegValue::Sz(credentials.driver));
  std::optional<db::ConnectionCredentials> stored = db::LoadCredentials();
  if (!stored || stored->database != credentials.database || stored->server != credentials.server ||
      stored->user != credentials.user || stored->password != credentials.password ||
      stored->driver != credentials.driver || stored->is_oracle != credentials.is_oracle) {
    throw std::runtime_error("the credential store could not be written");
  }
}

// The connection that `db create` and `db connect` are given; nullopt with
// the complaint written (exit status 2) when the options do not make one.
std::optional<db::ConnectionCredentials> ParseConnectionOptions(
    const std::vector<std::string>& arguments, std::ostream& err, int* status) {
  *status = 2;
  std::string complaint;
  auto options =
      ParseOptions(arguments, {"driver", "server", "database", "user", "password"}, &complaint);
  if (!options) {
    Usage(err, complaint);
    return std::nullopt;
  }
  db::ConnectionCredentials credentials;
  credentials.driver = (*options)["driver"];
  credentials.server = (*options)["server"];
  credentials.database = (*options)["database"];
  credentials.user = (*options)["user"];
  credentials.is_oracle = ContainsIgnoringCase(credentials.driver, "oracle");
  const bool sqlite = IsSqliteDriver(credentials.driver);
  const bool postgres = db::IsPostgresDriver(credentials.driver);
  if (credentials.driver.empty()) {
    Usage(err, "--driver is required");
    return std::nullopt;
  }
  if ((sqlite || postgres) && credentials.database.empty()) {
    Usage(err, "--database is required for this driver");
    return std::nullopt;
  }
  // A password on the command line is seen by every user in ps: it comes
  // from CORVANE_DB_PASSWORD or standard input (a prompt on a terminal)
  // unless --password gives it.
  if (auto given = options->find("password"); given != options->end()) {
    credentials.password = given->second;
  } else if (const char* variable = std::getenv(kPasswordVariable); variable != nullptr) {
    credentials.password = variable;
  } else if (!sqlite) {
    std::optional<std::string> read = ReadPassword(err);
    credentials.password = read.value_or("");
  }
  for (const std::string* value : {&credentials.driver, &credentials.server, &credentials.database,
                                   &credentials.user, &credentials.password}) {
    if (value->size() > kMaxStoredValue) {
      Usage(err, "values are limited to 259 characters by the credential store");
      return std::nullopt;
    }
  }
  if (postgres && credentials.database.size() > kMaxPostgresName) {
    Usage(err, "PostgreSQL database names are limited to 63 bytes");
    return std::nullopt;
  }
  if (sqlite) {
    std::error_code ignored;
    const std::filesystem::path file =
        std::filesystem::absolute(credentials.database, ignored).lexically_normal();
    credentials.database = file.string();
    if (credentials.database.size() > kMaxStoredValue) {
      Usage(err, "values are limited to 259 characters by the credential store");
      return std::nullopt;
    }
  }
  *status = 0;
  return credentials;
}

// The DBMS of an open connection, when the inventory schema exists for it.
db::DbmsKind InventoryDbmsOf(db::Connection& connection) {
  const std::string dbms = connection.DbmsName();
  const db::DbmsKind kind = db::ClassifyDbmsName(dbms, !dbms.empty());
  if (kind != db::kDbmsSqlite && kind != db::kDbmsPostgres && kind != db::kDbmsSqlServer &&
      kind != db::kDbmsOracle) {
    throw db::DbError(db::kErrorFail, "no inventory schema for the DBMS \"" + dbms + "\"");
  }
  return kind;
}

int Create(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
  int status = 0;
  std::optional<db::ConnectionCredentials> parsed = ParseConnectionOptions(arguments, err, &status);
  if (!parsed) return status;
  db::ConnectionCredentials& credentials = *parsed;
  const bool sqlite = IsSqliteDriver(credentials.driver);
  const bool postgres = db::IsPostgresDriver(credentials.driver);

  bool created_file = false;
  std::filesystem::path file;
  if (sqlite) {
    std::error_code ignored;
    file = credentials.database;
    if (!std::filesystem::is_directory(file.parent_path(), ignored)) {
      return Fail(err, "the directory " + file.parent_path().string() + " does not exist");
    }
    if (std::filesystem::is_directory(file, ignored)) {
      return Fail(err, file.string() + " is a directory");
    }
    created_file = !std::filesystem::exists(file, ignored);
  }

  try {
    if (postgres) EnsurePostgresDatabase(credentials, out);
    db::Connection connection;
    connection.Open(db::BuildConnectionString(credentials), -1);
    db::CreateInventoryDatabase(connection, InventoryDbmsOf(connection));
    connection.Close();
  } catch (const std::exception& error) {
    // A database file the driver created for nothing is not left behind.
    if (created_file) {
      std::error_code ignored;
      std::filesystem::remove(file, ignored);
    }
    return Fail(err, error.what());
  }

  try {
    WriteDefaultConnection(credentials);
  } catch (const std::exception& error) {
    return Fail(err, std::string("the database was created, but ") + error.what());
  }
  const db::schema::Schema& schema = db::schema::InventorySchema();
  out << "Created the inventory database (" << schema.tables.size() << " tables, "
      << schema.attributes.size() << " metaschema rows, schema version " << schema.version
      << ") in " << credentials.database << ".\n"
      << "It is now the default connection \"" << DefaultConnectionName() << "\".\n";
  return 0;
}

// For a further server on a database that another one already uses: the
// connection is tried and its schema checked before it is stored.
int Connect(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
  int status = 0;
  std::optional<db::ConnectionCredentials> credentials =
      ParseConnectionOptions(arguments, err, &status);
  if (!credentials) return status;
  if (IsSqliteDriver(credentials->driver)) {
    std::error_code ignored;
    if (!std::filesystem::is_regular_file(credentials->database, ignored)) {
      return Fail(err, "there is no database file " + credentials->database +
                           "; cvadmin db create makes one");
    }
  }
  int version = 0;
  try {
    db::Connection connection;
    connection.Open(db::BuildConnectionString(*credentials), -1);
    InventoryDbmsOf(connection);
    version = db::StoredSchemaVersion(connection);
    connection.Close();
  } catch (const std::exception& error) {
    return Fail(err, error.what());
  }
  const int current = db::schema::InventorySchema().version;
  if (version > current) {
    return Fail(err, "the database's schema version " + std::to_string(version) +
                         " is newer than this program's " + std::to_string(current) +
                         "; nothing was stored");
  }
  try {
    WriteDefaultConnection(*credentials);
  } catch (const std::exception& error) {
    return Fail(err, error.what());
  }
  out << "The inventory database " << credentials->database << " (schema version " << version
      << ") is now the default connection \"" << DefaultConnectionName() << "\".\n";
  if (version < current) {
    out << "Its schema is older than this program's (" << current << "): run cvadmin db upgrade.\n";
  }
  return 0;
}

int Upgrade(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
  if (!arguments.empty()) return Usage(err);
  std::optional<db::ConnectionCredentials> credentials = RequireDefaultConnection(err, "db");
  if (!credentials) return 1;
  try {
    db::Connection connection;
    connection.Open(db::BuildConnectionString(*credentials), -1);
    const db::SchemaUpgrade upgrade =
        db::UpgradeInventoryDatabase(connection, InventoryDbmsOf(connection));
    connection.Close();
    if (upgrade.steps.empty()) {
      out << "The inventory database is at schema version " << upgrade.to_version
          << " already; nothing to do.\n";
      return 0;
    }
    for (const std::string& step : upgrade.steps) out << step << "\n";
    out << "Upgraded the inventory database from schema version " << upgrade.from_version << " to "
        << upgrade.to_version << ".\n";
  } catch (const std::exception& error) {
    return Fail(err, error.what());
  }
  return 0;
}

int Ddl(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
  std::string complaint;
  auto options = ParseOptions(arguments, {"dbms"}, &complaint);
  if (!options) return Usage(err, complaint);
  const std::map<std::string, db::DbmsKind> kinds = {{"sqlite", db::kDbmsSqlite},
                                                     {"postgres", db::kDbmsPostgres},
                                                     {"sqlserver", db::kDbmsSqlServer},
                                                     {"oracle", db::kDbmsOracle}};
  auto kind = kinds.find((*options)["dbms"]);
  if (kind == kinds.end())
    return Usage(err, "--dbms must be sqlite, postgres, sqlserver or oracle");
  try {
    const db::schema::Schema& schema = db::schema::InventorySchema();
    std::vector<std::string> statements = db::schema::CreateStatements(schema, kind->second);
    std::vector<std::string> rows =
        db::schema::MetaschemaStatements(schema, kind->second, std::time(nullptr), true);
    statements.insert(statements.end(), rows.begin(), rows.end());
    out << db::schema::ScriptText(statements);
  } catch (const std::exception& error) {
    return Fail(err, error.what());
  }
  return 0;
}

int Show(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
  if (!arguments.empty()) return Usage(err);
  std::optional<db::ConnectionCredentials> credentials = RequireDefaultConnection(err, "db");
  if (!credentials) return 1;
  std::string driver = credentials->driver;
  if (driver.empty()) {
    driver = std::string("(not set: ") +
             (credentials->is_oracle ? db::kOracleDriver : db::kSqlServerDriver) + ")";
  }
  out << "Connection: " << DefaultConnectionName() << "\n"
      << "Driver:     " << driver << "\n"
      << "Server:     " << credentials->server << "\n"
      << "Database:   " << credentials->database << "\n"
      << "User:       " << credentials->user << "\n"
      << "Password:   " << (credentials->password.empty() ? "(empty)" : "(set)") << "\n"
      << "IsOracle:   " << (credentials->is_oracle ? "true" : "false") << "\n";
  return 0;
}

// Writes only "Password" and "PWD Encrypted", in the store's format, so the
// connection's other values stay exactly as they are. The connection is
// tried with the new password first (unless --no-check: the database is
// down, and its password changed there too), so that a mistyped password
// never replaces the working one.
int SetPassword(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
  std::vector<std::string> rest = arguments;
  const auto no_check = std::find(rest.begin(), rest.end(), "--no-check");
  const bool check = no_check == rest.end();
  if (!check) rest.erase(no_check);
  if (rest.size() > 1) return Usage(err);
  std::string password;
  if (rest.empty()) {
    std::optional<std::string> read = ReadPassword(err);
    if (!read) return Fail(err, "no password on standard input");
    password = *read;
  } else {
    password = rest[0];
  }
  if (password.size() > kMaxStoredValue) {
    return Usage(err, "the credential store holds passwords of at most 259 characters");
  }
  try {
    std::string key = DefaultConnectionKey();
    if (!platform::registry::KeyExists(RegRoot::kLocalMachine, key)) {
      return Fail(err,
                  "there is no default connection (" + key + "); cvadmin db create writes one");
    }
    if (check) {
      std::optional<db::ConnectionCredentials> current = db::LoadCredentials();
      if (!current) return Fail(err, "the default connection cannot be read");
      current->password = password;
      try {
        db::Connection connection;
        connection.Open(db::BuildConnectionString(*current), -1);
        connection.Close();
      } catch (const std::exception& error) {
        return Fail(err, std::string("the connection failed with that password, which was not "
                                     "stored (--no-check stores it untried): ") +
                             error.what());
      }
    }
    std::vector<uint8_t> scrambled(password.begin(), password.end());
    Encrypt(scrambled.size(), scrambled.data());
    platform::registry::Update(RegRoot::kLocalMachine, [&](platform::RegTree& tree) {
      platform::RegKey& connection = tree.Create(key);
      connection.Set("PWD Encrypted", RegValue::Dword(1));
      connection.Set("Password", RegValue::Binary(scrambled));
    });
    std::optional<db::ConnectionCredentials> stored = db::LoadCredentials();
    if (!stored || stored->password != password) {
      return Fail(err, "the password could not be stored");
    }
  } catch (const std::exception& error) {
    return Fail(err, error.what());
  }
  out << "Changed the password of the default connection \"" << DefaultConnectionName() << "\".\n";
  return 0;
}

// A copy of the inventory database that can be restored as it is: SQLite's
// VACUUM INTO (a consistent snapshot, also while the server writes), or
// pg_dump's custom format for PostgreSQL. An existing FILE is never
// replaced.
int Backup(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
  if (arguments.size() != 1) return Usage(err);
  std::error_code ignored;
  const std::string file =
      std::filesystem::absolute(arguments[0], ignored).lexically_normal().string();
  if (std::filesystem::exists(file, ignored)) {
    return Fail(err, file + " exists; nothing was written");
  }
  std::optional<db::ConnectionCredentials> credentials = RequireDefaultConnection(err, "db");
  if (!credentials) return 1;
  try {
    if (IsSqliteDriver(credentials->driver)) {
      db::Connection connection;
      connection.Open(db::BuildConnectionString(*credentials), -1);
      connection.Execute("VACUUM INTO " + ExactLiteral(file));
      connection.Close();
    } else if (db::IsPostgresDriver(credentials->driver)) {
      const auto [server_host, server_port] = db::SplitServerPort(credentials->server);
      const std::string host = server_host.empty() ? "localhost" : std::string(server_host);
      const std::string port = server_port.empty() ? "5432" : std::string(server_port);
      // The password goes to pg_dump in its environment, never on its
      // command line.
      setenv("PGPASSWORD", credentials->password.c_str(), 1);
      const platform::ProgramResult dumped = platform::RunProgram(
          {"pg_dump", "--host", host, "--port", port, "--username", credentials->user,
           "--format=custom", "--file", file, credentials->database});
      if (dumped.exit_code != 0) {
        std::filesystem::remove(file, ignored);
        return Fail(err, "pg_dump failed (exit status " + std::to_string(dumped.exit_code) +
                             "); nothing was kept");
      }
    } else {
      return Fail(err, "back up a " + credentials->driver +
                           " database with its own tools (see docs/admin-guide.md)");
    }
  } catch (const std::exception& error) {
    std::filesystem::remove(file, ignored);
    return Fail(err, error.what());
  }
  out << "Backed up the inventory database " << credentials->database << " to " << file << " ("
      << std::filesystem::file_size(file, ignored) << " bytes).\n";
  return 0;
}

int Metaschema(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
  if (!arguments.empty()) return Usage(err);
  std::optional<db::ConnectionCredentials> credentials = RequireDefaultConnection(err, "db");
  if (!credentials) return 1;
  namespace m = db::schema::meta;
  try {
    db::Connection connection;
    connection.Open(db::BuildConnectionString(*credentials), -1);
    db::Recordset rows =
        connection.Query("SELECT " + std::string(m::kIdn) + ", " + std::string(m::kComponentPath) +
                         ", " + std::string(m::kAttributeName) + ", " + std::string(m::kTableName) +
                         ", " + std::string(m::kColumnName) + ", " + std::string(m::kTypeName) +
                         ", " + std::string(m::kTableKind) + ", " + std::string(m::kParentTable) +
                         ", " + std::string(m::kKeyFlag) + ", " + std::string(m::kMarker) + ", " +
                         std::string(m::kTrackFlags) + " FROM " + std::string(m::kRelationsTable) +
                         " ORDER BY " + std::string(m::kIdn));
    out << "ID\tCOMPONENT\tATTRIBUTE\tTABLE.COLUMN\tTYPE\tKIND\tPARENT\tKEY\tMARKER\tTRACK\n";
    int count = 0;
    for (; !rows.AtEnd(); rows.Next(), ++count) {
      auto text = [&](int field) { return rows.Value(field).ToText(); };
      std::string parent = rows.Value(7).is_null_like() ? "-" : text(7);
      out << text(0) << "\t" << text(1) << "\t" << text(2) << "\t" << text(3) << "." << text(4)
          << "\t" << text(5) << "\t" << text(6) << "\t" << parent << "\t" << text(8) << "\t"
          << text(9) << "\t" << text(10) << "\n";
    }
    out << count << " row(s)\n";
    connection.Close();
  } catch (const std::exception& error) {
    return Fail(err, error.what());
  }
  return 0;
}

}  // namespace

int DbCommand(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
  if (AsksForHelp(arguments)) {
    out << kDbUsage;
    return 0;
  }
  if (arguments.empty()) return Usage(err);
  std::vector<std::string> rest(arguments.begin() + 1, arguments.end());
  const std::string& command = arguments[0];
  if (command == "create") return Create(rest, out, err);
  if (command == "connect") return Connect(rest, out, err);
  if (command == "upgrade") return Upgrade(rest, out, err);
  if (command == "ddl") return Ddl(rest, out, err);
  if (command == "show") return Show(rest, out, err);
  if (command == "set-password") return SetPassword(rest, out, err);
  if (command == "metaschema") return Metaschema(rest, out, err);
  if (command == "backup") return Backup(rest, out, err);
  return Usage(err, "unknown command '" + command + "'");
}

}  // namespace corvane::cvadmin

// The database connection's settings: the credentials of the default
// connection and the ODBC connection string built from them.
//
// LoadCredentials reads the shared credential store (credentials.h) anew on
// every call and caches nothing. Both functions are thread-safe; neither
// raises for a missing or unreadable store (LoadCredentials answers nullopt).

#ifndef CORVANE_DB_CONNECTION_SETTINGS_H_
#define CORVANE_DB_CONNECTION_SETTINGS_H_

#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace corvane::db {

// ODBC driver names used when the connection names none in "Driver". Sites
// that registered a driver under another name set "Driver".
inline constexpr char kSqlServerDriver[] = "FreeTDS";
inline constexpr char kOracleDriver[] = "Oracle ODBC Driver";
// The embedded default; its connection string names the database file and
// the journal settings below.
inline constexpr char kSqliteDriver[] = "SQLite3";

// Attributes every connection adds for its driver, so that one durable
// commit per scan stays cheap without giving up durability:
// - SQLite writes ahead to a log (readers no longer block the writer, a
//   commit appends instead of rewriting pages twice) and syncs the log at
//   every commit, so a committed scan survives a power cut;
// - psqlODBC rolls back the whole transaction on a failed statement instead
//   of wrapping every statement in a savepoint of its own (the server rolls
//   a scan back whole on any failure anyway).
inline constexpr char kSqliteAttributes[] = "JournalMode=WAL;SyncPragma=FULL";
inline constexpr char kPostgresAttributes[] = "Protocol=7.4-0";

// The credential store's key of named connections (under
// HKEY_LOCAL_MACHINE); its "Default" value names the one the server uses.
inline constexpr std::string_view kConnectionsKey = "SOFTWARE\\Corvane\\Vantora\\Core\\Connections";

struct ConnectionCredentials {
  std::string user;
  std::string server;  // for Oracle the TNS name or connect descriptor
  std::string database;
  std::string password;
  std::string driver;  // "Driver" value; empty when the store has none
  bool is_oracle = false;
  bool rollup = false;  // carried for other tools; no behaviour here
};

// The default connection, or nullopt when the connection key is missing or
// the password does not fit 259 characters. Values longer than that read as
// empty, as they do for every other reader of the store.
std::optional<ConnectionCredentials> LoadCredentials();

// "DRIVER={...};SERVER=...;DATABASE=...;UID=...;PWD={...}" for most
// drivers, "DRIVER={...};DBQ=...;UID=...;PWD={...}" for Oracle (its driver
// takes the data source as DBQ, and has no catalog), and
// "DRIVER={SQLite3};DATABASE=file" for SQLite. The driver is `driver`, or by
// is_oracle kOracleDriver / kSqlServerDriver. The driver name, the password
// and every value holding ";", "{", "}", "=" or edge blanks are brace-quoted
// with "}" doubled, so no value can end early or add an attribute.
// For a PostgreSQL driver (a name containing "PostgreSQL", any case) a
// server "host:port" or "[address]:port" (port all digits) is written as
// SERVER=host;PORT=port, since psqlODBC takes the port separately; without a
// port the driver's default (5432) applies. kSqliteAttributes and
// kPostgresAttributes follow for those drivers.
std::string BuildConnectionString(const ConnectionCredentials& credentials);

// A driver name that contains "PostgreSQL" (any case).
bool IsPostgresDriver(std::string_view driver);
// "host:port" or "[address]:port" (port all digits) as host and port; any
// other server text as it is, with an empty port.
std::pair<std::string_view, std::string_view> SplitServerPort(std::string_view server);

}  // namespace corvane::db

#endif  // CORVANE_DB_CONNECTION_SETTINGS_H_

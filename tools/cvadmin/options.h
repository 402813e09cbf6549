// What the cvadmin subcommands share: their "--name value" options and the
// default connection of the credential store that the server reads.
//
// Registry reads go to the current runtime root; nothing here raises but
// the database's own failures when one is opened.

#ifndef CORVANE_TOOLS_CVADMIN_OPTIONS_H_
#define CORVANE_TOOLS_CVADMIN_OPTIONS_H_

#include <cstddef>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "db/connection.h"
#include "db/connection_settings.h"
#include "db/dbms.h"

namespace corvane::cvadmin {

// The store's readers use 260-byte buffers: longer values read as empty.
inline constexpr size_t kMaxStoredValue = 259;

// "--name VALUE" and "--name=VALUE" for the names in `allowed`; nullopt (and
// the complaint in *error) for anything else or a name given twice.
std::optional<std::map<std::string, std::string>> ParseOptions(
    const std::vector<std::string>& arguments, const std::vector<std::string>& allowed,
    std::string* error);

// True when any argument is "--help" or "-h": the subcommand then prints
// its usage on standard output and exits 0.
bool AsksForHelp(const std::vector<std::string>& arguments);

// The connection subkey the store's readers use: "Default" names it, "Local"
// when that value is missing or unusable.
std::string DefaultConnectionName();
// Its full key under HKEY_LOCAL_MACHINE.
std::string DefaultConnectionKey();

// The default connection's credentials; nullopt after telling `err` (as
// "cvadmin <command>: ...") that there is none.
std::optional<db::ConnectionCredentials> RequireDefaultConnection(std::ostream& err,
                                                                  std::string_view command);

// Opens the default connection's database and tells its kind; false after
// telling `err` that there is no default connection. A failing database
// throws db::DbError.
bool OpenDefaultDatabase(db::Connection& connection, db::DbmsKind* kind, std::ostream& err,
                         std::string_view command);

}  // namespace corvane::cvadmin

#endif  // CORVANE_TOOLS_CVADMIN_OPTIONS_H_

#include "db/dbms.h"

namespace corvane::db {

DbmsKind ClassifyDbmsName(std::string_view dbms_name, bool present) {
  if (!present || dbms_name.empty()) return kDbmsUnknown;
  // Order matters: a name holding several of these takes the first tested.
  if (dbms_name.find("ACCESS") != std::string_view::npos) return kDbmsAccess;
  if (dbms_name.find("Oracle") != std::string_view::npos) return kDbmsOracle;
  if (dbms_name.find("Microsoft SQL Server") != std::string_view::npos) return kDbmsSqlServer;
  if (dbms_name.find("SQLite") != std::string_view::npos) return kDbmsSqlite;
  if (dbms_name.find("PostgreSQL") != std::string_view::npos) return kDbmsPostgres;
  return kDbmsOther;
}

}  // namespace corvane::db

#include "db/error.h"

namespace corvane::db {

bool IsDatabaseFailureState(std::string_view sql_state) {
  if (sql_state.size() != 5) return false;
  if (sql_state.starts_with("08")) return true;
  for (std::string_view state :
       {"57P01", "57P02", "57P03", "53300", "40001", "40P01", "HYT00", "HYT01", "57014"}) {
    if (sql_state == state) return true;
  }
  return false;
}

bool IsDatabaseFailure(const DbError& error) {
  if (IsDatabaseFailureState(error.sql_state())) return true;
  const std::string_view text = error.what();
  return text.find("database is locked") != std::string_view::npos ||
         text.find("database table is locked") != std::string_view::npos;
}

bool IsConcurrencyConflict(const DbError& error) {
  const std::string& state = error.sql_state();
  if (state == "23505" || state == "40001" || state == "40P01") return true;
  const std::string_view text = error.what();
  auto says = [&text](std::string_view part) { return text.find(part) != std::string_view::npos; };
  // SQLite's driver gives its constraint failures the general state HY000.
  if (state == "HY000" && says("UNIQUE constraint failed")) return true;
  if (state == "23000") {
    return says("UNIQUE constraint failed") || says("duplicate key") || says("ORA-00001") ||
           says("Violation of UNIQUE KEY") || says("Violation of PRIMARY KEY");
  }
  return says("ORA-00060") || says("ORA-08177");
}

}  // namespace corvane::db

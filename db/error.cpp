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

}  // namespace corvane::db

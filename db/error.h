// The database error: a 32-bit HRESULT-style code and the driver's text.
//
// Every failing database call raises DbError; callers catch it at the level
// of a whole operation and report event 4100 with text(). The system's own
// codes keep their values.

#ifndef CORVANE_DB_ERROR_H_
#define CORVANE_DB_ERROR_H_

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace corvane::db {

inline constexpr uint32_t kErrorFail = 0x80004005;         // E_FAIL: not applied
inline constexpr uint32_t kErrorOutOfMemory = 0x8007000E;  // E_OUTOFMEMORY
inline constexpr uint32_t kErrorCredentials = 0x8055050C;  // credentials unreadable
inline constexpr uint32_t kErrorDbInit = 0x8055050D;       // metaschema unreadable
inline constexpr uint32_t kErrorScanUnreadable = 0x8055050F;
// The database's schema is newer than this program's definition.
inline constexpr uint32_t kErrorSchemaTooNew = 0x80550510;

class DbError : public std::runtime_error {
 public:
  DbError(uint32_t code, const std::string& text, std::string sql_state = {})
      : std::runtime_error(text), code_(code), sql_state_(std::move(sql_state)) {}
  uint32_t code() const { return code_; }
  std::string text() const { return what(); }
  // The driver's SQLSTATE of the first diagnostic record; empty when the
  // failure did not come from the driver.
  const std::string& sql_state() const { return sql_state_; }

 private:
  uint32_t code_;
  std::string sql_state_;
};

// The SQLSTATE says the database failed rather than the statement: the
// connection is gone or refused (class 08), the server shuts down (57P01
// to 57P03), too many connections (53300), a deadlock or serialisation
// failure (40001, 40P01), or a time-out (HYT00, HYT01, 57014). Work that
// failed so may succeed unchanged once the database is back.
bool IsDatabaseFailureState(std::string_view sql_state);
// IsDatabaseFailureState, or SQLite's busy or locked database (its driver
// gives those the general state HY000), once the driver's own wait for the
// lock has run out.
bool IsDatabaseFailure(const DbError& error);

// Another writer's work met this transaction's, and the same work applied
// again from the start is expected to succeed: a unique key already taken
// (SQLSTATE 23505, or the general 23000 or SQLite's HY000 when the driver's
// text says it is a unique key: SQL Server's, Oracle's ORA-00001), a serialisation
// failure (40001), a deadlock (40P01; Oracle's ORA-00060 and ORA-08177 by
// their text). Other integrity failures (23000 for a NULL or a foreign key)
// are not: repeated, they fail the same way.
bool IsConcurrencyConflict(const DbError& error);

}  // namespace corvane::db

#endif  // CORVANE_DB_ERROR_H_

// The one place where the server calls ODBC (unixODBC driver manager).
//
// Every ODBC return value passes through Check(): SQL_SUCCESS,
// SQL_SUCCESS_WITH_INFO and SQL_NO_DATA come back to the caller (which must
// look at them: Check is [[nodiscard]]), anything else raises DbError whose
// text lists the handle's diagnostic records as
//   "<call>: [SQLSTATE] message (native N); [SQLSTATE] ..."
// so the driver's own wording reaches the event log unchanged.
//
// Error codes (stable; callers and reports may rely on them):
//   kErrorOutOfMemory (0x8007000E)  SQLSTATE HY001 (allocation failure)
//   kErrorFail        (0x80004005)  every other failure, including
//                                   SQL_INVALID_HANDLE, SQL_NEED_DATA and
//                                   SQL_STILL_EXECUTING (never expected:
//                                   the server neither streams parameters
//                                   nor runs statements asynchronously)
//
// Handles are owned by Handle, which frees them when it goes out of scope.
// A Handle is used by one thread at a time; the ODBC environment is not
// shared between connections.

#ifndef CORVANE_DB_ODBC_H_
#define CORVANE_DB_ODBC_H_

#include <sql.h>
#include <sqlext.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "db/error.h"

namespace corvane::db::odbc {

// One ODBC handle (environment, connection or statement), owned. Movable,
// not copyable. Children must be destroyed before their parent: the owners
// (Connection, Recordset) are declared so that members go in that order.
class Handle {
 public:
  Handle() = default;
  // Allocates a handle of `type` under `parent` (SQL_NULL_HANDLE for an
  // environment). Raises DbError when the driver manager refuses.
  static Handle Allocate(SQLSMALLINT type, const Handle* parent);
  ~Handle();
  Handle(Handle&& other) noexcept;
  Handle& operator=(Handle&& other) noexcept;
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;

  SQLHANDLE get() const { return handle_; }
  SQLSMALLINT type() const { return type_; }
  bool valid() const { return handle_ != SQL_NULL_HANDLE; }
  // Frees the handle now; raises DbError when the driver refuses (for
  // instance a connection that is still connected).
  void Free();

 private:
  Handle(SQLSMALLINT type, SQLHANDLE handle) : type_(type), handle_(handle) {}

  SQLSMALLINT type_ = 0;
  SQLHANDLE handle_ = SQL_NULL_HANDLE;
};

// Raises DbError for SQL_ERROR, SQL_INVALID_HANDLE and every other result
// that is not SQL_SUCCESS, SQL_SUCCESS_WITH_INFO or SQL_NO_DATA; returns the
// result otherwise. `call` names the ODBC function in the error text.
[[nodiscard]] SQLRETURN Check(SQLRETURN result, const Handle& handle, std::string_view call);

// The diagnostic records of `handle` as one text (empty when there are none).
std::string Diagnostics(const Handle& handle);

// The SQLSTATE of the first diagnostic record, empty when there is none.
std::string FirstSqlState(const Handle& handle);

// The DbError code for a failure whose first record has `sql_state`.
uint32_t ErrorCodeFor(std::string_view sql_state);

}  // namespace corvane::db::odbc

#endif  // CORVANE_DB_ODBC_H_

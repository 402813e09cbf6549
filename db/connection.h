// The database connection: all SQL of the server goes through it.
//
// One Connection per thread: neither Connection nor Recordset may be used
// from two threads at once (each owns its own ODBC environment, so separate
// connections on separate threads need no locking).
//
// Errors: every failing call raises DbError (codes in db/odbc.h) carrying
// the driver's diagnostic text; QuerySingleValue is the one exception and
// answers EMPTY instead.
//
// Values come back as DbValue:
//   integer columns      Int32, or Decimal text when the value needs 64 bits
//   decimal/numeric      Decimal (exact text)
//   real/float/double    Double
//   date, timestamp      Date: the stored wall-clock time is read as local
//                        time (the server writes its date literals in local
//                        time) and converted to seconds since 1970, UTC epoch
//   character columns    Text, UTF-8 as the driver delivers it
//   binary columns       Bytes
//   SQL NULL             Null
// Anything else (time, interval, GUID) comes back as its text.
//
// Statement counts: every Execute, Query, QuerySingleValue and
// ExecuteWithBinary that reaches the driver counts once, failed ones
// included, and the records the driver reports affected by them add up in
// rows_written. Plain counters, since the connection belongs to one thread;
// they run from the connection's construction and survive Close and Open.

#ifndef CORVANE_DB_CONNECTION_H_
#define CORVANE_DB_CONNECTION_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "db/odbc.h"
#include "db/value.h"

namespace corvane::db {

// A forward-only cursor over a result. Owns its statement; must not outlive
// the Connection that made it. Movable, not copyable.
class Recordset {
 public:
  Recordset(Recordset&&) noexcept = default;
  Recordset& operator=(Recordset&&) noexcept = default;
  Recordset(const Recordset&) = delete;
  Recordset& operator=(const Recordset&) = delete;

  // True past the last row (at once for an empty result or a statement that
  // returns no rows).
  bool AtEnd() const { return at_end_; }
  // Moves to the next row. Raises DbError at the end or when the driver fails.
  void Next();

  int FieldCount() const { return static_cast<int>(names_.size()); }
  // Raises DbError when `index` is out of range.
  const std::string& FieldName(int index) const;
  // The current row's value. Raises DbError at the end, when the index is out
  // of range or no field has the name (compared ignoring ASCII case).
  const DbValue& Value(int index) const;
  const DbValue& Value(std::string_view name) const;

  // Releases the statement early; afterwards the recordset is at its end.
  void Close();

 private:
  friend class Connection;
  explicit Recordset(odbc::Handle statement);
  void Fetch();

  odbc::Handle statement_;
  std::vector<std::string> names_;
  std::vector<SQLSMALLINT> types_;
  std::vector<DbValue> row_;
  bool at_end_ = true;
};

struct StatementCounts {
  uint64_t statements = 0;
  // Records affected as the driver reports them (INSERT, UPDATE, DELETE).
  uint64_t rows_written = 0;
};

class Connection {
 public:
  Connection() = default;
  ~Connection();  // closes; failures at that point are dropped
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Connects with an ODBC connection string (values brace-quoted by the
  // caller where they may hold ";" or "}"). `command_timeout_seconds` applies
  // to every statement; -1 leaves the driver's default. Raises DbError when
  // the driver refuses; an open connection is closed first.
  void Open(const std::string& connection_string, int command_timeout_seconds);
  // Disconnects. Raises DbError when the driver refuses; the connection is
  // released either way. Does nothing when not open.
  void Close();
  bool is_open() const { return connection_.valid(); }

  // Runs a statement; returns the records affected (0 when the driver
  // reports none, -1 when it cannot tell, as for a SELECT).
  int64_t Execute(std::string_view sql);
  // Runs a statement that returns rows.
  Recordset Query(std::string_view sql);
  // Field 0 of the first row; EMPTY when the statement fails or returns no
  // row. Never raises.
  DbValue QuerySingleValue(std::string_view sql) noexcept;
  // Runs `sql`, which holds exactly one "?" marker, with `bytes` bound to it
  // as a binary value; returns the records affected.
  int64_t ExecuteWithBinary(std::string_view sql, const std::vector<uint8_t>& bytes);

  // Transactions, each guarded by the caller's own use-transactions flag:
  // with the flag clear they do nothing and succeed. Begin turns auto-commit
  // off; Commit and Rollback end the transaction and turn it back on.
  void BeginTransaction(bool use_transactions);
  void Commit(bool use_transactions);
  void Rollback(bool use_transactions);

  // The driver's "DBMS Name" (SQL_DBMS_NAME), for ClassifyDbmsName.
  std::string DbmsName();

  // Names of the tables ("TABLE") or views ("VIEW") the catalogue lists,
  // spelled as stored (PostgreSQL stores unquoted names in lower case).
  std::vector<std::string> Tables(std::string_view type);

  struct Column {
    std::string name;
    std::string type_name;  // as the driver names it, e.g. "INTEGER", "int4"
    // The length a text column of bounded size holds (CHAR, VARCHAR and
    // their wide forms); 0 for every other column and for unbounded text.
    int text_width = 0;
  };
  // Columns of `table` in their order; the name must be spelled as stored.
  std::vector<Column> Columns(std::string_view table);

  const StatementCounts& statement_counts() const { return counts_; }

 private:
  odbc::Handle NewStatement();
  void EndTransaction(SQLSMALLINT completion, std::string_view call);
  // The records affected of an executed statement, counted as written.
  int64_t RowsAffected(const odbc::Handle& statement);

  // Declared before the connection handle so that it is destroyed after it.
  odbc::Handle environment_;
  odbc::Handle connection_;
  int command_timeout_seconds_ = -1;
  StatementCounts counts_;
};

}  // namespace corvane::db

#endif  // CORVANE_DB_CONNECTION_H_

#include "db/connection.h"

#include <cstdlib>
#include <ctime>
#include <limits>
#include <utility>

#include "Common/Include/ascii_case.h"
#include "db/error.h"

namespace corvane::db {
namespace {

using odbc::Check;
using odbc::Handle;

// Large values arrive in pieces of this size through repeated SQLGetData.
constexpr SQLLEN kChunk = 8192;

SQLCHAR* SqlText(std::string_view sql) {
  // ODBC declares its input texts non-const; it does not write them.
  return reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql.data()));
}

SQLINTEGER SqlLength(std::string_view sql) {
  if (sql.size() > static_cast<size_t>(std::numeric_limits<SQLINTEGER>::max())) {
    throw DbError(kErrorFail, "statement text too long");
  }
  return static_cast<SQLINTEGER>(sql.size());
}

// Catalogue arguments and connection strings take 16-bit lengths.
SQLSMALLINT ShortLength(std::string_view text) {
  if (text.size() > static_cast<size_t>(std::numeric_limits<SQLSMALLINT>::max())) {
    throw DbError(kErrorFail, "argument text too long");
  }
  return static_cast<SQLSMALLINT>(text.size());
}

// Reads a character or binary column in pieces. Returns false for NULL.
bool ReadLong(const Handle& statement, SQLUSMALLINT column, SQLSMALLINT c_type, std::string& out) {
  // Character data ends with a terminator inside every piece; binary does not.
  const SQLLEN terminator = c_type == SQL_C_CHAR ? 1 : 0;
  char buffer[kChunk];
  out.clear();
  for (;;) {
    SQLLEN indicator = 0;
    SQLRETURN result =
        Check(SQLGetData(statement.get(), column, c_type, buffer, kChunk, &indicator), statement,
              "SQLGetData");
    if (result == SQL_NO_DATA) return true;  // every piece has been read
    if (indicator == SQL_NULL_DATA) return false;
    SQLLEN piece = (indicator == SQL_NO_TOTAL || indicator > kChunk - terminator)
                       ? kChunk - terminator
                       : indicator;
    out.append(buffer, static_cast<size_t>(piece));
    // SQL_SUCCESS means this was the last piece; with info (01004) more follow.
    if (result == SQL_SUCCESS) return true;
    if (piece < kChunk - terminator) return true;
  }
}

template <typename T>
bool ReadFixed(const Handle& statement, SQLUSMALLINT column, SQLSMALLINT c_type, T& out) {
  SQLLEN indicator = 0;
  SQLRETURN result =
      Check(SQLGetData(statement.get(), column, c_type, &out, sizeof out, &indicator), statement,
            "SQLGetData");
  return result != SQL_NO_DATA && indicator != SQL_NULL_DATA;
}

int64_t LocalTimeToUnix(const SQL_TIMESTAMP_STRUCT& ts) {
  std::tm parts{};
  parts.tm_year = ts.year - 1900;
  parts.tm_mon = ts.month - 1;
  parts.tm_mday = ts.day;
  parts.tm_hour = ts.hour;
  parts.tm_min = ts.minute;
  parts.tm_sec = ts.second;
  parts.tm_isdst = -1;  // the zone rules decide, as when the literal was written
  return static_cast<int64_t>(std::mktime(&parts));
}

DbValue ReadValue(const Handle& statement, SQLUSMALLINT column, SQLSMALLINT sql_type) {
  switch (sql_type) {
    case SQL_BIT:
    case SQL_TINYINT:
    case SQL_SMALLINT:
    case SQL_INTEGER:
    case SQL_BIGINT: {
      SQLBIGINT number = 0;
      if (!ReadFixed(statement, column, SQL_C_SBIGINT, number)) return DbValue::Null();
      if (number >= std::numeric_limits<int32_t>::min() &&
          number <= std::numeric_limits<int32_t>::max()) {
        return DbValue::Int32(static_cast<int32_t>(number));
      }
      // Wider than a 32-bit integer: kept exact rather than truncated.
      return DbValue::Decimal(std::to_string(number));
    }
    case SQL_REAL:
    case SQL_FLOAT:
    case SQL_DOUBLE: {
      SQLDOUBLE number = 0;
      if (!ReadFixed(statement, column, SQL_C_DOUBLE, number)) return DbValue::Null();
      return DbValue::Double(number);
    }
    case SQL_TYPE_DATE:
    case SQL_TYPE_TIMESTAMP:
    case SQL_DATE:
    case SQL_TIMESTAMP: {
      SQL_TIMESTAMP_STRUCT stamp{};
      if (!ReadFixed(statement, column, SQL_C_TYPE_TIMESTAMP, stamp)) return DbValue::Null();
      return DbValue::Date(LocalTimeToUnix(stamp));
    }
    case SQL_BINARY:
    case SQL_VARBINARY:
    case SQL_LONGVARBINARY: {
      std::string bytes;
      if (!ReadLong(statement, column, SQL_C_BINARY, bytes)) return DbValue::Null();
      return DbValue::Bytes(std::vector<uint8_t>(bytes.begin(), bytes.end()));
    }
    case SQL_DECIMAL:
    case SQL_NUMERIC: {
      std::string digits;
      if (!ReadLong(statement, column, SQL_C_CHAR, digits)) return DbValue::Null();
      return DbValue::Decimal(std::move(digits));
    }
    default: {
      std::string text;
      if (!ReadLong(statement, column, SQL_C_CHAR, text)) return DbValue::Null();
      return DbValue::Text(std::move(text));
    }
  }
}

bool IsCharacter(SQLSMALLINT type) {
  return type == SQL_CHAR || type == SQL_VARCHAR || type == SQL_LONGVARCHAR || type == SQL_WCHAR ||
         type == SQL_WVARCHAR || type == SQL_WLONGVARCHAR;
}

// The column's type name as declared (SQLite) or as the server names it.
std::string TypeName(const Handle& statement, SQLUSMALLINT column) {
  SQLCHAR name[128] = {};
  SQLSMALLINT length = 0;
  static_cast<void>(Check(SQLColAttribute(statement.get(), column, SQL_DESC_TYPE_NAME, name,
                                          sizeof name, &length, nullptr),
                          statement, "SQLColAttribute(SQL_DESC_TYPE_NAME)"));
  return reinterpret_cast<const char*>(name);
}

// SQLite's driver reports columns declared IMAGE (the schema's binary type)
// or DECIMAL(p,s) as character data, and would hand an image out as hex
// text; the declared type name tells what the column holds.
SQLSMALLINT DeclaredType(SQLSMALLINT reported, std::string_view name) {
  for (std::string_view binary : {"IMAGE", "BLOB", "BYTEA", "VARBINARY", "LONGVARBINARY"}) {
    if (EqualsIgnoringCase(name, binary)) return SQL_LONGVARBINARY;
  }
  for (std::string_view decimal : {"DECIMAL", "NUMERIC"}) {
    if (name.size() >= decimal.size() &&
        EqualsIgnoringCase(name.substr(0, decimal.size()), decimal)) {
      return SQL_DECIMAL;
    }
  }
  return reported;
}

// Runs a catalogue function's statement and collects the texts of the given
// 1-based result columns, row by row.
std::vector<std::vector<std::string>> CollectText(const Handle& statement,
                                                  const std::vector<SQLUSMALLINT>& columns) {
  std::vector<std::vector<std::string>> rows;
  while (Check(SQLFetch(statement.get()), statement, "SQLFetch") != SQL_NO_DATA) {
    std::vector<std::string> row;
    for (SQLUSMALLINT column : columns) {
      std::string text;
      if (!ReadLong(statement, column, SQL_C_CHAR, text)) text.clear();
      row.push_back(std::move(text));
    }
    rows.push_back(std::move(row));
  }
  return rows;
}

}  // namespace

// --- Recordset -------------------------------------------------------------

Recordset::Recordset(Handle statement) : statement_(std::move(statement)) {
  SQLSMALLINT count = 0;
  static_cast<void>(
      Check(SQLNumResultCols(statement_.get(), &count), statement_, "SQLNumResultCols"));
  for (SQLSMALLINT column = 1; column <= count; ++column) {
    SQLCHAR name[256] = {};
    SQLSMALLINT name_length = 0;
    SQLSMALLINT type = 0;
    SQLULEN size = 0;
    SQLSMALLINT digits = 0;
    SQLSMALLINT nullable = 0;
    static_cast<void>(Check(SQLDescribeCol(statement_.get(), column, name, sizeof name,
                                           &name_length, &type, &size, &digits, &nullable),
                            statement_, "SQLDescribeCol"));
    names_.emplace_back(reinterpret_cast<const char*>(name));
    types_.push_back(IsCharacter(type) ? DeclaredType(type, TypeName(statement_, column)) : type);
  }
  if (count == 0) {
    // No result set (a statement that returns no rows): nothing to fetch.
    statement_.Free();
    return;
  }
  Fetch();
}

void Recordset::Fetch() {
  row_.clear();
  if (Check(SQLFetch(statement_.get()), statement_, "SQLFetch") == SQL_NO_DATA) {
    at_end_ = true;
    statement_.Free();
    return;
  }
  at_end_ = false;
  // Read the whole row now: drivers only allow SQLGetData in column order and
  // once per column, while callers read fields in any order and repeatedly.
  row_.reserve(types_.size());
  for (size_t i = 0; i < types_.size(); ++i) {
    row_.push_back(ReadValue(statement_, static_cast<SQLUSMALLINT>(i + 1), types_[i]));
  }
}

void Recordset::Next() {
  if (at_end_) throw DbError(kErrorFail, "Recordset: no current row");
  Fetch();
}

const std::string& Recordset::FieldName(int index) const {
  if (index < 0 || index >= FieldCount()) {
    throw DbError(kErrorFail, "Recordset: no field " + std::to_string(index));
  }
  return names_[static_cast<size_t>(index)];
}

const DbValue& Recordset::Value(int index) const {
  if (index < 0 || index >= FieldCount()) {
    throw DbError(kErrorFail, "Recordset: no field " + std::to_string(index));
  }
  if (at_end_) throw DbError(kErrorFail, "Recordset: no current row");
  return row_[static_cast<size_t>(index)];
}

const DbValue& Recordset::Value(std::string_view name) const {
  for (size_t i = 0; i < names_.size(); ++i) {
    if (EqualsIgnoringCase(names_[i], name)) return Value(static_cast<int>(i));
  }
  throw DbError(kErrorFail, "Recordset: no field named " + std::string(name));
}

void Recordset::Close() {
  at_end_ = true;
  row_.clear();
  statement_.Free();
}

// --- Connection ------------------------------------------------------------

Connection::~Connection() {
  if (connection_.valid()) {
    // Nobody to report to here; the handle is freed regardless.
    static_cast<void>(SQLDisconnect(connection_.get()));
  }
}

void Connection::Open(const std::string& connection_string, int command_timeout_seconds) {
  Close();
  if (!environment_.valid()) {
    Handle environment = Handle::Allocate(SQL_HANDLE_ENV, nullptr);
    static_cast<void>(Check(SQLSetEnvAttr(environment.get(), SQL_ATTR_ODBC_VERSION,
                                          reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0),
                            environment, "SQLSetEnvAttr"));
    environment_ = std::move(environment);
  }
  Handle connection = Handle::Allocate(SQL_HANDLE_DBC, &environment_);
  SQLCHAR completed[1024] = {};
  SQLSMALLINT completed_length = 0;
  static_cast<void>(
      Check(SQLDriverConnect(connection.get(), nullptr, SqlText(connection_string),
                             ShortLength(connection_string), completed, sizeof completed,
                             &completed_length, SQL_DRIVER_NOPROMPT),
            connection, "SQLDriverConnect"));
  connection_ = std::move(connection);
  command_timeout_seconds_ = command_timeout_seconds;
}

void Connection::Close() {
  if (!connection_.valid()) return;
  Handle connection = std::move(connection_);
  // The handle is freed on the way out whether or not the driver agrees.
  static_cast<void>(Check(SQLDisconnect(connection.get()), connection, "SQLDisconnect"));
}

Handle Connection::NewStatement() {
  if (!connection_.valid()) throw DbError(kErrorFail, "connection is not open");
  Handle statement = Handle::Allocate(SQL_HANDLE_STMT, &connection_);
  if (command_timeout_seconds_ >= 0) {
    static_cast<void>(Check(
        SQLSetStmtAttr(statement.get(), SQL_ATTR_QUERY_TIMEOUT,
                       reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(command_timeout_seconds_)),
                       0),
        statement, "SQLSetStmtAttr(SQL_ATTR_QUERY_TIMEOUT)"));
  }
  return statement;
}

int64_t Connection::RowsAffected(const Handle& statement) {
  SQLLEN count = 0;
  static_cast<void>(Check(SQLRowCount(statement.get(), &count), statement, "SQLRowCount"));
  // -1 (cannot tell, as for DDL) writes nothing.
  if (count > 0) counts_.rows_written += static_cast<uint64_t>(count);
  return count;
}

int64_t Connection::Execute(std::string_view sql) {
  Handle statement = NewStatement();
  ++counts_.statements;
  if (Check(SQLExecDirect(statement.get(), SqlText(sql), SqlLength(sql)), statement,
            "SQLExecDirect") == SQL_NO_DATA) {
    return 0;  // a searched UPDATE or DELETE that matched nothing
  }
  return RowsAffected(statement);
}

Recordset Connection::Query(std::string_view sql) {
  Handle statement = NewStatement();
  ++counts_.statements;
  static_cast<void>(Check(SQLExecDirect(statement.get(), SqlText(sql), SqlLength(sql)), statement,
                          "SQLExecDirect"));
  return Recordset(std::move(statement));
}

DbValue Connection::QuerySingleValue(std::string_view sql) noexcept {
  try {
    Recordset recordset = Query(sql);
    if (recordset.AtEnd() || recordset.FieldCount() == 0) return DbValue();
    return recordset.Value(0);
  } catch (...) {
    // Callers treat EMPTY as "no value"; a failed statement is one of those.
    return DbValue();
  }
}

int64_t Connection::ExecuteWithBinary(std::string_view sql, const std::vector<uint8_t>& bytes) {
  Handle statement = NewStatement();
  ++counts_.statements;
  static_cast<void>(
      Check(SQLPrepare(statement.get(), SqlText(sql), SqlLength(sql)), statement, "SQLPrepare"));
  // An empty value still needs a valid buffer address.
  static const uint8_t kNothing = 0;
  SQLLEN length = static_cast<SQLLEN>(bytes.size());
  SQLPOINTER data = const_cast<uint8_t*>(bytes.empty() ? &kNothing : bytes.data());
  // SQL_VARBINARY rather than SQL_LONGVARBINARY: psqlODBC maps the latter to
  // large objects unless configured otherwise; both map to a BLOB in SQLite.
  static_cast<void>(
      Check(SQLBindParameter(statement.get(), 1, SQL_PARAM_INPUT, SQL_C_BINARY, SQL_VARBINARY,
                             bytes.empty() ? 1 : bytes.size(), 0, data, length, &length),
            statement, "SQLBindParameter"));
  if (Check(SQLExecute(statement.get()), statement, "SQLExecute") == SQL_NO_DATA) return 0;
  return RowsAffected(statement);
}

void Connection::BeginTransaction(bool use_transactions) {
  if (!use_transactions) return;
  if (!connection_.valid()) throw DbError(kErrorFail, "connection is not open");
  static_cast<void>(Check(SQLSetConnectAttr(connection_.get(), SQL_ATTR_AUTOCOMMIT,
                                            reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0),
                          connection_, "SQLSetConnectAttr(SQL_ATTR_AUTOCOMMIT)"));
}

void Connection::EndTransaction(SQLSMALLINT completion, std::string_view call) {
  if (!connection_.valid()) throw DbError(kErrorFail, "connection is not open");
  static_cast<void>(
      Check(SQLEndTran(SQL_HANDLE_DBC, connection_.get(), completion), connection_, call));
  static_cast<void>(Check(SQLSetConnectAttr(connection_.get(), SQL_ATTR_AUTOCOMMIT,
                                            reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON), 0),
                          connection_, "SQLSetConnectAttr(SQL_ATTR_AUTOCOMMIT)"));
}

void Connection::Commit(bool use_transactions) {
  if (use_transactions) EndTransaction(SQL_COMMIT, "SQLEndTran(SQL_COMMIT)");
}

void Connection::Rollback(bool use_transactions) {
  if (use_transactions) EndTransaction(SQL_ROLLBACK, "SQLEndTran(SQL_ROLLBACK)");
}

std::string Connection::DbmsName() {
  if (!connection_.valid()) throw DbError(kErrorFail, "connection is not open");
  SQLCHAR name[256] = {};
  SQLSMALLINT length = 0;
  static_cast<void>(Check(SQLGetInfo(connection_.get(), SQL_DBMS_NAME, name, sizeof name, &length),
                          connection_, "SQLGetInfo(SQL_DBMS_NAME)"));
  return reinterpret_cast<const char*>(name);
}

std::vector<std::string> Connection::Tables(std::string_view type) {
  Handle statement = NewStatement();
  static_cast<void>(Check(SQLTables(statement.get(), nullptr, 0, nullptr, 0, SqlText("%"), SQL_NTS,
                                    SqlText(type), ShortLength(type)),
                          statement, "SQLTables"));
  std::vector<std::string> names;
  for (auto& row : CollectText(statement, {3})) names.push_back(std::move(row[0]));  // TABLE_NAME
  return names;
}

std::vector<Connection::Column> Connection::Columns(std::string_view table) {
  Handle statement = NewStatement();
  static_cast<void>(Check(SQLColumns(statement.get(), nullptr, 0, nullptr, 0, SqlText(table),
                                     ShortLength(table), nullptr, 0),
                          statement, "SQLColumns"));
  std::vector<Column> columns;
  // COLUMN_NAME, TYPE_NAME, DATA_TYPE, COLUMN_SIZE
  for (auto& row : CollectText(statement, {4, 6, 5, 7})) {
    Column column{std::move(row[0]), std::move(row[1])};
    const long data_type = std::strtol(row[2].c_str(), nullptr, 10);
    const bool short_text = data_type == SQL_CHAR || data_type == SQL_VARCHAR ||
                            data_type == SQL_WCHAR || data_type == SQL_WVARCHAR;
    // Drivers report a VARCHAR longer than their own limit (255 for SQLite's
    // and PostgreSQL's) as long text, with its declared length; its type
    // name still tells it from TEXT, whose size is only the driver's.
    const bool long_text = data_type == SQL_LONGVARCHAR || data_type == SQL_WLONGVARCHAR;
    if (short_text || (long_text && ContainsIgnoringCase(column.type_name, "char"))) {
      const long size = std::strtol(row[3].c_str(), nullptr, 10);
      if (size > 0 && size <= std::numeric_limits<int>::max())
        column.text_width = static_cast<int>(size);
    }
    columns.push_back(std::move(column));
  }
  return columns;
}

}  // namespace corvane::db

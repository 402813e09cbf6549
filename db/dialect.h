// SQL literals and dialect rules: how values are written into statement text
// for each kind of database. Pure functions, no shared state; safe on any
// thread (local time is read with localtime_r).
//
// White space trimmed by SqlQuote: ASCII white space (space, \t, \n, \v, \f,
// \r) and the Unicode White_Space characters in their UTF-8 form: U+0085,
// U+00A0, U+1680, U+2000-U+200A, U+2028, U+2029, U+202F, U+205F, U+3000.

#ifndef CORVANE_DB_DIALECT_H_
#define CORVANE_DB_DIALECT_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "db/dbms.h"
#include "db/value.h"

namespace corvane::db {

// Codes of a failed value conversion, as a VARIANT conversion reports them.
inline constexpr uint32_t kErrorTypeMismatch = 0x80020005;  // DISP_E_TYPEMISMATCH
inline constexpr uint32_t kErrorOverflow = 0x8002000A;      // DISP_E_OVERFLOW

// A text literal: '' for a null-like or empty value (never NULL); otherwise
// the text trimmed, single quotes doubled, enclosed in single quotes.
std::string SqlQuote(const DbValue& value);

// `text` without the white space SqlQuote trims (ASCII and Unicode white
// space, see above) at both ends; how a stored text compares with a scanned
// one.
std::string_view TrimSqlWhiteSpace(std::string_view text);

// `text` with every single quote doubled (the inside of a text literal, as
// it stands, without trimming).
std::string DoubleSingleQuotes(std::string_view text);

// The SQL literal of `value` for a column of `type`. *is_raw (may be null) is
// set false first, true for binary, whose text comes back unchanged for the
// caller to bind itself.
//  - number: "null" for null-like or empty values; a text keeps only its
//    digits ("-12" -> 12, "1,024" -> 1024), "-1" when none are left. Digit
//    strings too long for 32 bits are read as strtoll reads them, which never
//    gives -1, so they are written as they are and the database decides
//    whether the column takes them. Other values convert to int32; a failed
//    conversion throws DbError (kErrorTypeMismatch or kErrorOverflow).
//  - date: the text read as seconds since 1970 (leading digits, strtoll);
//    no digits, -1 or a time localtime cannot represent give "NULL", else
//    DateLiteral of it.
std::string FormatSqlValue(DataType type, const DbValue& value, DbmsKind kind, bool* is_raw);

// Appends ", column" to `columns` and ", literal" to `values` for one column
// of an INSERT. Null-like values and unknown types append nothing, so the two
// lists always stay the same length. Binary and number write `int_value`;
// text writes SqlQuote; date wraps the value's text (quotes doubled, so the
// text cannot end the literal) in the dialect's date form, a DbValue::Date
// being written as DateLiteral of its time.
void AppendColumnValue(DataType type, std::string_view column, const DbValue& value,
                       int32_t int_value, DbmsKind kind, std::string& columns, std::string& values);

// The date literal of a time, converted to local time:
// TO_DATE('01/31/2024 13:05:00', 'MM/DD/YYYY HH24:MI:SS') on Oracle, the ODBC escape
// {ts 'YYYY-MM-DD HH:MM:SS'} everywhere else. "NULL" when local time cannot
// represent the time.
std::string DateLiteral(int64_t unix_seconds, DbmsKind kind);

// The query that reads the key of the row just inserted into `table`:
// @@identity (SQL Server), the table's sequence TableSEQ.CURRVAL (Oracle),
// last_insert_rowid() (SQLite), lastval() (PostgreSQL); empty for kinds that
// do not read keys this way (Access, other, unknown).
std::string InsertedKeyQuery(DbmsKind kind, std::string_view table);

// A query that answers the row of `table` whose `id_column` is `id` and locks
// it as an update would, until the transaction ends: FOR UPDATE (PostgreSQL,
// Oracle), UPDLOCK and ROWLOCK hints (SQL Server). Empty for SQLite, whose
// one writer holds the whole database, and for kinds without row locks.
std::string LockRowQuery(DbmsKind kind, std::string_view table, std::string_view id_column,
                         int32_t id);

// A query that any live connection answers with one row and touches no
// table ("SELECT 1", on Oracle from DUAL).
std::string_view LivenessQuery(DbmsKind kind);

// The DataType of a column type name, compared ignoring case, surrounding
// blanks and a size suffix ("varchar(255)"):
//   binary: IMAGE, BLOB (SQLite), BYTEA (PostgreSQL)
//   text:   CHAR, VARCHAR, TEXT, BPCHAR and CHARACTER VARYING (PostgreSQL)
//   number: INT, INTEGER (SQLite, PostgreSQL), INT4 (PostgreSQL)
//   date:   DATETIME, TIMESTAMP (both), TIMESTAMP WITHOUT TIME ZONE
// nullopt for any other name.
std::optional<DataType> DataTypeForColumnType(std::string_view type_name);

// How a text column's width counts a UTF-8 text: in characters on SQLite and
// PostgreSQL, in bytes everywhere else (SQL Server's VARCHAR, Oracle's
// VARCHAR2 with byte semantics). Counting bytes where a column holds more
// only cuts earlier; it never lets a value past its column.
bool TextWidthInCharacters(DbmsKind kind);
size_t TextLength(std::string_view utf8, DbmsKind kind);
// Cuts `utf8` to at most `width` units of TextLength, at a character
// boundary (never inside a UTF-8 sequence). False when it already fitted.
bool CutToWidth(std::string& utf8, size_t width, DbmsKind kind);

}  // namespace corvane::db

#endif  // CORVANE_DB_DIALECT_H_

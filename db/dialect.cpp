#include "db/dialect.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <string>

#include "Common/Include/ascii_case.h"
#include "db/error.h"

namespace corvane::db {
namespace {

// UTF-8 forms of the Unicode white space beyond ASCII (see the header).
constexpr std::string_view kUnicodeSpaces[] = {
    "\xC2\x85",     "\xC2\xA0",     "\xE1\x9A\x80", "\xE2\x80\x80", "\xE2\x80\x81",
    "\xE2\x80\x82", "\xE2\x80\x83", "\xE2\x80\x84", "\xE2\x80\x85", "\xE2\x80\x86",
    "\xE2\x80\x87", "\xE2\x80\x88", "\xE2\x80\x89", "\xE2\x80\x8A", "\xE2\x80\xA8",
    "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F", "\xE3\x80\x80",
};

bool IsAsciiSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Length of the white space character at the start (or end) of `text`, 0 if
// there is none. UTF-8 is self-synchronising, so a matching suffix is always
// a whole character in valid text.
size_t LeadingSpace(std::string_view text) {
  if (text.empty()) return 0;
  if (IsAsciiSpace(text.front())) return 1;
  // Every Unicode space starts with one of these lead bytes.
  const auto lead = static_cast<unsigned char>(text.front());
  if (lead != 0xC2 && lead != 0xE1 && lead != 0xE2 && lead != 0xE3) return 0;
  for (std::string_view space : kUnicodeSpaces) {
    if (text.starts_with(space)) return space.size();
  }
  return 0;
}

size_t TrailingSpace(std::string_view text) {
  if (text.empty()) return 0;
  if (IsAsciiSpace(text.back())) return 1;
  // Every Unicode space ends in a continuation byte; ASCII never does.
  if ((static_cast<unsigned char>(text.back()) & 0xC0) != 0x80) return 0;
  for (std::string_view space : kUnicodeSpaces) {
    if (text.ends_with(space)) return space.size();
  }
  return 0;
}

// Wraps an already formatted date text in the dialect's literal.
std::string WrapDateText(std::string_view text, DbmsKind kind) {
  if (kind == kDbmsOracle) {
    return "TO_DATE('" + std::string(text) + "', 'MM/DD/YYYY HH24:MI:SS')";
  }
  return "{ts '" + std::string(text) + "'}";
}

std::string FormatNumber(const DbValue& value) {
  std::string text = value.ToText();
  if (value.is_null_like() || text.empty()) return "null";
  if (value.type() == DbValue::Type::kText) {
    std::string digits;
    for (char c : text) {
      if (c >= '0' && c <= '9') digits += c;
    }
    if (digits.empty()) return "-1";
    // Digits alone never read as -1 (strtoll saturates rather than wraps);
    // the check keeps the rule for any reading that could.
    if (std::strtoll(digits.c_str(), nullptr, 10) == -1) return "-1";
    return digits;
  }
  std::optional<int32_t> number = value.ToInt32();
  if (!number) {
    bool numeric = value.type() != DbValue::Type::kBytes;
    throw DbError(numeric ? kErrorOverflow : kErrorTypeMismatch,
                  "Cannot convert the value to a 32-bit integer");
  }
  return std::to_string(*number);
}

std::string FormatDate(const DbValue& value, DbmsKind kind) {
  std::string text = value.ToText();
  const char* begin = text.c_str();
  char* end = nullptr;
  errno = 0;
  long long seconds = std::strtoll(begin, &end, 10);
  // No digits at all reads as -1, so a text that is not a number gives NULL
  // rather than the first second of 1970.
  if (end == begin || errno == ERANGE) seconds = -1;
  if (seconds == -1) return "NULL";
  return DateLiteral(seconds, kind);
}

}  // namespace

std::string DoubleSingleQuotes(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  for (char c : text) {
    if (c == '\'') out += '\'';
    out += c;
  }
  return out;
}

std::string_view TrimSqlWhiteSpace(std::string_view text) {
  while (size_t n = LeadingSpace(text)) text.remove_prefix(n);
  while (size_t n = TrailingSpace(text)) text.remove_suffix(n);
  return text;
}

std::string SqlQuote(const DbValue& value) {
  if (value.is_null_like()) return "''";
  std::string text = value.ToText();
  return "'" + DoubleSingleQuotes(TrimSqlWhiteSpace(text)) + "'";
}

std::string FormatSqlValue(DataType type, const DbValue& value, DbmsKind kind, bool* is_raw) {
  if (is_raw) *is_raw = false;
  switch (type) {
    case kValueBinary:
      if (is_raw) *is_raw = true;
      return value.ToText();
    case kValueText:
      return SqlQuote(value);
    case kValueNumber:
      return FormatNumber(value);
    case kValueDate:
      return FormatDate(value, kind);
  }
  // Unknown types are written as text, the only form that is always a valid
  // and safely quoted literal.
  return SqlQuote(value);
}

void AppendColumnValue(DataType type, std::string_view column, const DbValue& value,
                       int32_t int_value, DbmsKind kind, std::string& columns,
                       std::string& values) {
  if (value.is_null_like()) return;
  std::string literal;
  switch (type) {
    case kValueBinary:
    case kValueNumber:
      literal = std::to_string(int_value);
      break;
    case kValueText:
      literal = SqlQuote(value);
      break;
    case kValueDate:
      if (value.type() == DbValue::Type::kDate) {
        literal = DateLiteral(value.date(), kind);
      } else {
        literal = WrapDateText(DoubleSingleQuotes(value.ToText()), kind);
      }
      break;
    default:
      return;
  }
  columns += ", ";
  columns += column;
  values += ", ";
  values += literal;
}

std::string DateLiteral(int64_t unix_seconds, DbmsKind kind) {
  time_t time = static_cast<time_t>(unix_seconds);
  struct tm local {};
  if (static_cast<int64_t>(time) != unix_seconds || localtime_r(&time, &local) == nullptr) {
    return "NULL";
  }
  char buffer[64];
  const char* format = kind == kDbmsOracle ? "%m/%d/%Y %H:%M:%S" : "%Y-%m-%d %H:%M:%S";
  size_t length = std::strftime(buffer, sizeof buffer, format, &local);
  if (length == 0) return "NULL";
  return WrapDateText(std::string_view(buffer, length), kind);
}

std::string InsertedKeyQuery(DbmsKind kind, std::string_view table) {
  switch (kind) {
    case kDbmsSqlServer:
      return "SELECT @@identity";
    case kDbmsOracle:
      return "SELECT " + std::string(table) + "SEQ.CURRVAL FROM DUAL";
    case kDbmsSqlite:
      return "SELECT last_insert_rowid()";
    case kDbmsPostgres:
      return "SELECT lastval()";
    default:
      return std::string();
  }
}

std::optional<DataType> DataTypeForColumnType(std::string_view type_name) {
  std::string_view name = type_name;
  if (size_t paren = name.find('('); paren != std::string_view::npos) {
    name = name.substr(0, paren);
  }
  while (!name.empty() && IsAsciiSpace(name.front())) name.remove_prefix(1);
  while (!name.empty() && IsAsciiSpace(name.back())) name.remove_suffix(1);
  const std::string upper = Upper(name);
  if (upper == "IMAGE" || upper == "BLOB" || upper == "BYTEA") return kValueBinary;
  if (upper == "CHAR" || upper == "VARCHAR" || upper == "TEXT" || upper == "BPCHAR" ||
      upper == "CHARACTER VARYING") {
    return kValueText;
  }
  if (upper == "INT" || upper == "INTEGER" || upper == "INT4") return kValueNumber;
  if (upper == "DATETIME" || upper == "TIMESTAMP" || upper == "TIMESTAMP WITHOUT TIME ZONE") {
    return kValueDate;
  }
  return std::nullopt;
}

std::string LockRowQuery(DbmsKind kind, std::string_view table, std::string_view id_column,
                         int32_t id) {
  const std::string where = " WHERE " + std::string(id_column) + " = " + std::to_string(id);
  const std::string select = "SELECT " + std::string(id_column) + " FROM " + std::string(table);
  switch (kind) {
    case kDbmsPostgres:
    case kDbmsOracle:
      return select + where + " FOR UPDATE";
    case kDbmsSqlServer:
      return select + " WITH (UPDLOCK, ROWLOCK)" + where;
    default:
      return std::string();
  }
}

std::string_view LivenessQuery(DbmsKind kind) {
  return kind == kDbmsOracle ? "SELECT 1 FROM DUAL" : "SELECT 1";
}

namespace {

bool ContinuationByte(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

}  // namespace

bool TextWidthInCharacters(DbmsKind kind) { return kind == kDbmsSqlite || kind == kDbmsPostgres; }

size_t TextLength(std::string_view utf8, DbmsKind kind) {
  if (!TextWidthInCharacters(kind)) return utf8.size();
  return static_cast<size_t>(
      std::count_if(utf8.begin(), utf8.end(), [](char c) { return !ContinuationByte(c); }));
}

bool CutToWidth(std::string& utf8, size_t width, DbmsKind kind) {
  size_t cut = utf8.size();
  if (TextWidthInCharacters(kind)) {
    size_t characters = 0;
    for (size_t i = 0; i < utf8.size(); ++i) {
      if (ContinuationByte(utf8[i])) continue;
      if (characters++ == width) {
        cut = i;
        break;
      }
    }
  } else if (utf8.size() > width) {
    cut = width;
    while (cut > 0 && ContinuationByte(utf8[cut])) --cut;
  }
  if (cut == utf8.size()) return false;
  utf8.resize(cut);
  return true;
}

}  // namespace corvane::db

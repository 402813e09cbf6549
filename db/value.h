// A database value as the server handles it: what a VARIANT carries.
//
// Empty (no value at all), Null (SQL NULL), an error marker, a 32-bit
// integer, a decimal (kept as its exact text), a double, a date (seconds
// since 1970, UTC), a UTF-8 text, or bytes. Plain value type: copyable, no
// shared state.

#ifndef CORVANE_DB_VALUE_H_
#define CORVANE_DB_VALUE_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace corvane::db {

class DbValue {
 public:
  enum class Type { kEmpty, kNull, kError, kInt32, kDecimal, kDouble, kDate, kText, kBytes };

  DbValue() = default;  // empty
  static DbValue Null();
  static DbValue Error();
  static DbValue Int32(int32_t value);
  static DbValue Decimal(std::string digits);  // e.g. "-12.50"
  static DbValue Double(double value);
  static DbValue Date(int64_t unix_seconds);
  static DbValue Text(std::string text);
  static DbValue Bytes(std::vector<uint8_t> bytes);

  Type type() const { return type_; }
  bool is_empty() const { return type_ == Type::kEmpty; }
  // Null, empty or error: what the dialect rules call "null-like".
  bool is_null_like() const {
    return type_ == Type::kEmpty || type_ == Type::kNull || type_ == Type::kError;
  }

  // The value as text: integers and decimals in decimal, doubles with up to
  // 15 significant digits, dates as seconds since 1970, bytes as they are;
  // empty for null-like values.
  std::string ToText() const;
  // The value as a 32-bit integer: numbers converted (rounded toward zero),
  // texts read whole (nullopt when they are not a number or out of range),
  // nullopt for null-like values and bytes.
  std::optional<int32_t> ToInt32() const;

  int32_t int32() const { return int_; }
  double as_double() const { return double_; }
  int64_t date() const { return date_; }
  const std::string& text() const { return text_; }  // text and decimal digits
  const std::vector<uint8_t>& bytes() const { return bytes_; }

  bool operator==(const DbValue& other) const = default;

 private:
  Type type_ = Type::kEmpty;
  int32_t int_ = 0;
  double double_ = 0;
  int64_t date_ = 0;
  std::string text_;
  std::vector<uint8_t> bytes_;
};

}  // namespace corvane::db

#endif  // CORVANE_DB_VALUE_H_

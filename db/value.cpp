#include "db/value.h"

#include <cmath>
#include <cstdio>
#include <limits>
#include <string_view>
#include <utility>

namespace corvane::db {
namespace {

bool IsAsciiSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Reads a whole decimal number ("  -12.75 ") and truncates it toward zero.
// Only the integer digits decide the range, so "2147483647.9" still fits.
std::optional<int32_t> ParseWholeNumber(std::string_view text) {
  size_t pos = 0;
  size_t end = text.size();
  while (pos < end && IsAsciiSpace(text[pos])) ++pos;
  while (end > pos && IsAsciiSpace(text[end - 1])) --end;
  bool negative = false;
  if (pos < end && (text[pos] == '+' || text[pos] == '-')) {
    negative = text[pos] == '-';
    ++pos;
  }
  int64_t magnitude = 0;
  size_t digits = 0;
  constexpr int64_t kLimit = int64_t{std::numeric_limits<int32_t>::max()} + 1;
  while (pos < end && text[pos] >= '0' && text[pos] <= '9') {
    magnitude = magnitude * 10 + (text[pos] - '0');
    if (magnitude > kLimit) return std::nullopt;
    ++pos;
    ++digits;
  }
  if (pos < end && text[pos] == '.') {
    ++pos;
    while (pos < end && text[pos] >= '0' && text[pos] <= '9') {
      ++pos;
      ++digits;
    }
  }
  if (digits == 0 || pos != end) return std::nullopt;
  int64_t value = negative ? -magnitude : magnitude;
  if (value > std::numeric_limits<int32_t>::max() || value < std::numeric_limits<int32_t>::min()) {
    return std::nullopt;
  }
  return static_cast<int32_t>(value);
}

}  // namespace

DbValue DbValue::Null() {
  DbValue v;
  v.type_ = Type::kNull;
  return v;
}

DbValue DbValue::Error() {
  DbValue v;
  v.type_ = Type::kError;
  return v;
}

DbValue DbValue::Int32(int32_t value) {
  DbValue v;
  v.type_ = Type::kInt32;
  v.int_ = value;
  return v;
}

DbValue DbValue::Decimal(std::string digits) {
  DbValue v;
  v.type_ = Type::kDecimal;
  v.text_ = std::move(digits);
  return v;
}

DbValue DbValue::Double(double value) {
  DbValue v;
  v.type_ = Type::kDouble;
  v.double_ = value;
  return v;
}

DbValue DbValue::Date(int64_t unix_seconds) {
  DbValue v;
  v.type_ = Type::kDate;
  v.date_ = unix_seconds;
  return v;
}

DbValue DbValue::Text(std::string text) {
  DbValue v;
  v.type_ = Type::kText;
  v.text_ = std::move(text);
  return v;
}

DbValue DbValue::Bytes(std::vector<uint8_t> bytes) {
  DbValue v;
  v.type_ = Type::kBytes;
  v.bytes_ = std::move(bytes);
  return v;
}

std::string DbValue::ToText() const {
  switch (type_) {
    case Type::kEmpty:
    case Type::kNull:
    case Type::kError:
      return std::string();
    case Type::kInt32:
      return std::to_string(int_);
    case Type::kDecimal:
    case Type::kText:
      return text_;
    case Type::kDouble: {
      char buffer[32];
      std::snprintf(buffer, sizeof buffer, "%.15g", double_);
      return buffer;
    }
    case Type::kDate:
      return std::to_string(date_);
    case Type::kBytes:
      return std::string(bytes_.begin(), bytes_.end());
  }
  return std::string();
}

std::optional<int32_t> DbValue::ToInt32() const {
  switch (type_) {
    case Type::kInt32:
      return int_;
    case Type::kDecimal:
    case Type::kText:
      return ParseWholeNumber(text_);
    case Type::kDouble: {
      if (std::isnan(double_)) return std::nullopt;
      double truncated = std::trunc(double_);
      // Compared as doubles: both limits are exact in a double, so no
      // out-of-range value reaches the undefined float-to-int cast.
      if (truncated < -2147483648.0 || truncated > 2147483647.0) return std::nullopt;
      return static_cast<int32_t>(truncated);
    }
    case Type::kDate:
      if (date_ < std::numeric_limits<int32_t>::min() ||
          date_ > std::numeric_limits<int32_t>::max()) {
        return std::nullopt;
      }
      return static_cast<int32_t>(date_);
    case Type::kEmpty:
    case Type::kNull:
    case Type::kError:
    case Type::kBytes:
      return std::nullopt;
  }
  return std::nullopt;
}

}  // namespace corvane::db

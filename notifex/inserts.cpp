#include "notifex/inserts.h"

#include <algorithm>
#include <cstdio>

namespace corvane::notifex {
namespace {

bool IsNumberToken(std::string_view token) {
  return token.find('d') != std::string_view::npos || token.find('x') != std::string_view::npos;
}

// Checks that `token` holds exactly one integer conversion and rewrites it
// into a format for a plain int: length modifiers are dropped because the
// argument is always a 32-bit int. Returns the conversion letter, or 0 when
// the token is not such a format.
char SanitiseNumberFormat(std::string_view token, std::string& format) {
  char conversion = 0;
  for (size_t i = 0; i < token.size(); ++i) {
    char c = token[i];
    if (c != '%') {
      format += c;
      continue;
    }
    if (i + 1 < token.size() && token[i + 1] == '%') {
      format += "%%";
      ++i;
      continue;
    }
    if (conversion != 0) return 0;
    format += '%';
    ++i;
    while (i < token.size() && std::string_view("-+ #0").find(token[i]) != std::string_view::npos) {
      format += token[i++];
    }
    for (int digits = 0; i < token.size() && token[i] >= '0' && token[i] <= '9'; ++digits) {
      if (digits == 3) return 0;
      format += token[i++];
    }
    if (i < token.size() && token[i] == '.') {
      format += token[i++];
      for (int digits = 0; i < token.size() && token[i] >= '0' && token[i] <= '9'; ++digits) {
        if (digits == 3) return 0;
        format += token[i++];
      }
    }
    while (i < token.size() &&
           std::string_view("hlLqjzt").find(token[i]) != std::string_view::npos) {
      ++i;
    }
    if (i >= token.size() || std::string_view("diuxXo").find(token[i]) == std::string_view::npos) {
      return 0;
    }
    conversion = token[i];
    format += conversion;
  }
  return conversion;
}

}  // namespace

std::vector<std::string> SplitInsertFormat(std::string_view format) {
  std::vector<std::string> tokens;
  size_t position = 0;
  while (position < format.size() && tokens.size() < kMaxInserts) {
    size_t start = format.find_first_not_of(' ', position);
    if (start == std::string_view::npos) break;
    size_t end = format.find(' ', start);
    if (end == std::string_view::npos) end = format.size();
    tokens.emplace_back(format.substr(start, end - start));
    position = end;
  }
  return tokens;
}

std::string FormatNumberInsert(std::string_view token, int32_t value) {
  std::string format;
  char conversion = SanitiseNumberFormat(token, format);
  if (conversion == 0) {
    format = token.find('d') != std::string_view::npos ? "%d" : "%x";
    conversion = format[1];
  }
  char buffer[128];
  int length;
  if (conversion == 'd' || conversion == 'i') {
    length = std::snprintf(buffer, sizeof buffer, format.c_str(), value);
  } else {
    length = std::snprintf(buffer, sizeof buffer, format.c_str(), static_cast<uint32_t>(value));
  }
  if (length < 0) return {};
  return std::string(buffer, std::min<size_t>(static_cast<size_t>(length), sizeof buffer - 1));
}

std::vector<std::string> BuildInserts(const char* format, InsertArguments& arguments) {
  std::vector<std::string> inserts;
  if (format == nullptr) return inserts;
  for (const std::string& token : SplitInsertFormat(format)) {
    if (IsNumberToken(token)) {
      inserts.push_back(FormatNumberInsert(token, arguments.NextNumber()));
    } else {
      const char* text = arguments.NextText();
      inserts.emplace_back(text != nullptr ? text : "(null)");
    }
  }
  return inserts;
}

}  // namespace corvane::notifex

// ASCII case rules for the names the server compares: table, column,
// registry and scan names are compared and folded in ASCII only, whatever
// the locale, so that a name matches the same way on every machine.
// Pure and thread-safe.

#ifndef CORVANE_COMMON_INCLUDE_ASCII_CASE_H_
#define CORVANE_COMMON_INCLUDE_ASCII_CASE_H_

#include <string>
#include <string_view>

namespace corvane {

inline char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }
inline char AsciiUpper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; }

inline bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

inline bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && EqualsIgnoringCase(text.substr(0, prefix.size()), prefix);
}

inline bool ContainsIgnoringCase(std::string_view text, std::string_view part) {
  for (size_t i = 0; i + part.size() <= text.size(); ++i) {
    if (EqualsIgnoringCase(text.substr(i, part.size()), part)) return true;
  }
  return false;
}

inline std::string Upper(std::string_view text) {
  std::string upper(text);
  for (char& c : upper) c = AsciiUpper(c);
  return upper;
}

inline std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = AsciiLower(c);
  return lower;
}

}  // namespace corvane

#endif  // CORVANE_COMMON_INCLUDE_ASCII_CASE_H_

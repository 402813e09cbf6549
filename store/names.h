// ASCII case rules for the table and column names the store compares and
// writes. Internal to the store; pure and thread-safe.

#ifndef CORVANE_STORE_NAMES_H_
#define CORVANE_STORE_NAMES_H_

#include <cctype>
#include <string>
#include <string_view>

namespace corvane::store {

inline bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

inline std::string Upper(std::string_view text) {
  std::string upper(text);
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return upper;
}

inline std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower;
}

}  // namespace corvane::store

#endif  // CORVANE_STORE_NAMES_H_

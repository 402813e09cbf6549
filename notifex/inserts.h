// Insert texts from an insert format and the caller's arguments.
//
// The format is split at blanks into at most kMaxInserts tokens; each token
// takes the next argument. A token containing 'd' or 'x' takes a 32-bit
// number and formats it with the token when the token is exactly one integer
// conversion (with optional literal text around it), else with "%d" or "%x";
// any other token takes a text. The caller's texts are copied, never used as
// formats. Pure apart from pulling arguments from the source.

#ifndef CORVANE_NOTIFEX_INSERTS_H_
#define CORVANE_NOTIFEX_INSERTS_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::notifex {

inline constexpr size_t kMaxInserts = 10;

// Where the arguments come from: a va_list in the library, a list in tests.
class InsertArguments {
 public:
  virtual ~InsertArguments() = default;
  virtual int32_t NextNumber() = 0;
  virtual const char* NextText() = 0;  // may return null
};

std::vector<std::string> SplitInsertFormat(std::string_view format);

std::vector<std::string> BuildInserts(const char* format, InsertArguments& arguments);

// Formats `value` with one number token as described above.
std::string FormatNumberInsert(std::string_view token, int32_t value);

}  // namespace corvane::notifex

#endif  // CORVANE_NOTIFEX_INSERTS_H_

#include "db/open_failure.h"

#include "db/error.h"
#include "diag/catalogue.h"

namespace corvane::db {

std::string OpenFailureText(uint32_t result, std::string_view error_text) {
  std::string text;
  if (result == kErrorCredentials) {
    text = diag::ProgramString(36).value_or("");
  } else if (result == kErrorDbInit) {
    text = diag::ProgramString(37).value_or("");
  } else if (result == kErrorSchemaTooNew) {
    // The text that says which versions is all there is to say.
    return std::string(error_text);
  } else {
    text = "CVInv.dll\r\n" + std::to_string(static_cast<int32_t>(result));
  }
  if (!error_text.empty()) {
    text += "\r\n";
    text += error_text;
  }
  return text;
}

}  // namespace corvane::db

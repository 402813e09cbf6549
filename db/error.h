// The database error: a 32-bit HRESULT-style code and the driver's text.
//
// Every failing database call raises DbError; callers catch it at the level
// of a whole operation and report event 4100 with text(). The system's own
// codes keep their values.

#ifndef CORVANE_DB_ERROR_H_
#define CORVANE_DB_ERROR_H_

#include <cstdint>
#include <stdexcept>
#include <string>

namespace corvane::db {

inline constexpr uint32_t kErrorFail = 0x80004005;         // E_FAIL: not applied
inline constexpr uint32_t kErrorOutOfMemory = 0x8007000E;  // E_OUTOFMEMORY
inline constexpr uint32_t kErrorCredentials = 0x8055050C;  // credentials unreadable
inline constexpr uint32_t kErrorDbInit = 0x8055050D;       // metaschema unreadable
inline constexpr uint32_t kErrorScanUnreadable = 0x8055050F;

class DbError : public std::runtime_error {
 public:
  DbError(uint32_t code, const std::string& text) : std::runtime_error(text), code_(code) {}
  uint32_t code() const { return code_; }
  std::string text() const { return what(); }

 private:
  uint32_t code_;
};

}  // namespace corvane::db

#endif  // CORVANE_DB_ERROR_H_

// The text a processing thread reports (event 4100) when the database cannot
// be opened. Pure.

#ifndef CORVANE_DB_OPEN_FAILURE_H_
#define CORVANE_DB_OPEN_FAILURE_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace corvane::db {

// For the credentials code the text of string 36, for the initialisation
// code string 37, for any other result "CVInv.dll" and the result as a
// signed decimal on the next line; followed, on a line of its own, by the
// driver's `error_text` when there is one.
std::string OpenFailureText(uint32_t result, std::string_view error_text);

}  // namespace corvane::db

#endif  // CORVANE_DB_OPEN_FAILURE_H_

// Operating-system failures as one error type, raised at the platform edge.
//
// Every platform call that fails with an errno is turned into an OsError that
// names what was being done and to which object, so that callers can report
// one readable text without knowing the system call behind it.

#ifndef CORVANE_PLATFORM_ERROR_H_
#define CORVANE_PLATFORM_ERROR_H_

#include <stdexcept>
#include <string>

namespace corvane::platform {

class OsError : public std::runtime_error {
 public:
  // `context` says what failed, e.g. "open /var/lib/corvane/registry/x.reg".
  OsError(const std::string& context, int error_number);

  // The errno value; callers that report network errors use it as is.
  int error_number() const { return error_number_; }

 private:
  int error_number_;
};

// The system's text for an errno value ("No such file or directory").
std::string ErrnoText(int error_number);

}  // namespace corvane::platform

#endif  // CORVANE_PLATFORM_ERROR_H_

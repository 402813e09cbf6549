// Conversion of text in a single- or multi-byte code page into UTF-8.
//
// Scanners write their text in the system ANSI code page of the client
// (Windows-1252 unless configured otherwise); the server keeps all text as
// UTF-8. A converter never fails on its input: a byte that the code page
// does not define, or an incomplete sequence at the end, becomes the Unicode
// code point of the same value (U+0080..U+00FF), which for Windows-1252 is
// exactly what Windows does with its five undefined bytes. NUL bytes pass
// through unchanged.
//
// Construction throws OsError when the system knows no such code page. One
// object belongs to one thread at a time (it keeps conversion state).

#ifndef CORVANE_PLATFORM_CODEPAGE_H_
#define CORVANE_PLATFORM_CODEPAGE_H_

#include <string>
#include <string_view>

namespace corvane::platform {

class CodePageConverter {
 public:
  // `code_page` is the system's name of the code page, e.g. "WINDOWS-1252".
  explicit CodePageConverter(const std::string& code_page);
  ~CodePageConverter();
  CodePageConverter(const CodePageConverter&) = delete;
  CodePageConverter& operator=(const CodePageConverter&) = delete;

  // The UTF-8 form of `text`. Pure ASCII comes back unchanged.
  std::string ToUtf8(std::string_view text);

 private:
  void* handle_;
};

}  // namespace corvane::platform

#endif  // CORVANE_PLATFORM_CODEPAGE_H_

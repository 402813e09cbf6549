// Code page conversion through iconv.

#include "platform/codepage.h"

#include <errno.h>
#include <iconv.h>

#include <algorithm>

#include "platform/error.h"

namespace corvane::platform {
namespace {

iconv_t Handle(void* handle) { return static_cast<iconv_t>(handle); }

// Appends the UTF-8 form of a code point below U+0100.
void AppendLatin1(unsigned char byte, std::string* out) {
  if (byte < 0x80) {
    out->push_back(static_cast<char>(byte));
  } else {
    out->push_back(static_cast<char>(0xC0 | (byte >> 6)));
    out->push_back(static_cast<char>(0x80 | (byte & 0x3F)));
  }
}

}  // namespace

CodePageConverter::CodePageConverter(const std::string& code_page) {
  iconv_t handle = iconv_open("UTF-8", code_page.c_str());
  if (handle == reinterpret_cast<iconv_t>(-1)) {
    throw OsError("iconv_open " + code_page + " to UTF-8", errno);
  }
  handle_ = handle;
}

CodePageConverter::~CodePageConverter() { iconv_close(Handle(handle_)); }

std::string CodePageConverter::ToUtf8(std::string_view text) {
  if (std::all_of(text.begin(), text.end(),
                  [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
    return std::string(text);
  }
  // Reset the shift state left by an earlier call.
  iconv(Handle(handle_), nullptr, nullptr, nullptr, nullptr);

  std::string out;
  // Four output bytes per input byte cover every code page's worst case; the
  // loop below still grows the buffer when a converter needs more.
  std::string chunk(text.size() * 4 + 16, '\0');
  char* in = const_cast<char*>(text.data());
  size_t in_left = text.size();
  while (in_left > 0) {
    char* out_ptr = chunk.data();
    size_t out_left = chunk.size();
    size_t result = iconv(Handle(handle_), &in, &in_left, &out_ptr, &out_left);
    out.append(chunk.data(), chunk.size() - out_left);
    if (result != static_cast<size_t>(-1)) break;
    if (errno == E2BIG) continue;
    // EILSEQ or EINVAL: one byte the code page cannot decode.
    AppendLatin1(static_cast<unsigned char>(*in), &out);
    ++in;
    --in_left;
    iconv(Handle(handle_), nullptr, nullptr, nullptr, nullptr);
  }
  char* out_ptr = chunk.data();
  size_t out_left = chunk.size();
  iconv(Handle(handle_), nullptr, nullptr, &out_ptr, &out_left);
  out.append(chunk.data(), chunk.size() - out_left);
  return out;
}

}  // namespace corvane::platform

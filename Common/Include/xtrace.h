// The trace log: an opt-in diagnostic text log for support, shared by every
// thread of the process and by other programs of the product.
//
// Switched on per trace name by the DWORD named after it under
// HKEY_LOCAL_MACHINE "Software\Arvex\Corvane\XTrace" (0 or absent: off; 2:
// bracketed lines and a header line; other non-zero: tab-separated lines),
// read once at initialisation. Lines go to "<trace name>.xlg" beside the
// program, or to "corvane.xls" in the current directory when that cannot be
// opened. A log that would pass "Max Log MB" (a DWORD under the same key,
// default 64) is renamed to "<log>.1", replacing the older copy, and
// begun anew. Writers of all processes are serialised by the cross-process
// mutex "XLogAccessMutex". Every failure is silent. All functions are
// thread-safe; format strings are the caller's own constants, never
// received text (pass received text as a "%s" argument).

#ifndef CORVANE_COMMON_INCLUDE_XTRACE_H_
#define CORVANE_COMMON_INCLUDE_XTRACE_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace corvane::xtrace {

// Tracing is on; callers test it before building expensive arguments.
extern std::atomic<bool> g_enabled;
inline bool Enabled() { return g_enabled.load(std::memory_order_relaxed); }

// Initialises for the running program with `name` ("CVDiv32"); a null name
// leaves tracing uninitialised.
void Init(const char* name);
// The same for a module file of the caller's choice (the log goes beside it).
void InitForModule(const std::string& module_path, const char* name);

// One line: time stamp, process and thread IDs, source file name and line,
// then the formatted message, cut to fit 2048 bytes with its line end.
void Write(const char* source_file, int line, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// `title` as a line, then a character row and a hex row per 16 bytes.
void Dump(const char* source_file, int line, const char* title, size_t length, const void* data);

// "%d.%d.%d.%d" of an IPv4 address in network byte order (first octet in
// the lowest byte), in a buffer of the calling thread that stays valid until
// its next call; "err.err.err.err" when no buffer can be had.
const char* AddressText(uint32_t address);

const char* BoolText(int value);  // "true" or "false"

// Writes "process log done" when tracing is on, frees the per-thread
// buffers and switches tracing off.
void Shutdown();

}  // namespace corvane::xtrace

// Traces one line from the call site when tracing is on.
#define XTRACE(...)                                              \
  do {                                                           \
    if (::corvane::xtrace::Enabled()) {                          \
      ::corvane::xtrace::Write(__FILE__, __LINE__, __VA_ARGS__); \
    }                                                            \
  } while (0)

#endif  // CORVANE_COMMON_INCLUDE_XTRACE_H_

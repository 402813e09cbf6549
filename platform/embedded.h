// Data that a program or library file carries inside itself.
//
// Message tables travel inside the program that owns them (a named section of
// the executable), so that another module that only knows the program's file
// name — the event library formatting an event — can read them. Reading
// parses the file and never loads or runs it. Thread-safe; no state.

#ifndef CORVANE_PLATFORM_EMBEDDED_H_
#define CORVANE_PLATFORM_EMBEDDED_H_

#include <optional>
#include <string>
#include <string_view>

namespace corvane::platform {

// The bytes of section `section` of the executable or shared object at
// `file_path`, or nullopt when the file cannot be read, is no object file of
// this platform, is malformed, or has no such section.
std::optional<std::string> ReadEmbeddedSection(const std::string& file_path,
                                               std::string_view section);

// The same, for an object file already in memory (pure; used by the above).
std::optional<std::string> FindEmbeddedSection(std::string_view image, std::string_view section);

// Marks a definition to be placed in the named section and kept by the linker.
#define CORVANE_EMBEDDED_SECTION(name) __attribute__((section(name), used, retain))

}  // namespace corvane::platform

#endif  // CORVANE_PLATFORM_EMBEDDED_H_

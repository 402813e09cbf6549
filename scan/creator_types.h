// Mac creator types: four-character creator codes in single quotes ('MSWD')
// that Mac scans report as file names, replaced by a readable name from
// "creator.ini" in the program's directory.
//
// The file is an INI file read the way the clients' administrators know it:
// "[Section]" headers and "key=value" lines; section and key names compare
// ignoring ASCII case; names and values are trimmed; a value enclosed in
// matching single or double quotes loses them; lines starting ";" or "#" are
// comments; the first of several equal keys wins. The file is UTF-8 (invalid
// sequences are replaced, see code_page.h). A table is read once when it is
// loaded; a changed file takes effect when the caller loads it again.
//
// Answers are cut to 511 characters (code points). A missing or unreadable
// file gives an empty table, so every lookup yields its default. Tables are
// immutable after loading and may be shared between threads.

#ifndef CORVANE_SCAN_CREATOR_TYPES_H_
#define CORVANE_SCAN_CREATOR_TYPES_H_

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace corvane::scan {

inline constexpr char kCreatorFileName[] = "creator.ini";
inline constexpr char kCreatorSection[] = "Creator Types";

class CreatorTypes {
 public:
  CreatorTypes() = default;

  // The "Creator Types" section of an INI text. Pure.
  static CreatorTypes Parse(std::string_view ini_text);
  // Reads "<program_directory>/creator.ini".
  static CreatorTypes Load(const std::string& program_directory);

  // The value of `key` (trailing white space of the key ignored), or nullopt
  // when the section has no such key.
  std::optional<std::string> Find(std::string_view key) const;
  // Find(key), or `default_answer` when the key is missing; at most 511
  // characters either way.
  std::string Lookup(std::string_view key, std::string_view default_answer) const;

  size_t size() const { return entries_.size(); }

 private:
  std::unordered_map<std::string, std::string> entries_;  // lower-case key
};

// The default name for a creator lookup: for a line with both ") - Name ="
// and "(Path:", what follows the last ":" (else "\", else "/") of the text
// before ") - Name ="; otherwise empty.
std::string CreatorDefaultName(std::string_view line);

// Replaces a creator code value in a data line (without its line feed): when
// the value after " =" (past white space) has "'" as its first and sixth
// character, the answer of the table for "<value to the end of the line>"
// (default: CreatorDefaultName) replaces the value. When the line up to the
// value and the answer together would reach 512 characters, the value is
// left empty instead. An empty answer leaves the line as it is. Returns true
// when the line changed.
bool SubstituteCreatorType(std::string* line, const CreatorTypes& table);

}  // namespace corvane::scan

#endif  // CORVANE_SCAN_CREATOR_TYPES_H_

// Registry data in memory and its text form (the ".reg" export format).
//
// A RegTree is one registry root: keys addressed by backslash-separated paths,
// each holding named values. Key paths and value names compare without regard
// to case and keep the case they were created with. The text functions are
// pure (text in, tree out and back) so that the hive files, "cvadmin export"
// and "cvadmin import" share one parser and one writer.
//
// Not thread-safe: the hive (registry.h) owns its trees and locks around them.

#ifndef CORVANE_PLATFORM_REGTREE_H_
#define CORVANE_PLATFORM_REGTREE_H_

#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace corvane::platform {

enum class RegRoot { kClassesRoot, kCurrentUser, kLocalMachine, kUsers, kCurrentConfig };

// "HKEY_LOCAL_MACHINE" and the like; also the hive file's base name.
const char* RegRootName(RegRoot root);

// Accepts the full names and the usual abbreviations (HKLM, HKCU, HKCR, HKU,
// HKCC), in any case.
std::optional<RegRoot> ParseRegRoot(std::string_view name);

// The Windows type numbers, so that they can be shown and stored as such.
enum class RegType : uint32_t { kSz = 1, kExpandSz = 2, kBinary = 3, kDword = 4, kMultiSz = 7 };

struct RegValue {
  RegType type = RegType::kSz;
  std::string text;                  // kSz and kExpandSz
  uint32_t dword = 0;                // kDword
  std::vector<std::string> strings;  // kMultiSz
  std::vector<uint8_t> bytes;        // kBinary

  static RegValue Sz(std::string text);
  static RegValue ExpandSz(std::string text);
  static RegValue Dword(uint32_t value);
  static RegValue MultiSz(std::vector<std::string> strings);
  static RegValue Binary(std::vector<uint8_t> bytes);

  bool operator==(const RegValue& other) const = default;
};

// Raised for hive files and import texts that cannot be read, and for hive
// files that cannot be written; the text names the file or line.
class RegistryError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct RegKey {
  std::string path;  // as first created, without the root name
  std::vector<std::pair<std::string, RegValue>>
      values;  // in order of creation; "" is the default value

  const RegValue* Find(std::string_view name) const;
  void Set(std::string_view name, RegValue value);  // keeps the stored name's case
  bool Remove(std::string_view name);
};

class RegTree {
 public:
  const RegKey* Find(std::string_view path) const;
  RegKey* Find(std::string_view path);

  // Returns the key, creating it and every missing ancestor.
  RegKey& Create(std::string_view path);

  // Removes the key with all its subkeys; false when it does not exist.
  bool Remove(std::string_view path);

  // Names of the immediate subkeys, in case-insensitive order.
  std::vector<std::string> Subkeys(std::string_view path) const;

  // Every key, parents before children, in case-insensitive path order.
  std::vector<const RegKey*> Keys() const;

  bool operator==(const RegTree& other) const { return keys_ == other.keys_; }

 private:
  friend bool operator==(const RegKey& a, const RegKey& b);
  std::map<std::string, RegKey> keys_;  // by folded path
};

bool operator==(const RegKey& a, const RegKey& b);

// Case folding and separator clean-up used for key paths: "A\\b\" -> "a\b".
std::string FoldKeyPath(std::string_view path);

// Applies a ".reg" text to `tree`: sections create keys, "[-KEY]" removes a
// key, "Name"=... sets a value, "Name"=- removes it. Every section must name
// `root`. Accepts the header line, blank lines, ";" comments, CR LF line ends
// and "\" continuation lines. Throws RegistryError naming the line on anything
// else, leaving `tree` unchanged.
void ApplyRegText(std::string_view text, RegRoot root, RegTree& tree);

// Writes `tree` (or only the key `under` and its subkeys) as a ".reg" text
// with the header line "Windows Registry Editor Version 5.00". Strings that a
// quoted form cannot carry (line breaks, control characters) are written as
// hex(1). Text is UTF-8; hex(2) and hex(7) hold UTF-8 bytes with NUL ends.
std::string FormatRegText(const RegTree& tree, RegRoot root, std::string_view under = {});

}  // namespace corvane::platform

#endif  // CORVANE_PLATFORM_REGTREE_H_

// The creator table and the creator-type substitution.

#include "scan/creator_types.h"

#include <fstream>
#include <sstream>

#include "Common/Include/ascii_case.h"
#include "scan/code_page.h"
#include "scan/scan_text.h"

namespace corvane::scan {
namespace {

constexpr size_t kMaxAnswer = 511;
constexpr size_t kLineLimit = 512;

bool IsLeadByte(char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }

size_t CountCharacters(std::string_view text) {
  size_t count = 0;
  for (char c : text) count += IsLeadByte(c) ? 1 : 0;
  return count;
}

// Byte offset of character number `index` (0-based), or npos.
size_t CharacterOffset(std::string_view text, size_t index) {
  size_t seen = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (!IsLeadByte(text[i])) continue;
    if (seen == index) return i;
    ++seen;
  }
  return std::string_view::npos;
}

std::string FirstCharacters(std::string_view text, size_t count) {
  size_t end = CharacterOffset(text, count);
  return std::string(end == std::string_view::npos ? text : text.substr(0, end));
}

std::string_view TrimTrailing(std::string_view text) {
  size_t last = text.find_last_not_of(" \t\r\n\v\f");
  return last == std::string_view::npos ? std::string_view() : text.substr(0, last + 1);
}

}  // namespace

CreatorTypes CreatorTypes::Parse(std::string_view ini_text) {
  std::string text = SanitizeUtf8(ini_text);
  std::string_view rest = text;
  if (rest.starts_with("\xEF\xBB\xBF")) rest.remove_prefix(3);

  CreatorTypes table;
  bool in_section = false;
  while (!rest.empty()) {
    size_t end = rest.find('\n');
    std::string_view line = TrimWhiteSpace(rest.substr(0, end));
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    if (line.empty() || line.front() == ';' || line.front() == '#') continue;
    if (line.front() == '[') {
      size_t close = line.find(']');
      std::string_view name = line.substr(1, close == std::string_view::npos ? close : close - 1);
      in_section = EqualsIgnoringCase(TrimWhiteSpace(name), kCreatorSection);
      continue;
    }
    if (!in_section) continue;
    size_t equals = line.find('=');
    if (equals == std::string_view::npos) continue;
    std::string_view key = TrimWhiteSpace(line.substr(0, equals));
    std::string_view value = TrimWhiteSpace(line.substr(equals + 1));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
      value = value.substr(1, value.size() - 2);
    }
    table.entries_.emplace(Lower(key), std::string(value));
  }
  return table;
}

CreatorTypes CreatorTypes::Load(const std::string& program_directory) {
  std::ifstream in(program_directory + "/" + kCreatorFileName, std::ios::binary);
  if (!in) return CreatorTypes();
  std::ostringstream text;
  text << in.rdbuf();
  return Parse(text.str());
}

std::optional<std::string> CreatorTypes::Find(std::string_view key) const {
  auto found = entries_.find(Lower(TrimWhiteSpace(key)));
  if (found == entries_.end()) return std::nullopt;
  return found->second;
}

std::string CreatorTypes::Lookup(std::string_view key, std::string_view default_answer) const {
  std::optional<std::string> found = Find(key);
  return FirstCharacters(found ? std::string_view(*found) : default_answer, kMaxAnswer);
}

std::string CreatorDefaultName(std::string_view line) {
  constexpr std::string_view kNameMarker = ") - Name =";
  size_t name = line.find(kNameMarker);
  if (name == std::string_view::npos || line.find("(Path:") == std::string_view::npos) {
    return std::string();
  }
  std::string_view before = line.substr(0, name);
  for (char separator : {':', '\\', '/'}) {
    size_t at = before.rfind(separator);
    if (at != std::string_view::npos) return std::string(before.substr(at + 1));
  }
  return std::string();
}

bool SubstituteCreatorType(std::string* line, const CreatorTypes& table) {
  size_t equals = line->find(" =");
  if (equals == std::string::npos) return false;
  size_t value_start = line->find_first_not_of(" \t", equals + 2);
  if (value_start == std::string::npos) return false;
  std::string_view value = std::string_view(*line).substr(value_start);
  size_t sixth = CharacterOffset(value, 5);
  if (value.front() != '\'' || sixth == std::string_view::npos || value[sixth] != '\'') {
    return false;
  }
  std::string answer = table.Lookup(TrimTrailing(value), CreatorDefaultName(*line));
  if (answer.empty()) return false;
  line->resize(value_start);
  if (CountCharacters(*line) + CountCharacters(answer) < kLineLimit) line->append(answer);
  return true;
}

}  // namespace corvane::scan

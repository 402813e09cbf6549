#include "platform/regtree.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <stdexcept>

#include "Common/Include/ascii_case.h"

namespace corvane::platform {

namespace {

constexpr std::string_view kHeader = "Windows Registry Editor Version 5.00";
constexpr std::string_view kHeader4 = "REGEDIT4";

// ---------------------------------------------------------------------------
// Case folding

// Lower-case mapping for the two-byte UTF-8 range (U+0080..U+07FF): Latin-1,
// Latin Extended-A, Greek, Cyrillic and Armenian. Characters outside these
// blocks (and every three- and four-byte character) compare as they are.
uint32_t FoldCodePoint(uint32_t c) {
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return c + 0x20;
  if (c >= 0x100 && c <= 0x137 && c != 0x130 && c % 2 == 0) return c + 1;
  if (c >= 0x139 && c <= 0x148 && c % 2 == 1) return c + 1;
  if (c >= 0x14A && c <= 0x177 && c % 2 == 0) return c + 1;
  if (c == 0x178) return 0xFF;
  if (c >= 0x179 && c <= 0x17E && c % 2 == 1) return c + 1;
  if (c == 0x386) return 0x3AC;
  if (c >= 0x388 && c <= 0x38A) return c + 0x25;
  if (c == 0x38C) return 0x3CC;
  if (c == 0x38E || c == 0x38F) return c + 0x3F;
  if (c >= 0x391 && c <= 0x3A9 && c != 0x3A2) return c + 0x20;
  if (c >= 0x400 && c <= 0x40F) return c + 0x50;
  if (c >= 0x410 && c <= 0x42F) return c + 0x20;
  if (c >= 0x460 && c <= 0x481 && c % 2 == 0) return c + 1;
  if (c >= 0x48A && c <= 0x4BF && c % 2 == 0) return c + 1;
  if (c >= 0x531 && c <= 0x556) return c + 0x30;
  return c;
}

// Appends the folded form of the character at text[i] and advances i.
// Invalid or longer UTF-8 sequences pass through byte by byte.
void FoldNext(std::string_view text, size_t& i, std::string& out) {
  auto byte = static_cast<unsigned char>(text[i]);
  if (byte >= 'A' && byte <= 'Z') {
    out.push_back(static_cast<char>(byte + ('a' - 'A')));
    ++i;
    return;
  }
  if (byte >= 0xC2 && byte <= 0xDF && i + 1 < text.size() &&
      (static_cast<unsigned char>(text[i + 1]) & 0xC0) == 0x80) {
    uint32_t c = ((byte & 0x1Fu) << 6) | (static_cast<unsigned char>(text[i + 1]) & 0x3Fu);
    c = FoldCodePoint(c);  // stays in the two-byte range
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    i += 2;
    return;
  }
  out.push_back(static_cast<char>(byte));
  ++i;
}

std::string FoldName(std::string_view name) {
  std::string out;
  out.reserve(name.size());
  for (size_t i = 0; i < name.size();) FoldNext(name, i, out);
  return out;
}

bool HasControl(std::string_view text) {
  return std::any_of(text.begin(), text.end(), [](char c) {
    auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7F;
  });
}

void CheckName(std::string_view name, const char* what) {
  if (HasControl(name)) {
    throw std::invalid_argument(std::string(what) + " holds a control character");
  }
}

// The path cleaned of empty components ("\\A\\\\b\\" -> "A\\b"), case kept.
std::string CleanPath(std::string_view path) {
  std::string out;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('\\', start);
    if (end == std::string_view::npos) end = path.size();
    if (end > start) {
      if (!out.empty()) out.push_back('\\');
      out.append(path.substr(start, end - start));
    }
    start = end + 1;
  }
  return out;
}

// Orders folded paths component by component ("a", "a\b", "a b"), which puts
// every parent before its children and keeps each subtree together.
bool PathLess(const std::string& a, const std::string& b) {
  auto rank = [](char c) { return c == '\\' ? 0u : static_cast<unsigned char>(c) + 1u; };
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                      [&](char x, char y) { return rank(x) < rank(y); });
}

bool IsWithin(const std::string& folded, const std::string& base) {
  if (base.empty()) return true;
  return folded.size() >= base.size() && folded.compare(0, base.size(), base) == 0 &&
         (folded.size() == base.size() || folded[base.size()] == '\\');
}

// ---------------------------------------------------------------------------
// Writing

void AppendQuoted(std::string& out, std::string_view text) {
  out.push_back('"');
  for (char c : text) {
    if (c == '\\' || c == '"') out.push_back('\\');
    out.push_back(c);
  }
  out.push_back('"');
}

void AppendHex(std::string& out, const std::vector<uint8_t>& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i > 0) out.push_back(',');
    out.push_back(kDigits[bytes[i] >> 4]);
    out.push_back(kDigits[bytes[i] & 0xF]);
  }
}

std::vector<uint8_t> TextBytes(std::string_view text) {
  std::vector<uint8_t> bytes(text.begin(), text.end());
  bytes.push_back(0);
  return bytes;
}

void AppendValue(std::string& out, std::string_view name, const RegValue& value) {
  if (name.empty()) {
    out.push_back('@');
  } else {
    AppendQuoted(out, name);
  }
  out.push_back('=');
  switch (value.type) {
    case RegType::kSz:
      if (HasControl(value.text)) {
        out.append("hex(1):");
        AppendHex(out, TextBytes(value.text));
      } else {
        AppendQuoted(out, value.text);
      }
      break;
    case RegType::kExpandSz:
      out.append("hex(2):");
      AppendHex(out, TextBytes(value.text));
      break;
    case RegType::kDword: {
      char buffer[16];
      std::snprintf(buffer, sizeof buffer, "dword:%08x", static_cast<unsigned>(value.dword));
      out.append(buffer);
      break;
    }
    case RegType::kMultiSz: {
      std::vector<uint8_t> bytes;
      for (const std::string& s : value.strings) {
        bytes.insert(bytes.end(), s.begin(), s.end());
        bytes.push_back(0);
      }
      bytes.push_back(0);
      out.append("hex(7):");
      AppendHex(out, bytes);
      break;
    }
    case RegType::kBinary:
      out.append("hex:");
      AppendHex(out, value.bytes);
      break;
  }
  out.push_back('\n');
}

// ---------------------------------------------------------------------------
// Parsing

class ParseError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads a quoted text starting at text[pos] == '"'; leaves pos after the
// closing quote.
std::string ParseQuoted(std::string_view text, size_t& pos) {
  std::string out;
  ++pos;
  while (pos < text.size()) {
    char c = text[pos++];
    if (c == '"') return out;
    if (c == '\\') {
      if (pos >= text.size()) break;
      char next = text[pos++];
      if (next != '\\' && next != '"') {
        throw ParseError(std::string("unknown escape \"\\") + next + "\" in quoted text");
      }
      out.push_back(next);
    } else {
      out.push_back(c);
    }
  }
  throw ParseError("quoted text without its closing quote");
}

std::vector<uint8_t> ParseHexList(std::string_view text) {
  std::vector<uint8_t> bytes;
  text = Trim(text);
  if (text.empty()) return bytes;
  size_t start = 0;
  while (true) {
    size_t comma = text.find(',', start);
    std::string_view item =
        Trim(text.substr(start, comma == std::string_view::npos ? text.npos : comma - start));
    if (item.empty() || item.size() > 2 || HexDigit(item[0]) < 0 ||
        (item.size() == 2 && HexDigit(item[1]) < 0)) {
      throw ParseError("bad hex byte \"" + std::string(item) + "\"");
    }
    int value = HexDigit(item[0]);
    if (item.size() == 2) value = value * 16 + HexDigit(item[1]);
    bytes.push_back(static_cast<uint8_t>(value));
    if (comma == std::string_view::npos) return bytes;
    start = comma + 1;
  }
}

// A NUL-terminated text; the final NUL is optional.
std::string BytesToText(const std::vector<uint8_t>& bytes) {
  size_t size = bytes.size();
  if (size > 0 && bytes[size - 1] == 0) --size;
  return std::string(bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(size));
}

std::vector<std::string> BytesToStrings(const std::vector<uint8_t>& bytes) {
  std::vector<std::string> strings;
  size_t size = bytes.size();
  if (size > 0 && bytes[size - 1] == 0) --size;  // the list's final NUL
  size_t start = 0;
  while (start < size) {
    size_t end = start;
    while (end < size && bytes[end] != 0) ++end;
    strings.emplace_back(bytes.begin() + static_cast<ptrdiff_t>(start),
                         bytes.begin() + static_cast<ptrdiff_t>(end));
    start = end + 1;
  }
  return strings;
}

RegValue ParseData(std::string_view data) {
  if (!data.empty() && data.front() == '"') {
    size_t pos = 0;
    std::string text = ParseQuoted(data, pos);
    if (pos != data.size()) throw ParseError("text after the closing quote");
    return RegValue::Sz(std::move(text));
  }
  if (StartsWithIgnoringCase(data, "dword:")) {
    std::string_view digits = data.substr(6);
    if (digits.empty() || digits.size() > 8) throw ParseError("dword needs 1 to 8 hex digits");
    uint32_t value = 0;
    for (char c : digits) {
      int digit = HexDigit(c);
      if (digit < 0) throw ParseError("bad dword \"" + std::string(digits) + "\"");
      value = value * 16 + static_cast<uint32_t>(digit);
    }
    return RegValue::Dword(value);
  }
  if (StartsWithIgnoringCase(data, "hex:")) return RegValue::Binary(ParseHexList(data.substr(4)));
  if (StartsWithIgnoringCase(data, "hex(")) {
    size_t close = data.find("):");
    if (close == std::string_view::npos) throw ParseError("bad hex type");
    std::string_view type = data.substr(4, close - 4);
    std::vector<uint8_t> bytes = ParseHexList(data.substr(close + 2));
    if (type == "1") return RegValue::Sz(BytesToText(bytes));
    if (type == "2") return RegValue::ExpandSz(BytesToText(bytes));
    if (type == "3") return RegValue::Binary(std::move(bytes));
    if (type == "4") {
      if (bytes.size() != 4) throw ParseError("hex(4) needs 4 bytes");
      return RegValue::Dword(bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) |
                             (static_cast<uint32_t>(bytes[3]) << 24));
    }
    if (type == "7") return RegValue::MultiSz(BytesToStrings(bytes));
    throw ParseError("unsupported value type hex(" + std::string(type) + ")");
  }
  throw ParseError("unknown value data \"" + std::string(data.substr(0, 40)) + "\"");
}

class Parser {
 public:
  Parser(RegRoot root, RegTree& tree) : root_(root), tree_(tree) {}

  void Line(std::string_view line) {
    if (line.empty() || line.front() == ';') return;
    if (line == kHeader || line == kHeader4) {
      if (seen_content_) throw ParseError("header line in the middle of the text");
      seen_content_ = true;
      return;
    }
    seen_content_ = true;
    if (line.front() == '[') return Section(line);
    if (line.front() == '"' || line.front() == '@') return Value(line);
    throw ParseError("expected a [key] section or a \"name\"=value line");
  }

 private:
  void Section(std::string_view line) {
    size_t close = line.rfind(']');
    if (close == std::string_view::npos || close != line.size() - 1) {
      throw ParseError("section without its closing \"]\"");
    }
    std::string_view name = line.substr(1, close - 1);
    bool remove = !name.empty() && name.front() == '-';
    if (remove) name.remove_prefix(1);
    size_t slash = name.find('\\');
    std::string_view root_name = name.substr(0, slash);
    std::optional<RegRoot> root = ParseRegRoot(root_name);
    if (!root) throw ParseError("unknown root \"" + std::string(root_name) + "\"");
    if (*root != root_) {
      throw ParseError("section names " + std::string(RegRootName(*root)) + ", not " +
                       RegRootName(root_));
    }
    std::string_view path =
        slash == std::string_view::npos ? std::string_view{} : name.substr(slash);
    if (remove) {
      if (FoldKeyPath(path).empty()) throw ParseError("the root key cannot be deleted");
      tree_.Remove(path);
      key_ = nullptr;
      return;
    }
    key_ = &tree_.Create(path);
  }

  void Value(std::string_view line) {
    std::string name;
    size_t pos = 0;
    if (line.front() == '@') {
      pos = 1;
    } else {
      name = ParseQuoted(line, pos);
    }
    while (pos < line.size() && IsBlank(line[pos])) ++pos;
    if (pos >= line.size() || line[pos] != '=') throw ParseError("expected \"=\" after the name");
    std::string_view data = Trim(line.substr(pos + 1));
    if (key_ == nullptr) throw ParseError("value outside a [key] section");
    if (data == "-") {
      key_->Remove(name);
    } else {
      key_->Set(name, ParseData(data));
    }
  }

  RegRoot root_;
  RegTree& tree_;
  RegKey* key_ = nullptr;
  bool seen_content_ = false;
};

}  // namespace

// ---------------------------------------------------------------------------
// Roots

namespace {
struct RootName {
  RegRoot root;
  const char* name;
  const char* abbreviation;
};
constexpr std::array<RootName, 5> kRoots = {{
    {RegRoot::kClassesRoot, "HKEY_CLASSES_ROOT", "HKCR"},
    {RegRoot::kCurrentUser, "HKEY_CURRENT_USER", "HKCU"},
    {RegRoot::kLocalMachine, "HKEY_LOCAL_MACHINE", "HKLM"},
    {RegRoot::kUsers, "HKEY_USERS", "HKU"},
    {RegRoot::kCurrentConfig, "HKEY_CURRENT_CONFIG", "HKCC"},
}};

bool EqualsNoCase(std::string_view a, std::string_view b) { return FoldName(a) == FoldName(b); }
}  // namespace

const char* RegRootName(RegRoot root) {
  for (const RootName& entry : kRoots) {
    if (entry.root == root) return entry.name;
  }
  return "HKEY_UNKNOWN";
}

std::optional<RegRoot> ParseRegRoot(std::string_view name) {
  for (const RootName& entry : kRoots) {
    if (EqualsNoCase(name, entry.name) || EqualsNoCase(name, entry.abbreviation)) {
      return entry.root;
    }
  }
  return std::nullopt;
}

// ---------------------------------------------------------------------------
// Values and keys

RegValue RegValue::Sz(std::string text) {
  RegValue value;
  value.type = RegType::kSz;
  value.text = std::move(text);
  return value;
}

RegValue RegValue::ExpandSz(std::string text) {
  RegValue value;
  value.type = RegType::kExpandSz;
  value.text = std::move(text);
  return value;
}

RegValue RegValue::Dword(uint32_t dword) {
  RegValue value;
  value.type = RegType::kDword;
  value.dword = dword;
  return value;
}

RegValue RegValue::MultiSz(std::vector<std::string> strings) {
  RegValue value;
  value.type = RegType::kMultiSz;
  value.strings = std::move(strings);
  return value;
}

RegValue RegValue::Binary(std::vector<uint8_t> bytes) {
  RegValue value;
  value.type = RegType::kBinary;
  value.bytes = std::move(bytes);
  return value;
}

namespace {
// Case-insensitive comparison of two names, without folded copies for the
// common all-ASCII case. Folding keeps lengths, so names of different length
// never match.
bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    auto x = static_cast<unsigned char>(a[i]);
    auto y = static_cast<unsigned char>(b[i]);
    if ((x | y) >= 0x80) return FoldName(a.substr(i)) == FoldName(b.substr(i));
    if (x >= 'A' && x <= 'Z') x += 'a' - 'A';
    if (y >= 'A' && y <= 'Z') y += 'a' - 'A';
    if (x != y) return false;
  }
  return true;
}
}  // namespace

const RegValue* RegKey::Find(std::string_view name) const {
  for (const auto& [stored, value] : values) {
    if (SameName(stored, name)) return &value;
  }
  return nullptr;
}

void RegKey::Set(std::string_view name, RegValue value) {
  for (auto& [stored, current] : values) {
    if (SameName(stored, name)) {
      current = std::move(value);
      return;
    }
  }
  CheckName(name, "value name");
  values.emplace_back(std::string(name), std::move(value));
}

bool RegKey::Remove(std::string_view name) {
  for (auto it = values.begin(); it != values.end(); ++it) {
    if (SameName(it->first, name)) {
      values.erase(it);
      return true;
    }
  }
  return false;
}

bool operator==(const RegKey& a, const RegKey& b) {
  return a.path == b.path && a.values == b.values;
}

std::string FoldKeyPath(std::string_view path) { return FoldName(CleanPath(path)); }

// ---------------------------------------------------------------------------
// The tree

const RegKey* RegTree::Find(std::string_view path) const {
  auto it = keys_.find(FoldKeyPath(path));
  return it == keys_.end() ? nullptr : &it->second;
}

RegKey* RegTree::Find(std::string_view path) {
  auto it = keys_.find(FoldKeyPath(path));
  return it == keys_.end() ? nullptr : &it->second;
}

RegKey& RegTree::Create(std::string_view path) {
  std::string clean = CleanPath(path);
  std::string folded = FoldName(clean);
  if (auto it = keys_.find(folded); it != keys_.end()) return it->second;
  CheckName(clean, "key name");

  // Walk down from the root; a new key takes its parent's stored path, so
  // that every key shows its ancestors' case as they were created.
  RegKey* parent = &keys_.try_emplace(std::string()).first->second;
  size_t start = 0;
  while (start < clean.size()) {
    size_t end = clean.find('\\', start);
    if (end == std::string::npos) end = clean.size();
    // Folding keeps every character's length, so prefixes line up.
    auto [it, created] = keys_.try_emplace(folded.substr(0, end));
    if (created) {
      std::string_view component = std::string_view(clean).substr(start, end - start);
      it->second.path = parent->path.empty() ? std::string(component)
                                             : parent->path + "\\" + std::string(component);
    }
    parent = &it->second;
    start = end + 1;
  }
  return *parent;
}

bool RegTree::Remove(std::string_view path) {
  std::string folded = FoldKeyPath(path);
  if (folded.empty()) {
    bool any = !keys_.empty();
    keys_.clear();
    return any;
  }
  auto it = keys_.find(folded);
  if (it == keys_.end()) return false;
  keys_.erase(it);
  // Descendants share the prefix "path\", so they form one range of the map.
  std::string prefix = folded + "\\";
  auto first = keys_.lower_bound(prefix);
  auto last = first;
  while (last != keys_.end() && last->first.compare(0, prefix.size(), prefix) == 0) ++last;
  keys_.erase(first, last);
  return true;
}

std::vector<std::string> RegTree::Subkeys(std::string_view path) const {
  std::string prefix = FoldKeyPath(path);
  if (!prefix.empty()) prefix.push_back('\\');
  std::vector<std::string> names;
  for (auto it = keys_.lower_bound(prefix);
       it != keys_.end() && it->first.compare(0, prefix.size(), prefix) == 0; ++it) {
    if (it->first.size() == prefix.size()) continue;  // the root key itself
    if (it->first.find('\\', prefix.size()) != std::string::npos) continue;
    const std::string& stored = it->second.path;
    size_t slash = stored.rfind('\\');
    names.push_back(slash == std::string::npos ? stored : stored.substr(slash + 1));
  }
  return names;
}

std::vector<const RegKey*> RegTree::Keys() const {
  std::vector<std::pair<const std::string*, const RegKey*>> entries;
  entries.reserve(keys_.size());
  for (const auto& [folded, key] : keys_) entries.emplace_back(&folded, &key);
  std::sort(entries.begin(), entries.end(),
            [](const auto& a, const auto& b) { return PathLess(*a.first, *b.first); });
  std::vector<const RegKey*> keys;
  keys.reserve(entries.size());
  for (const auto& entry : entries) keys.push_back(entry.second);
  return keys;
}

// ---------------------------------------------------------------------------
// Text

void ApplyRegText(std::string_view text, RegRoot root, RegTree& tree) {
  RegTree result = tree;
  Parser parser(root, result);
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  if (text.substr(0, 2) == "\xFF\xFE" || text.substr(0, 2) == "\xFE\xFF") {
    throw RegistryError("line 1: UTF-16 text; only UTF-8 is read");
  }

  size_t pos = 0;
  size_t line_number = 0;
  while (pos < text.size()) {
    // One logical line: physical lines joined where they end in "\".
    size_t first_line = line_number + 1;
    std::string logical;
    bool more = true;
    while (more && pos < text.size()) {
      size_t end = text.find('\n', pos);
      if (end == std::string_view::npos) end = text.size();
      std::string_view physical = text.substr(pos, end - pos);
      pos = end + 1;
      ++line_number;
      if (!physical.empty() && physical.back() == '\r') physical.remove_suffix(1);
      physical = Trim(physical);
      more = !physical.empty() && physical.back() == '\\' && physical.front() != ';';
      if (more) physical.remove_suffix(1);
      logical.append(physical);
    }
    try {
      parser.Line(logical);
    } catch (const ParseError& error) {
      throw RegistryError("line " + std::to_string(first_line) + ": " + error.what());
    } catch (const std::invalid_argument& error) {  // a name RegKey or RegTree refused
      throw RegistryError("line " + std::to_string(first_line) + ": " + error.what());
    }
  }
  tree = std::move(result);
}

std::string FormatRegText(const RegTree& tree, RegRoot root, std::string_view under) {
  std::string base = FoldKeyPath(under);
  std::string out(kHeader);
  out.append("\n\n");
  for (const RegKey* key : tree.Keys()) {
    if (!IsWithin(FoldKeyPath(key->path), base)) continue;
    out.push_back('[');
    out.append(RegRootName(root));
    if (!key->path.empty()) {
      out.push_back('\\');
      out.append(key->path);
    }
    out.append("]\n");
    for (const auto& [name, value] : key->values) AppendValue(out, name, value);
    out.push_back('\n');
  }
  return out;
}

}  // namespace corvane::platform

#include <cctype>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>

#include "platform/files.h"
#include "platform/registry.h"
#include "tools/cvadmin/commands.h"
#include "tools/cvadmin/options.h"

namespace corvane::cvadmin {
namespace {

using platform::RegRoot;
using platform::RegType;
using platform::RegValue;

struct KeyArgument {
  RegRoot root;
  std::string path;
};

std::optional<KeyArgument> ParseKey(const std::string& text) {
  size_t separator = text.find('\\');
  std::string root_name = text.substr(0, separator);
  std::optional<RegRoot> root = platform::ParseRegRoot(root_name);
  if (!root) return std::nullopt;
  return KeyArgument{*root, separator == std::string::npos ? "" : text.substr(separator + 1)};
}

std::string Hex(const std::vector<uint8_t>& bytes) {
  std::string text;
  char pair[3];
  for (uint8_t byte : bytes) {
    std::snprintf(pair, sizeof pair, "%02x", byte);
    text += pair;
  }
  return text;
}

std::string ShowValue(const RegValue& value) {
  char number[16];
  switch (value.type) {
    case RegType::kSz:
      return "REG_SZ    " + value.text;
    case RegType::kExpandSz:
      return "REG_EXPAND_SZ    " + value.text;
    case RegType::kDword:
      std::snprintf(number, sizeof number, "0x%x", value.dword);
      return std::string("REG_DWORD    ") + number;
    case RegType::kMultiSz: {
      std::string joined;
      for (const std::string& text : value.strings) joined += (joined.empty() ? "" : "\\0") + text;
      return "REG_MULTI_SZ    " + joined;
    }
    case RegType::kBinary:
      return "REG_BINARY    " + Hex(value.bytes);
  }
  return "?";
}

std::optional<std::vector<uint8_t>> ParseHexBytes(std::string text) {
  std::string digits;
  for (char c : text) {
    if (c == ',' || c == ' ' || c == ':') continue;
    if (!std::isxdigit(static_cast<unsigned char>(c))) return std::nullopt;
    digits += c;
  }
  if (digits.size() % 2 != 0) return std::nullopt;
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i < digits.size(); i += 2) {
    bytes.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

std::optional<RegValue> ParseValue(const std::string& type, const std::vector<std::string>& data) {
  if (type == "sz" && data.size() == 1) return RegValue::Sz(data[0]);
  if (type == "expand_sz" && data.size() == 1) return RegValue::ExpandSz(data[0]);
  if (type == "multi_sz") return RegValue::MultiSz(data);
  if (type == "dword" && data.size() == 1) {
    try {
      size_t used = 0;
      unsigned long long number = std::stoull(data[0], &used, 0);
      if (used != data[0].size() || number > 0xFFFFFFFFull) return std::nullopt;
      return RegValue::Dword(static_cast<uint32_t>(number));
    } catch (const std::exception&) {
      return std::nullopt;
    }
  }
  if (type == "binary") {
    std::string joined;
    for (const std::string& piece : data) joined += piece;
    if (auto bytes = ParseHexBytes(joined)) return RegValue::Binary(std::move(*bytes));
  }
  return std::nullopt;
}

// The root named by the first section of a .reg text.
std::optional<RegRoot> RootOfText(const std::string& text) {
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line[start] != '[') continue;
    start += (start + 1 < line.size() && line[start + 1] == '-') ? 2 : 1;
    size_t end = line.find_first_of("\\]", start);
    return platform::ParseRegRoot(line.substr(start, end - start));
  }
  return std::nullopt;
}

constexpr char kRegistryUsage[] =
    "usage: cvadmin registry show KEY                 values and subkeys of a key\n"
    "       cvadmin registry set KEY NAME TYPE DATA... TYPE: sz, expand_sz, dword, multi_sz,\n"
    "                                                 binary (dword: decimal or 0x hex; binary:\n"
    "                                                 hex bytes; multi_sz: one DATA per string;\n"
    "                                                 NAME \"\" is the default)\n"
    "       cvadmin registry delete KEY NAME          delete a value\n"
    "       cvadmin registry delete-key KEY           delete a key with its subkeys\n"
    "       cvadmin registry export KEY [FILE]        the key and its subkeys as .reg text\n"
    "       cvadmin registry import FILE              apply a .reg text (\"-\" reads standard\n"
    "                                                 input)\n"
    "KEY is ROOT\\PATH, ROOT as HKEY_LOCAL_MACHINE or HKLM.\n";

int Usage(std::ostream& err) {
  err << kRegistryUsage;
  return 2;
}

int Show(const KeyArgument& key, std::ostream& out, std::ostream& err) {
  if (!platform::registry::KeyExists(key.root, key.path)) {
    err << "cvadmin: no such key\n";
    return 1;
  }
  std::string full =
      std::string(platform::RegRootName(key.root)) + (key.path.empty() ? "" : "\\" + key.path);
  out << full << "\n";
  for (const auto& [name, value] : platform::registry::Values(key.root, key.path)) {
    out << "    " << (name.empty() ? "(Default)" : name) << "    " << ShowValue(value) << "\n";
  }
  for (const std::string& subkey : platform::registry::SubkeyNames(key.root, key.path)) {
    out << full << "\\" << subkey << "\n";
  }
  return 0;
}

}  // namespace

int RegistryCommand(const std::vector<std::string>& arguments, std::ostream& out,
                    std::ostream& err) {
  if (!arguments.empty() && AsksForHelp({arguments[0]})) {
    out << kRegistryUsage;
    return 0;
  }
  if (arguments.size() < 2) return Usage(err);
  const std::string& verb = arguments[0];
  try {
    if (verb == "import") {
      if (arguments.size() != 2) return Usage(err);
      std::optional<std::string> text;
      if (arguments[1] == "-") {
        std::ostringstream all;
        all << std::cin.rdbuf();
        text = all.str();
      } else {
        text = platform::ReadWholeFile(arguments[1]);
      }
      if (!text) {
        err << "cvadmin: cannot read " << arguments[1] << "\n";
        return 1;
      }
      std::optional<RegRoot> root = RootOfText(*text);
      if (!root) {
        err << "cvadmin: no key section with a known root in " << arguments[1] << "\n";
        return 1;
      }
      platform::registry::Update(
          *root, [&](platform::RegTree& tree) { platform::ApplyRegText(*text, *root, tree); });
      return 0;
    }

    std::optional<KeyArgument> key = ParseKey(arguments[1]);
    if (!key) {
      err << "cvadmin: '" << arguments[1] << "' does not start with a registry root\n";
      return 2;
    }
    if (verb == "show" && arguments.size() == 2) return Show(*key, out, err);
    if (verb == "set" && arguments.size() >= 4) {
      std::vector<std::string> data(arguments.begin() + 4, arguments.end());
      std::optional<RegValue> value = ParseValue(arguments[3], data);
      if (!value) {
        err << "cvadmin: cannot read a " << arguments[3] << " value from the data given\n";
        return 2;
      }
      platform::registry::SetValue(key->root, key->path, arguments[2], *value);
      return 0;
    }
    if (verb == "delete" && arguments.size() == 3) {
      if (platform::registry::DeleteValue(key->root, key->path, arguments[2])) return 0;
      err << "cvadmin: no such value\n";
      return 1;
    }
    if (verb == "delete-key" && arguments.size() == 2) {
      if (platform::registry::DeleteKey(key->root, key->path)) return 0;
      err << "cvadmin: no such key\n";
      return 1;
    }
    if (verb == "export" && (arguments.size() == 2 || arguments.size() == 3)) {
      platform::RegTree tree = platform::registry::Snapshot(key->root);
      if (!key->path.empty() && tree.Find(key->path) == nullptr) {
        err << "cvadmin: no such key\n";
        return 1;
      }
      std::string text = platform::FormatRegText(tree, key->root, key->path);
      if (arguments.size() == 2) {
        out << text;
        return 0;
      }
      std::ofstream file(arguments[2], std::ios::binary | std::ios::trunc);
      file << text;
      file.close();
      if (!file) {
        err << "cvadmin: cannot write " << arguments[2] << "\n";
        return 1;
      }
      return 0;
    }
  } catch (const std::exception& error) {
    err << "cvadmin: " << error.what() << "\n";
    return 1;
  }
  return Usage(err);
}

}  // namespace corvane::cvadmin

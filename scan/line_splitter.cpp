// Data line splitting, abbreviation expansion and the deleted-file rewrite.

#include "scan/line_splitter.h"

#include <algorithm>

#include "scan/code_page.h"
#include "scan/creator_types.h"
#include "scan/scan_text.h"

namespace corvane::scan {
namespace {

constexpr std::string_view kSegmentSeparator = " - ";
constexpr std::string_view kKeyOpen = " - (";
constexpr std::string_view kKeyClose = ") - ";
constexpr std::string_view kValueSeparator = " =";
constexpr std::string_view kComputer = "Computer";
constexpr size_t npos = std::string_view::npos;

std::string_view TrimTrailing(std::string_view text) {
  size_t last = text.find_last_not_of(" \t\r\n\v\f");
  return last == npos ? std::string_view() : text.substr(0, last + 1);
}

}  // namespace

ComponentNames ComponentNamesOfPath(std::string_view path) {
  ComponentNames names{std::string(kComputer), std::string(kComputer)};
  if (path.empty()) return names;
  // Each " - " becomes "."; room for the quotes of a few dotted segments.
  names.component.reserve(kComputer.size() + 1 + path.size());
  names.qualified.reserve(kComputer.size() + 1 + path.size() + 8);
  while (true) {
    size_t end = path.find(kSegmentSeparator);
    std::string_view segment = path.substr(0, end);
    names.component.append(".").append(segment);
    names.qualified.append(".");
    if (segment.find('.') != npos) {
      names.qualified.append("\"").append(segment).append("\"");
    } else {
      names.qualified.append(segment);
    }
    if (end == npos) break;
    path.remove_prefix(end + kSegmentSeparator.size());
  }
  return names;
}

std::optional<ScanItem> SplitDataLine(std::string_view line) {
  ScanItem item;
  size_t attribute_start = 0;
  size_t key_open = line.find(kKeyOpen);
  size_t equals = line.find(kValueSeparator);
  if (key_open != npos && (equals == npos || key_open < equals)) {
    size_t after_open = key_open + kKeyOpen.size();
    size_t key_close = line.find(kKeyClose, after_open);
    if (key_close == npos) {
      size_t dash = line.find(kSegmentSeparator, after_open);
      if (dash != npos) attribute_start = dash;
    } else {
      size_t colon = line.find(':', after_open);
      if (colon != npos && colon < key_close) {
        item.keyed = true;
        item.key_name = std::string(line.substr(after_open, colon - after_open));
        item.key_value = std::string(TrimTrailing(line.substr(colon + 1, key_close - colon - 1)));
        attribute_start = key_close + 1;
      }
    }
  }

  std::string_view attribute_part = line.substr(attribute_start);
  size_t value_at = attribute_part.find(kValueSeparator);
  if (value_at == npos) return std::nullopt;
  item.value =
      std::string(TrimWhiteSpace(attribute_part.substr(value_at + kValueSeparator.size())));

  std::string_view name_part = attribute_part.substr(0, value_at);
  size_t last_dash = name_part.rfind(kSegmentSeparator);
  std::string_view path;
  if (last_dash == npos) {
    item.attribute = std::string(name_part);
  } else {
    item.attribute = std::string(name_part.substr(last_dash + kSegmentSeparator.size()));
    // With a key, whatever stands between the key and the attribute's own
    // " - " is not part of the component.
    path = item.keyed ? line.substr(0, key_open) : line.substr(0, attribute_start + last_dash);
  }
  ComponentNames names = ComponentNamesOfPath(path);
  item.component = std::move(names.component);
  item.qualified_component = std::move(names.qualified);
  return item;
}

std::string_view WithoutLineFeed(std::string_view line) {
  if (line.ends_with('\n')) line.remove_suffix(1);
  return line;
}

std::optional<ScanItem> ParseDataLine(std::string_view line, ScanTextDecoder& decoder,
                                      const CreatorTypes& creators) {
  line = WithoutLineFeed(line);
  const size_t equals = line.find(kValueSeparator);
  if (equals == npos) return std::nullopt;
  // Most lines are ASCII, which both decodings leave as it is, and hold no
  // creator code (a value starting with a quote): split them as they stand.
  const bool ascii = std::all_of(line.begin(), line.end(),
                                 [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  const size_t value = line.find_first_not_of(" \t", equals + kValueSeparator.size());
  if (ascii && (value == npos || line[value] != '\'')) return SplitDataLine(line);
  std::string text = decoder.ToUtf8(line);
  SubstituteCreatorType(&text, creators);
  return SplitDataLine(text);
}

std::optional<std::string> LineExpander::Expand(std::string_view line) {
  std::optional<std::string_view> expanded = ExpandInPlace(line);
  if (!expanded) return std::nullopt;
  return std::string(*expanded);
}

std::optional<std::string_view> LineExpander::ExpandInPlace(std::string_view line) {
  if (IsBlankLine(line)) return std::nullopt;
  size_t equals = line.find('=');
  if (line.front() != '*' || equals == npos || line.find('*') > equals) {
    previous_.assign(line);
    return previous_;
  }
  size_t previous_equals = previous_.find('=');
  if (previous_equals == npos) return std::nullopt;
  // " - " and "=" are ASCII, which no byte of a multi-byte character can be
  // mistaken for, so the search back can go byte by byte.
  size_t dash = std::string_view(previous_).substr(0, previous_equals).rfind(kSegmentSeparator);
  if (dash == npos || dash == 0) return std::nullopt;
  std::string expanded = previous_.substr(0, dash);
  expanded.append(line.substr(1));
  previous_ = std::move(expanded);
  return previous_;
}

DeletedConfigItem RewriteDeletedConfigLine(std::string_view line) {
  constexpr std::string_view kPrefix = "Cfg - ";
  line = TrimTrailing(line.substr(std::min(line.size(), kPrefix.size())));
  DeletedConfigItem result;
  if (line.find("CVBIOS.TXT") != npos) {
    size_t blank = line.rfind(' ');
    std::string word(blank == npos ? line : line.substr(blank + 1));
    result.bios = true;
    result.line = "BIOS - BIOS Strings - Size =" + word;
    result.item.component = result.item.qualified_component = "Computer.BIOS.BIOS Strings";
    result.item.attribute = "Size";
    result.item.value = std::move(word);
    return result;
  }
  std::string path(line.substr(0, line.find(' ')));
  result.line = "Configuration Files - File - (File Path:" + path + ") - File Path =" + path;
  result.item.component = result.item.qualified_component = "Computer.Configuration Files.File";
  result.item.keyed = true;
  result.item.key_name = "File Path";
  result.item.key_value = path;
  result.item.attribute = "File Path";
  result.item.value = std::move(path);
  return result;
}

}  // namespace corvane::scan

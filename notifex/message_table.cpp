#include "notifex/message_table.h"

#include <algorithm>
#include <cstdio>

#include "platform/files.h"

namespace corvane::notifex {

std::optional<MessageTable> ParseMessageTable(std::string_view blob) {
  if (blob.substr(0, kMessageTableMagic.size()) != kMessageTableMagic) return std::nullopt;
  MessageTable table;
  size_t position = kMessageTableMagic.size();
  for (;;) {
    size_t id_end = blob.find('\0', position);
    if (id_end == std::string_view::npos) return std::nullopt;
    std::string_view id_text = blob.substr(position, id_end - position);
    if (id_text.empty()) return table;
    uint32_t id = 0;
    for (char c : id_text) {
      if (c < '0' || c > '9' || id > 0x19999999) return std::nullopt;
      id = id * 10 + static_cast<uint32_t>(c - '0');
    }
    size_t text_end = blob.find('\0', id_end + 1);
    if (text_end == std::string_view::npos) return std::nullopt;
    table[id] = std::string(blob.substr(id_end + 1, text_end - id_end - 1));
    position = text_end + 1;
  }
}

std::optional<MessageTable> LoadMessageTable(const std::string& path) {
  std::optional<std::string> image = platform::ReadWholeFile(path);
  if (!image) return std::nullopt;
  if (std::optional<MessageTable> table = ParseMessageTable(*image)) return table;
  std::optional<std::string> section =
      platform::FindEmbeddedSection(*image, CORVANE_MESSAGE_SECTION);
  if (!section) return std::nullopt;
  return ParseMessageTable(*section);
}

namespace {

// Reads "%<digits>" at `position` (just after the '%'); returns the number
// and moves `position` past it and past an optional "!fmt!".
int ReadInsertNumber(std::string_view text, size_t& position) {
  int number = 0;
  size_t digits = 0;
  while (position < text.size() && digits < 2 && text[position] >= '0' && text[position] <= '9') {
    number = number * 10 + (text[position] - '0');
    ++position;
    ++digits;
  }
  if (position < text.size() && text[position] == '!') {
    size_t close = text.find('!', position + 1);
    if (close != std::string_view::npos) position = close + 1;
  }
  return number;
}

}  // namespace

int HighestInsertNumber(std::string_view text) {
  int highest = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%' || i + 1 >= text.size()) continue;
    if (text[i + 1] >= '1' && text[i + 1] <= '9') {
      size_t position = i + 1;
      highest = std::max(highest, ReadInsertNumber(text, position));
      i = position - 1;
    } else {
      ++i;  // "%%", "%n" and the like
    }
  }
  return highest;
}

std::string ExpandMessage(std::string_view text, const std::vector<std::string>& inserts) {
  std::string out;
  out.reserve(text.size() + 64);
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c != '%' || i + 1 >= text.size()) {
      out += c;
      continue;
    }
    char next = text[i + 1];
    if (next >= '1' && next <= '9') {
      size_t start = i;
      size_t position = i + 1;
      int number = ReadInsertNumber(text, position);
      if (number >= 1 && static_cast<size_t>(number) <= inserts.size()) {
        out += inserts[number - 1];
      } else {
        out.append(text.substr(start, position - start));
      }
      i = position - 1;
      continue;
    }
    ++i;
    switch (next) {
      case '0':
        return out;
      case 'n':
        out += "\r\n";
        break;
      case 'r':
        out += '\r';
        break;
      case 't':
        out += '\t';
        break;
      default:
        out += next;  // "%%", "%.", "%!", "% "
    }
  }
  return out;
}

std::string FormatEventText(const MessageTable* table, std::string_view source, uint32_t event_id,
                            const std::vector<std::string>& inserts,
                            std::string_view default_format) {
  if (table != nullptr) {
    auto found = table->find(event_id);
    if (found != table->end()) return ExpandMessage(found->second, inserts);
  }
  if (!default_format.empty()) return ExpandMessage(default_format, inserts);
  char head[400];
  if (table != nullptr) {
    std::snprintf(head, sizeof head, "Message not found (id 0x%X).  Inserts were:", event_id);
  } else {
    std::string name(source.substr(0, 260));
    std::snprintf(head, sizeof head,
                  "Message source '%s' not found (id 0x%X).  Inserts were:", name.c_str(),
                  event_id);
  }
  std::string text = head;
  for (const std::string& insert : inserts) {
    text += ' ';
    text += insert;
  }
  return text;
}

}  // namespace corvane::notifex

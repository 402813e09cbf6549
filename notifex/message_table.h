// Message tables: event texts by message number, carried inside the program
// that owns them.
//
// A program declares its table with the macros below; the table lands in the
// section kMessageSection of its file, where the event library finds it from
// the file name registered as the application's message file. A file that
// holds only a table (starting with the magic) serves as well.
//
//   CORVANE_MESSAGE_TABLE(kMessages) =
//       CORVANE_MESSAGE_TABLE_BEGIN
//       CORVANE_MESSAGE(8, "Server not loaded.\r\n")
//       CORVANE_MESSAGE_TABLE_END;
//
// Texts use the message-text escapes: %1..%99 inserts, %n line break, %%.

#ifndef CORVANE_NOTIFEX_MESSAGE_TABLE_H_
#define CORVANE_NOTIFEX_MESSAGE_TABLE_H_

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/embedded.h"

#define CORVANE_MESSAGE_SECTION "cv_msgtab"
#define CORVANE_MESSAGE_TABLE(name) \
  extern const char name[];         \
  CORVANE_EMBEDDED_SECTION(CORVANE_MESSAGE_SECTION) const char name[]
#define CORVANE_MESSAGE_TABLE_BEGIN "CVMSGTBL1\0"
#define CORVANE_MESSAGE(id, text) #id "\0" text "\0"
#define CORVANE_MESSAGE_TABLE_END "\0"

namespace corvane::notifex {

inline constexpr std::string_view kMessageTableMagic{"CVMSGTBL1\0", 10};

using MessageTable = std::map<uint32_t, std::string>;

// Decodes a table blob; nullopt when it is not one. Pure.
std::optional<MessageTable> ParseMessageTable(std::string_view blob);

// Reads the table of a message file (a program or library carrying one, or a
// bare table file); nullopt when the file holds none.
std::optional<MessageTable> LoadMessageTable(const std::string& path);

// Expands a message text with its inserts: %1..%99 (an optional "!fmt!"
// after the number is accepted and the insert used as text), %n line break
// (CR LF), %r, %t, %0 (end, no final line break), %% and %<char>. An insert
// number beyond the list stays as written. Inserts are copied as they are,
// so "%" in an insert is never interpreted. Pure.
std::string ExpandMessage(std::string_view text, const std::vector<std::string>& inserts);

// The highest insert number a text refers to (0 when none).
int HighestInsertNumber(std::string_view text);

// The event text shown to people: the message when `table` has it, else the
// default format when one is set, else the "not found" text, which names the
// source when no message file could be loaded (`table` null).
std::string FormatEventText(const MessageTable* table, std::string_view source, uint32_t event_id,
                            const std::vector<std::string>& inserts,
                            std::string_view default_format);

}  // namespace corvane::notifex

#endif  // CORVANE_NOTIFEX_MESSAGE_TABLE_H_

// The operator's terminal: where message boxes appear on this platform.
//
// Text goes to the controlling terminal ("/dev/tty"). A process without one
// (a service) shows nothing. Text is written as data, never as a format.

#ifndef CORVANE_PLATFORM_TERMINAL_H_
#define CORVANE_PLATFORM_TERMINAL_H_

#include <initializer_list>
#include <string>
#include <string_view>

#include "platform/sync.h"

namespace corvane::platform {

enum class MessageIcon { kError, kWarning, kInformation };

// The terminal form of a message box: a caption line with the icon's word,
// then the text. Pure.
std::string FormatMessageBox(std::string_view caption, std::string_view text, MessageIcon icon);

// Writes a message box to the controlling terminal without waiting for an
// answer; false when there is no terminal.
bool ShowOnTerminal(std::string_view caption, std::string_view text, MessageIcon icon);

// Waits until the operator presses Enter on standard input (true) or one of
// `others` becomes signalled (false; it is not acquired). Standard input
// that ends or fails is no longer watched, so a service without input waits
// on `others`.
bool WaitForEnterOr(std::initializer_list<Waitable*> others);

}  // namespace corvane::platform

#endif  // CORVANE_PLATFORM_TERMINAL_H_

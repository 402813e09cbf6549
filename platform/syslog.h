// The system log, written as datagrams to the local syslog socket.
//
// The socket is $CORVANE_SYSLOG_SOCKET when set (tests listen there), else
// "/dev/log". Messages go out with facility daemon. The message is sent as
// data, never used as a format. A missing or full socket drops the message
// silently: the system log is a best-effort sink. Thread-safe.
//
// When the environment holds CORVANE_SYSLOG_ECHO=1 every message is also
// written to standard error as "identifier: message": the server's
// foreground run sets it, so that a shell or a container without a syslog
// daemon still shows its events. It is an environment variable rather than
// a setting of this module because the event library is a shared library
// with its own copy of it.

#ifndef CORVANE_PLATFORM_SYSLOG_H_
#define CORVANE_PLATFORM_SYSLOG_H_

#include <string>
#include <string_view>

namespace corvane::platform {

inline constexpr char kSyslogEchoVariable[] = "CORVANE_SYSLOG_ECHO";

enum class SyslogSeverity { kError = 3, kWarning = 4, kInformation = 6 };

// The identifier syslog shows for `name`: blanks and characters that syslog
// parsers treat as separators become "-", so "Corvane Inventory Server"
// appears as "Corvane-Inventory-Server".
std::string SyslogIdentifier(std::string_view name);

// One syslog line: "<PRI>Mmm dd hh:mm:ss ident[pid]: message", with the
// message's line breaks folded to "\n" (CR dropped), trailing breaks trimmed
// and the whole cut to `max_message` bytes. Pure.
std::string FormatSyslogLine(SyslogSeverity severity, std::string_view identifier,
                             std::string_view message, long pid, long long unix_seconds,
                             size_t max_message = 8000);

// Sends one message; returns false when it could not be delivered.
bool WriteSyslog(SyslogSeverity severity, std::string_view identifier, std::string_view message);

}  // namespace corvane::platform

#endif  // CORVANE_PLATFORM_SYSLOG_H_

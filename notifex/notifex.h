/* notifex: report an event once and have it delivered to its sinks.
 *
 * Sinks: the operator's terminal (UI), the system event log (syslog here),
 * the product's own binary event file, and two alert channels that exist
 * only when the alert libraries are installed.
 *
 * Which sinks an event reaches: each sink has a setting (Enable...): 0 off,
 * non-zero on, -1 (the default) follow a DWORD ("UI", "NT Event Log",
 * "Corvane Event Log", "Halo2", "HaloLite") under HKEY_LOCAL_MACHINE
 * "SOFTWARE\Arvex\Corvane\EventLog", a missing one reading as 0. A sink that its
 * setting switches on is always reached. The sinks an ...Ex call names are
 * reached as well, unless their setting is an explicit 0. ReportAnEvent
 * names none, so only the settings decide there.
 *
 * Every function may be called from any thread. Strings stay owned by the
 * caller and are only read during the call. No report operation fails towards
 * its caller: a sink that cannot be reached is skipped. Insert texts are data:
 * they are never used as a format.
 */
#ifndef CORVANE_NOTIFEX_NOTIFEX_H_
#define CORVANE_NOTIFEX_NOTIFEX_H_

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define NTFX_EXPORT __attribute__((visibility("default")))

/* Sink flags. */
#define NTFX_SINK_UI 0x01u
#define NTFX_SINK_NT_EVENT_LOG 0x02u
#define NTFX_SINK_HALO2 0x04u
#define NTFX_SINK_HALOLITE 0x08u
#define NTFX_SINK_EVENT_FILE 0x10u
#define NTFX_REGISTRATION_MODE 0x10000000u

/* Event types of the event log and the event file. */
#define NTFX_TYPE_ERROR 1u
#define NTFX_TYPE_WARNING 2u
#define NTFX_TYPE_INFORMATION 4u

typedef void* NTFX_MODULE; /* a loaded message file */
typedef void* NTFX_WINDOW; /* owner of message boxes; kept, unused here */

NTFX_EXPORT int RegisterEventApplicationEx(const char* application, const char* display_name,
                                           const char* message_file);
NTFX_EXPORT int RegisterEventApplication(const char* application, const char* message_file);
NTFX_EXPORT int RegisterEvent(const char* application, const char* alert_name, uint32_t event_id,
                              const char* insert_format);
NTFX_EXPORT int RegisterEventEx(const char* application, const char* alert_name,
                                const char* display_name, uint32_t event_id,
                                const char* insert_format);

/* Insert format: blank-separated tokens, at most 10, one argument each. A
 * token containing 'd' or 'x' takes a 32-bit number and formats it with the
 * token ("%d", "%08x"); any other token takes a NUL-terminated text. */
NTFX_EXPORT int ReportAnEvent(const char* application, uint32_t event_id, uint32_t kind,
                              const char* insert_format, ...);
NTFX_EXPORT int ReportAnEventEx(const char* application, const char* alert_name, uint32_t sinks,
                                uint32_t event_id, uint32_t kind, const char* insert_format, ...);
NTFX_EXPORT int ReportAnEventEx2(const char* application, const char* alert_name,
                                 const char* display_name, uint32_t sinks, uint32_t event_id,
                                 uint32_t kind, const char* insert_format, ...);
NTFX_EXPORT int LogAnEvent(const char* application, uint32_t event_id, uint32_t kind,
                           const char* insert_format, ...);

/* Appends one record to the own event file; 0 only when it cannot be opened. */
NTFX_EXPORT int ReportEventEx(const char* source, uint32_t type, uint32_t event_id,
                              uint32_t insert_count, const char** inserts);

/* Formats message `message_id` of `module` with the NUL-terminated texts that
 * follow as %1, %2, ... into `buffer` (1024 bytes; NULL: a buffer of the
 * calling thread) and returns it. */
NTFX_EXPORT char* MsgSprintf(NTFX_MODULE module, uint32_t message_id, char* buffer, ...);

NTFX_EXPORT NTFX_MODULE LoadEventSource(const char* application);
NTFX_EXPORT void CloseEventSource(NTFX_MODULE module);

/* At most 601 characters (returns 0 and keeps the old one otherwise); NULL
 * clears it. Used when a message number is not found. */
NTFX_EXPORT int SetDefaultEventFormatString(const char* format);

NTFX_EXPORT uint32_t QueryRegistryLogSetting(const char* value_name);
NTFX_EXPORT int SetRegistryLogSetting(const char* value_name, uint32_t value);

/* Settings: 0 off, non-zero on, -1 follow the registry. Return non-zero when
 * the setting was taken. */
NTFX_EXPORT int EnableUI(int setting, NTFX_WINDOW owner, int service_notification);
NTFX_EXPORT int EnableNTEventLog(int setting);
NTFX_EXPORT int EnableCorvaneEventLog(int setting);
NTFX_EXPORT int EnableHalo2(int setting);
NTFX_EXPORT int EnableHaloLite(int setting);

/* The effective settings: 1 on, 0 off. */
NTFX_EXPORT int UsingUI(void);
NTFX_EXPORT int UsingNTEventLog(void);
NTFX_EXPORT int UsingCorvaneEventLog(void);
NTFX_EXPORT int UsingHalo2(void);
NTFX_EXPORT int UsingHaloLite(void);

NTFX_EXPORT void DeRegisterNtfx(void);

#ifdef __cplusplus
}
#endif

#endif /* CORVANE_NOTIFEX_NOTIFEX_H_ */

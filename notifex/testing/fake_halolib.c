/* A stand-in for the alert library "halolib": records every call so that
 * tests can see what the event library asked of it. */
#include <stdint.h>
#include <stdio.h>
#include <string.h>

static char calls[65536];

static void Record(const char* entry, const char* application, const char* alert,
                   const char* block, uint32_t block_size, uint64_t filetime, uint32_t severity) {
  size_t used = strlen(calls);
  int n = snprintf(calls + used, sizeof calls - used, "%s|%s|%s|", entry, application,
                   alert ? alert : "");
  if (n < 0) return;
  used += (size_t)n;
  /* The block is "Name=Value" texts, each NUL-terminated; show them with ';'. */
  for (uint32_t i = 0; block && i + 1 < block_size && used + 2 < sizeof calls; ++i) {
    calls[used++] = block[i] ? block[i] : ';';
  }
  snprintf(calls + used, sizeof calls - used, "|%s|%u\n", filetime ? "time" : "",
           (unsigned)severity);
}

const char* FakeHaloCalls(void) { return calls; }

int bHaloOriginatorRegister(const char* application) {
  Record("OriginatorRegister", application, NULL, NULL, 0, 0, 0);
  return 1;
}
int bHaloOriginatorRegisterEh(const char* application) {
  Record("OriginatorRegisterEh", application, NULL, NULL, 0, 0, 0);
  return 1;
}
int HaloRegisterAlert(const char* application, const char* alert, const char* block,
                      uint32_t size) {
  Record("RegisterAlert", application, alert, block, size, 0, 0);
  return 1;
}
int HaloRegisterAlertEh(const char* application, const char* alert, const char* block,
                        uint32_t size) {
  Record("RegisterAlertEh", application, alert, block, size, 0, 0);
  return 1;
}
int HaloIssueAlert(const char* application, const char* alert, const char* block, uint32_t size,
                   uint64_t filetime, uint32_t severity) {
  Record("IssueAlert", application, alert, block, size, filetime, severity);
  return 1;
}
int HaloIssueAlertEh(const char* application, const char* alert, const char* block, uint32_t size,
                     uint64_t filetime, uint32_t severity) {
  Record("IssueAlertEh", application, alert, block, size, filetime, severity);
  return 1;
}
int AddFlagToString(char* text, uint32_t size, const char* flag) {
  (void)text;
  (void)size;
  (void)flag;
  return 0;
}
int HaloAppendParam(char* block, uint32_t size, const char* name, const char* value) {
  (void)block;
  (void)size;
  (void)name;
  (void)value;
  return 0;
}

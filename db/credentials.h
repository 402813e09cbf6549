/* The database credential store: the C interface of libcvcredentials.
 *
 * The store is shared with the product's other tools, so every reader and
 * writer here keeps its format: under HKEY_LOCAL_MACHINE
 * "SOFTWARE\Corvane\Vantora\Core\Connections", the REG_SZ value "Default"
 * names the connection subkey ("Local" when missing); that subkey holds
 * "Database", "Server", "User", "IsOracle" ("true"/"false") as REG_SZ,
 * "Rollup" and "PWD Encrypted" as REG_DWORD, and "Password" as REG_BINARY,
 * RC4-scrambled when "PWD Encrypted" is non-zero.
 *
 * Ownership: strings and buffers stay the caller's and are only used during
 * the call. Every buffer is zero-filled to the size given before anything is
 * copied into it. A value is copied only when it fits together with a NUL
 * terminator (a terminator stored with the value counts), so a caller can
 * always read a buffer as a C string; a value that does not fit leaves its
 * buffer all zero. This also means a password exactly as long as the buffer
 * is refused.
 *
 * Errors: no function raises. Readers return 0 on failure; writers swallow
 * every failure, possibly leaving nothing written.
 *
 * Machine names: null, "", "localhost" or this computer's name (ignoring
 * case, with or without a leading "\\") mean this machine. Other machines'
 * stores cannot be reached: a reader given one fails at once.
 *
 * Thread safety: the functions keep no state and may be called from any
 * thread; writes to the store are atomic.
 */
#ifndef CORVANE_DB_CREDENTIALS_H_
#define CORVANE_DB_CREDENTIALS_H_

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#define CVCRED_EXPORT __attribute__((visibility("default")))

/* Registry roots for SetDbCredentialsEh and OpenDbCredentialsKey. */
#define CVCRED_HKEY_CLASSES_ROOT 0
#define CVCRED_HKEY_CURRENT_USER 1
#define CVCRED_HKEY_LOCAL_MACHINE 2
#define CVCRED_HKEY_USERS 3
#define CVCRED_HKEY_CURRENT_CONFIG 4

/* An open registry key for SetDbCredentialsEx. Get one from
 * OpenDbCredentialsKey; SetDbCredentialsEx closes it, and a key not handed
 * on is closed with CloseDbCredentialsKey. */
typedef struct CvDbKey CvDbKey;

/* Creates (or opens) `subkey` under `root` (a CVCRED_HKEY_ value) with read
 * and write access. Null for an unknown root, a null or empty subkey or a
 * failure. */
CVCRED_EXPORT CvDbKey* OpenDbCredentialsKey(int root, const char* subkey);
/* Closes a key; null is ignored. */
CVCRED_EXPORT void CloseDbCredentialsKey(CvDbKey* key);

/* Reads the default connection of `machine`. Returns non-zero when the
 * connection key exists and the password fitted its buffer (a missing
 * "Password" reads as empty). "Database", "Server" and "User" that do not fit
 * leave their buffers empty without failing the call. *is_oracle is set when
 * "IsOracle" is "true" in any case; *rollup when "Rollup" is non-zero. Null
 * flag pointers are skipped. */
CVCRED_EXPORT int GetDbCredentialsEx(const char* machine, int* is_oracle, int* rollup,
                                     size_t database_size, char* database, size_t server_size,
                                     char* server, size_t user_size, char* user,
                                     size_t password_size, char* password);
/* GetDbCredentialsEx for this machine. */
CVCRED_EXPORT int GetDbCredentials(int* is_oracle, int* rollup, size_t database_size,
                                   char* database, size_t server_size, char* server,
                                   size_t user_size, char* user, size_t password_size,
                                   char* password);

/* The password alone of the default connection; result as above. */
CVCRED_EXPORT int GetPasswordEx(const char* machine, size_t password_size, char* password);

/* The password ("Password", descrambled when "PWD Encrypted" is non-zero) of
 * any key. `key_path` may start with a root name: "HKEY_CURRENT_USER..." and
 * "HKEY_CURRENT_CONFIG..." select those roots, any other "HKEY_..." name
 * (before the first backslash) and a path without one select
 * HKEY_LOCAL_MACHINE. A key_path whose pointer value is below 65536 is a
 * string-table identifier, which this library has no table for: result 0. */
CVCRED_EXPORT int GetPassword(const char* machine, const char* key_path, size_t password_size,
                              char* password);

/* Writes one connection into `key` and closes it. Null strings are written as
 * empty ones; the password is stored scrambled. */
CVCRED_EXPORT void SetDbCredentialsEx(CvDbKey* key, int is_oracle, int rollup, const char* database,
                                      const char* server, const char* user, const char* password);
/* Creates (or opens) `subkey` under `root`, then as SetDbCredentialsEx. */
CVCRED_EXPORT void SetDbCredentialsEh(int root, const char* subkey, int is_oracle, int rollup,
                                      const char* database, const char* server, const char* user,
                                      const char* password);
/* Writes the default connection of this machine, creating its key. */
CVCRED_EXPORT void SetDbCredentials(int is_oracle, int rollup, const char* database,
                                    const char* server, const char* user, const char* password);

/* RC4 with the store's fixed key, in place on `count` bytes, from the start
 * of the key stream on every call; the two are the same transform. Touches no
 * byte beyond `count`. */
CVCRED_EXPORT void Encrypt(size_t count, unsigned char* buffer);
CVCRED_EXPORT void Decrypt(size_t count, unsigned char* buffer);

#ifdef __cplusplus
}
#endif

#endif /* CORVANE_DB_CREDENTIALS_H_ */

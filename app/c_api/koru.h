/* The procedures KORU exports to C callers: opening and closing an FTP session, and three
 * local file utilities. Plain C99; the library behind it prints nothing, sets no title and
 * reads no keys. Call it from one thread at a time.
 *
 * Texts crossing this boundary are counted byte strings: a pointer to the bytes, with the byte
 * count kept by the library in front of them (any byte value, NUL included, may stand in the
 * text; a NUL also follows the last byte). They are allocated and released only with
 * SysAllocStringByteLen and SysFreeString; a caller frees every text it receives. A null text
 * counts as an empty one. */
#ifndef KORU_C_API_KORU_H_
#define KORU_C_API_KORU_H_

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(KORU_EXPORTS)
#define KORU_API __attribute__((visibility("default")))
#else
#define KORU_API
#endif

typedef char* BSTR;

/* A new text holding `length` bytes copied from `bytes` (left zeroed when `bytes` is null).
 * Null when memory runs out. */
KORU_API BSTR SysAllocStringByteLen(const char* bytes, uint32_t length);
/* Releases a text from this library; null is ignored. */
KORU_API void SysFreeString(BSTR text);
/* The number of bytes in `text` (0 for null). */
KORU_API uint32_t SysStringByteLen(BSTR text);

/* Connects to `server` ("host" or "host:port", port 21 when absent), waits out a busy server
 * (up to ten "421" greetings, 90 seconds each) and logs in with USER and, when asked for,
 * PASS; user and password are sent unchanged. Returns the session handle (1 or above) after a
 * successful login; a value below 1 after a failure. A server text holding a NUL byte, or a
 * user or password holding a CR or LF byte (it would end the command line early and send the
 * rest as a command of its own), fails at once with -1 and nothing sent. */
KORU_API int32_t ftpConnect(const BSTR* server, const BSTR* user, const BSTR* password);
/* Sends QUIT, waits for the reply and closes the session. A handle that names no session is
 * ignored. */
KORU_API void ftpQuit(int32_t handle);

/* 1 when an entry (file, directory or other) stands at `path`, else 0. A path holding a NUL
 * byte names no entry: 0. */
KORU_API int32_t EXIST(BSTR path);
/* The system's directory for temporary files ($TMPDIR, else /tmp), ending in "/"; null only
 * when memory runs out. */
KORU_API BSTR GETWINDOWSTEMPDIR(void);
/* The full name of a newly created empty temporary file ("CCS" and six unique characters) in
 * that directory, or in the current directory when that fails; empty when none could be
 * created, null only when memory runs out. */
KORU_API BSTR GETNEWTEMPFILE(void);

#ifdef __cplusplus
}
#endif

#endif /* KORU_C_API_KORU_H_ */

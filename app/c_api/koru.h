/* The procedures KORU exports to C callers: opening and closing an FTP session, and three
 * local file utilities.
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
 * and logs in. Returns the session handle (1 or above) after a successful login, -1 after a
 * failure. Nothing is printed. */
KORU_API int32_t ftpConnect(const BSTR* server, const BSTR* user, const BSTR* password);
/* Sends QUIT and closes the session. */
KORU_API void ftpQuit(int32_t handle);

/* 1 when an entry named `path` exists, else 0. */
KORU_API int32_t EXIST(BSTR path);
/* The system's directory for temporary files, ending in "/". */
KORU_API BSTR GETWINDOWSTEMPDIR(void);
/* The full name of a newly created empty temporary file; empty when none could be created. */
KORU_API BSTR GETNEWTEMPFILE(void);

#ifdef __cplusplus
}
#endif

#endif /* KORU_C_API_KORU_H_ */

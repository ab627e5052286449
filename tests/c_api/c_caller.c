/* A C caller of libkoru, using it the way any C program would: tries a server text with a NUL
 * byte inside (it must fail without a connection), logs in to the server named on the command
 * line and quits, asks for the temporary directory, creates a temporary file, checks it with
 * EXIST and removes it, and tries the counted texts with bytes that C strings cannot hold.
 * Every text it receives or makes is freed with SysFreeString.
 *
 * Prints one line per step, then "failures N"; the exit code is 0 when every step did what it
 * should, 1 otherwise, 2 for a wrong command line. */
#include <stdio.h>
#include <string.h>

#include <koru.h>

static int failures = 0;

static void Expect(int holds) {
  if (!holds) failures++;
}

static BSTR Text(const char* text) {
  return SysAllocStringByteLen(text, (uint32_t)strlen(text));
}

/* A copy of `text` with a NUL byte and "x" after its last byte. */
static BSTR WithNulAndMore(BSTR text) {
  const uint32_t length = SysStringByteLen(text);
  BSTR longer = SysAllocStringByteLen(NULL, length + 2);
  if (longer) {
    memcpy(longer, text, length);
    longer[length + 1] = 'x';
  }
  return longer;
}

/* Logs in with `server`; the user and password come from C strings. Returns the handle. */
static int32_t Connect(BSTR server, const char* user_text, const char* password_text) {
  BSTR user = Text(user_text);
  BSTR password = Text(password_text);
  const int32_t handle = ftpConnect(&server, &user, &password);
  SysFreeString(password);
  SysFreeString(user);
  return handle;
}

static void LogInAndQuit(const char* server_text, const char* user_text,
                         const char* password_text) {
  BSTR server = Text(server_text);
  const int32_t handle = Connect(server, user_text, password_text);
  printf("ftpConnect %d\n", (int)handle);
  Expect(handle >= 1);
  if (handle >= 1) {
    ftpQuit(handle);
    /* The session is closed: a second QUIT has nothing to go to and is ignored. */
    ftpQuit(handle);
    printf("ftpQuit\n");
  }
  SysFreeString(server);
}

/* "host\0junk:port" for "host:port": the system would take the host name only up to the NUL
 * and connect to the server all the same; the library must refuse the text. */
static void ServerWithNul(const char* server_text, const char* user_text,
                          const char* password_text) {
  const char* colon = strrchr(server_text, ':');
  const size_t host = colon ? (size_t)(colon - server_text) : strlen(server_text);
  const size_t rest = strlen(server_text) - host;
  BSTR server = SysAllocStringByteLen(NULL, (uint32_t)(host + 5 + rest));
  int32_t handle = -1;
  if (server) {
    memcpy(server, server_text, host);
    memcpy(server + host + 1, "junk", 4);
    memcpy(server + host + 5, server_text + host, rest);
    handle = Connect(server, user_text, password_text);
  }
  printf("ftpConnect with a NUL byte %d\n", (int)handle);
  Expect(handle == -1);
  if (handle >= 1) ftpQuit(handle);
  SysFreeString(server);
}

static void TemporaryFile(void) {
  BSTR directory = GETWINDOWSTEMPDIR();
  const uint32_t length = SysStringByteLen(directory);
  printf("GETWINDOWSTEMPDIR %s\n", directory ? directory : "(null)");
  Expect(length > 0 && directory[length - 1] == '/');

  BSTR name = GETNEWTEMPFILE();
  printf("GETNEWTEMPFILE %s\n", name ? name : "(null)");
  Expect(SysStringByteLen(name) > length && strncmp(name, directory, length) == 0);
  const int32_t exists = EXIST(name);
  printf("EXIST %d\n", (int)exists);
  Expect(exists == 1);

  /* The bytes after a NUL belong to the path: it names no entry. */
  BSTR with_nul = WithNulAndMore(name);
  const int32_t exists_with_nul = EXIST(with_nul);
  printf("EXIST with a NUL byte %d\n", (int)exists_with_nul);
  Expect(exists_with_nul == 0);

  if (SysStringByteLen(name) > 0) remove(name);
  const int32_t exists_removed = EXIST(name);
  printf("EXIST after removal %d\n", (int)exists_removed);
  Expect(exists_removed == 0);

  SysFreeString(with_nul);
  SysFreeString(name);
  SysFreeString(directory);
}

static void CountedTexts(void) {
  BSTR bytes = SysAllocStringByteLen("a\0b\xff", 4);
  BSTR zeroed = SysAllocStringByteLen(NULL, 3);
  BSTR empty = SysAllocStringByteLen("", 0);
  const int fits = bytes && zeroed && empty && SysStringByteLen(bytes) == 4 &&
                   memcmp(bytes, "a\0b\xff", 5) == 0 && SysStringByteLen(zeroed) == 3 &&
                   memcmp(zeroed, "\0\0\0\0", 4) == 0 && SysStringByteLen(empty) == 0 &&
                   empty[0] == '\0' && SysStringByteLen(NULL) == 0 && EXIST(NULL) == 0;
  printf("counted texts %s\n", fits ? "ok" : "wrong");
  Expect(fits);
  SysFreeString(empty);
  SysFreeString(zeroed);
  SysFreeString(bytes);
  SysFreeString(NULL);
}

int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: c_caller host:port user password\n");
    return 2;
  }
  ServerWithNul(argv[1], argv[2], argv[3]);
  LogInAndQuit(argv[1], argv[2], argv[3]);
  TemporaryFile();
  CountedTexts();
  printf("failures %d\n", failures);
  return failures == 0 ? 0 : 1;
}

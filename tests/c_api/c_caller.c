/* A C caller of libkoru: logs in to the server named on the command line, quits, creates a
 * temporary file and checks that it exists. Prints one line per step; exit code 0 when every
 * step did what it should. */
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "app/c_api/koru.h"

static BSTR Text(const char* text) {
  return SysAllocStringByteLen(text, (uint32_t)strlen(text));
}

int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: c_caller host:port user password\n");
    return 2;
  }
  int failures = 0;
  BSTR server = Text(argv[1]);
  BSTR user = Text(argv[2]);
  BSTR password = Text(argv[3]);

  const int32_t handle = ftpConnect(&server, &user, &password);
  printf("ftpConnect %d\n", handle);
  if (handle < 1) failures++;
  if (handle >= 1) ftpQuit(handle);

  BSTR directory = GETWINDOWSTEMPDIR();
  printf("GETWINDOWSTEMPDIR %s\n", directory);
  if (SysStringByteLen(directory) == 0 || directory[SysStringByteLen(directory) - 1] != '/') {
    failures++;
  }

  BSTR temp = GETNEWTEMPFILE();
  printf("GETNEWTEMPFILE %s\n", temp);
  const int32_t exists = EXIST(temp);
  printf("EXIST %d\n", exists);
  if (exists != 1) failures++;
  if (SysStringByteLen(temp) > 0) unlink(temp);
  if (EXIST(temp) != 0) failures++;

  /* Counted texts may hold any byte, NUL included. */
  BSTR with_nul = SysAllocStringByteLen("a\0b", 3);
  if (SysStringByteLen(with_nul) != 3 || with_nul[2] != 'b') failures++;

  SysFreeString(with_nul);
  SysFreeString(temp);
  SysFreeString(directory);
  SysFreeString(password);
  SysFreeString(user);
  SysFreeString(server);
  SysFreeString(NULL);
  printf("failures %d\n", failures);
  return failures == 0 ? 0 : 1;
}

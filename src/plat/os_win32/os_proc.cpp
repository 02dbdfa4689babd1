// Windows seam: the environment and programs.
#include <windows.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "os.h"
#include "os_errno.h"

// The longest command line handed to a program, with its NUL.
#define OS_CMDLINE_MAX 8192

int os_putenv(char *entry) {
  // An entry without a name ("=value") or without '=' is refused here,
  // whatever the runtime at hand would make of it.
  const char *eq = strchr(entry, '=');
  if (!eq || eq == entry) return -1;
  return _putenv(entry) == 0 ? 0 : -1;
}

int os_spawn(const char *prog, const char *const argv[]) {
  char cmdline[OS_CMDLINE_MAX];
  size_t n = 0;
  for (size_t i = 0; argv[i]; ++i) {
    size_t len = strlen(argv[i]);
    if (n + (i ? 1 : 0) + len >= sizeof cmdline) return E2BIG;
    if (i) cmdline[n++] = ' ';
    memcpy(cmdline + n, argv[i], len);
    n += len;
  }
  cmdline[n] = '\0';
  // The new process writes where this one writes: its standard handles
  // are this process's, which the caller may have redirected.
  STARTUPINFOA si;
  memset(&si, 0, sizeof si);
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  si.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION pi;
  if (!CreateProcessA(prog, cmdline, NULL, NULL, TRUE, 0, NULL, NULL, &si, &pi)) return os_last_errno();
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return 0;
}

void os_keep_going_past_limits(void) {}

void os_sleep_ms(unsigned ms) { Sleep(ms); }

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

int os_spawn(const char *prog, const char *const argv[], const char *cwd, int wait, int *status) {
  char cmdline[OS_CMDLINE_MAX];
  os_pc(OS_PC_SPAWN, prog, NULL, OS_BADFD);
  size_t n = 0;
  for (size_t i = 0; argv[i]; ++i) {
    size_t len = strlen(argv[i]);
    if (n + (i ? 1 : 0) + len >= sizeof cmdline) return E2BIG;
    if (i) cmdline[n++] = ' ';
    memcpy(cmdline + n, argv[i], len);
    n += len;
  }
  cmdline[n] = '\0';
  // Nothing inherited and no console: a caller's pipe or log file, which
  // an engine reads to its end or appends to later, is not kept open by a
  // program that outlives this one.
  STARTUPINFOA si;
  memset(&si, 0, sizeof si);
  si.cb = sizeof si;
  PROCESS_INFORMATION pi;
  if (!CreateProcessA(prog, cmdline, NULL, NULL, FALSE, DETACHED_PROCESS, NULL, cwd, &si, &pi))
    return os_last_errno();
  CloseHandle(pi.hThread);
  if (wait) {
    DWORD code = 0;
    int ended = WaitForSingleObject(pi.hProcess, INFINITE) == WAIT_OBJECT_0 && GetExitCodeProcess(pi.hProcess, &code);
    *status = ended ? (int)code : -1;
  }
  CloseHandle(pi.hProcess);
  return 0;
}

int os_system_dir(char *buf, uint32_t len) {
  UINT n = GetSystemDirectoryA(buf, len);
  if (n == 0) return os_last_errno();
  if (n + 2 > len) return ENAMETOOLONG; // and the separator
  if (buf[n - 1] != '\\') {
    buf[n] = '\\';
    buf[n + 1] = '\0';
  }
  return 0;
}

uint32_t os_unique_seed(void) {
  LARGE_INTEGER t;
  QueryPerformanceCounter(&t);
  static uint32_t calls;
  return (uint32_t)GetCurrentProcessId() * 2654435761u ^ (uint32_t)t.LowPart ^ (uint32_t)t.HighPart * 40503u ^
         ++calls * 97u;
}

void os_keep_going_past_limits(void) {}

void os_kill_self(void) { TerminateProcess(GetCurrentProcess(), 137); }

void os_sleep_ms(unsigned ms) { Sleep(ms); }

uint64_t os_clock_ms(void) { return GetTickCount64(); }

// Windows seam: the environment and programs, through the C runtime.
#include <windows.h>
#include <errno.h>
#include <process.h>
#include <stdlib.h>
#include <string.h>

#include "os.h"

int os_putenv(char *entry) {
  // An entry without a name ("=value") or without '=' is refused here,
  // whatever the runtime at hand would make of it.
  const char *eq = strchr(entry, '=');
  if (!eq || eq == entry) return -1;
  return _putenv(entry) == 0 ? 0 : -1;
}

int os_exec_replace(const char *prog, const char *const argv[]) {
  // The process-replacing form: once the new program has started, this
  // process ends with status 0; it returns only when the start failed.
  _execv(prog, argv);
  return errno;
}

void os_sleep_ms(unsigned ms) { Sleep(ms); }

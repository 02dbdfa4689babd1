// POSIX seam: the environment and programs.
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "os.h"
#include "os_errno.h"

int os_putenv(char *entry) {
  // An entry without a name ("=value") or without '=' is refused, as the
  // Windows runtime refuses it; glibc would take the first silently.
  const char *eq = strchr(entry, '=');
  if (!eq || eq == entry) return -1;
  // putenv keeps entry itself (no copy): the caller must keep it allocated.
  return putenv(entry) == 0 ? 0 : -1;
}

int os_exec_replace(const char *prog, const char *const argv[]) {
  // execv takes char *const[] for historical reasons; it does not write.
  execv(prog, const_cast<char *const *>(argv));
  return os_errno(errno);
}

void os_sleep_ms(unsigned ms) {
  struct timespec ts;
  ts.tv_sec = (time_t)(ms / 1000u);
  ts.tv_nsec = (long)(ms % 1000u) * 1000000L;
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

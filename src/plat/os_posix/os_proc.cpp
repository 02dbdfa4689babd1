// POSIX seam: the environment and programs.
#include <errno.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "os.h"
#include "os_errno.h"

extern char **environ;

int os_putenv(char *entry) {
  // An entry without a name ("=value") or without '=' is refused, as the
  // Windows runtime refuses it; glibc would take the first silently.
  const char *eq = strchr(entry, '=');
  if (!eq || eq == entry) return -1;
  // putenv keeps entry itself (no copy): the caller must keep it allocated.
  return putenv(entry) == 0 ? 0 : -1;
}

int os_spawn(const char *prog, const char *const argv[]) {
  // posix_spawn reports a program that cannot be executed, as
  // CreateProcess does; the child is not waited for, and once this
  // process ends it belongs to the system.
  pid_t pid;
  int e = posix_spawn(&pid, prog, NULL, NULL, const_cast<char *const *>(argv), environ);
  return e == 0 ? 0 : os_errno(e);
}

void os_keep_going_past_limits(void) { (void)signal(SIGXFSZ, SIG_IGN); }

void os_sleep_ms(unsigned ms) {
  struct timespec ts;
  ts.tv_sec = (time_t)(ms / 1000u);
  ts.tv_nsec = (long)(ms % 1000u) * 1000000L;
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

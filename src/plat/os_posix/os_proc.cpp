// POSIX seam: the environment and programs.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
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

int os_spawn(const char *prog, const char *const argv[], const char *cwd, int wait, int *status) {
  // posix_spawn reports a program that cannot be executed, as
  // CreateProcess does. A child not waited for belongs to the system once
  // this process ends. It gets the null device for its standard streams
  // and none of the descriptors a caller left open: an engine's pipe or
  // log file is not kept open by it.
  posix_spawn_file_actions_t acts;
  os_pc(OS_PC_SPAWN, prog, NULL, OS_BADFD);
  if (posix_spawn_file_actions_init(&acts) != 0) return ENOMEM;
  int e = posix_spawn_file_actions_addopen(&acts, 0, "/dev/null", O_RDONLY, 0);
  if (e == 0) e = posix_spawn_file_actions_addopen(&acts, 1, "/dev/null", O_WRONLY, 0);
  if (e == 0) e = posix_spawn_file_actions_adddup2(&acts, 1, 2);
  if (e == 0) e = posix_spawn_file_actions_addclosefrom_np(&acts, 3);
  if (e == 0 && cwd) e = posix_spawn_file_actions_addchdir_np(&acts, cwd);
  pid_t pid;
  if (e == 0) e = posix_spawn(&pid, prog, &acts, NULL, const_cast<char *const *>(argv), environ);
  posix_spawn_file_actions_destroy(&acts);
  if (e != 0) return os_errno(e);
  if (!wait) return 0;
  int st = 0;
  pid_t w;
  while ((w = waitpid(pid, &st, 0)) < 0 && errno == EINTR) {
  }
  *status = (w == pid && WIFEXITED(st)) ? WEXITSTATUS(st) : -1;
  return 0;
}

int os_system_dir(char *buf, uint32_t len) {
  if (len < sizeof "/bin/") return ENAMETOOLONG;
  memcpy(buf, "/bin/", sizeof "/bin/");
  return 0;
}

uint32_t os_unique_seed(void) {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  static uint32_t calls;
  return (uint32_t)getpid() * 2654435761u ^ (uint32_t)ts.tv_nsec ^ (uint32_t)ts.tv_sec * 40503u ^ ++calls * 97u;
}

void os_keep_going_past_limits(void) { (void)signal(SIGXFSZ, SIG_IGN); }

void os_kill_self(void) {
  (void)kill(getpid(), SIGKILL);
  _exit(137); // not reached
}

void os_sleep_ms(unsigned ms) {
  struct timespec ts;
  ts.tv_sec = (time_t)(ms / 1000u);
  ts.tv_nsec = (long)(ms % 1000u) * 1000000L;
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

uint64_t os_clock_ms(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (uint64_t)ts.tv_sec * 1000u + (uint64_t)ts.tv_nsec / 1000000u;
}

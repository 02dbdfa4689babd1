// POSIX seam: what writers of ours need to take turns at one file. The
// turn itself is a held file of ours (os_create_excl); a writer that
// opened the file before its turn began asks here whether the name still
// leads to what it opened.
#include <errno.h>
#include <sys/stat.h>

#include "os.h"

unsigned os_turn_wait_ms = OS_TURN_WAIT_MS;

int os_fd_current(os_fd fd, const char *path) {
  struct stat a, b;
  return fstat((int)fd, &a) == 0 && stat(path, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

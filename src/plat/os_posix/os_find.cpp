// POSIX seam: directory search. The system's search takes no wildcard:
// every entry of the folder comes back and the caller filters.
#include <dirent.h>
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>

#include "os.h"

const int OS_FIND_MATCHES = 0;

// Next entry of d into name (KC_PATH_MAX bytes); 0, or -1 at the end.
static int next_name(DIR *d, char *name) {
  for (;;) {
    struct dirent *e = readdir(d);
    if (!e) return -1;
    // A name that would not fit is passed over rather than cut.
    if (strlen(e->d_name) >= KC_PATH_MAX) continue;
    snprintf(name, KC_PATH_MAX, "%s", e->d_name);
    return 0;
  }
}

os_find_t os_find_first(const char *search, char *name) {
  // The folder is everything up to the last separator; the pattern after
  // it is the caller's to apply.
  char dir[PATH_MAX]; // the folder may be longer than a name handed out
  const char *slash = strrchr(search, '/');
  if (!slash) {
    snprintf(dir, sizeof dir, ".");
  } else {
    size_t n = (size_t)(slash - search) + 1; // keep the separator: "/" stays the root
    if (n >= sizeof dir) return OS_FIND_NONE;
    memcpy(dir, search, n);
    dir[n] = '\0';
  }
  DIR *d = opendir(dir);
  if (!d) return OS_FIND_NONE;
  if (next_name(d, name) != 0) {
    closedir(d);
    return OS_FIND_NONE;
  }
  return (os_find_t)d;
}

int os_find_next(os_find_t h, char *name) {
  if (h == OS_FIND_NONE || h == 0) return -1;
  return next_name((DIR *)h, name);
}

void os_find_close(os_find_t h) {
  if (h != OS_FIND_NONE && h != 0) closedir((DIR *)h);
}

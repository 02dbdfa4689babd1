// Windows seam: directory search through the C runtime, which applies the
// wildcard itself (its own rules, case ignored).
#include <io.h>
#include <stdio.h>
#include <string.h>

#include "os.h"

const int OS_FIND_MATCHES = 1;

static void put_name(const struct _finddata_t *fd, char *name) {
  snprintf(name, KC_PATH_MAX, "%s", fd->name);
}

os_find_t os_find_first(const char *search, char *name) {
  struct _finddata_t fd;
  intptr_t h = _findfirst(search, &fd);
  if (h == -1) return OS_FIND_NONE;
  put_name(&fd, name);
  return (os_find_t)h;
}

int os_find_next(os_find_t h, char *name) {
  if (h == OS_FIND_NONE) return -1;
  struct _finddata_t fd;
  if (_findnext(h, &fd) != 0) return -1;
  put_name(&fd, name);
  return 0;
}

void os_find_close(os_find_t h) {
  if (h != OS_FIND_NONE) (void)_findclose(h);
}

// POSIX seam: dynamic libraries through the dynamic loader. There are no
// ordinals and no critical-error boxes here.
#include <dlfcn.h>
#include <limits.h>
#include <string.h>
#include <unistd.h>

#include "os.h"

KCLIBRARY os_lib_load(const char *name, int quiet) {
  (void)quiet;
  // A plain name is looked for in the running program's own folder first,
  // as Windows does; then through the loader's search.
  char beside[PATH_MAX];
  if (!strchr(name, '/') && os_self_path(beside, sizeof beside) == 0) {
    char *slash = strrchr(beside, '/');
    size_t at = slash ? (size_t)(slash - beside) + 1 : 0;
    if (slash && at + strlen(name) < sizeof beside) {
      memcpy(beside + at, name, strlen(name) + 1);
      if (access(beside, F_OK) == 0) return (KCLIBRARY)dlopen(beside, RTLD_NOW);
    }
  }
  return (KCLIBRARY)dlopen(name, RTLD_NOW);
}

void os_lib_free(KCLIBRARY lib) {
  if (lib) dlclose((void *)lib);
}

KCPROC os_lib_proc(KCLIBRARY lib, const char *name) {
  // Handle 0 is passed on as it is: the loader's global scope, as
  // GetProcAddress takes the program itself.
  return (KCPROC)dlsym((void *)lib, name);
}

KCPROC os_lib_ordinal(KCLIBRARY lib, uint16_t ordinal) {
  (void)lib;
  (void)ordinal;
  return NULL;
}

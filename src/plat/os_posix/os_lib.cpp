// POSIX seam: dynamic libraries through the dynamic loader. There are no
// ordinals and no critical-error boxes here.
#include <dlfcn.h>

#include "os.h"

KCLIBRARY os_lib_load(const char *name, int quiet) {
  // A plain name is found through the loader's search, as on Windows.
  (void)quiet;
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

// Windows seam: dynamic libraries through KERNEL32.
#include <windows.h>

#include "os.h"

KCLIBRARY os_lib_load(const char *name, int quiet) {
  UINT nOldCode = 0;
  // Quiet: no critical-error box while loading; the mode found is put back
  // whatever the outcome of the load.
  if (quiet) nOldCode = SetErrorMode(SEM_FAILCRITICALERRORS);
  HMODULE h = LoadLibraryA(name);
  if (quiet) SetErrorMode(nOldCode);
  return (KCLIBRARY)h;
}

void os_lib_free(KCLIBRARY lib) {
  if (lib) (void)FreeLibrary((HMODULE)lib);
}

// FARPROC is a stdcall pointer; go through a plain one to the caller's type.
static KCPROC as_proc(FARPROC p) { return (KCPROC)(void (*)(void))p; }

KCPROC os_lib_proc(KCLIBRARY lib, const char *name) { return as_proc(GetProcAddress((HMODULE)lib, name)); }

KCPROC os_lib_ordinal(KCLIBRARY lib, uint16_t ordinal) {
  return as_proc(GetProcAddress((HMODULE)lib, MAKEINTRESOURCEA(ordinal)));
}

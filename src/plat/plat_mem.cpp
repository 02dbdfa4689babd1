// Memory, dynamic libraries, the current directory and the well-known
// directories; owner of the platform layer's static state.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "os.h"
#include "plat_int.h"

int32_t PlatInitRefCount;
uint32_t PlatInitFlags;
KCLIBRARY PagraLibHandle;
OSGETENVSTRPROC OSGetEnvStrProc;
OSGETINTLSETPROC OSGetIntlSetProc;
char szExeDirectory[KC_PATH_MAX];
char szPipeDirectory[KC_PATH_MAX];
char szIniDirectory[KC_PATH_MAX];
KCINTLFORMAT *kcIntlFormat;

/* ---- Memory ---- */

KCAPI void *KCMemAlloc(uint32_t Size) { return malloc(Size ? Size : 1); }

KCAPI void *KCMemCalloc(uint32_t Size) { return calloc(1, Size ? Size : 1); }

KCAPI void *KCMemRealloc(void *MemBlock, uint32_t OldSize, uint32_t NewSize) {
  // Unlike realloc, a NULL block is not a request for a new one.
  if (!MemBlock) return NULL;
  if (NewSize == 0) NewSize = 1;
  void *p = realloc(MemBlock, NewSize);
  if (p) return p;
  // The heap could not resize: move by hand what the caller wants kept.
  p = malloc(NewSize);
  if (!p) return NULL; // MemBlock is still the caller's
  if (OldSize) memcpy(p, MemBlock, OldSize < NewSize ? OldSize : NewSize);
  free(MemBlock);
  return p;
}

KCAPI void KCMemFree(void *MemBlock) { free(MemBlock); }

/* ---- Libraries ---- */

KCAPI KCLIBRARY KCLibraryLoad(const char *LibName, uint32_t flags) {
  char filename[KC_PATH_MAX];
  if (flags & KC_LIB_SHORT) {
    if (!kc_format(filename, sizeof filename, "%sn%s.kcx", KCFileExeDir(), LibName)) return 0; // refused, not cut
  } else if (!kc_copy(filename, sizeof filename, LibName)) {
    return 0;
  }
  return os_lib_load(filename, (flags & KC_LIB_QUIET) != 0);
}

KCAPI void KCLibraryFree(KCLIBRARY Library) { os_lib_free(Library); }

KCAPI KCPROC KCLibraryLoadProc(KCLIBRARY Library, const char *ProcName, uint32_t ProcNumber) {
  // No library, no entry point: handle 0 would be the program itself on
  // Windows and every loaded library on POSIX.
  if (!Library) return NULL;
  if (ProcName) return os_lib_proc(Library, ProcName);
  return os_lib_ordinal(Library, (uint16_t)(ProcNumber & 0xFFFFu));
}

void PlatLoadHostLibrary(void) {
  if (PagraLibHandle == 0) PagraLibHandle = KCLibraryLoad(KC_HOST_LIBRARY, KC_LIB_QUIET);
}

/* ---- Current directory ---- */

KCAPI uint32_t KCFileGetDir(char *Directory, uint32_t Length) {
  if (!Directory || Length == 0) return 0;
  (void)os_getcwd(Directory, Length); // asked: 1 whatever the answer
  return 1;
}

KCAPI uint32_t KCFileSetDir(const char *Directory) {
  if (!Directory || !Directory[0]) return 0;
  return os_chdir(Directory) == 0 ? 1 : 0;
}

/* ---- Well-known directories ---- */

KCAPI char *KCFileExeDir(void) { return szExeDirectory; }
KCAPI char *KCFilePipeDir(void) { return szPipeDirectory; }
KCAPI char *KCFileIniDir(void) { return szIniDirectory; }

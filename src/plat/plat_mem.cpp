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

int kc_copy(char *dst, size_t size, const char *src) {
  size_t n = strlen(src);
  if (n >= size) {
    if (size) dst[0] = '\0';
    return 0;
  }
  memcpy(dst, src, n + 1);
  return 1;
}

int kc_append(char *dst, size_t size, const char *src) {
  size_t have = strlen(dst);
  size_t n = strlen(src);
  if (have + n >= size) return 0;
  memcpy(dst + have, src, n + 1);
  return 1;
}

/* ---- Memory ---- */

/* A heap block of Size bytes (1 when Size is 0), content undefined; NULL
 * when the heap is exhausted. */
KCAPI void *KCMemAlloc(uint32_t Size) { return malloc(Size ? Size : 1); }

/* As KCMemAlloc, the block zero-filled. */
KCAPI void *KCMemCalloc(uint32_t Size) { return calloc(1, Size ? Size : 1); }

/* MemBlock resized to NewSize (1 when 0), content kept; NULL for a NULL
 * MemBlock or when the heap is exhausted (MemBlock is then untouched).
 * OldSize bounds what is copied only when the block is moved by hand. */
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

/* Releases a block of the family; NULL is ignored. */
KCAPI void KCMemFree(void *MemBlock) { free(MemBlock); }

/* ---- Libraries ---- */

/* Loads LibName (with KC_LIB_SHORT: <exe dir>n<LibName>.kcx), quietly with
 * KC_LIB_QUIET. The handle, or 0 when not loaded or when the composed name
 * exceeds 260 characters. */
KCAPI KCLIBRARY KCLibraryLoad(const char *LibName, uint32_t flags) {
  char filename[KC_PATH_MAX];
  if (flags & KC_LIB_SHORT) {
    int n = snprintf(filename, sizeof filename, "%sn%s.kcx", KCFileExeDir(), LibName);
    if (n < 0 || (size_t)n >= sizeof filename) return 0; // would not fit: refuse
  } else if (!kc_copy(filename, sizeof filename, LibName)) {
    return 0;
  }
  return os_lib_load(filename, (flags & KC_LIB_QUIET) != 0);
}

/* Releases the library; the outcome is not reported. */
KCAPI void KCLibraryFree(KCLIBRARY Library) { os_lib_free(Library); }

/* The entry point ProcName, or with a NULL ProcName the ordinal in the low
 * 16 bits of ProcNumber; NULL when not there. */
KCAPI KCPROC KCLibraryLoadProc(KCLIBRARY Library, const char *ProcName, uint32_t ProcNumber) {
  if (ProcName) return os_lib_proc(Library, ProcName);
  return os_lib_ordinal(Library, (uint16_t)(ProcNumber & 0xFFFFu));
}

void PlatLoadHostLibrary(void) {
  if (PagraLibHandle == 0) PagraLibHandle = KCLibraryLoad(KC_HOST_LIBRARY, KC_LIB_QUIET);
}

/* ---- Current directory ---- */

/* Asks for the current directory into Directory (Length bytes): 1, even
 * when the answer did not come; 0 without asking for NULL or Length 0. */
KCAPI uint32_t KCFileGetDir(char *Directory, uint32_t Length) {
  if (!Directory || Length == 0) return 0;
  (void)os_getcwd(Directory, Length); // asked: 1 whatever the answer
  return 1;
}

/* 1 when Directory became the current directory; 0 when refused, and
 * without asking for NULL or "". */
KCAPI uint32_t KCFileSetDir(const char *Directory) {
  if (!Directory || !Directory[0]) return 0;
  return os_chdir(Directory) == 0 ? 1 : 0;
}

/* ---- Well-known directories ---- */

/* The platform directories: the statics themselves, never NULL, empty
 * until KCPlatInit fills them. */
KCAPI char *KCFileExeDir(void) { return szExeDirectory; }
KCAPI char *KCFilePipeDir(void) { return szPipeDirectory; }
KCAPI char *KCFileIniDir(void) { return szIniDirectory; }

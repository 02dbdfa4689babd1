// Platform start-up and shut-down: finding the platform directory through
// the marker file, PATH and kvmover.ini, with a reference count.
#include <string.h>

#include "os.h"
#include "plat_int.h"

/* The current directory is always read with this length: a directory of
 * more than 256 characters cannot be read, and one that can always fits a
 * path buffer with a separator appended. */
#define KC_CWD_READ 257u

#define KC_MARKER_HOST KC_HOST_LIBRARY
#define KC_MARKER_KVMOVER "kvmover.ini"

/* 1 when path (with OS_EXE_SUFFIX appended, where there is one, as a
 * second try) can be read. */
static int program_readable(const char *path) {
  char with_suffix[KC_PATH_MAX];
  if (os_access(path, OS_R_OK) == 0) return 1;
  if (!OS_EXE_SUFFIX[0]) return 0;
  if (!kc_copy(with_suffix, sizeof with_suffix, path) ||
      !kc_append(with_suffix, sizeof with_suffix, OS_EXE_SUFFIX))
    return 0;
  return os_access(with_suffix, OS_R_OK) == 0;
}

char *PathParts(const char *szName, char *szPath) {
  char szParts[KC_PATH_MAX];
  char szFull[KC_PATH_MAX];
  if (szName && !szName[0]) szName = NULL;
  if (!szPath || (!szName && !szPath[0])) return NULL;

  if (szPath[0]) {
    if (!program_readable(szPath)) return NULL;
    // The directory part: up to the last separator, else the drive.
    if (!kc_copy(szParts, sizeof szParts, szPath)) return NULL;
    char *sep = strrchr(szParts, OS_DIRSEP);
    if (sep)
      sep[1] = '\0';
    else
      szParts[os_drive_len(szParts)] = '\0';
    int r = kc_dir_entered(szParts, szFull, KC_CWD_READ);
    size_t n = strlen(szParts);
    if (r == KC_ENTER_REFUSED && sep && n > 1) { // the root "/" has nothing to take off
      szParts[n - 1] = '\0';
      r = kc_dir_entered(szParts, szFull, KC_CWD_READ);
    }
    // Both refused: the unchanged current directory.
    if (r == KC_ENTER_REFUSED) r = kc_cwd_dir(szFull, KC_CWD_READ) ? KC_ENTER_OK : KC_ENTER_FAILED;
    if (r != KC_ENTER_OK) return NULL;
    memcpy(szParts, szFull, strlen(szFull) + 1);
  } else if (!kc_cwd_dir(szParts, KC_CWD_READ)) {
    return NULL;
  }

  if (szName) {
    if (!kc_format(szFull, sizeof szFull, "%s%s", szParts, szName)) return NULL;
    if (os_access(szFull, OS_R_OK) != 0) return NULL;
  }
  if (!szParts[0]) return NULL;
  memcpy(szPath, szParts, strlen(szParts) + 1);
  return szPath;
}

/* All three platform directories become dir. */
static void set_directories(const char *dir) {
  (void)kc_copy(szExeDirectory, sizeof szExeDirectory, dir);
  (void)kc_copy(szPipeDirectory, sizeof szPipeDirectory, dir);
  (void)kc_copy(szIniDirectory, sizeof szIniDirectory, dir);
}

KCAPI uint32_t KCPlatInit(const char *szName, uint32_t fFlags) {
  char szFull[KC_PATH_MAX];
  ++PlatInitRefCount;
  PlatInitFlags |= fFlags;
  if (szExeDirectory[0]) return KC_OK;

  // A record left by an earlier KCPlatSetIntlFormat is reloaded in place:
  // nothing leaks and a pointer a caller holds stays valid.
  (void)KCPlatSetIntlFormat(NULL);

  const char *marker = (fFlags & KC_INIT_KVMOVER) ? KC_MARKER_KVMOVER : KC_MARKER_HOST;
  int have_name = szName && szName[0];
  // A name too long for the buffer cannot be beside anything we can name.
  int name_fits = have_name ? kc_copy(szFull, sizeof szFull, szName) : (szFull[0] = '\0', 1);

  int found = 0;
  if (name_fits && PathParts(marker, szFull)) found = 1;
  if (!found && KCFindPath("PATH", szFull, marker, 0)) found = 1;

  if (!found && szName) {
    // The program's own directory: by its path, else along PATH.
    if (kc_copy(szFull, sizeof szFull, szName) &&
        (PathParts(NULL, szFull) || KCFindPath("PATH", szFull, szName, 0))) {
      set_directories(szFull);
      return KC_OK;
    }
    --PlatInitRefCount;
    return KC_ERR_INI_OPEN;
  }

  // Found, or nothing found for a NULL name: szFull holds what the search
  // left there, and kvmover.ini is looked for in it.
  (void)kc_copy(szIniDirectory, sizeof szIniDirectory, szFull);
  if (!(fFlags & KC_INIT_HOST)) {
    uint32_t st = KCINIGetString("Configuration", "Directory", szFull, KC_MARKER_KVMOVER);
    if (st != KC_OK) {
      szIniDirectory[0] = '\0';
      --PlatInitRefCount;
      return st;
    }
  }

  // The directory with its separator, an empty one the separator alone;
  // the entry is at most a line of the INI format long, so this fits.
  char sep[2] = {OS_DIRSEP, '\0'};
  if (!kc_copy(szExeDirectory, sizeof szExeDirectory, szFull[0] ? szFull : sep) ||
      !kc_dirsep_term(szExeDirectory, sizeof szExeDirectory))
    szExeDirectory[0] = '\0';
  // A directory it must be: on Windows "file\." passes an existence test,
  // as the system drops the trailing ".".
  uint32_t status = (szExeDirectory[0] && os_is_dir(szExeDirectory)) ? KC_OK : KC_ERR_PLAT_DIR;
  (void)kc_copy(szPipeDirectory, sizeof szPipeDirectory, szExeDirectory);
  (void)kc_copy(szIniDirectory, sizeof szIniDirectory, szExeDirectory);
  if (status != KC_OK) --PlatInitRefCount;
  return status;
}

KCAPI uint32_t KCPlatTerm(void) {
  --PlatInitRefCount;
  if (PlatInitRefCount > 0) return KC_OK;
  if (PlatInitRefCount < 0) return KC_ERR_PLAT_DIR;
  if (kcIntlFormat) {
    KCMemFree(kcIntlFormat);
    kcIntlFormat = NULL;
  }
  szExeDirectory[0] = '\0';
  PlatInitFlags = 0;
  if (PagraLibHandle != 0) {
    OSGetEnvStrProc = NULL;
    OSGetIntlSetProc = NULL;
    KCLibraryFree(PagraLibHandle);
    PagraLibHandle = 0;
  }
  return KC_OK;
}

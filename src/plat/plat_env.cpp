// Path search along an environment list, and reading and setting
// environment variables.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "os.h"
#include "plat_int.h"

/* The candidate buffer: a directory element with its separator, followed
 * by the name, at most 261 characters. */
#define KC_FIND_CAND_MAX (KC_PATH_MAX + 1)

// 1 when the candidate passes: it exists (readable), and with chk_lock it
// is also write-protected (the write test refused with EACCES).
static int candidate_found(const char *cand, uint32_t chk_lock) {
  if (os_access(cand, OS_R_OK) != 0) return 0;
  if (!chk_lock) return 1;
  return os_access(cand, OS_W_OK) == EACCES;
}

KCAPI uint32_t KCFindPath(const char *env_var, char *dir, const char *name, uint32_t chk_lock) {
  if (!env_var) return 0;
  const char *list = getenv(env_var);
  if (!list) return 0;
  size_t namelen = strlen(name);
  const char *p = list;
  while (*p) {
    const char *end = strchr(p, OS_LISTSEP);
    size_t len = end ? (size_t)(end - p) : strlen(p);
    const char *next = end ? end + 1 : p + len;
    if (len == 0) { // leading, trailing or doubled separator
      p = next;
      continue;
    }
    int needsep = p[len - 1] != OS_DIRSEP;
    // dir must hold the element, perhaps a separator, and the NUL.
    if (len + (size_t)needsep >= KC_PATH_MAX) {
      p = next;
      continue;
    }
    memcpy(dir, p, len);
    if (needsep) dir[len++] = OS_DIRSEP;
    dir[len] = '\0';
    if (len + namelen < KC_FIND_CAND_MAX) {
      char tmp[KC_FIND_CAND_MAX];
      memcpy(tmp, dir, len);
      memcpy(tmp + len, name, namelen + 1);
      if (candidate_found(tmp, chk_lock)) return 1;
    }
    p = next;
  }
  return 0;
}

KCAPI uint32_t KCPlatGetEnv(const char *kcName, char *kcBuffer, uint32_t *kcLength) {
  if (!kcBuffer || !kcLength) return KC_ERR_NULL_ARG;
  const char *v = kcName ? getenv(kcName) : NULL;
  if (!v) {
    kcBuffer[0] = '\0';
    *kcLength = 0;
    return KC_ERR_ENV_UNSET;
  }
  size_t n = strlen(v);
  if (n > *kcLength) n = *kcLength; // silent truncation
  memcpy(kcBuffer, v, n);
  kcBuffer[n] = '\0';
  *kcLength = (uint32_t)n;
  return KC_OK;
}

KCAPI uint32_t KCPlatPutEnv(const char *kcName, const char *kcBuffer) {
  size_t namelen = strlen(kcName);
  size_t buflen = strlen(kcBuffer);
  size_t size = namelen + buflen + 10;
  if (size > 0xFFFFFFFFu) return KC_ERR_NOMEM; // beyond a 32-bit block size
  char *entry = (char *)KCMemAlloc((uint32_t)size);
  if (!entry) return KC_ERR_NOMEM;
  snprintf(entry, size, "%s=\"%s\"", kcName, kcBuffer);
  if (os_putenv(entry) != 0) {
    KCMemFree(entry); // refused: the environment did not take it
    return KC_ERR_ENV_REFUSED;
  }
  return KC_OK;
}

void kc_process_start(void) { os_keep_going_past_limits(); }

int kc_start_interpreter(const char *prog, const char *const argv[], const char *cwd, int wait, int *status) {
  return os_spawn(prog, argv, cwd, wait, status);
}

int kc_path_absolute(const char *path) { return path && os_path_absolute(path); }

int kc_system_dir(char *dir) { return os_system_dir(dir, KC_PATH_MAX) == 0; }

// Folders as the installer and the start-up see them: the host's path
// conventions, the current directory with its separator, entering a folder
// to learn its absolute name, and the running program's own folder.
#include <string.h>

#include "os.h"
#include "plat_int.h"

// Taken from the seam when the program starts; nothing reads them before.
extern const char KC_DIRSEP = OS_DIRSEP;
extern const int KC_NAMES_FOLD_CASE = OS_NAMES_FOLD_CASE;
// The Windows command interpreter serves where paths are Windows paths.
extern const int KC_HOST_CMD = OS_DIRSEP == '\\';

int kc_dirsep_term(char *dir, size_t size) {
  size_t n = strlen(dir);
  // An empty string stays empty: there is no last character to judge.
  if (n == 0 || dir[n - 1] == OS_DIRSEP) return 1;
  if (n + 1 >= size) return 0;
  dir[n] = OS_DIRSEP;
  dir[n + 1] = '\0';
  return 1;
}

int kc_cwd_dir(char *dir, uint32_t read_len) {
  dir[0] = '\0';
  if (read_len > KC_PATH_MAX) read_len = KC_PATH_MAX;
  if (os_getcwd(dir, read_len) != 0 || !dir[0]) return 0;
  if (kc_dirsep_term(dir, KC_PATH_MAX)) return 1;
  dir[0] = '\0';
  return 0;
}

int kc_dir_entered(const char *dir, char *out, uint32_t read_len) {
  char saved[KC_PATH_MAX];
  char entered[KC_PATH_MAX];
  if (read_len > KC_PATH_MAX) read_len = KC_PATH_MAX;
  // Without the way back, the current directory is not left.
  if (os_getcwd(saved, read_len) != 0 || !saved[0]) return KC_ENTER_FAILED;
  if (!dir[0] || os_chdir(dir) != 0) return KC_ENTER_REFUSED;
  int ok = kc_cwd_dir(entered, read_len);
  if (os_chdir(saved) != 0) ok = 0;
  if (!ok) return KC_ENTER_FAILED;
  memcpy(out, entered, strlen(entered) + 1);
  return KC_ENTER_OK;
}

int kc_self_dir(char *dir) {
  char self[KC_PATH_MAX];
  if (os_self_path(self, sizeof self) != 0) return 0;
  char *sep = strrchr(self, OS_DIRSEP);
  if (!sep) return 0;
  sep[1] = '\0';
  return kc_copy(dir, KC_PATH_MAX, self);
}

int kc_access(const char *path, int mode) {
  return os_access(path, mode == KC_ACCESS_READ ? OS_R_OK : OS_F_OK);
}

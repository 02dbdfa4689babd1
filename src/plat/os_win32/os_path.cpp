// Windows seam: path conventions, current directory, access tests,
// directories and the program's own path.
#include <windows.h>
#include <direct.h>
#include <errno.h>
#include <io.h>
#include <string.h>
#include <sys/stat.h>

#include "os.h"

const char OS_DIRSEP = '\\';
const char OS_LISTSEP = ';';
const int OS_NAMES_FOLD_CASE = 1;
const char *const OS_EXE_SUFFIX = ".exe";

int os_name_has_path(const char *name) { return strchr(name, '\\') || strchr(name, ':'); }

size_t os_drive_len(const char *path) {
  return (path[0] && path[1] == ':') ? 2 : 0;
}

int os_getcwd(char *buf, uint32_t len) {
  DWORD n = GetCurrentDirectoryA(len, buf);
  if (n == 0 || n >= len) {
    if (len) buf[0] = '\0';
    return n == 0 ? EIO : ERANGE;
  }
  return 0;
}

int os_chdir(const char *dir) { return SetCurrentDirectoryA(dir) ? 0 : ENOENT; }

int os_access(const char *path, int mode) { return _access(path, mode) == 0 ? 0 : errno; }

int os_mkdir(const char *path) { return _mkdir(path) == 0 ? 0 : errno; }

int os_remove(const char *path) {
  if (os_fault_hit(OS_OP_REMOVE)) return EIO;
  return remove(path) == 0 ? 0 : errno;
}

int os_is_dir(const char *path) {
  DWORD a = GetFileAttributesA(path);
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

int os_self_path(char *buf, uint32_t len) {
  if (len == 0) return ERANGE;
  DWORD n = GetModuleFileNameA(NULL, buf, len);
  if (n == 0 || n >= len) {
    buf[0] = '\0';
    return n == 0 ? EIO : ENAMETOOLONG;
  }
  return 0;
}

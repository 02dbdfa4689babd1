// Windows seam: path conventions, current directory, access tests,
// directories and the program's own path.
#include <windows.h>
#include <errno.h>
#include <string.h>

#include "os.h"
#include "os_errno.h"

const char OS_DIRSEP = '\\';
const char OS_LISTSEP = ';';
const int OS_NAMES_FOLD_CASE = 1;
const char *const OS_EXE_SUFFIX = ".exe";

int os_name_has_path(const char *name) { return strchr(name, '\\') || strchr(name, ':'); }

int os_path_absolute(const char *path) {
  if (os_drive_len(path) == 2) return path[2] == '\\' || path[2] == '/';
  return path[0] == '\\' && path[1] == '\\';
}

size_t os_drive_len(const char *path) {
  return (path[0] && path[1] == ':') ? 2 : 0;
}

const char *os_base_name(const char *path) {
  const char *base = path;
  for (const char *p = path; *p; ++p)
    if (*p == '\\' || *p == '/' || *p == ':') base = p + 1;
  return base;
}

int os_getcwd(char *buf, uint32_t len) {
  DWORD n = GetCurrentDirectoryA(len, buf);
  if (n == 0 || n >= len) {
    if (len) buf[0] = '\0';
    return n == 0 ? os_last_errno() : ERANGE;
  }
  return 0;
}

int os_chdir(const char *dir) { return SetCurrentDirectoryA(dir) ? 0 : os_last_errno(); }

// Existence by the attributes; the write test refused for the read-only
// attribute, the one permission a Windows file name carries.
int os_access(const char *path, int mode) {
  DWORD a = GetFileAttributesA(path);
  if (a == INVALID_FILE_ATTRIBUTES) return os_last_errno();
  if ((mode & OS_W_OK) && (a & FILE_ATTRIBUTE_READONLY)) return EACCES;
  return 0;
}

int os_mkdir(const char *path) {
  os_pc(OS_PC_MKDIR, path, NULL, OS_BADFD);
  return CreateDirectoryA(path, NULL) ? 0 : os_last_errno();
}

int os_rmdir(const char *path) {
  os_pc(OS_PC_RMDIR, path, NULL, OS_BADFD);
  return RemoveDirectoryA(path) ? 0 : os_last_errno();
}

int os_name_kind(const char *path) {
  DWORD a = GetFileAttributesA(path);
  if (a == INVALID_FILE_ATTRIBUTES) {
    // Wine cannot ask a pipe or a socket for its attributes, yet lists it:
    // something stands there that no open should wait on.
    WIN32_FIND_DATAA found;
    HANDLE f = GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND
                   ? INVALID_HANDLE_VALUE
                   : FindFirstFileA(path, &found);
    if (f == INVALID_HANDLE_VALUE) return OS_KIND_NONE;
    FindClose(f);
    return OS_KIND_OTHER;
  }
  if (a & FILE_ATTRIBUTE_REPARSE_POINT) return OS_KIND_LINK;
  if (a & FILE_ATTRIBUTE_DIRECTORY) return OS_KIND_DIR;
  return (a & FILE_ATTRIBUTE_DEVICE) ? OS_KIND_OTHER : OS_KIND_FILE;
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
    return n == 0 ? os_last_errno() : ENAMETOOLONG;
  }
  return 0;
}

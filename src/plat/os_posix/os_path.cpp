// POSIX seam: path conventions, current directory, access tests,
// directories and the program's own path.
#include <errno.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "os.h"
#include "os_errno.h"

const char OS_DIRSEP = '/';
const char OS_LISTSEP = ':';
const int OS_NAMES_FOLD_CASE = 0;
const char *const OS_EXE_SUFFIX = "";

int os_name_has_path(const char *name) { return strchr(name, '/') != NULL; }

int os_path_absolute(const char *path) { return path[0] == '/'; }

size_t os_drive_len(const char *path) { return 0; }

const char *os_base_name(const char *path) {
  const char *slash = strrchr(path, '/');
  return slash ? slash + 1 : path;
}

int os_getcwd(char *buf, uint32_t len) {
  if (!getcwd(buf, len)) {
    int e = os_errno(errno);
    if (len) buf[0] = '\0';
    return e;
  }
  return 0;
}

int os_chdir(const char *dir) { return chdir(dir) == 0 ? 0 : os_errno(errno); }

int os_access(const char *path, int mode) {
  int m = F_OK;
  if (mode & OS_R_OK) m |= R_OK;
  if (mode & OS_W_OK) m |= W_OK;
  if (access(path, m) == 0) {
    // root passes every permission test; a file without any write bit still
    // counts as write-protected, as a read-only attribute does on Windows.
    if ((mode & OS_W_OK) && geteuid() == 0) {
      struct stat st;
      if (stat(path, &st) == 0 && !S_ISDIR(st.st_mode) && !(st.st_mode & 0222)) return EACCES;
    }
    return 0;
  }
  return os_errno(errno);
}

int os_mkdir(const char *path) {
  os_pc(OS_PC_MKDIR, path, NULL, OS_BADFD);
  return mkdir(path, 0777) == 0 ? 0 : os_errno(errno);
}

int os_rmdir(const char *path) {
  os_pc(OS_PC_RMDIR, path, NULL, OS_BADFD);
  return rmdir(path) == 0 ? 0 : os_errno(errno);
}

int os_name_kind(const char *path) {
  struct stat st;
  if (lstat(path, &st) != 0) return OS_KIND_NONE;
  if (S_ISREG(st.st_mode)) return OS_KIND_FILE;
  if (S_ISDIR(st.st_mode)) return OS_KIND_DIR;
  return S_ISLNK(st.st_mode) ? OS_KIND_LINK : OS_KIND_OTHER;
}

int os_is_dir(const char *path) {
  struct stat st;
  return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

int os_self_path(char *buf, uint32_t len) {
  if (len == 0) return ERANGE;
  ssize_t n = readlink("/proc/self/exe", buf, len);
  if (n < 0) return os_errno(errno);
  if ((size_t)n >= len) {
    buf[0] = '\0';
    return ENAMETOOLONG;
  }
  buf[n] = '\0';
  return 0;
}

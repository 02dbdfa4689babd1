// Windows seam: low-level files for the INI store's rewrite and the
// installer's copies, over KERNEL32 handles.
#include <windows.h>
#include <aclapi.h>
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "os.h"
#include "os_errno.h"

static int open_handle(const char *path, DWORD access, DWORD disposition, os_fd *fd) {
  HANDLE h = CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL, disposition,
                         FILE_ATTRIBUTE_NORMAL, NULL);
  if (h == INVALID_HANDLE_VALUE) return os_last_errno();
  *fd = (os_fd)h;
  return 0;
}

int os_open_read(const char *path, os_fd *fd) {
  *fd = OS_BADFD;
  return open_handle(path, GENERIC_READ, OPEN_EXISTING, fd);
}

int os_create_excl(const char *path, os_fd *fd) {
  *fd = OS_BADFD;
  if (os_fault_hit(OS_OP_CREATE)) return EIO;
  return open_handle(path, GENERIC_WRITE, CREATE_NEW, fd);
}

int os_create_trunc(const char *path, os_fd *fd) {
  *fd = OS_BADFD;
  if (os_fault_hit(OS_OP_CREATE)) return EIO;
  // A read-only file is not overwritten. CREATE_ALWAYS refuses it on
  // Windows; the explicit test keeps that true where the file system does
  // not enforce the attribute (Wine run as root).
  DWORD attr = GetFileAttributesA(path);
  if (attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_READONLY)) return EACCES;
  return open_handle(path, GENERIC_WRITE, CREATE_ALWAYS, fd);
}

long os_read(os_fd fd, void *buf, size_t n, int *err) {
  if (os_fault_hit(OS_OP_READ)) {
    *err = EIO;
    return -1;
  }
  DWORD got = 0;
  if (!ReadFile((HANDLE)fd, buf, (DWORD)n, &got, NULL)) {
    *err = os_last_errno();
    return -1;
  }
  return (long)got;
}

long os_write(os_fd fd, const void *buf, size_t n, int *err) {
  if (os_fault_hit(OS_OP_WRITE)) {
    *err = ENOSPC;
    return -1;
  }
  DWORD put = 0;
  if (!WriteFile((HANDLE)fd, buf, (DWORD)n, &put, NULL)) {
    *err = os_last_errno();
    return -1;
  }
  return (long)put;
}

int os_fsync(os_fd fd) {
  if (os_fault_hit(OS_OP_FSYNC)) return EIO;
  return FlushFileBuffers((HANDLE)fd) ? 0 : os_last_errno();
}

int os_close(os_fd fd) {
  if (fd == OS_BADFD) return EBADF;
  int r = CloseHandle((HANDLE)fd) ? 0 : os_last_errno();
  if (os_fault_hit(OS_OP_CLOSE)) return EIO; // the handle is gone either way
  return r;
}

// FILETIME (100 ns since 1601) to seconds since 1970.
static int64_t unix_time(FILETIME ft) {
  uint64_t t = ((uint64_t)ft.dwHighDateTime << 32) | ft.dwLowDateTime;
  return (int64_t)(t / 10000000ULL) - 11644473600LL;
}

// The C runtime's view of the permission: read always, write unless the
// file carries the read-only attribute.
static uint32_t mode_of(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_READONLY) ? 0444 : 0666; }

static FILETIME filetime_of(LARGE_INTEGER t) {
  FILETIME ft;
  ft.dwLowDateTime = t.LowPart;
  ft.dwHighDateTime = (DWORD)t.HighPart;
  return ft;
}

// Times, permission and size only: the file's identity (which needs the
// volume's serial number, a slow query) is os_same_file's matter.
int os_fstat(os_fd fd, os_filestat *st) {
  FILE_BASIC_INFO info;
  LARGE_INTEGER size;
  if (!GetFileInformationByHandleEx((HANDLE)fd, FileBasicInfo, &info, sizeof info) ||
      !GetFileSizeEx((HANDLE)fd, &size))
    return os_last_errno();
  st->atime = unix_time(filetime_of(info.LastAccessTime));
  st->mtime = unix_time(filetime_of(info.LastWriteTime));
  st->mode = mode_of(info.FileAttributes);
  st->size = (uint64_t)size.QuadPart;
  return 0;
}

int os_stat(const char *path, os_filestat *st) {
  WIN32_FILE_ATTRIBUTE_DATA info;
  if (!GetFileAttributesExA(path, GetFileExInfoStandard, &info)) return os_last_errno();
  st->atime = unix_time(info.ftLastAccessTime);
  st->mtime = unix_time(info.ftLastWriteTime);
  st->mode = mode_of(info.dwFileAttributes);
  st->size = ((uint64_t)info.nFileSizeHigh << 32) | info.nFileSizeLow;
  return 0;
}

// Volume serial number and file index of an existing file or folder.
static int identity(const char *path, BY_HANDLE_FILE_INFORMATION *info) {
  // FILE_FLAG_BACKUP_SEMANTICS lets folders be opened too.
  HANDLE h = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS, NULL);
  if (h == INVALID_HANDLE_VALUE) return 0;
  int ok = GetFileInformationByHandle(h, info) != 0;
  CloseHandle(h);
  return ok;
}

int os_same_file(const char *a, const char *b) {
  BY_HANDLE_FILE_INFORMATION x, y;
  // Most destinations do not exist yet: that answer costs no open.
  if (GetFileAttributesA(b) == INVALID_FILE_ATTRIBUTES) return 0;
  if (!identity(a, &x) || !identity(b, &y)) return 0;
  return x.dwVolumeSerialNumber == y.dwVolumeSerialNumber && x.nFileIndexHigh == y.nFileIndexHigh &&
         x.nFileIndexLow == y.nFileIndexLow;
}

// Seconds since 1970 to FILETIME (100 ns since 1601).
static FILETIME filetime_from(int64_t t) {
  uint64_t v = (uint64_t)(t + 11644473600LL) * 10000000ULL;
  FILETIME ft;
  ft.dwLowDateTime = (DWORD)v;
  ft.dwHighDateTime = (DWORD)(v >> 32);
  return ft;
}

int os_set_times(const char *path, int64_t atime, int64_t mtime) {
  // Only the right to change attributes: a read-only file takes new times.
  HANDLE h = CreateFileA(path, FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
  if (h == INVALID_HANDLE_VALUE) return os_last_errno();
  FILETIME a = filetime_from(atime), m = filetime_from(mtime);
  int r = SetFileTime(h, NULL, &a, &m) ? 0 : os_last_errno();
  CloseHandle(h);
  return r;
}

// Only the read-only attribute stands for the permission: set when no
// write bit is given, cleared otherwise; every other attribute is kept.
int os_chmod(const char *path, uint32_t mode) {
  DWORD attr = GetFileAttributesA(path);
  if (attr == INVALID_FILE_ATTRIBUTES) return os_last_errno();
  DWORD want = (mode & 0222) ? (attr & ~(DWORD)FILE_ATTRIBUTE_READONLY) : (attr | FILE_ATTRIBUTE_READONLY);
  if (want == attr) return 0;
  return SetFileAttributesA(path, want) ? 0 : os_last_errno();
}

// The attributes a host may set on its configuration and that a new file
// would not have; read-only never reaches here (such a file is refused).
#define OS_KEPT_ATTRIBUTES \
  (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED)

// The access list of path onto tmp_name: one set by hand stays as it was
// (protected, as it was), one inherited from the folder is inherited again
// by the new file beside it. The owner and group go with it where the
// system lets this process set them; else the access list alone.
static int keep_security(const char *tmp_name, const char *path) {
  PSECURITY_DESCRIPTOR sd = NULL;
  PSID owner = NULL, group = NULL;
  PACL dacl = NULL;
  SECURITY_INFORMATION what = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
  DWORD rc = GetNamedSecurityInfoA(path, SE_FILE_OBJECT, what, &owner, &group, &dacl, NULL, &sd);
  if (rc == ERROR_NOT_SUPPORTED || rc == ERROR_CALL_NOT_IMPLEMENTED) return 0; // no security on this volume
  if (rc != ERROR_SUCCESS) return os_errno(rc);
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  (void)GetSecurityDescriptorControl(sd, &control, &revision);
  SECURITY_INFORMATION dacl_kind = DACL_SECURITY_INFORMATION | ((control & SE_DACL_PROTECTED)
                                                                    ? PROTECTED_DACL_SECURITY_INFORMATION
                                                                    : UNPROTECTED_DACL_SECURITY_INFORMATION);
  char *name = const_cast<char *>(tmp_name); // the ANSI call takes a non-const name; it does not write it
  rc = SetNamedSecurityInfoA(name, SE_FILE_OBJECT, dacl_kind | OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION,
                             owner, group, dacl, NULL);
  if (rc != ERROR_SUCCESS) rc = SetNamedSecurityInfoA(name, SE_FILE_OBJECT, dacl_kind, NULL, NULL, dacl, NULL);
  LocalFree(sd);
  return rc == ERROR_SUCCESS ? 0 : os_errno(rc);
}

int os_keep_traits(os_fd fd, const char *tmp_name, const char *path) {
  (void)fd;
  DWORD attr = GetFileAttributesA(path);
  if (attr == INVALID_FILE_ATTRIBUTES) {
    DWORD e = GetLastError();
    return (e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND) ? 0 : os_errno(e);
  }
  DWORD keep = attr & OS_KEPT_ATTRIBUTES;
  if (keep && !SetFileAttributesA(tmp_name, keep)) return os_last_errno();
  return keep_security(tmp_name, path);
}

int os_resolve_link(const char *path, char *out, size_t size) {
  size_t n = strlen(path);
  if (n >= size) return ENAMETOOLONG;
  memcpy(out, path, n + 1);
  return 0;
}

int os_replace(const char *from, const char *to, int flush) {
  if (os_fault_hit(OS_OP_REPLACE)) return EIO;
  // Replaces in one step; a read-only target is refused and stays as it
  // was. Windows refuses it by itself; Wine replaces it, so ask first.
  DWORD attr = GetFileAttributesA(to);
  if (attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_READONLY)) return EACCES;
  if (!MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | (flush ? MOVEFILE_WRITE_THROUGH : 0))) return os_last_errno();
  return 0;
}

int64_t os_tell(FILE *f) { return (int64_t)_ftelli64(f); }

// Windows seam: low-level files for the INI store's rewrite and the
// installer's copies, over KERNEL32 handles.
#include <windows.h>
#include <winternl.h>
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include "os.h"
#include "os_errno.h"

// The longest path passed to the calls by handle, with its NUL.
#define OS_LONG_PATH_MAX 1024

static int open_handle(const char *path, DWORD access, DWORD disposition, os_fd *fd) {
  HANDLE h = CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL, disposition,
                         FILE_ATTRIBUTE_NORMAL, NULL);
  if (h == INVALID_HANDLE_VALUE) return os_last_errno();
  *fd = (os_fd)h;
  return 0;
}

int os_open_read(const char *path, os_fd *fd) {
  *fd = OS_BADFD;
  if (os_fault_hit(OS_OP_OPEN)) return EACCES;
  int e = open_handle(path, GENERIC_READ, OPEN_EXISTING, fd);
  if (e) return e;
  // A device (NUL, CON, a port) or a pipe opens too, but is no file.
  if (GetFileType((HANDLE)*fd) != FILE_TYPE_DISK) {
    CloseHandle((HANDLE)*fd);
    *fd = OS_BADFD;
    return EACCES;
  }
  return 0;
}

int os_rewind(os_fd fd) {
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  return SetFilePointerEx((HANDLE)fd, zero, NULL, FILE_BEGIN) ? 0 : os_last_errno();
}

uint32_t os_new_file_mode(void) { return 0666; } // a new file is not read-only

int os_sync_dir(const char *dir) {
  if (os_fault_hit(OS_OP_FSYNC)) return EIO;
  os_pc(OS_PC_DIR_FLUSH, dir, NULL, OS_BADFD);
  // Where the system flushes a folder's entries on request, it does;
  // where it refuses, its own journal is all there is.
  HANDLE h = CreateFileA(dir[0] ? dir : ".", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         NULL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
  if (h != INVALID_HANDLE_VALUE) {
    (void)FlushFileBuffers(h);
    CloseHandle(h);
  }
  os_pc(OS_PC_DIR_FLUSHED, dir, NULL, OS_BADFD);
  return 0;
}

int os_create_trunc(const char *path, os_fd *fd) {
  *fd = OS_BADFD;
  if (os_fault_hit(OS_OP_CREATE)) return EIO;
  // A read-only file is not overwritten. CREATE_ALWAYS refuses it on
  // Windows; the explicit test keeps that true where the file system does
  // not enforce the attribute (Wine run as root).
  DWORD attr = GetFileAttributesA(path);
  if (attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_READONLY)) return EACCES;
  if (attr != INVALID_FILE_ATTRIBUTES) os_pc(OS_PC_REMOVE, path, NULL, OS_BADFD); // emptied: as made anew
  os_pc(OS_PC_NEW, path, NULL, OS_BADFD);
  int e = open_handle(path, GENERIC_WRITE, CREATE_ALWAYS, fd);
  if (e == 0) os_pc(OS_PC_OPEN, path, NULL, *fd);
  return e;
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
  os_pc(OS_PC_WRITE, NULL, NULL, fd);
  DWORD put = 0;
  if (!WriteFile((HANDLE)fd, buf, (DWORD)n, &put, NULL)) {
    *err = os_last_errno();
    return -1;
  }
  return (long)put;
}

int os_fsync(os_fd fd) {
  if (os_fault_hit(OS_OP_FSYNC)) return EIO;
  os_pc(OS_PC_FLUSH, NULL, NULL, fd);
  if (!FlushFileBuffers((HANDLE)fd)) return os_last_errno();
  os_pc(OS_PC_FLUSHED, NULL, NULL, fd);
  return 0;
}

void os_start_flush(os_fd fd) { (void)fd; } // no such request: FlushFileBuffers does it all

int os_close(os_fd fd) {
  if (fd == OS_BADFD) return EBADF;
  os_pc(OS_PC_CLOSE, NULL, NULL, fd);
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

int os_fd_set_times(os_fd fd, int64_t atime, int64_t mtime) {
  FILETIME a = filetime_from(atime), m = filetime_from(mtime);
  return SetFileTime((HANDLE)fd, NULL, &a, &m) ? 0 : os_last_errno();
}

int os_fd_chmod(os_fd fd, uint32_t mode) {
  FILE_BASIC_INFO info;
  if (!GetFileInformationByHandleEx((HANDLE)fd, FileBasicInfo, &info, sizeof info)) return os_last_errno();
  DWORD attr = info.FileAttributes;
  DWORD want = (mode & 0222) ? (attr & ~(DWORD)FILE_ATTRIBUTE_READONLY) : (attr | FILE_ATTRIBUTE_READONLY);
  if (want == attr) return 0; // the usual case: nothing to ask of the system
  memset(&info, 0, sizeof info); // zero times: left as they are
  info.FileAttributes = want ? want : FILE_ATTRIBUTE_NORMAL;
  return SetFileInformationByHandle((HANDLE)fd, FileBasicInfo, &info, sizeof info) ? 0 : os_last_errno();
}

// The attributes a host may set on its configuration and that a new file
// would not have; read-only never reaches here (such a file is refused).
#define OS_KEPT_ATTRIBUTES \
  (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED)

// The security of the file open as from onto the new file fd, through the
// handles (asking by name costs a hundred times as much under Wine): the
// access list as it is, protected or inheriting as it was (the new file
// lies in the same folder); the owner and group too when they differ from
// the new file's and the system lets this process set them.
// 1 when both descriptors carry the same access list, protected or
// inheriting alike: setting it again would change nothing.
static int same_dacl(PSECURITY_DESCRIPTOR a, PSECURITY_DESCRIPTOR b) {
  const SECURITY_DESCRIPTOR_CONTROL how = SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED;
  BOOL pa = FALSE, pb = FALSE, defaulted;
  PACL la = NULL, lb = NULL;
  SECURITY_DESCRIPTOR_CONTROL ca, cb;
  DWORD revision;
  ACL_SIZE_INFORMATION sa, sb;
  if (!GetSecurityDescriptorDacl(a, &pa, &la, &defaulted) || !GetSecurityDescriptorDacl(b, &pb, &lb, &defaulted) ||
      !pa || !pb || !la || !lb || !GetSecurityDescriptorControl(a, &ca, &revision) ||
      !GetSecurityDescriptorControl(b, &cb, &revision) || (ca & how) != (cb & how) ||
      !GetAclInformation(la, &sa, sizeof sa, AclSizeInformation) ||
      !GetAclInformation(lb, &sb, sizeof sb, AclSizeInformation))
    return 0;
  return la->AclRevision == lb->AclRevision && la->AceCount == lb->AceCount &&
         sa.AclBytesInUse == sb.AclBytesInUse &&
         memcmp((const char *)la + sizeof(ACL), (const char *)lb + sizeof(ACL), sa.AclBytesInUse - sizeof(ACL)) == 0;
}

static int set_security(os_fd fd, const char *tmp_name, PSECURITY_DESCRIPTOR buf) {
  char mine[4096];
  DWORD need = 0;
  // The new file's list and owner in one question (each costs a round trip
  // under Wine): what it has already is not set again.
  BOOL have = GetKernelObjectSecurity((HANDLE)fd, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, mine,
                                      sizeof mine, &need);
  if (os_fault_hit(OS_OP_KEEP)) return EIO;
  if ((!have || !same_dacl(buf, mine)) && !SetKernelObjectSecurity((HANDLE)fd, DACL_SECURITY_INFORMATION, buf))
    return os_last_errno();
  PSID owner = NULL, new_owner = NULL;
  BOOL defaulted;
  if (!have || !GetSecurityDescriptorOwner(buf, &owner, &defaulted) || !owner ||
      !GetSecurityDescriptorOwner(mine, &new_owner, &defaulted) || (new_owner && EqualSid(owner, new_owner)))
    return 0;
  HANDLE h = CreateFileA(tmp_name, WRITE_OWNER, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  if (h != INVALID_HANDLE_VALUE) {
    (void)SetKernelObjectSecurity(h, OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION, buf);
    CloseHandle(h);
  }
  return 0;
}

static int keep_security(os_fd fd, const char *tmp_name, os_fd from) {
  const SECURITY_INFORMATION all = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
  char local[4096];
  DWORD need = 0;
  if (GetKernelObjectSecurity((HANDLE)from, all, local, sizeof local, &need)) return set_security(fd, tmp_name, local);
  DWORD e = GetLastError();
  // A volume that keeps no security has none to keep.
  if (e == ERROR_NOT_SUPPORTED || e == ERROR_INVALID_FUNCTION) return 0;
  if (e != ERROR_INSUFFICIENT_BUFFER) return os_errno(e);
  // A long access list: a block of the size the system asked for.
  void *big = HeapAlloc(GetProcessHeap(), 0, need);
  if (!big) return ENOMEM;
  int r = GetKernelObjectSecurity((HANDLE)from, all, big, need, &need) ? set_security(fd, tmp_name, big)
                                                                       : os_last_errno();
  HeapFree(GetProcessHeap(), 0, big);
  return r;
}

int os_keep_traits(os_fd fd, const char *tmp_name, os_fd from) {
  // Through the handles, and only what differs: a new file is mostly as
  // the old one was (archive set), and every question by name costs.
  FILE_BASIC_INFO old_info, new_info;
  if (!GetFileInformationByHandleEx((HANDLE)from, FileBasicInfo, &old_info, sizeof old_info) ||
      !GetFileInformationByHandleEx((HANDLE)fd, FileBasicInfo, &new_info, sizeof new_info))
    return os_last_errno();
  DWORD keep = old_info.FileAttributes & OS_KEPT_ATTRIBUTES;
  if ((new_info.FileAttributes & OS_KEPT_ATTRIBUTES) != keep) {
    FILE_BASIC_INFO set;
    memset(&set, 0, sizeof set); // zero times: left as they are
    set.FileAttributes = (new_info.FileAttributes & ~(DWORD)OS_KEPT_ATTRIBUTES) | keep;
    if (set.FileAttributes == 0) set.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    if (!SetFileInformationByHandle((HANDLE)fd, FileBasicInfo, &set, sizeof set)) return os_last_errno();
  }
  return keep_security(fd, tmp_name, from);
}

int os_fd_replaceable(os_fd fd, const char *path) {
  (void)path; // asked through the handle: every question by name costs under Wine
  FILE_BASIC_INFO basic;
  FILE_STANDARD_INFO standard;
  if (!GetFileInformationByHandleEx((HANDLE)fd, FileBasicInfo, &basic, sizeof basic) ||
      !GetFileInformationByHandleEx((HANDLE)fd, FileStandardInfo, &standard, sizeof standard))
    return os_last_errno();
  if (basic.FileAttributes & FILE_ATTRIBUTE_READONLY) return EACCES;
  return standard.NumberOfLinks > 1 ? EMLINK : 0;
}

int64_t os_tell(FILE *f) { return (int64_t)_ftelli64(f); }

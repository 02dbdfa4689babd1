// Windows seam: files by name. Held our files, renames and deletions
// through a handle, hard links, and what a name leads to; each acts on
// the name itself, never on what a link there leads to.
//
// Windows opens a link itself when asked (FILE_FLAG_OPEN_REPARSE_POINT).
// Wine follows a Unix link whatever it is asked, and shows the link as a
// plain file; it does tell the path it reached, so a name that reaches
// elsewhere is known for a link and refused (ELOOP) rather than acted on
// through.
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

// Opened as a name: a link is opened itself, never what it leads to.
#define OS_AS_NAME FILE_FLAG_OPEN_REPARSE_POINT
#define OS_SHARE_ALL (FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE)

// A file's lock is an open handle that denies delete sharing: while it is open
// no other process can delete or rename the file, and the system drops it
// with the handle, also when the process is killed.
#define OS_LOCK_SHARING (FILE_SHARE_READ | FILE_SHARE_WRITE)

int os_create_excl(const char *path, os_fd *fd) {
  *fd = OS_BADFD;
  if (os_fault_hit(OS_OP_CREATE)) return EIO;
  // WRITE_DAC, which a file's creator holds: the INI store gives the new
  // file the access list of the one it replaces. DELETE: the new file is
  // renamed into place through this handle. Others may read it, never
  // write, delete or rename it.
  os_pc(OS_PC_NEW, path, NULL, OS_BADFD);
  HANDLE h = CreateFileA(path, GENERIC_WRITE | WRITE_DAC | DELETE, FILE_SHARE_READ, NULL, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL, NULL);
  if (h == INVALID_HANDLE_VALUE) return os_last_errno();
  *fd = (os_fd)h;
  os_pc(OS_PC_OPEN, path, NULL, *fd);
  return 0;
}

// The full path of name as wide characters, for the calls by handle, which
// take no current folder and no 260-character limit.
static int wide_full_path(const char *name, WCHAR *out, DWORD size) {
  // Wide from the start: the ANSI call refuses a path of 260 characters.
  WCHAR wide[OS_LONG_PATH_MAX];
  if (MultiByteToWideChar(CP_ACP, 0, name, -1, wide, OS_LONG_PATH_MAX) == 0) return ENAMETOOLONG;
  DWORD n = GetFullPathNameW(wide, size, out, NULL);
  if (n == 0) return os_last_errno();
  return n < size ? 0 : ENAMETOOLONG;
}

static int copy_name(const char *name, char *out, size_t size) {
  size_t n = strlen(name);
  if (n >= size) return ENAMETOOLONG;
  memcpy(out, name, n + 1);
  return 0;
}

typedef LONG(WINAPI *QUERY_OBJECT)(HANDLE, OBJECT_INFORMATION_CLASS, PVOID, ULONG, PULONG);

/* The path of the file open as fd, as the system names it, into out
 * (size bytes, the ANSI code page): 0; -1 when the system cannot tell;
 * ENAMETOOLONG; EILSEQ for a name the code page cannot spell. Wine names
 * a file by its drive in answer to NtQueryObject, at half the cost of
 * GetFinalPathNameByHandle; Windows names the volume's device there, and
 * the documented call maps it to the drive. */
static int final_path(os_fd fd, char *out, size_t size) {
  static QUERY_OBJECT query; // ntdll's, the same for the whole process
  if (!query) query = (QUERY_OBJECT)(void (*)(void))GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryObject");
  union {
    OBJECT_NAME_INFORMATION info;
    WCHAR room[KC_INI_PATH_MAX + 64];
  } object;
  WCHAR wide[KC_INI_PATH_MAX + 8];
  const WCHAR *p;
  size_t n;
  ULONG got = 0;
  if (query && query((HANDLE)fd, ObjectNameInformation, &object, sizeof object, &got) >= 0 &&
      object.info.Name.Length >= 6 * sizeof(WCHAR) && wcsncmp(object.info.Name.Buffer, L"\\??\\", 4) == 0 &&
      object.info.Name.Buffer[5] == L':') {
    p = object.info.Name.Buffer + 4; // "\??\C:\..." is "C:\..."
    n = object.info.Name.Length / sizeof(WCHAR) - 4;
  } else {
    DWORD m = GetFinalPathNameByHandleW((HANDLE)fd, wide, sizeof wide / sizeof wide[0], FILE_NAME_OPENED | VOLUME_NAME_DOS);
    if (m == 0) return -1;
    if (m >= sizeof wide / sizeof wide[0]) return ENAMETOOLONG;
    p = wide;
    n = m;
    // "\\?\C:\..." is "C:\...", and "\\?\UNC\server\..." is "\\server\...".
    if (n >= 8 && wcsncmp(p, L"\\\\?\\UNC\\", 8) == 0) {
      wide[6] = L'\\';
      p += 6;
      n -= 6;
    } else if (n >= 4 && wcsncmp(p, L"\\\\?\\", 4) == 0) {
      p += 4;
      n -= 4;
    }
  }
  BOOL lossy = FALSE;
  int k = n ? WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, p, (int)n, out, (int)size - 1, NULL, &lossy) : 0;
  if (k <= 0) return ENAMETOOLONG;
  if (lossy) return EILSEQ;
  out[k] = '\0';
  return 0;
}

int os_resolve_link(const char *path, os_fd fd, char *out, size_t size) {
  if (fd == OS_BADFD) {
    // Nothing opens under the name: a link that the system shows there
    // leads nowhere, and is no missing file to make anew.
    DWORD attr = GetFileAttributesA(path);
    if (attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_REPARSE_POINT)) return ENOENT;
    return copy_name(path, out, size);
  }
  // The name under which the system opened the file: through a symbolic
  // link, the file it leads to. Wine tells it for a Unix link too, which
  // it shows as a plain file. Where the system cannot tell, the name.
  int e = final_path(fd, out, size);
  return e == -1 ? copy_name(path, out, size) : e;
}

// 1 under Wine, which follows a Unix link whatever an open asks.
static int links_followed(void) {
  static volatile LONG known = -1; // the same answer for every thread
  if (known < 0) known = GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != NULL;
  return known;
}

// 1 when a and b spell one path, letter case aside.
static int same_path(const char *a, const char *b) {
  return CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, a, -1, b, -1) == CSTR_EQUAL;
}

// 1 when the file open as h is the one named path itself, not one that a
// link under that name leads to. Windows opened the name itself; under
// Wine the path the open reached must be the name's own: its folder's
// path (however that was reached) and its last name. Where this cannot be
// told, the name counts as a link: nothing is done through it.
static int named_itself(HANDLE h, const char *path) {
  if (!links_followed()) return 1;
  char reached[OS_LONG_PATH_MAX], full[OS_LONG_PATH_MAX], folder[OS_LONG_PATH_MAX];
  char *last;
  DWORD n = GetFullPathNameA(path, sizeof full, full, &last);
  if (final_path((os_fd)h, reached, sizeof reached) != 0 || n == 0 || n >= sizeof full || !last) return 0;
  if (same_path(reached, full)) return 1; // the usual case: one question
  // Spelt otherwise: a folder on the way reached through a link, or a
  // short name. The folder as the system names it, and the last name.
  size_t dir_len = (size_t)(last - full);
  memcpy(folder, full, dir_len);
  folder[dir_len] = '\0';
  HANDLE d = CreateFileA(folder, FILE_READ_ATTRIBUTES, OS_SHARE_ALL, NULL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
  if (d == INVALID_HANDLE_VALUE) return 0;
  int ok = final_path((os_fd)d, folder, sizeof folder) == 0;
  CloseHandle(d);
  size_t k = strlen(folder);
  if (!ok || k + 1 + strlen(last) >= sizeof folder) return 0;
  if (k == 0 || folder[k - 1] != '\\') folder[k++] = '\\';
  memcpy(folder + k, last, strlen(last) + 1);
  return same_path(reached, folder);
}

// Opens path as a name (see OS_AS_NAME) with access and sharing share:
// 0, ELOOP for a link the system opened through, or an errno value.
static int open_name(const char *path, DWORD access, DWORD share, HANDLE *h) {
  *h = CreateFileA(path, access, share, NULL, OPEN_EXISTING, OS_AS_NAME, NULL);
  // Another process has it open and shares less than asked: in use.
  if (*h == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_SHARING_VIOLATION ? EBUSY : os_last_errno();
  if (named_itself(*h, path)) return 0;
  CloseHandle(*h);
  *h = INVALID_HANDLE_VALUE;
  return ELOOP;
}

int os_name_info(const char *path, os_fileinfo *info) {
  memset(info, 0, sizeof *info);
  info->kind = os_name_kind(path);
  if (info->kind == OS_KIND_NONE) return ENOENT;
  if (info->kind == OS_KIND_OTHER) return 0; // a pipe under Wine: an open would wait
  // The name itself: a link is opened as a link. Under Wine, which shows
  // a Unix link as what it leads to, the path the open reached tells.
  HANDLE h = CreateFileA(path, READ_CONTROL | FILE_READ_ATTRIBUTES,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
  if (h == INVALID_HANDLE_VALUE) return os_last_errno();
  int kind = info->kind, e = os_fd_info((os_fd)h, info);
  if (e == 0 && kind != OS_KIND_LINK && !named_itself(h, path)) kind = OS_KIND_LINK;
  info->kind = kind;
  CloseHandle(h);
  return e;
}

int os_open_locked(const char *path, int how, os_fd *fd) {
  *fd = OS_BADFD;
  // To be replaced, the file must also be free of use: the right to write
  // it is refused while another process runs it as a program or library,
  // or keeps it open without letting others write. A running program's
  // own file is locked to be moved (renamed) only. A folder does not open.
  DWORD access = DELETE | FILE_READ_ATTRIBUTES;
  if (how == OS_LOCK_REPLACE) access |= FILE_WRITE_DATA;
  if (how == OS_LOCK_UPDATE) access |= GENERIC_READ | GENERIC_WRITE;
  HANDLE h;
  int e = open_name(path, access, OS_LOCK_SHARING, &h);
  if (e == EACCES) {
    // Under Wine, a link to a file this open may not write: a link all the same.
    int asked = open_name(path, FILE_READ_ATTRIBUTES, OS_SHARE_ALL, &h);
    if (asked == 0) CloseHandle(h);
    return asked == ELOOP ? ELOOP : e;
  }
  if (e == 0) *fd = (os_fd)h;
  if (e == 0 && how == OS_LOCK_UPDATE) os_pc(OS_PC_OPEN, path, NULL, *fd);
  return e;
}

// Windows 10's rename by handle with flags in place of ReplaceIfExists
// (FileRenameInfoEx): with POSIX semantics it replaces a file that others
// have open (with delete sharing), as a rename does on POSIX.
#define OS_FILE_RENAME_INFO_EX ((FILE_INFO_BY_HANDLE_CLASS)22)
#define OS_RENAME_REPLACE_IF_EXISTS 0x1u
#define OS_RENAME_POSIX_SEMANTICS 0x2u
static volatile LONG posix_rename_missing; // the system has none (older Windows; Wine 8 refuses the class)

int os_fd_rename(os_fd fd, const char *from, const char *to, int replace) {
  (void)from;
  if (os_fault_hit(OS_OP_REPLACE)) return EIO;
  DWORD attr = replace ? GetFileAttributesA(to) : INVALID_FILE_ATTRIBUTES;
  // Windows refuses to replace a read-only file by itself; Wine does not.
  // (Under Wine a link shows what it leads to: a link is a name to replace.)
  if (replace != OS_RENAME_OVER_LINK && attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_READONLY)) return EACCES;
  os_pc(OS_PC_RENAME, from, to, fd);
  // FILE_RENAME_INFO ends in the name; the block holds the longest path.
  union {
    FILE_RENAME_INFO info;
    char bytes[sizeof(FILE_RENAME_INFO) + OS_LONG_PATH_MAX * sizeof(WCHAR)];
  } block;
  memset(&block, 0, sizeof block);
  int e = wide_full_path(to, block.info.FileName, OS_LONG_PATH_MAX);
  if (e) return e;
  block.info.FileNameLength = (DWORD)(wcslen(block.info.FileName) * sizeof(WCHAR));
  DWORD size = (DWORD)(sizeof block.info + block.info.FileNameLength);
  BOOL ok = FALSE;
  DWORD err = ERROR_INVALID_PARAMETER;
  if (replace && !posix_rename_missing) {
    DWORD flags = OS_RENAME_REPLACE_IF_EXISTS | OS_RENAME_POSIX_SEMANTICS; // the union's Flags
    memcpy(&block.info, &flags, sizeof flags);
    ok = SetFileInformationByHandle((HANDLE)fd, OS_FILE_RENAME_INFO_EX, &block.info, size);
    err = ok ? 0 : GetLastError();
    // Asked once per process: a refused class costs a round trip.
    if (err == ERROR_INVALID_PARAMETER || err == ERROR_CALL_NOT_IMPLEMENTED || err == ERROR_INVALID_FUNCTION)
      InterlockedExchange(&posix_rename_missing, 1);
  }
  // Without the flags (or on a volume without POSIX semantics) the plain rename.
  if (!ok && (err == ERROR_INVALID_PARAMETER || err == ERROR_CALL_NOT_IMPLEMENTED || err == ERROR_INVALID_FUNCTION ||
              err == ERROR_NOT_SUPPORTED)) {
    DWORD none = 0;
    memcpy(&block.info, &none, sizeof none);
    block.info.ReplaceIfExists = replace ? TRUE : FALSE;
    ok = SetFileInformationByHandle((HANDLE)fd, FileRenameInfo, &block.info, size);
    err = ok ? 0 : GetLastError();
  }
  if (ok) return 0;
  // A reader that has the file open refuses a plain rename over it
  // (Windows, unless it shares deletion and POSIX semantics are asked
  // for; Wine always), and one that shares no deletion (a scanner) any
  // rename: for now, as readers let go soon. A folder there never lets go.
  int in_use = err == ERROR_SHARING_VIOLATION ||
               (replace && attr != INVALID_FILE_ATTRIBUTES && !(attr & FILE_ATTRIBUTE_DIRECTORY) && err == ERROR_ACCESS_DENIED);
  return in_use ? EBUSY : os_errno(err);
}

int os_fd_current(os_fd fd, const char *path) {
  (void)path; // asked through the handle: every question by name costs under Wine
  // A file replaced while it was open stays readable through the handle,
  // but is deleted: a POSIX-semantics rename unlinks it. A plain rename
  // cannot replace a file that any handle has open.
  FILE_STANDARD_INFO info;
  if (!GetFileInformationByHandleEx((HANDLE)fd, FileStandardInfo, &info, sizeof info)) return 0;
  return !info.DeletePending && info.NumberOfLinks > 0;
}

int os_fd_delete(os_fd fd, const char *name) {
  (void)name;
  int e = 0;
  FILE_DISPOSITION_INFO gone;
  gone.DeleteFile = TRUE;
  if (os_fault_hit(OS_OP_REMOVE))
    e = EIO;
  else if (os_pc(OS_PC_REMOVE, name, NULL, OS_BADFD),
           !SetFileInformationByHandle((HANDLE)fd, FileDispositionInfo, &gone, sizeof gone))
    e = os_last_errno();
  os_pc(OS_PC_CLOSE, NULL, NULL, fd);
  CloseHandle((HANDLE)fd); // the name goes with the last handle
  return e;
}

// Deletes the file open as h, named path, through the handle, and closes
// it: 0, EACCES for a read-only file (as DeleteFile refuses it), or errno.
static int delete_opened(HANDLE h, const char *path) {
  int e = 0;
  FILE_BASIC_INFO basic;
  FILE_DISPOSITION_INFO gone;
  gone.DeleteFile = TRUE;
  if (!GetFileInformationByHandleEx(h, FileBasicInfo, &basic, sizeof basic))
    e = os_last_errno();
  else if (basic.FileAttributes & FILE_ATTRIBUTE_READONLY)
    e = EACCES;
  else if (os_pc(OS_PC_REMOVE, path, NULL, OS_BADFD),
           !SetFileInformationByHandle(h, FileDispositionInfo, &gone, sizeof gone))
    e = os_last_errno();
  CloseHandle(h); // the name goes with the last handle
  return e;
}

int os_remove_unlocked(const char *path) {
  if (os_fault_hit(OS_OP_REMOVE)) return EIO;
  // A file's lock keeps it open without delete sharing: the open for
  // deletion is refused while it does.
  HANDLE h = CreateFileA(path, DELETE | READ_CONTROL | FILE_READ_ATTRIBUTES, OS_LOCK_SHARING, NULL, OPEN_EXISTING,
                         OS_AS_NAME, NULL);
  if (h == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_SHARING_VIOLATION ? EBUSY : os_last_errno();
  if (!named_itself(h, path)) {
    CloseHandle(h);
    return ELOOP;
  }
  // Another account's file is never taken for a leftover of ours.
  os_fileinfo info;
  if (os_fd_info((os_fd)h, &info) != 0 || !info.ours) {
    CloseHandle(h);
    return EPERM;
  }
  return delete_opened(h, path);
}

int os_remove(const char *path) {
  if (os_fault_hit(OS_OP_REMOVE)) return EIO;
  HANDLE h;
  int e = open_name(path, DELETE | FILE_READ_ATTRIBUTES, OS_SHARE_ALL, &h);
  return e ? e : delete_opened(h, path);
}

int os_rename_name(const char *from, const char *to, int replace) {
  HANDLE h;
  int e = open_name(from, DELETE | FILE_READ_ATTRIBUTES, OS_SHARE_ALL, &h);
  if (e) return e;
  e = os_fd_rename((os_fd)h, from, to, replace);
  CloseHandle(h);
  return e;
}

// FILE_LINK_INFORMATION, which the SDK's headers leave to drivers.
typedef struct {
  BOOLEAN ReplaceIfExists;
  HANDLE RootDirectory;
  ULONG FileNameLength;
  WCHAR FileName[1];
} OS_LINK_INFO;
#define OS_FILE_LINK_INFORMATION 11
typedef LONG(WINAPI *SET_INFORMATION)(HANDLE, IO_STATUS_BLOCK *, PVOID, ULONG, int);

// The NT status of a failed link as an errno value.
static int link_errno(ULONG status) {
  switch (status) {
    case 0xC0000035: // the name is taken
      return EEXIST;
    case 0xC00000BB: // no hard links on this volume
    case 0xC0000010:
    case 0xC00000D4:
    case 0xC0000265: // too many names already
    case 0xC0000002:
      return ENOTSUP;
    case 0xC0000022: // Wine on a volume without hard links (exFAT) answers so
      return ENOTSUP;
    case 0xC0000034:
    case 0xC000003A:
      return ENOENT;
    default:
      return EIO;
  }
}

int os_link(const char *path, const char *link_name) {
  if (os_fault_hit(OS_OP_LINK)) return ENOTSUP; // as where no hard links are kept
  os_pc(OS_PC_LINK, path, link_name, OS_BADFD);
  static SET_INFORMATION set; // ntdll's, the same for the whole process
  if (!set) set = (SET_INFORMATION)(void (*)(void))GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtSetInformationFile");
  if (!set) return ENOTSUP;
  // The new name as the system's own path: "\??\C:\..." or "\??\UNC\server\...".
  union {
    OS_LINK_INFO info;
    char bytes[sizeof(OS_LINK_INFO) + (OS_LONG_PATH_MAX + 8) * sizeof(WCHAR)];
  } block;
  memset(&block, 0, sizeof block);
  WCHAR full[OS_LONG_PATH_MAX];
  int e = wide_full_path(link_name, full, OS_LONG_PATH_MAX);
  if (e) return e;
  const WCHAR *rest = full;
  wcscpy(block.info.FileName, L"\\??\\");
  if (wcsncmp(full, L"\\\\", 2) == 0) {
    wcscat(block.info.FileName, L"UNC\\");
    rest = full + 2;
  }
  wcscat(block.info.FileName, rest);
  block.info.FileNameLength = (ULONG)(wcslen(block.info.FileName) * sizeof(WCHAR));
  HANDLE h;
  // Any access will do: the name is what is asked for.
  if ((e = open_name(path, FILE_READ_ATTRIBUTES, OS_SHARE_ALL, &h)) != 0) return e;
  IO_STATUS_BLOCK io;
  LONG status = set(h, &io, &block.info, (ULONG)(sizeof block.info + block.info.FileNameLength), OS_FILE_LINK_INFORMATION);
  CloseHandle(h);
  return status >= 0 ? 0 : link_errno((ULONG)status);
}

int os_same_name(const char *a, const char *b) {
  BY_HANDLE_FILE_INFORMATION x, y;
  HANDLE ha, hb;
  if (open_name(a, FILE_READ_ATTRIBUTES, OS_SHARE_ALL, &ha) != 0) return 0;
  int same = 0;
  if (open_name(b, FILE_READ_ATTRIBUTES, OS_SHARE_ALL, &hb) == 0) {
    same = GetFileInformationByHandle(ha, &x) && GetFileInformationByHandle(hb, &y) &&
           x.dwVolumeSerialNumber == y.dwVolumeSerialNumber && x.nFileIndexHigh == y.nFileIndexHigh &&
           x.nFileIndexLow == y.nFileIndexLow;
    CloseHandle(hb);
  }
  CloseHandle(ha);
  return same;
}

int os_create_run_lock(const char *path, os_fd *fd) {
  *fd = OS_BADFD;
  if (os_fault_hit(OS_OP_CREATE)) return EIO;
  // Gone with the last handle, also when the process is killed: no run
  // lock outlives its run. Nobody else may delete it meanwhile.
  os_pc(OS_PC_NEW, path, NULL, OS_BADFD);
  HANDLE h = CreateFileA(path, GENERIC_WRITE | DELETE, FILE_SHARE_READ, NULL, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, NULL);
  if (h == INVALID_HANDLE_VALUE) return os_last_errno();
  *fd = (os_fd)h;
  return 0;
}

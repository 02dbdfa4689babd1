// Windows seam: who wrote a file. A file is this run's when its owner is
// the account the process acts as, the Administrators group or SYSTEM;
// another account may write it when its access list lets anyone else
// write, delete or take it (or it has none). A volume that keeps no
// access lists tells no account from another: there, as on such a volume
// elsewhere, a file is judged by the folders it stands in alone.
#include <windows.h>
#include <aclapi.h>
#include <errno.h>
#include <string.h>

#include "os.h"
#include "os_errno.h"

// What lets an account change a file, or make it its own.
#define OS_CHANGE_RIGHTS                                                                                           \
  (FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_WRITE_ATTRIBUTES | DELETE | WRITE_DAC | WRITE_OWNER | \
   GENERIC_WRITE | GENERIC_ALL)

// The account this process acts as, asked once.
static PSID token_user(void) {
  static union {
    TOKEN_USER user;
    BYTE room[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  } token;
  static volatile LONG known; // set once the token has answered
  if (known) return token.user.User.Sid;
  HANDLE t;
  DWORD n = 0;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &t)) return NULL;
  BOOL ok = GetTokenInformation(t, TokenUser, &token, sizeof token, &n);
  CloseHandle(t);
  if (!ok) return NULL;
  InterlockedExchange(&known, 1);
  return token.user.User.Sid;
}

// 1 when sid is this process's account, the Administrators group or
// SYSTEM; with creator, also CREATOR OWNER (an entry that applies to
// whoever owns the file).
static int trusted_sid(PSID sid, int creator) {
  PSID user = token_user();
  if (user && EqualSid(sid, user)) return 1;
  WELL_KNOWN_SID_TYPE kinds[] = {WinBuiltinAdministratorsSid, WinLocalSystemSid, WinCreatorOwnerSid};
  for (size_t i = 0; i < (creator ? 3u : 2u); ++i)
    if (IsWellKnownSid(sid, kinds[i])) return 1;
  return 0;
}

// 1 when another account than the owner's and ours may change a file
// under the list dacl.
static int others_may_write(PACL dacl, PSID owner) {
  if (!dacl) return 1; // no list: everyone may do anything
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    ACE_HEADER *ace;
    if (!GetAce(dacl, i, (void **)&ace) || ace->AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
    if (ace->AceFlags & INHERIT_ONLY_ACE) continue;
    ACCESS_ALLOWED_ACE *allowed = (ACCESS_ALLOWED_ACE *)ace;
    PSID sid = (PSID)&allowed->SidStart;
    if ((allowed->Mask & OS_CHANGE_RIGHTS) && !trusted_sid(sid, 1) && !(owner && EqualSid(sid, owner))) return 1;
  }
  return 0;
}

// 1 when the file's volume keeps access lists: a volume that keeps none
// (FAT, exFAT) tells no account from another, and its files have no
// owner to judge.
static int keeps_lists(HANDLE h) {
  DWORD flags = 0;
  if (!GetVolumeInformationByHandleW(h, NULL, 0, NULL, NULL, &flags, NULL, 0)) return 1;
  return (flags & FILE_PERSISTENT_ACLS) != 0;
}

// Whether the list of a file of ours that shows it shared would hold:
// where the volume keeps no list (Wine on a volume without modes
// answers a list made from them, writable by all, and takes none),
// nothing keeps others out and the list says nothing. Asked of a file of
// ours only, by writing the private list and reading it back; a list
// that holds is put back as it was. 1 when it is shared after all.
static int list_holds(HANDLE h, PACL was, SECURITY_DESCRIPTOR_CONTROL control) {
  HANDLE dac = ReOpenFile(h, READ_CONTROL | WRITE_DAC, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0);
  if (dac == INVALID_HANDLE_VALUE) return 1;
  int holds = 1;
  if (os_fd_private((os_fd)dac) == 0) {
    PSID owner = NULL;
    PACL dacl = NULL;
    PSECURITY_DESCRIPTOR sd = NULL;
    if (GetSecurityInfo(dac, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, NULL,
                        &dacl, NULL, &sd) == ERROR_SUCCESS) {
      holds = !others_may_write(dacl, owner);
      LocalFree(sd);
    }
    if (holds) {
      SECURITY_INFORMATION how = DACL_SECURITY_INFORMATION | ((control & SE_DACL_PROTECTED)
                                                                   ? PROTECTED_DACL_SECURITY_INFORMATION
                                                                   : UNPROTECTED_DACL_SECURITY_INFORMATION);
      (void)SetSecurityInfo(dac, SE_FILE_OBJECT, how, NULL, NULL, was, NULL);
    }
  }
  CloseHandle(dac);
  return holds;
}

// The owner and access list of h into info.
static int judge(HANDLE h, os_fileinfo *info) {
  if (!keeps_lists(h)) {
    info->ours = 1, info->shared = 0;
    return 0;
  }
  PSID owner = NULL;
  PACL dacl = NULL;
  PSECURITY_DESCRIPTOR sd = NULL;
  DWORD r = GetSecurityInfo(h, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, NULL,
                            &dacl, NULL, &sd);
  if (r != ERROR_SUCCESS) return os_errno(r);
  info->ours = owner && trusted_sid(owner, 0);
  info->shared = others_may_write(dacl, owner);
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision;
  if (info->ours && info->shared && info->kind == OS_KIND_FILE && GetSecurityDescriptorControl(sd, &control, &revision))
    info->shared = list_holds(h, dacl, control);
  LocalFree(sd);
  return 0;
}

int os_fd_id(os_fd fd, os_fileinfo *info) {
  BY_HANDLE_FILE_INFORMATION bh;
  memset(info, 0, sizeof *info);
  if (!GetFileInformationByHandle((HANDLE)fd, &bh)) return os_last_errno();
  info->kind = (bh.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ? OS_KIND_LINK
               : (bh.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)   ? OS_KIND_DIR
                                                                    : OS_KIND_FILE;
  info->volume = bh.dwVolumeSerialNumber;
  info->index = ((uint64_t)bh.nFileIndexHigh << 32) | bh.nFileIndexLow;
  info->size = ((uint64_t)bh.nFileSizeHigh << 32) | bh.nFileSizeLow;
  uint64_t t = ((uint64_t)bh.ftLastWriteTime.dwHighDateTime << 32) | bh.ftLastWriteTime.dwLowDateTime;
  info->mtime = (int64_t)(t / 10000000ULL) - 11644473600LL;
  info->links = bh.nNumberOfLinks;
  return 0;
}

int os_fd_info(os_fd fd, os_fileinfo *info) {
  int e = os_fd_id(fd, info);
  return e ? e : judge((HANDLE)fd, info);
}

int os_fd_private(os_fd fd) {
  PSID user = token_user();
  BYTE admins[SECURITY_MAX_SID_SIZE], system[SECURITY_MAX_SID_SIZE];
  DWORD na = sizeof admins, ns = sizeof system;
  if (!user || !CreateWellKnownSid(WinBuiltinAdministratorsSid, NULL, admins, &na) ||
      !CreateWellKnownSid(WinLocalSystemSid, NULL, system, &ns))
    return os_last_errno();
  EXPLICIT_ACCESS_A ea[3];
  PSID sids[3] = {user, (PSID)admins, (PSID)system};
  memset(ea, 0, sizeof ea);
  for (int i = 0; i < 3; ++i) {
    ea[i].grfAccessPermissions = GENERIC_ALL;
    ea[i].grfAccessMode = SET_ACCESS;
    ea[i].grfInheritance = NO_INHERITANCE;
    ea[i].Trustee.TrusteeForm = TRUSTEE_IS_SID;
    ea[i].Trustee.ptstrName = (LPSTR)sids[i];
  }
  PACL acl = NULL;
  DWORD r = SetEntriesInAclA(3, ea, NULL, &acl);
  if (r != ERROR_SUCCESS) return os_errno(r);
  // Protected: nothing the folder grants others flows into it.
  r = SetSecurityInfo((HANDLE)fd, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, NULL,
                      NULL, acl, NULL);
  LocalFree(acl);
  // Where the volume keeps no lists there is nothing to keep others out
  // with, as where the file system keeps no modes elsewhere.
  if (r != ERROR_SUCCESS && !keeps_lists((HANDLE)fd)) r = ERROR_SUCCESS;
  return r == ERROR_SUCCESS ? 0 : os_errno(r);
}

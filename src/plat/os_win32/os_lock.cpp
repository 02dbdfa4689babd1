// Windows seam: what writers of ours need to take turns at one file. The
// turn itself is a held file of ours (os_create_excl); a writer that
// opened the file before its turn began asks here whether the name still
// leads to what it opened.
#include <windows.h>

#include "os.h"

unsigned os_turn_wait_ms = OS_TURN_WAIT_MS;

int os_fd_current(os_fd fd, const char *path) {
  (void)path; // asked through the handle: every question by name costs under Wine
  // A file replaced while it was open stays readable through the handle,
  // but is deleted: a POSIX-semantics rename unlinks it. A plain rename
  // cannot replace a file that any handle has open.
  FILE_STANDARD_INFO info;
  if (!GetFileInformationByHandleEx((HANDLE)fd, FileStandardInfo, &info, sizeof info)) return 0;
  return !info.DeletePending && info.NumberOfLinks > 0;
}

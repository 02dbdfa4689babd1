// POSIX seam: the one table from the system's errno values to the numbers
// the Windows seam reports for the same failure, so that both builds give
// the same number. Each POSIX seam file hands its failures through it.
#ifndef KC_OS_ERRNO_H
#define KC_OS_ERRNO_H

#include <errno.h>

static inline int os_errno(int e) {
  switch (e) {
    case ENOTDIR: // a file where a folder should be: Windows finds no path
      return ENOENT;
    case EISDIR: // a folder where a file should be: Windows denies access
    case EPERM:  // refused by the file's or folder's rights
    case EROFS:  // a write-protected medium
      return EACCES;
    default:
      return e;
  }
}

#endif /* KC_OS_ERRNO_H */

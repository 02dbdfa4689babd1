// Copying one file for the installer: the identity check that keeps a
// source from being truncated by a copy onto itself, the data in large
// blocks, and the source's times on the copy.
#include <errno.h>

#include "os.h"
#include "plat_int.h"

// Blocks of 256 KiB: under Wine every read and write is a costly call, and
// 16 KiB blocks made an install half again as slow as the system's copy.
#define COPY_BLOCK (256u * 1024u)

// A failed copy leaves no partial destination behind.
static int abandon(os_fd src, os_fd dst, const char *destfile, int step, int e, int *err) {
  (void)os_close(dst);
  (void)os_remove(destfile);
  (void)os_close(src);
  *err = e;
  return step;
}

int kc_copy_file(const char *srcfile, const char *destfile, int *err) {
  static char buf[COPY_BLOCK];
  os_fd src, dst;
  os_filestat st;
  int e;

  *err = 0;
  if ((e = os_open_read(srcfile, &src)) != 0) {
    *err = e;
    return KC_COPY_OPEN_SOURCE;
  }
  if ((e = os_fstat(src, &st)) != 0) {
    (void)os_close(src);
    *err = e;
    return KC_COPY_OPEN_SOURCE;
  }
  // Creating the destination would truncate a source it names again.
  if (os_same_file(srcfile, destfile)) {
    (void)os_close(src);
    return KC_COPY_SAME_FILE;
  }
  if ((e = os_create_trunc(destfile, &dst)) != 0) {
    (void)os_close(src);
    *err = e;
    return KC_COPY_CREATE;
  }

  for (;;) {
    long got = os_read(src, buf, sizeof buf, &e);
    if (got == 0) break;
    if (got < 0) return abandon(src, dst, destfile, KC_COPY_READ, e, err);
    long done = 0;
    while (done < got) {
      long put = os_write(dst, buf + done, (size_t)(got - done), &e);
      if (put <= 0) {
        if (put == 0) e = ENOSPC; // no progress: the disk takes no more
        return abandon(src, dst, destfile, KC_COPY_WRITE, e, err);
      }
      done += put;
    }
  }

  (void)os_close(src);
  if ((e = os_close(dst)) != 0) {
    (void)os_remove(destfile);
    *err = e;
    return KC_COPY_WRITE;
  }
  // Times after the close, which would change them; then the permission,
  // never read-only.
  (void)os_set_times(destfile, st.atime, st.mtime);
  (void)os_chmod(destfile, (st.mode & 07777) | 0222);
  return KC_COPY_DONE;
}

// Copying one file for the installer. The data goes to a temporary file
// beside the destination, which takes the destination's place only once
// it is whole: a copy that fails or is cut short leaves the earlier file
// as it was. The identity check keeps a source from being replaced by a
// copy of itself.
#include <errno.h>

#include "os.h"
#include "plat_int.h"

// Blocks of 256 KiB: under Wine every read and write is a costly call, and
// 16 KiB blocks made an install half again as slow as the system's copy.
#define COPY_BLOCK (256u * 1024u)
// The temporary file is the destination's name with this ending: one per
// destination, so that what a killed run left is taken over by the next.
#define COPY_TMP_SUFFIX ".nztmp"
#define COPY_TMP_MAX (KC_PATH_MAX + sizeof COPY_TMP_SUFFIX)

static int fail(int step, int e, int *err) {
  *err = e;
  return step;
}

// A failed copy leaves no temporary file behind.
static int abandon(os_fd src, os_fd tmp, const char *tmp_name, int step, int e, int *err) {
  (void)os_close(tmp);
  (void)os_remove(tmp_name);
  if (src != OS_BADFD) (void)os_close(src);
  return fail(step, e, err);
}

int kc_copy_file(const char *srcfile, const char *destfile, int *err) {
  static char buf[COPY_BLOCK];
  char tmp_name[COPY_TMP_MAX];
  os_fd src, tmp;
  os_filestat st;
  int e;

  *err = 0;
  if ((e = os_open_read(srcfile, &src)) != 0) return fail(KC_COPY_OPEN_SOURCE, e, err);
  if ((e = os_fstat(src, &st)) != 0) {
    (void)os_close(src);
    return fail(KC_COPY_OPEN_SOURCE, e, err);
  }
  int replacing = os_access(destfile, OS_F_OK) == 0;
  // Replacing a source that the destination names again would lose it.
  if (replacing && os_same_file(srcfile, destfile)) {
    (void)os_close(src);
    return KC_COPY_SAME_FILE;
  }
  e = 0;
  if (replacing && os_access(destfile, OS_W_OK) == EACCES) e = EACCES; // a read-only file stays
  else if (!kc_format(tmp_name, sizeof tmp_name, "%s%s", destfile, COPY_TMP_SUFFIX)) e = ENAMETOOLONG;
  if (e) {
    (void)os_close(src);
    return fail(KC_COPY_CREATE, e, err);
  }
  // A temporary file of an earlier, interrupted run is removed first and
  // the new one made afresh, so no link under that name is written through.
  (void)os_remove(tmp_name);
  if ((e = os_create_excl(tmp_name, &tmp)) != 0) {
    (void)os_close(src);
    return fail(KC_COPY_CREATE, e, err);
  }

  for (;;) {
    long got = os_read(src, buf, sizeof buf, &e);
    if (got == 0) break;
    if (got < 0) return abandon(src, tmp, tmp_name, KC_COPY_READ, e, err);
    long done = 0;
    while (done < got) {
      long put = os_write(tmp, buf + done, (size_t)(got - done), &e);
      if (put <= 0) {
        if (put == 0) e = ENOSPC; // no progress: the disk takes no more
        return abandon(src, tmp, tmp_name, KC_COPY_WRITE, e, err);
      }
      done += put;
    }
  }
  (void)os_close(src);
  // An earlier file is replaced only by one that is on the disk.
  if (replacing && (e = os_fsync(tmp)) != 0) return abandon(OS_BADFD, tmp, tmp_name, KC_COPY_WRITE, e, err);
  if ((e = os_close(tmp)) != 0) {
    (void)os_remove(tmp_name);
    return fail(KC_COPY_WRITE, e, err);
  }
  // The source's times, then a permission that is never read-only: the
  // source's bits with the owner's write bit, nothing opened to others.
  (void)os_set_times(tmp_name, st.atime, st.mtime);
  (void)os_chmod(tmp_name, (st.mode & 07777) | 0200);
  if ((e = os_replace(tmp_name, destfile, 0)) != 0) {
    (void)os_remove(tmp_name);
    return fail(KC_COPY_CREATE, e, err); // the destination could not be written
  }
  return KC_COPY_DONE;
}

// Copying one file for the installer. Over an earlier file the data goes
// to a temporary file beside it, which takes its place only once it is
// whole and on the disk: a copy that fails or is cut short leaves the
// earlier file as it was. The identity check keeps a source from being
// replaced by a copy of itself.
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

// A failed copy leaves nothing of itself behind: no temporary file, and
// no part of a new one.
static int abandon(os_fd src, os_fd out, const char *out_name, int step, int e, int *err) {
  (void)os_close(out);
  (void)os_remove(out_name);
  if (src != OS_BADFD) (void)os_close(src);
  return fail(step, e, err);
}

int kc_copy_file(const char *srcfile, const char *destfile, int *err) {
  static char buf[COPY_BLOCK];
  char tmp_name[COPY_TMP_MAX];
  os_fd src, out;
  os_filestat st;
  int e;

  *err = 0;
  if ((e = os_open_read(srcfile, &src)) != 0) return fail(KC_COPY_OPEN_SOURCE, e, err);
  if ((e = os_fstat(src, &st)) != 0) {
    (void)os_close(src);
    return fail(KC_COPY_OPEN_SOURCE, e, err);
  }
  // A new file is written where it goes: there is no earlier one to keep,
  // and the one question (made exclusively, so nothing standing under the
  // name is written through) costs what the system's own copy costs.
  const char *out_name = destfile;
  e = os_create_excl(destfile, &out);
  int replacing = e == EEXIST;
  if (replacing) {
    e = 0;
    // Replacing a source that the destination names again would lose it.
    if (os_same_file(srcfile, destfile)) {
      (void)os_close(src);
      return KC_COPY_SAME_FILE;
    }
    if (os_access(destfile, OS_W_OK) == EACCES) e = EACCES; // a read-only file stays
    else if (!kc_format(tmp_name, sizeof tmp_name, "%s%s", destfile, COPY_TMP_SUFFIX)) e = ENAMETOOLONG;
    // An earlier file gives way only to a whole one, written beside it
    // first; a temporary file an interrupted run left is removed.
    else if ((e = os_create_excl(tmp_name, &out)) == EEXIST && os_remove(tmp_name) == 0)
      e = os_create_excl(tmp_name, &out);
    out_name = tmp_name;
  }
  if (e) {
    (void)os_close(src);
    return fail(KC_COPY_CREATE, e, err);
  }

  for (;;) {
    long got = os_read(src, buf, sizeof buf, &e);
    if (got == 0) break;
    if (got < 0) return abandon(src, out, out_name, KC_COPY_READ, e, err);
    long done = 0;
    while (done < got) {
      long put = os_write(out, buf + done, (size_t)(got - done), &e);
      if (put <= 0) {
        if (put == 0) e = ENOSPC; // no progress: the disk takes no more
        return abandon(src, out, out_name, KC_COPY_WRITE, e, err);
      }
      done += put;
    }
  }
  (void)os_close(src);
  // An earlier file is replaced only by one that is on the disk.
  if (replacing && (e = os_fsync(out)) != 0) return abandon(OS_BADFD, out, out_name, KC_COPY_WRITE, e, err);
  // The source's times and a permission that is never read-only (the
  // source's bits with the owner's write bit, nothing opened to others),
  // set through the open file: every open of a name costs under Wine.
  (void)os_fd_set_times(out, st.atime, st.mtime);
  (void)os_fd_chmod(out, (st.mode & 07777) | 0200);
  if ((e = os_close(out)) != 0) {
    (void)os_remove(out_name);
    return fail(KC_COPY_WRITE, e, err);
  }
  if (replacing && (e = os_replace(tmp_name, destfile, 0)) != 0) {
    (void)os_remove(tmp_name);
    return fail(KC_COPY_CREATE, e, err); // the destination could not be written
  }
  return KC_COPY_DONE;
}

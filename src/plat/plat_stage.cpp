// Putting a set of files in place, all or nothing. Each new file is first
// written whole beside its destination under a name of ours, and held; an
// earlier file under the destination's name is checked to be replaceable
// and held too, so that a file in use is found before anything changes.
// Only when every file is ready are they flushed to disk and put in place,
// one rename each, in the order staged; an earlier file moves to a name of
// ours first and stays there until the last rename and the folders' flush
// have succeeded. A failure on the way takes the new files out again and
// puts every earlier file back.
#include <errno.h>
#include <string.h>

#include "os.h"
#include "plat_int.h"

// Blocks of 256 KiB: under Wine every read and write is a costly call, and
// 16 KiB blocks made an install half again as slow as the system's copy.
#define STAGE_BLOCK (256u * 1024u)

static int fail(int step, int e, int *err) {
  *err = e;
  return step;
}

// Releases one staged file: the new file is removed unless it stands in
// its place, and the earlier file is let go of as it is.
static void release(kc_staged *f) {
  if (f->tmp_fd != OS_BADFD) {
    if (f->placed)
      (void)os_close(f->tmp_fd);
    else
      (void)os_fd_delete(f->tmp_fd, f->tmp);
  }
  if (f->old_fd != OS_BADFD) (void)os_close(f->old_fd);
  f->tmp_fd = f->old_fd = OS_BADFD;
}

void kc_stage_init(kc_stage *s) { s->count = 0; }

void kc_stage_abandon(kc_stage *s) {
  for (size_t i = 0; i < s->count; ++i) release(&s->files[i]);
  s->count = 0;
}

// Holds the earlier file at f->dest, if any, once it has passed the
// checks: 0, or an errno value.
static int hold_earlier(kc_staged *f, const char *srcfile, int *same) {
  int e = os_open_held(f->dest, 1, &f->old_fd);
  if (e == ENOENT) return 0; // nothing there to keep
  if (e) return e;
  // Replacing a source that the destination names again would lose it.
  if (os_same_file(srcfile, f->dest)) *same = 1;
  else if (os_access(f->dest, OS_W_OK) == EACCES) e = EACCES; // a read-only file stays
  if (*same || e) {
    (void)os_close(f->old_fd);
    f->old_fd = OS_BADFD;
  }
  return e;
}

// The source's bytes into the held new file.
static int copy_bytes(os_fd src, os_fd out, int *err) {
  static char buf[STAGE_BLOCK];
  for (;;) {
    long got = os_read(src, buf, sizeof buf, err);
    if (got == 0) return KC_COPY_DONE;
    if (got < 0) return KC_COPY_READ;
    for (long done = 0; done < got;) {
      long put = os_write(out, buf + done, (size_t)(got - done), err);
      if (put <= 0) {
        if (put == 0) *err = ENOSPC; // no progress: the disk takes no more
        return KC_COPY_WRITE;
      }
      done += put;
    }
  }
}

int kc_stage_file(kc_stage *s, const char *srcfile, const char *destfile, int *err) {
  *err = 0;
  if (s->count == KC_STAGE_MAX) return fail(KC_COPY_CREATE, E2BIG, err);
  kc_staged *f = &s->files[s->count];
  f->tmp_fd = f->old_fd = OS_BADFD;
  f->tmp[0] = f->kept[0] = '\0';
  f->placed = 0;
  if (!kc_copy(f->dest, sizeof f->dest, destfile)) return fail(KC_COPY_CREATE, ENAMETOOLONG, err);

  os_fd src;
  os_filestat st;
  int e = os_open_read(srcfile, &src);
  if (e == 0 && (e = os_fstat(src, &st)) != 0) (void)os_close(src);
  if (e) return fail(KC_COPY_OPEN_SOURCE, e, err);

  int same = 0;
  if ((e = hold_earlier(f, srcfile, &same)) == 0 && !same) e = kc_tmp_create(destfile, f->tmp, sizeof f->tmp, &f->tmp_fd);
  if (same || e) {
    (void)os_close(src);
    release(f);
    return same ? KC_COPY_SAME_FILE : fail(KC_COPY_CREATE, e, err);
  }

  int step = copy_bytes(src, f->tmp_fd, err);
  (void)os_close(src);
  if (step != KC_COPY_DONE) {
    release(f);
    return step;
  }
  // The source's times and a permission that is never read-only (the
  // source's bits with the owner's write bit, nothing opened to others),
  // set through the open file: every open of a name costs under Wine.
  (void)os_fd_set_times(f->tmp_fd, st.atime, st.mtime);
  (void)os_fd_chmod(f->tmp_fd, (st.mode & 07777) | 0200);
  // The disk starts on it now, while the next files are copied; the flush
  // before the renames then mostly finds it written.
  os_start_flush(f->tmp_fd);
  s->count++;
  return KC_COPY_DONE;
}

// Takes files [0, n) of the set out of their places again, the last
// first: each new file back under a name of ours (to be removed with the
// rest), each earlier file back under its own name.
static void put_back(kc_stage *s, size_t n) {
  while (n-- > 0) {
    kc_staged *f = &s->files[n];
    if (f->placed && kc_tmp_move(f->tmp_fd, f->dest, f->tmp, sizeof f->tmp) == 0) f->placed = 0;
    if (f->kept[0] && !f->placed && os_fd_rename(f->old_fd, f->kept, f->dest, 0) == 0) f->kept[0] = '\0';
  }
}

// Flushes each folder of the set once: its new names are then on disk.
// 0, or an errno value with *failed the first file of that folder.
static int sync_folders(const kc_stage *s, size_t *failed) {
  char dir[KC_PATH_MAX], other[KC_PATH_MAX];
  for (size_t i = 0; i < s->count; ++i) {
    (void)kc_folder_of(s->files[i].dest, dir, sizeof dir); // fits: dest does
    size_t j = 0;
    for (; j < i; ++j) {
      (void)kc_folder_of(s->files[j].dest, other, sizeof other);
      if (strcmp(dir, other) == 0) break;
    }
    int e = j == i ? os_sync_dir(dir) : 0;
    if (e) {
      *failed = i;
      return e;
    }
  }
  return 0;
}

int kc_stage_commit(kc_stage *s, int *err, size_t *failed) {
  int e = 0, step = KC_COPY_WRITE;
  size_t i;
  *err = 0;
  *failed = 0;
  // On the disk before anything goes in place: a power cut at any later
  // moment leaves each destination either as it was or whole and new.
  for (i = 0; i < s->count && e == 0; ++i) e = os_fsync(s->files[i].tmp_fd);
  if (e) {
    *failed = i - 1;
    kc_stage_abandon(s);
    return fail(step, e, err);
  }
  step = KC_COPY_CREATE;
  for (i = 0; i < s->count; ++i) {
    kc_staged *f = &s->files[i];
    if (f->old_fd != OS_BADFD && (e = kc_tmp_move(f->old_fd, f->dest, f->kept, sizeof f->kept)) != 0) break;
    if ((e = os_fd_rename(f->tmp_fd, f->tmp, f->dest, 0)) != 0) break;
    f->placed = 1;
  }
  if (e == 0 && (e = sync_folders(s, &i)) != 0) step = KC_COPY_WRITE;
  if (e) {
    *failed = i;
    put_back(s, step == KC_COPY_WRITE ? s->count : i + 1);
    kc_stage_abandon(s);
    return fail(step, e, err);
  }
  // Every new file is in place: the earlier ones go. One that cannot go
  // now stays under its name of ours, for a later run to remove.
  for (i = 0; i < s->count; ++i) {
    kc_staged *f = &s->files[i];
    if (f->old_fd != OS_BADFD) (void)os_fd_delete(f->old_fd, f->kept);
    f->old_fd = OS_BADFD;
  }
  kc_stage_abandon(s);
  return KC_COPY_DONE;
}

int kc_copy_file(const char *srcfile, const char *destfile, int *err) {
  kc_stage s;
  size_t failed;
  kc_stage_init(&s);
  int step = kc_stage_file(&s, srcfile, destfile, err);
  return step != KC_COPY_DONE ? step : kc_stage_commit(&s, err, &failed);
}

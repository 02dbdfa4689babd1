// Putting a set of files in place, all or nothing. Each new file is
// first written whole beside its destination under a temporary name of
// ours, and locked; an earlier file under the destination's name is
// checked to be replaceable and locked too, so that a file in use is found
// before anything changes. Only when every file is ready does the set go
// in, through these states; each is reached by the function named, and a
// run that dies in it leaves the next run (plat_sweep.cpp) what the table
// below says:
//
//   EMPTY     --kc_stage_file-->   STAGED     every new file written beside its destination
//   STAGED    --flush_staged-->    FLUSHED    every new file on the disk
//   FLUSHED   --back_up_earlier--> BACKED_UP  every earlier file has a backup of ours (a hard
//                                             link; a flushed copy where there are none)
//   BACKED_UP --write_record-->    RECORDED   the record (plat_record.h) in each folder, and
//                                             the folders, on the disk
//   RECORDED  --place-->           PLACING    new files renamed over their destinations, one
//                                             by one: each destination holds its earlier or
//                                             its new file at every instant
//   PLACING   --place-->           PLACED     every new file in place, the folders flushed
//   PLACED    --finish-->          DONE       the backups and then the record gone
//
//   a failure before RECORDED: kc_stage_abandon, nothing changed -> EMPTY
//   a failure from RECORDED on: go_back -> UNDONE (the record marked "undo"
//     once any new file stands in place; every destination back, the
//     record gone), or LEFT when a step back fails: the files not as they
//     were are named, and the record stays for the next run
//
//   died in            the next run finds                  and
//   STAGED..BACKED_UP  unlocked our files, no record   removes them (sweep): all as it was
//   RECORDED           the record, every staged name       goes back: the backups go
//   PLACING            the record, some staged names gone  marks "undo", goes back
//   PLACED             the record, no staged name left     goes forward: the backups go
//   UNDONE (marked)    the record marked "undo"            finishes going back
//
// Single-threaded: the set's record and the copy's block are static.
#include <errno.h>
#include <stddef.h>
#include <string.h>

#include "os.h"
#include "plat_int.h"
#include "plat_lock.h"
#include "plat_record.h"

// Blocks of 256 KiB: under Wine every read and write is a costly call, and
// 16 KiB blocks made an install half again as slow as the system's copy.
#define STAGE_BLOCK (256u * 1024u)

static int fail(int step, int e, int *err) {
  *err = e;
  return step;
}

// Releases one staged file: the new file is removed unless it stands in
// its place, and the earlier file and its kept copy are let go of as they
// are.
static void release(kc_staged *f) {
  if (f->tmp_fd != OS_BADFD) {
    if (f->placed)
      (void)os_close(f->tmp_fd);
    else
      (void)os_fd_delete(f->tmp_fd, f->tmp);
  }
  if (f->old_fd != OS_BADFD) (void)os_close(f->old_fd);
  if (f->backup_fd != OS_BADFD) (void)os_close(f->backup_fd);
  f->tmp_fd = f->old_fd = f->backup_fd = OS_BADFD;
}

void kc_stage_init(kc_stage *s) {
  s->count = 0;
  s->what[0] = '\0';
  s->state = KC_SET_EMPTY;
}

void kc_stage_abandon(kc_stage *s) {
  for (size_t i = 0; i < s->count; ++i) release(&s->files[i]);
  s->count = 0;
  s->state = KC_SET_EMPTY;
}

// Holds the earlier file at f->dest, if any, once it has passed the
// checks: 0, or an errno value. A link there is replaced as a name: what
// it leads to is neither checked nor touched.
static int hold_earlier(kc_staged *f, const char *srcfile, int *same) {
  int e = kc_open_locked(f->dest, OS_LOCK_REPLACE, &f->old_fd);
  if (e == ENOENT) return 0; // nothing there to keep
  if (e == ELOOP) {
    f->earlier = KC_EARLIER_LINK;
    return 0;
  }
  if (e) return e;
  f->earlier = KC_EARLIER_FILE;
  // Replacing a source that the destination names again would lose it.
  if (os_same_file(srcfile, f->dest)) *same = 1;
  else if (os_access(f->dest, OS_W_OK) == EACCES) e = EACCES; // a read-only file stays
  if (*same || e) {
    (void)os_close(f->old_fd);
    f->old_fd = OS_BADFD;
    f->earlier = KC_EARLIER_NONE;
  }
  return e;
}

// The source's bytes into the locked new file.
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
  f->tmp_fd = f->old_fd = f->backup_fd = OS_BADFD;
  f->tmp[0] = f->backup[0] = '\0';
  f->earlier = KC_EARLIER_NONE;
  f->lost = f->placed = f->left = 0;
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
  s->state = KC_SET_STAGED;
  return KC_COPY_DONE;
}

// A backup copy of the earlier file's bytes, times and mode under the
// name f->backup, flushed and locked: where the file system keeps no hard
// links. 0 or an errno value, nothing left behind.
static int back_up_by_copy(kc_staged *f) {
  os_fd in;
  os_filestat st;
  int err = 0, e = os_open_read(f->dest, &in);
  if (e) return e;
  if ((e = os_fstat(in, &st)) == 0 && (e = kc_tmp_create(f->dest, f->backup, sizeof f->backup, &f->backup_fd)) == 0) {
    if (copy_bytes(in, f->backup_fd, &err) != KC_COPY_DONE) e = err ? err : EIO;
    if (e == 0) {
      (void)os_fd_set_times(f->backup_fd, st.atime, st.mtime);
      (void)os_fd_chmod(f->backup_fd, st.mode);
      e = os_fsync(f->backup_fd);
    }
    if (e) {
      (void)os_fd_delete(f->backup_fd, f->backup);
      f->backup_fd = OS_BADFD;
      f->backup[0] = '\0';
    }
  }
  (void)os_close(in);
  return e;
}

// Gives the earlier file, if any, a hard link of ours beside it: the
// destination keeps it until the new one is renamed over it. 0 or an
// errno value.
static int back_up(kc_staged *f) {
  if (f->earlier == KC_EARLIER_NONE) return 0;
  int e = EEXIST;
  for (int tries = 0; e == EEXIST && tries < KC_TMP_TRIES; ++tries)
    e = kc_tmp_path(f->backup, sizeof f->backup, f->dest) ? os_link(f->dest, f->backup) : ENAMETOOLONG;
  if (e == 0) return 0;
  f->backup[0] = '\0';
  // A link the system can reach only through (Wine) keeps no hard link:
  // it is replaced last, and cannot be made again.
  if (f->earlier == KC_EARLIER_LINK && (e == ELOOP || e == ENOTSUP)) {
    f->lost = 1;
    return 0;
  }
  return e == ENOTSUP ? back_up_by_copy(f) : e;
}

// The backups made so far go again: nothing has changed yet. The earlier
// files are let go of first: Windows deletes no second name of a file
// that a handle without delete sharing keeps open.
static void drop_backups(kc_stage *s) {
  for (size_t i = 0; i < s->count; ++i) {
    kc_staged *f = &s->files[i];
    if (f->old_fd != OS_BADFD) (void)os_close(f->old_fd);
    f->old_fd = OS_BADFD;
  }
  for (size_t i = 0; i < s->count; ++i) {
    kc_staged *f = &s->files[i];
    if (f->backup_fd != OS_BADFD) (void)os_fd_delete(f->backup_fd, f->backup);
    else if (f->backup[0]) (void)kc_delete_file(f->backup);
    f->backup_fd = OS_BADFD;
    f->backup[0] = '\0';
  }
}

// The set's record: its folders, and each file by its names there.
static kc_record gRecord;

// The identity of a file held open (or, a link, by name), for the record.
static int id_of(intptr_t fd, const char *name, kc_file_id *id) {
  os_fileinfo fi;
  int e = fd != OS_BADFD ? os_fd_id(fd, &fi) : os_name_info(name, &fi);
  if (e) return e;
  id->volume = fi.volume;
  id->index = fi.index;
  id->size = fi.size;
  id->mtime = fi.mtime;
  return 0;
}

static int record_of(kc_stage *s, kc_record *rec) {
  char dir[KC_PATH_MAX];
  memset(rec, 0, offsetof(kc_record, text));
  for (size_t i = 0; i < s->count; ++i) {
    kc_staged *f = &s->files[i];
    (void)kc_folder_of(f->dest, dir, sizeof dir); // fits: dest does
    size_t k = 0;
    while (k < rec->nfolders && strcmp(rec->folders[k], dir) != 0) ++k;
    if (k == rec->nfolders) {
      if (k == KC_RECORD_FOLDERS) return E2BIG;
      memcpy(rec->folders[rec->nfolders++], dir, sizeof dir);
    }
    kc_record_file *r = &rec->files[rec->count++];
    r->folder = (unsigned)k;
    kc_copy(r->staged, sizeof r->staged, os_base_name(f->tmp));
    kc_copy(r->backup, sizeof r->backup, f->lost ? KC_RECORD_LOST : f->backup[0] ? os_base_name(f->backup) : "");
    kc_copy(r->dest, sizeof r->dest, os_base_name(f->dest));
    // Each by what it is, so that the next run touches these files only.
    int e = id_of(f->tmp_fd, f->tmp, &r->staged_id);
    if (e == 0 && f->backup[0])
      e = id_of(f->backup_fd != OS_BADFD ? f->backup_fd : f->old_fd, f->backup, &r->backup_id);
    if (e) {
      kc_copy(s->what, sizeof s->what, f->dest);
      return e;
    }
  }
  return 0;
}

// STAGED -> FLUSHED: 0, or the errno value with *failed the file.
static int flush_staged(kc_stage *s, size_t *failed) {
  for (size_t i = 0; i < s->count; ++i) {
    int e = os_fsync(s->files[i].tmp_fd);
    if (e) {
      *failed = i;
      kc_copy(s->what, sizeof s->what, s->files[i].dest);
      return e;
    }
  }
  s->state = KC_SET_FLUSHED;
  return 0;
}

// FLUSHED -> BACKED_UP.
static int back_up_earlier(kc_stage *s, size_t *failed) {
  for (size_t i = 0; i < s->count; ++i) {
    int e = back_up(&s->files[i]);
    if (e) {
      *failed = i;
      kc_copy(s->what, sizeof s->what, s->files[i].dest);
      return e;
    }
  }
  s->state = KC_SET_BACKED_UP;
  return 0;
}

// BACKED_UP -> RECORDED: the record's copies and every name so far on
// the disk before anything goes in place. A record that cannot be
// written leaves none. s->what names what failed.
static int write_record(kc_stage *s) {
  int e = record_of(s, &gRecord);
  if (e == 0) e = kc_record_write(&gRecord, s->what);
  if (e == 0) {
    s->state = KC_SET_RECORDED;
    e = kc_record_sync(&gRecord, s->what);
  }
  return e;
}

// RECORDED -> PLACING -> PLACED: each new file renamed over its
// destination, the files whose earlier link cannot be kept last, so that
// once one of them is replaced every other new file already stands in
// place; then the folders flushed. *step says which failed.
static int place(kc_stage *s, size_t *failed, int *step) {
  *step = KC_COPY_CREATE;
  s->state = KC_SET_PLACING;
  for (int lost = 0; lost <= 1; ++lost) {
    for (size_t i = 0; i < s->count; ++i) {
      kc_staged *f = &s->files[i];
      if (f->lost != lost) continue;
      // Let go of the earlier file: Windows replaces no file that is open.
      if (f->old_fd != OS_BADFD) (void)os_close(f->old_fd);
      if (f->backup_fd != OS_BADFD) (void)os_close(f->backup_fd);
      f->old_fd = f->backup_fd = OS_BADFD;
      int e = f->earlier == KC_EARLIER_NONE ? kc_rename(f->tmp_fd, f->tmp, f->dest, OS_RENAME_NEW)
              : kc_rename(f->tmp_fd, f->tmp, f->dest,
                               f->earlier == KC_EARLIER_LINK ? OS_RENAME_OVER_LINK : OS_RENAME_OVER);
      if (e) {
        *failed = i;
        kc_copy(s->what, sizeof s->what, f->dest);
        return e;
      }
      f->placed = 1;
    }
  }
  *step = KC_COPY_WRITE;
  int e = kc_record_sync(&gRecord, s->what);
  if (e == 0) s->state = KC_SET_PLACED;
  return e;
}

// PLACED -> DONE: every new file is in place and on the disk; the
// earlier ones go, then the record. An earlier file that cannot go now
// stays under its name of ours for a later sweep; a record that cannot
// go is carried forward the same way by the next run.
static void finish(kc_stage *s) {
  kc_stage_abandon(s);
  unsigned char left[KC_STAGE_MAX];
  (void)kc_record_recover(&gRecord, KC_RECORD_FORWARD, left);
  kc_record_release(&gRecord);
  s->state = KC_SET_DONE;
}

// A failure from RECORDED on: every handle let go (a name kept open can
// be neither renamed over nor deleted on Windows), then every destination
// taken back by the record -> UNDONE, or LEFT with each file not as it
// was marked. step and e are the failure.
static int go_back(kc_stage *s, int step, int e, int *err) {
  for (size_t i = 0; i < s->count; ++i) {
    kc_staged *f = &s->files[i];
    f->placed = 1; // its staged name goes with the record
    release(f);
  }
  unsigned char left[KC_STAGE_MAX];
  int r = kc_record_recover(&gRecord, KC_RECORD_BACK, left);
  kc_record_release(&gRecord);
  for (size_t i = 0; i < s->count; ++i) s->files[i].left = r ? left[i] : 0;
  s->state = r ? KC_SET_LEFT : KC_SET_UNDONE;
  *err = e;
  return r ? KC_COPY_LEFT : step;
}

int kc_stage_commit(kc_stage *s, int *err, size_t *failed) {
  int e, step;
  *err = 0;
  *failed = 0;
  if ((e = flush_staged(s, failed)) != 0) {
    kc_stage_abandon(s);
    return fail(KC_COPY_WRITE, e, err);
  }
  if ((e = back_up_earlier(s, failed)) != 0 || (e = write_record(s)) != 0) {
    if (s->state == KC_SET_RECORDED) return go_back(s, KC_COPY_WRITE, e, err);
    drop_backups(s);
    kc_stage_abandon(s);
    return fail(KC_COPY_CREATE, e, err);
  }
  if ((e = place(s, failed, &step)) != 0) return go_back(s, step, e, err);
  finish(s);
  return KC_COPY_DONE;
}

int kc_copy_file(const char *srcfile, const char *destfile, int *err) {
  kc_stage s;
  size_t failed;
  kc_stage_init(&s);
  int step = kc_stage_file(&s, srcfile, destfile, err);
  return step != KC_COPY_DONE ? step : kc_stage_commit(&s, err, &failed);
}

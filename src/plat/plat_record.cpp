// The record of a set being put in place. Before the first destination
// changes, every folder of the set gets a copy of one record of ours
// ("~nz-" and four characters of [0-9a-z]), written and flushed: which
// destination, which hard link of ours keeps its earlier file, which
// name of ours holds its new file. Whoever finds a record no process
// holds (a run killed, or a power cut, in the middle) recovers it before
// anything else in that folder:
//
//   - every new file already in place (no staged name left): the set is
//     whole and new, and only the earlier files' our names go;
//   - otherwise, or once the record is marked "undo": every destination
//     goes back to its earlier file, a new one without an earlier file
//     back under its staged name.
//
// The mark "undo" is flushed before the first step back, so a recovery
// cut short is finished the same way by the run after. The copies go last,
// once the folders are flushed: until then every name they hold is kept
// from the sweep of leftovers. Every step acts on names, never through a
// link. Not thread-safe: the installer recovers its folders on one thread.
#include <errno.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include "os.h"
#include "plat_int.h"
#include "plat_lock.h"
#include "plat_record.h"

#define REC_MAGIC "nzept-record 1\n"
#define REC_LOST KC_RECORD_LOST
#define REC_NONE "-"        // no earlier file

// folder + name into out (KC_PATH_MAX bytes): 1, or 0 when it does not fit.
static int in_folder(char *out, const char *folder, const char *name) {
  return kc_format(out, KC_PATH_MAX, "%s%s", folder, name);
}

// 1 when the name path stands in its folder (a link as itself).
static int stands(const char *path) { return os_same_name(path, path); }

/* ---- Writing ---- */

// The record as text into rec->text: its length, or 0 when a name cannot
// be written on one line.
static size_t format(kc_record *rec) {
  char *text = rec->text;
  const size_t size = sizeof rec->text;
  size_t n = 0;
  int ok = kc_format(text, size, "%s", REC_MAGIC);
  n = strlen(text);
  for (size_t i = 0; ok && i < rec->nfolders; ++i) {
    ok = !strpbrk(rec->folders[i], "\r\n") && kc_format(text + n, size - n, "folder %s\n", rec->folders[i]);
    n += strlen(text + n);
  }
  for (size_t i = 0; ok && i < rec->nfolders; ++i) {
    ok = kc_format(text + n, size - n, "copy %u %s\n", (unsigned)i, rec->names[i]);
    n += strlen(text + n);
  }
  for (size_t i = 0; ok && i < rec->count; ++i) {
    const kc_record_file *f = &rec->files[i];
    const char *backup = f->backup[0] ? f->backup : REC_NONE;
    ok = !strpbrk(f->dest, "\r\n") &&
         kc_format(text + n, size - n, "file %u %s %s %s\n", f->folder, backup, f->staged, f->dest);
    n += strlen(text + n);
  }
  ok = ok && kc_format(text + n, size - n, "end\n");
  return ok ? n + 4 : 0;
}

static int write_all(os_fd fd, const char *text, size_t n) {
  int err = 0;
  for (size_t done = 0; done < n;) {
    long put = os_write(fd, text + done, n - done, &err);
    if (put <= 0) return put == 0 ? ENOSPC : err;
    done += (size_t)put;
  }
  return os_fsync(fd);
}

void kc_record_discard(kc_record *rec) {
  char path[KC_PATH_MAX];
  for (size_t i = 0; i < rec->nfolders; ++i) {
    if (rec->fds[i] == OS_BADFD) continue;
    (void)in_folder(path, rec->folders[i], rec->names[i]);
    (void)os_fd_delete(rec->fds[i], path);
    rec->fds[i] = OS_BADFD;
  }
}

void kc_record_release(kc_record *rec) {
  for (size_t i = 0; i < rec->nfolders; ++i) {
    if (rec->fds[i] != OS_BADFD) (void)os_close(rec->fds[i]);
    rec->fds[i] = OS_BADFD;
  }
}

int kc_record_write(kc_record *rec) {
  char path[KC_PATH_MAX];
  int e = 0;
  for (size_t i = 0; i < rec->nfolders; ++i) rec->fds[i] = OS_BADFD;
  // Every copy's name first: each copy lists them all.
  for (size_t i = 0; e == 0 && i < rec->nfolders; ++i) {
    e = EEXIST;
    for (int tries = 0; e == EEXIST && tries < KC_TMP_TRIES; ++tries) {
      kc_tmp_name(rec->names[i], KC_RECORD_PREFIX);
      e = in_folder(path, rec->folders[i], rec->names[i]) ? os_create_excl(path, &rec->fds[i]) : ENAMETOOLONG;
    }
  }
  size_t n = e ? 0 : format(rec);
  if (e == 0 && n == 0) e = EINVAL;
  for (size_t i = 0; e == 0 && i < rec->nfolders; ++i) e = write_all(rec->fds[i], rec->text, n);
  if (e) kc_record_discard(rec);
  return e;
}

int kc_record_mark_undo(kc_record *rec) {
  int e = 0;
  for (size_t i = 0; e == 0 && i < rec->nfolders; ++i) e = write_all(rec->fds[i], "undo\n", 5);
  if (e == 0) rec->undo = 1;
  return e;
}

/* ---- Reading ---- */

// The next line of text at *at (its line end replaced by NUL), or NULL.
static char *next_line(char **at) {
  char *line = *at, *nl = strchr(line, '\n');
  if (!nl) return NULL;
  *nl = '\0';
  *at = nl + 1;
  return line;
}

// A plain name in its folder: no separator, no drive, not "." or "..".
static int plain_name(const char *name) {
  if (!name[0] || strcmp(name, ".") == 0 || strcmp(name, "..") == 0) return 0;
  return !strchr(name, '/') && !strchr(name, '\\') && !strchr(name, ':');
}

// Parses rec->text (n bytes) into rec: 1, or 0 when it is no whole
// record (one cut short by a death before it was flushed, which no change
// can have followed).
static int parse(kc_record *rec, size_t n) {
  char *text = rec->text;
  memset(rec, 0, offsetof(kc_record, text));
  text[n] = '\0';
  if (strlen(text) != n || strncmp(text, REC_MAGIC, strlen(REC_MAGIC)) != 0) return 0;
  char *at = text + strlen(REC_MAGIC), *line;
  size_t copies = 0;
  int ended = 0;
  while ((line = next_line(&at)) != NULL) {
    unsigned folder;
    int used = 0;
    char backup[KC_TMP_NAME_LEN + 1], staged[KC_TMP_NAME_LEN + 1];
    if (ended) {
      if (strcmp(line, "undo") != 0) return 0;
      rec->undo = 1;
    } else if (strcmp(line, "end") == 0) {
      ended = 1;
    } else if (strncmp(line, "folder ", 7) == 0 && rec->nfolders < KC_RECORD_FOLDERS && copies == 0) {
      if (!kc_copy(rec->folders[rec->nfolders++], KC_PATH_MAX, line + 7)) return 0;
    } else if (sscanf(line, "copy %u %8s%n", &folder, staged, &used) == 2 && line[used] == '\0' &&
               folder == copies && copies < rec->nfolders && kc_record_is_ours(staged)) {
      memcpy(rec->names[copies++], staged, sizeof staged);
    } else if (sscanf(line, "file %u %8s %8s %n", &folder, backup, staged, &used) == 3 && used > 0 &&
               folder < rec->nfolders && rec->count < KC_STAGE_MAX && kc_tmp_is_ours(staged) &&
               (kc_tmp_is_ours(backup) || strcmp(backup, REC_NONE) == 0 || strcmp(backup, REC_LOST) == 0) &&
               plain_name(line + used)) {
      kc_record_file *f = &rec->files[rec->count++];
      f->folder = folder;
      kc_copy(f->backup, sizeof f->backup, strcmp(backup, REC_NONE) == 0 ? "" : backup);
      memcpy(f->staged, staged, sizeof staged);
      if (!kc_copy(f->dest, sizeof f->dest, line + used)) return 0;
    } else {
      return 0;
    }
  }
  for (size_t i = 0; i < rec->nfolders; ++i) rec->fds[i] = OS_BADFD;
  return ended && *at == '\0' && copies == rec->nfolders && rec->nfolders > 0;
}

int kc_record_load(os_fd fd, kc_record *rec) {
  size_t n = 0;
  int err = 0;
  for (;;) {
    long got = os_read(fd, rec->text + n, sizeof rec->text - 1 - n, &err);
    if (got <= 0) break;
    n += (size_t)got;
    if (n == sizeof rec->text - 1) return 0; // longer than any record of ours
  }
  return err == 0 && parse(rec, n);
}

/* ---- Recovery ---- */

int kc_record_sync(const kc_record *rec) {
  int e = 0;
  for (size_t i = 0; e == 0 && i < rec->nfolders; ++i) e = os_sync_dir(rec->folders[i]);
  return e;
}

// The paths of file f: its destination, its staged name, its backup name.
static void paths_of(const kc_record *rec, const kc_record_file *f, char *dest, char *staged, char *backup) {
  const char *dir = rec->folders[f->folder];
  // They fit: the record was written from them, or checked when read.
  (void)in_folder(dest, dir, f->dest);
  (void)in_folder(staged, dir, f->staged);
  (void)in_folder(backup, dir, kc_tmp_is_ours(f->backup) ? f->backup : "");
}

// Every destination back as it was, the last first. left[i] marks one
// that could not be: 0, or the first failure's errno value.
static int undo(const kc_record *rec, unsigned char *left) {
  char dest[KC_PATH_MAX], staged[KC_PATH_MAX], backup[KC_PATH_MAX];
  int first = 0;
  for (size_t i = rec->count; i-- > 0;) {
    const kc_record_file *f = &rec->files[i];
    paths_of(rec, f, dest, staged, backup);
    int e = 0;
    if (strcmp(f->backup, REC_LOST) == 0) {
      if (!stands(staged)) e = ENOTSUP; // the new file stands where a link was, which cannot be made again
    } else if (kc_tmp_is_ours(f->backup)) {
      // The earlier file under its hard link: where the destination is
      // still that file, the hard link goes (one that cannot go now, as
      // of a program that runs, is a leftover for a later sweep); else it
      // takes the destination's name back.
      if (stands(backup)) {
        if (os_same_name(dest, backup)) (void)kc_delete_file(backup);
        else e = kc_rename_over(OS_BADFD, backup, dest);
      }
    } else if (!stands(staged) && stands(dest)) {
      e = os_rename_name(dest, staged, 0); // a new file where there was none
    }
    if (e) {
      left[i] = 1;
      if (!first) first = e;
    }
  }
  return first;
}

// Every new file is in place: the earlier files' our names go. One
// that cannot go now (a program that still runs from it) is a leftover
// that a later sweep removes.
static void drop_backups(const kc_record *rec) {
  char dest[KC_PATH_MAX], staged[KC_PATH_MAX], backup[KC_PATH_MAX];
  for (size_t i = 0; i < rec->count; ++i) {
    paths_of(rec, &rec->files[i], dest, staged, backup);
    if (kc_tmp_is_ours(rec->files[i].backup)) (void)kc_delete_file(backup);
  }
}

int kc_record_recover(kc_record *rec, int how, unsigned char *left) {
  char dest[KC_PATH_MAX], staged[KC_PATH_MAX], backup[KC_PATH_MAX];
  memset(left, 0, KC_STAGE_MAX);
  // Which new files stand in place: the run that put them all there knows
  // it; otherwise the staged names that are gone tell.
  size_t placed = 0;
  unsigned char is_placed[KC_STAGE_MAX];
  for (size_t i = 0; i < rec->count; ++i) {
    paths_of(rec, &rec->files[i], dest, staged, backup);
    is_placed[i] = how == KC_RECORD_FORWARD || !stands(staged);
    placed += is_placed[i];
  }
  int back = rec->undo || how == KC_RECORD_BACK || placed < rec->count;
  int e = 0;
  if (back && !rec->undo && placed > 0 && (e = kc_record_mark_undo(rec)) != 0) {
    // Without the mark a later run could take the set forward while some
    // files are back: nothing is touched, the record stays.
    for (size_t i = 0; i < rec->count; ++i) left[i] = is_placed[i];
    return e;
  }
  if (back) e = undo(rec, left);
  else drop_backups(rec);
  // Steps back on the disk before the record goes: a power cut then finds
  // either the record or every step it asked for. (Forward, a record that
  // comes back asks again for what is done.)
  if (e == 0 && back) e = kc_record_sync(rec);
  if (e) return e;
  kc_record_discard(rec);
  for (size_t i = 0; back && i < rec->count; ++i) {
    paths_of(rec, &rec->files[i], dest, staged, backup);
    (void)kc_delete_file(staged); // gone already when it was never put back
  }
  return 0;
}

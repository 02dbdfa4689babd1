// The record of a set being put in place. Before the first destination
// changes, every folder of the set gets a copy of one record of ours
// ("~nz-" and four characters of [0-9a-z]), written and flushed: which
// destination, which second name of ours keeps its earlier file, which
// name of ours holds its new file. Whoever finds a record no process
// holds (a run killed, or a power cut, in the middle) settles it before
// anything else in that folder:
//
//   - every new file already in place (no staged name left): the set is
//     whole and new, and only the earlier files' names of ours go;
//   - otherwise, or once the record is marked "undo": every destination
//     goes back to its earlier file, a new one without an earlier file
//     back under its staged name.
//
// The mark "undo" is flushed before the first step back, so a settling
// cut short is finished the same way by the run after. The copies go last,
// once the folders are flushed: until then every name they hold is kept
// from the sweep of leftovers. Every step acts on names, never through a
// link. Not thread-safe: the installer settles its folders on one thread.
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "os.h"
#include "plat_int.h"

#define REC_PREFIX "~nz-"
#define REC_MAGIC "nzept-record 1\n"
#define REC_BYTES_MAX 16384 // the longest record: four folders and a full set of long names
#define REC_LOST KC_RECORD_LOST
#define REC_NONE "-"        // no earlier file

static char gText[REC_BYTES_MAX + 1];

int kc_record_is_ours(const char *name) { return kc_tmp_named(name, REC_PREFIX); }

// folder + name into out (KC_PATH_MAX bytes): 1, or 0 when it does not fit.
static int in_folder(char *out, const char *folder, const char *name) {
  return kc_format(out, KC_PATH_MAX, "%s%s", folder, name);
}

// 1 when the name path stands in its folder (a link as itself).
static int stands(const char *path) { return os_same_name(path, path); }

/* ---- Writing ---- */

// The record as text into gText: its length, or 0 when a name cannot be
// written on one line.
static size_t format(const kc_record *rec) {
  size_t n = 0;
  int ok = kc_format(gText, sizeof gText, "%s", REC_MAGIC);
  n = strlen(gText);
  for (size_t i = 0; ok && i < rec->nfolders; ++i) {
    ok = !strpbrk(rec->folders[i], "\r\n") && kc_format(gText + n, sizeof gText - n, "folder %s\n", rec->folders[i]);
    n += strlen(gText + n);
  }
  for (size_t i = 0; ok && i < rec->nfolders; ++i) {
    ok = kc_format(gText + n, sizeof gText - n, "copy %u %s\n", (unsigned)i, rec->names[i]);
    n += strlen(gText + n);
  }
  for (size_t i = 0; ok && i < rec->count; ++i) {
    const kc_record_file *f = &rec->files[i];
    const char *kept = f->kept[0] ? f->kept : REC_NONE;
    ok = !strpbrk(f->dest, "\r\n") &&
         kc_format(gText + n, sizeof gText - n, "file %u %s %s %s\n", f->folder, kept, f->staged, f->dest);
    n += strlen(gText + n);
  }
  ok = ok && kc_format(gText + n, sizeof gText - n, "end\n");
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

// Deletes every copy still held and lets the record go.
static void delete_copies(kc_record *rec) {
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
      kc_tmp_name(rec->names[i], REC_PREFIX);
      e = in_folder(path, rec->folders[i], rec->names[i]) ? os_create_excl(path, &rec->fds[i]) : ENAMETOOLONG;
    }
  }
  size_t n = e ? 0 : format(rec);
  if (e == 0 && n == 0) e = EINVAL;
  for (size_t i = 0; e == 0 && i < rec->nfolders; ++i) e = write_all(rec->fds[i], gText, n);
  if (e) delete_copies(rec);
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

// Parses gText (n bytes) into rec: 1, or 0 when it is no whole record
// (one cut short by a death before it was flushed, which no change can
// have followed).
static int parse(kc_record *rec, size_t n) {
  memset(rec, 0, sizeof *rec);
  gText[n] = '\0';
  if (strlen(gText) != n || strncmp(gText, REC_MAGIC, strlen(REC_MAGIC)) != 0) return 0;
  char *at = gText + strlen(REC_MAGIC), *line;
  size_t copies = 0;
  int ended = 0;
  while ((line = next_line(&at)) != NULL) {
    unsigned folder;
    int used = 0;
    char kept[KC_TMP_NAME_LEN + 1], staged[KC_TMP_NAME_LEN + 1];
    if (ended) {
      if (strcmp(line, "undo") != 0) return 0;
      rec->undo = 1;
    } else if (strcmp(line, "end") == 0) {
      ended = 1;
    } else if (strncmp(line, "folder ", 7) == 0 && rec->nfolders < KC_RECORD_FOLDERS && copies == 0) {
      if (!kc_copy(rec->folders[rec->nfolders++], KC_PATH_MAX, line + 7)) return 0;
    } else if (sscanf(line, "copy %u %8s%n", &folder, kept, &used) == 2 && line[used] == '\0' &&
               folder == copies && copies < rec->nfolders && kc_record_is_ours(kept)) {
      memcpy(rec->names[copies++], kept, sizeof kept);
    } else if (sscanf(line, "file %u %8s %8s %n", &folder, kept, staged, &used) == 3 && used > 0 &&
               folder < rec->nfolders && rec->count < KC_STAGE_MAX && kc_tmp_is_ours(staged) &&
               (kc_tmp_is_ours(kept) || strcmp(kept, REC_NONE) == 0 || strcmp(kept, REC_LOST) == 0) &&
               plain_name(line + used)) {
      kc_record_file *f = &rec->files[rec->count++];
      f->folder = folder;
      kc_copy(f->kept, sizeof f->kept, strcmp(kept, REC_NONE) == 0 ? "" : kept);
      memcpy(f->staged, staged, sizeof staged);
      if (!kc_copy(f->dest, sizeof f->dest, line + used)) return 0;
    } else {
      return 0;
    }
  }
  for (size_t i = 0; i < rec->nfolders; ++i) rec->fds[i] = OS_BADFD;
  return ended && *at == '\0' && copies == rec->nfolders && rec->nfolders > 0;
}

// Reads the record open as fd into rec: 1 when it is whole.
static int load(os_fd fd, kc_record *rec) {
  size_t n = 0;
  int err = 0;
  for (;;) {
    long got = os_read(fd, gText + n, sizeof gText - 1 - n, &err);
    if (got <= 0) break;
    n += (size_t)got;
    if (n == sizeof gText - 1) return 0; // longer than any record of ours
  }
  return err == 0 && parse(rec, n);
}

/* ---- Settling ---- */

int kc_record_sync(const kc_record *rec) {
  int e = 0;
  for (size_t i = 0; e == 0 && i < rec->nfolders; ++i) e = os_sync_dir(rec->folders[i]);
  return e;
}

// The paths of file f: its destination, its staged name, its kept name.
static void paths_of(const kc_record *rec, const kc_record_file *f, char *dest, char *staged, char *kept) {
  const char *dir = rec->folders[f->folder];
  // They fit: the record was written from them, or checked when read.
  (void)in_folder(dest, dir, f->dest);
  (void)in_folder(staged, dir, f->staged);
  (void)in_folder(kept, dir, kc_tmp_is_ours(f->kept) ? f->kept : "");
}

// Every destination back as it was, the last first. left[i] marks one
// that could not be: 0, or the first failure's errno value.
static int undo(const kc_record *rec, unsigned char *left) {
  char dest[KC_PATH_MAX], staged[KC_PATH_MAX], kept[KC_PATH_MAX];
  int first = 0;
  for (size_t i = rec->count; i-- > 0;) {
    const kc_record_file *f = &rec->files[i];
    paths_of(rec, f, dest, staged, kept);
    int e = 0;
    if (strcmp(f->kept, REC_LOST) == 0) {
      if (!stands(staged)) e = ENOTSUP; // the new file stands where a link was, which cannot be made again
    } else if (kc_tmp_is_ours(f->kept)) {
      // The earlier file under its second name: where the destination is
      // still that file, the second name goes (one that cannot go now, as
      // of a program that runs, is a leftover for a later sweep); else it
      // takes the destination's name back.
      if (stands(kept)) {
        if (os_same_name(dest, kept)) (void)kc_delete_file(kept);
        else e = os_rename_name(kept, dest, 1);
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

// Every new file is in place: the earlier files' names of ours go. One
// that cannot go now (a program that still runs from it) is a leftover
// that a later sweep removes.
static void drop_kept(const kc_record *rec) {
  char dest[KC_PATH_MAX], staged[KC_PATH_MAX], kept[KC_PATH_MAX];
  for (size_t i = 0; i < rec->count; ++i) {
    paths_of(rec, &rec->files[i], dest, staged, kept);
    if (kc_tmp_is_ours(rec->files[i].kept)) (void)kc_delete_file(kept);
  }
}

int kc_record_settle(kc_record *rec, int how, unsigned char *left) {
  char dest[KC_PATH_MAX], staged[KC_PATH_MAX], kept[KC_PATH_MAX];
  memset(left, 0, KC_STAGE_MAX);
  // Which new files stand in place: the run that put them all there knows
  // it; otherwise the staged names that are gone tell.
  size_t placed = 0;
  unsigned char is_placed[KC_STAGE_MAX];
  for (size_t i = 0; i < rec->count; ++i) {
    paths_of(rec, &rec->files[i], dest, staged, kept);
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
  else drop_kept(rec);
  // Steps back on the disk before the record goes: a power cut then finds
  // either the record or every step it asked for. (Forward, a record that
  // comes back asks again for what is done.)
  if (e == 0 && back) e = kc_record_sync(rec);
  if (e) return e;
  delete_copies(rec);
  for (size_t i = 0; back && i < rec->count; ++i) {
    paths_of(rec, &rec->files[i], dest, staged, kept);
    (void)kc_delete_file(staged); // gone already when it was never put back
  }
  return 0;
}

/* ---- Records found in a folder ---- */

static kc_record gFound;

// The folder of given that is the same as folder: its index, or -1.
static int given_index(const char *folder, const char *const given[], size_t ngiven) {
  for (size_t i = 0; i < ngiven; ++i)
    if (strcmp(folder, given[i]) == 0 || os_same_file(folder, given[i])) return (int)i;
  return -1;
}

// Settles the record path (its copy in folder index own) found unheld.
static int settle_found(const char *path, const char *const given[], size_t ngiven, kc_settle_report *report) {
  kc_record *rec = &gFound;
  os_fd fd;
  int e = os_open_held(path, OS_HOLD_UPDATE, &fd);
  if (e == ENOENT) return KC_SETTLE_OK; // settled meanwhile
  if (e) return e == EACCES ? KC_SETTLE_HELD : KC_SETTLE_FAILED;
  if (!load(fd, rec)) {
    // Cut short before it was flushed: nothing can have changed after it.
    (void)os_fd_delete(fd, path);
    return KC_SETTLE_OK;
  }
  // Only the folders this run was given, spelt as it was given them; the
  // copy's own folder among them.
  size_t own = rec->nfolders;
  for (size_t i = 0; i < rec->nfolders; ++i) {
    char folder[KC_PATH_MAX], mine[KC_PATH_MAX];
    int g = given_index(rec->folders[i], given, ngiven);
    if (g < 0) {
      (void)os_close(fd);
      for (size_t k = 0; k < rec->count && report->count < KC_STAGE_MAX; ++k)
        (void)in_folder(report->left[report->count++], rec->folders[rec->files[k].folder], rec->files[k].dest);
      return KC_SETTLE_FOREIGN;
    }
    kc_copy(folder, sizeof folder, given[g]);
    (void)in_folder(mine, folder, rec->names[i]);
    if (strcmp(mine, path) == 0 || os_same_name(mine, path)) own = i;
    memcpy(rec->folders[i], folder, sizeof folder);
  }
  if (own == rec->nfolders) {
    (void)os_close(fd);
    return KC_SETTLE_FOREIGN;
  }
  // Every copy held: no other run settles it meanwhile. A copy already
  // gone means the settling that removed it had finished every step.
  rec->fds[own] = fd;
  int r = KC_SETTLE_OK, gone = 0;
  for (size_t i = 0; r == KC_SETTLE_OK && i < rec->nfolders; ++i) {
    char copy[KC_PATH_MAX];
    if (i == own || !in_folder(copy, rec->folders[i], rec->names[i])) continue;
    e = os_open_held(copy, OS_HOLD_UPDATE, &rec->fds[i]);
    if (e == ENOENT) gone = 1;
    else if (e) r = e == EACCES ? KC_SETTLE_HELD : KC_SETTLE_FAILED;
  }
  if (r == KC_SETTLE_OK && gone) {
    delete_copies(rec);
    return KC_SETTLE_OK;
  }
  unsigned char left[KC_STAGE_MAX];
  if (r == KC_SETTLE_OK && kc_record_settle(rec, KC_RECORD_FOUND, left) != 0) {
    r = KC_SETTLE_FAILED;
    for (size_t i = 0; i < rec->count && report->count < KC_STAGE_MAX; ++i)
      if (left[i]) (void)in_folder(report->left[report->count++], rec->folders[rec->files[i].folder], rec->files[i].dest);
  }
  kc_record_release(rec);
  return r;
}

int kc_settle(const char *dir, const char *const given[], size_t ngiven, kc_settle_report *report) {
  char search[KC_PATH_MAX], name[KC_PATH_MAX], path[KC_PATH_MAX];
  report->count = 0;
  report->record[0] = '\0';
  if (!kc_format(search, sizeof search, "%s" REC_PREFIX "*", dir)) return KC_SETTLE_OK;
  // The records first, then each settled: settling changes the folder.
  char found[KC_RECORD_FOLDERS * 2][KC_TMP_NAME_LEN + 1];
  size_t n = 0;
  os_find_t h = os_find_first(search, name);
  if (h != OS_FIND_NONE) {
    do {
      if (kc_record_is_ours(name) && n < sizeof found / sizeof found[0]) memcpy(found[n++], name, sizeof found[0]);
    } while (os_find_next(h, name) == 0);
    os_find_close(h);
  }
  for (size_t i = 0; i < n; ++i) {
    if (!in_folder(path, dir, found[i])) continue;
    int r = settle_found(path, given, ngiven, report);
    if (r != KC_SETTLE_OK) {
      kc_copy(report->record, sizeof report->record, path);
      return r;
    }
  }
  return KC_SETTLE_OK;
}

size_t kc_record_protects(const char *path, char names[][KC_TMP_NAME_LEN + 1], size_t max) {
  os_fd fd;
  size_t n = 0;
  if (os_open_read(path, &fd) != 0) return 0;
  if (load(fd, &gFound)) {
    for (size_t i = 0; i < gFound.count && n + 2 <= max; ++i) {
      memcpy(names[n++], gFound.files[i].staged, KC_TMP_NAME_LEN + 1);
      if (kc_tmp_is_ours(gFound.files[i].kept)) memcpy(names[n++], gFound.files[i].kept, KC_TMP_NAME_LEN + 1);
    }
  }
  (void)os_close(fd);
  return n;
}

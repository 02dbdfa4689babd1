// The record of a set being put in place (plat_record.h). Before the
// first destination changes, every folder of the set gets a copy of one
// record, written and flushed. Whoever finds a record of ours that no
// process has locked (a run killed, or a power cut, in the middle)
// recovers it before anything else in that folder (plat_sweep.cpp):
//
//   - every new file already in place (no staged name left): the set is
//     whole and new, and only the backups go (roll forward);
//   - otherwise, or once the record is marked "undo": every destination
//     goes back to its earlier file, a new one without an earlier file
//     back under its staged name (roll back); where that is impossible (a
//     replaced link this system cannot make again) the set goes forward
//     instead, every staged file renamed over its destination.
//
// The mark "undo" is flushed before the first step back, so a recovery
// cut short is finished the same way by the run after. The copies go
// last, once the folders are flushed: until then every name they hold is
// spared by the sweep of leftovers. Every step acts on names, never
// through a link, and only on a file the record names by its identity.
#include <errno.h>
#include <inttypes.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include "os.h"
#include "plat_int.h"
#include "plat_lock.h"
#include "plat_record.h"

#define REC_MAGIC "nzept-record 2\n"
#define REC_LOST KC_RECORD_LOST
#define REC_NONE "-" // no earlier file; no identity
#define REC_ID_MAX 72 // four 64-bit numbers in hex, their dots and the NUL

// folder + name into out (KC_PATH_MAX bytes): 1, or 0 when it does not fit.
static int in_folder(char *out, const char *folder, const char *name) {
  return kc_format(out, KC_PATH_MAX, "%s%s", folder, name);
}

// FNV-1a, 64 bits, of n bytes at p.
static uint64_t sum_of(const char *p, size_t n) {
  uint64_t h = 14695981039346656037ull;
  for (size_t i = 0; i < n; ++i) h = (h ^ (unsigned char)p[i]) * 1099511628211ull;
  return h;
}

/* ---- Writing ---- */

// An identity as text: "<volume>.<index>.<size>.<mtime>" in hex, or "-"
// for none.
static void id_text(const kc_file_id *id, char *out, size_t size) {
  if (id->volume == 0 && id->index == 0 && id->size == 0 && id->mtime == 0)
    (void)kc_copy(out, size, REC_NONE);
  else
    (void)kc_format(out, size, "%" PRIx64 ".%" PRIx64 ".%" PRIx64 ".%" PRIx64, id->volume, id->index, id->size,
                    (uint64_t)id->mtime);
}

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
    char bid[REC_ID_MAX], sid[REC_ID_MAX];
    id_text(&f->backup_id, bid, sizeof bid);
    id_text(&f->staged_id, sid, sizeof sid);
    ok = !strpbrk(f->dest, "\r\n") && kc_format(text + n, size - n, "file %u %s %s %s %s %s\n", f->folder,
                                                   f->backup[0] ? f->backup : REC_NONE, bid, f->staged, sid, f->dest);
    n += strlen(text + n);
  }
  ok = ok && kc_format(text + n, size - n, "end\n");
  n += ok ? strlen(text + n) : 0;
  ok = ok && kc_format(text + n, size - n, "sum %016" PRIx64 "\n", sum_of(text, n));
  return ok ? n + strlen(text + n) : 0;
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

int kc_record_write(kc_record *rec, char *failed) {
  char path[KC_PATH_MAX];
  int e = 0;
  size_t i;
  for (i = 0; i < rec->nfolders; ++i) rec->fds[i] = OS_BADFD;
  // Every copy's name first: each copy lists them all. Each is this
  // account's alone, whatever its folder lets others do.
  for (i = 0; e == 0 && i < rec->nfolders; ++i) {
    e = EEXIST;
    for (int tries = 0; e == EEXIST && tries < KC_TMP_TRIES; ++tries) {
      kc_tmp_name(rec->names[i], KC_RECORD_PREFIX);
      e = in_folder(path, rec->folders[i], rec->names[i]) ? os_create_excl(path, &rec->fds[i]) : ENAMETOOLONG;
    }
    if (e == 0) e = os_fd_private(rec->fds[i]);
  }
  size_t n = e ? 0 : format(rec);
  if (e == 0 && n == 0) e = EINVAL;
  for (i = 0; e == 0 && i < rec->nfolders; ++i) {
    e = write_all(rec->fds[i], rec->text, n);
    if (e) (void)in_folder(path, rec->folders[i], rec->names[i]);
  }
  if (e) {
    (void)kc_copy(failed, KC_PATH_MAX, path);
    kc_record_discard(rec);
  }
  return e;
}

int kc_record_mark_undo(kc_record *rec) {
  // Each copy that stands and is held: one gone, or not ours, is no reason
  // not to go back, as long as one copy carries the mark.
  int e = 0, marked = 0;
  for (size_t i = 0; e == 0 && i < rec->nfolders; ++i)
    if (rec->fds[i] != OS_BADFD) {
      e = write_all(rec->fds[i], "undo\n", 5);
      marked += e == 0;
    }
  if (e == 0 && !marked) e = EBADF;
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

// An identity from its text ("-": none): 1, or 0 when it is no identity.
static int id_from(const char *s, kc_file_id *id) {
  uint64_t mtime = 0;
  int used = 0;
  memset(id, 0, sizeof *id);
  if (strcmp(s, REC_NONE) == 0) return 1;
  if (sscanf(s, "%" SCNx64 ".%" SCNx64 ".%" SCNx64 ".%" SCNx64 "%n", &id->volume, &id->index, &id->size, &mtime,
             &used) != 4 ||
      s[used] != '\0')
    return 0;
  id->mtime = (int64_t)mtime;
  return 1;
}

// One "file" line into f: 1, or 0 when it is none.
static int file_line(const char *line, const kc_record *rec, kc_record_file *f) {
  char backup[KC_TMP_NAME_LEN + 1], staged[KC_TMP_NAME_LEN + 1], bid[REC_ID_MAX], sid[REC_ID_MAX];
  unsigned folder;
  int used = 0;
  if (sscanf(line, "file %u %8s %71s %8s %71s %n", &folder, backup, bid, staged, sid, &used) != 5 || used == 0) return 0;
  if (folder >= rec->nfolders || !kc_tmp_is_ours(staged) || !id_from(bid, &f->backup_id) || !id_from(sid, &f->staged_id))
    return 0;
  if (!kc_tmp_is_ours(backup) && strcmp(backup, REC_NONE) != 0 && strcmp(backup, REC_LOST) != 0) return 0;
  if (!plain_name(line + used) || !kc_copy(f->dest, sizeof f->dest, line + used)) return 0;
  f->folder = folder;
  kc_copy(f->backup, sizeof f->backup, strcmp(backup, REC_NONE) == 0 ? "" : backup);
  memcpy(f->staged, staged, sizeof staged);
  return 1;
}

// The lines of text (up to "end") into rec: 1, or 0 at the first line
// that is no line of a record of ours.
static int parse_lines(kc_record *rec, char *at) {
  char *line;
  size_t copies = 0;
  while ((line = next_line(&at)) != NULL && strcmp(line, "end") != 0) {
    unsigned folder;
    int used = 0;
    char name[KC_TMP_NAME_LEN + 1];
    if (strncmp(line, "folder ", 7) == 0 && rec->nfolders < KC_RECORD_FOLDERS && copies == 0) {
      if (!kc_copy(rec->folders[rec->nfolders++], KC_PATH_MAX, line + 7)) return 0;
    } else if (sscanf(line, "copy %u %8s%n", &folder, name, &used) == 2 && line[used] == '\0' && folder == copies &&
               copies < rec->nfolders && kc_record_is_ours(name)) {
      memcpy(rec->names[copies++], name, sizeof name);
    } else if (rec->count < KC_STAGE_MAX && file_line(line, rec, &rec->files[rec->count])) {
      rec->count++;
    } else {
      return 0;
    }
  }
  return copies == rec->nfolders && rec->nfolders > 0;
}

// Parses rec->text (n bytes) into rec: KC_RECORD_WHOLE, KC_RECORD_CUT,
// KC_RECORD_DAMAGED or KC_RECORD_STRANGE.
static int parse(kc_record *rec, size_t n) {
  char *text = rec->text;
  const size_t magic = strlen(REC_MAGIC);
  memset(rec, 0, offsetof(kc_record, text));
  for (size_t i = 0; i < KC_RECORD_FOLDERS; ++i) rec->fds[i] = OS_BADFD;
  text[n] = '\0';
  if (strncmp(text, REC_MAGIC, n < magic ? n : magic) != 0 || strlen(text) != n) return KC_RECORD_STRANGE;
  // Cut short before its sum was written: its writer never flushed it.
  // What lines it has tell which files it was to name.
  char *sum = strstr(text, "\nend\nsum ");
  if (!sum || n < magic) {
    char *cut = strrchr(text, '\n');
    if (cut) cut[1] = '\0';
    (void)parse_lines(rec, text + (n < magic ? n : magic));
    return KC_RECORD_CUT;
  }
  size_t body = (size_t)(sum - text) + 5; // up to and with "end\n"
  uint64_t want = 0;
  int used = 0;
  if (sscanf(text + body, "sum %16" SCNx64 "\n%n", &want, &used) != 1 || used != 21) return KC_RECORD_CUT;
  if (want != sum_of(text, body)) return KC_RECORD_DAMAGED;
  // After the sum only whole "undo" lines; one cut short was never
  // flushed, and no step back follows an unflushed mark.
  char *tail = text + body + used, *line;
  while ((line = next_line(&tail)) != NULL) {
    if (strcmp(line, "undo") != 0) return KC_RECORD_DAMAGED;
    rec->undo = 1;
  }
  if (*tail && strncmp(tail, "undo", strlen(tail)) != 0) return KC_RECORD_DAMAGED;
  text[body] = '\0';
  return parse_lines(rec, text + magic) ? KC_RECORD_WHOLE : KC_RECORD_STRANGE;
}

int kc_record_load(os_fd fd, kc_record *rec) {
  size_t n = 0;
  int err = 0;
  for (;;) {
    long got = os_read(fd, rec->text + n, sizeof rec->text - 1 - n, &err);
    if (got <= 0) break;
    n += (size_t)got;
    if (n == sizeof rec->text - 1) return KC_RECORD_STRANGE; // longer than any record of ours
  }
  return err ? KC_RECORD_DAMAGED : parse(rec, n);
}

/* ---- Recovery ---- */

int kc_record_sync(const kc_record *rec, char *failed) {
  for (size_t i = 0; i < rec->nfolders; ++i) {
    int e = os_sync_dir(rec->folders[i]);
    if (e) {
      if (failed) (void)kc_copy(failed, KC_PATH_MAX, rec->folders[i]);
      return e;
    }
  }
  return 0;
}

// The paths of file f: its destination, its staged name, its backup name.
static void paths_of(const kc_record *rec, const kc_record_file *f, char *dest, char *staged, char *backup) {
  const char *dir = rec->folders[f->folder];
  // They fit: the record was written from them, or checked when read.
  (void)in_folder(dest, dir, f->dest);
  (void)in_folder(staged, dir, f->staged);
  (void)in_folder(backup, dir, kc_tmp_is_ours(f->backup) ? f->backup : "");
}

// 1 when what stands under path is the file id names: its identity; or,
// where the file system numbers its files anew (FAT, after a remount), a
// file of this account's with one name and the size and time recorded.
static int is_file(const char *path, const kc_file_id *id) {
  os_fileinfo fi;
  if (os_name_info(path, &fi) != 0 || fi.kind == OS_KIND_NONE) return 0;
  if ((id->volume || id->index) && fi.volume == id->volume && fi.index == id->index) return 1;
  return fi.kind == OS_KIND_FILE && fi.ours && fi.links == 1 && fi.size == id->size && fi.mtime == id->mtime;
}

// The staged name (or the destination) holds the record's new file.
static int holds_new(const char *path, const kc_record_file *f) { return is_file(path, &f->staged_id); }

// The backup still stands and is the one the record made.
static int backup_stands(const char *backup, const kc_record_file *f) {
  return kc_tmp_is_ours(f->backup) && is_file(backup, &f->backup_id);
}

// 1 when name stands at all (a link as itself).
static int stands(const char *path) { return os_name_kind(path) != OS_KIND_NONE; }

// Every destination back as it was: the files whose earlier link could
// not be kept first (they were placed last), then the others from the
// last. left[i] marks one that could not be: 0, or the first failure's
// errno value.
static int undo(const kc_record *rec, unsigned char *left) {
  char dest[KC_PATH_MAX], staged[KC_PATH_MAX], backup[KC_PATH_MAX];
  int first = 0;
  for (int lost = 1; lost >= 0; --lost) {
    for (size_t i = rec->count; i-- > 0;) {
      const kc_record_file *f = &rec->files[i];
      if ((strcmp(f->backup, REC_LOST) == 0) != lost) continue;
      paths_of(rec, f, dest, staged, backup);
      int e = 0;
      if (holds_new(staged, f)) {
        // Never put in place: the destination is as it was, and only its
        // backup goes (one that cannot go now, as of a program that runs,
        // is a leftover for a later sweep).
        if (backup_stands(backup, f)) (void)kc_delete_file(backup);
      } else if (lost) {
        if (holds_new(dest, f)) e = ENOTSUP; // a link stood there, which cannot be made again
      } else if (kc_tmp_is_ours(f->backup)) {
        // The earlier file takes the destination's name back, unless the
        // destination has been changed since by someone else.
        if (backup_stands(backup, f)) e = holds_new(dest, f) || !stands(dest) ? kc_rename(OS_BADFD, backup, dest, OS_RENAME_OVER) : EEXIST;
      } else if (holds_new(dest, f)) {
        e = kc_rename(OS_BADFD, dest, staged, OS_RENAME_NEW); // a new file where there was none
      }
      if (e) {
        left[i] = 1;
        if (!first) first = e;
      }
    }
  }
  return first;
}

// Every new file is in place, or is put in place now from its staged
// name: the backups go. One that cannot go now (a program that still runs
// from it) is a leftover that a later sweep removes. The writer that put
// every file in place itself (known) drops its backups by name; a record
// found on disk touches only the files it names. 0, or the first rename's
// failure with left[i] set.
static int forward(const kc_record *rec, int known, unsigned char *left) {
  char dest[KC_PATH_MAX], staged[KC_PATH_MAX], backup[KC_PATH_MAX];
  int first = 0;
  for (int lost = 0; lost <= 1; ++lost) {
    for (size_t i = 0; !known && i < rec->count; ++i) {
      const kc_record_file *f = &rec->files[i];
      if ((strcmp(f->backup, REC_LOST) == 0) != lost) continue;
      paths_of(rec, f, dest, staged, backup);
      if (!holds_new(staged, f)) continue;
      int e = strcmp(f->backup, REC_LOST) == 0 ? kc_rename(OS_BADFD, staged, dest, OS_RENAME_OVER_LINK)
              : f->backup[0]                  ? kc_rename(OS_BADFD, staged, dest, OS_RENAME_OVER)
                                              : kc_rename(OS_BADFD, staged, dest, OS_RENAME_NEW);
      if (e) {
        left[i] = 1;
        if (!first) first = e;
      }
    }
  }
  if (first) return first;
  for (size_t i = 0; i < rec->count; ++i) {
    paths_of(rec, &rec->files[i], dest, staged, backup);
    if (known ? kc_tmp_is_ours(rec->files[i].backup) : backup_stands(backup, &rec->files[i])) (void)kc_delete_file(backup);
  }
  return 0;
}

int kc_record_recover(kc_record *rec, int how, unsigned char *left) {
  char dest[KC_PATH_MAX], staged[KC_PATH_MAX], backup[KC_PATH_MAX];
  memset(left, 0, KC_STAGE_MAX);
  // Which new files stand in place: the run that put them all there knows
  // it; otherwise the staged names that are gone tell. A replaced link
  // that cannot be made again leaves one way only: forward.
  size_t placed = how == KC_RECORD_FORWARD ? rec->count : 0;
  int lost_placed = 0;
  for (size_t i = 0; how != KC_RECORD_FORWARD && i < rec->count; ++i) {
    const kc_record_file *f = &rec->files[i];
    paths_of(rec, f, dest, staged, backup);
    int is_placed = !holds_new(staged, f);
    placed += is_placed;
    lost_placed |= is_placed && strcmp(f->backup, REC_LOST) == 0 && holds_new(dest, f);
  }
  int back = (rec->undo || how == KC_RECORD_BACK || placed < rec->count) && !lost_placed;
  int e = 0;
  if (back && !rec->undo && placed > 0 && (e = kc_record_mark_undo(rec)) != 0) {
    // Without the mark a later run could take the set forward while some
    // files are back: nothing is touched, the record stays.
    for (size_t i = 0; i < rec->count; ++i) {
      paths_of(rec, &rec->files[i], dest, staged, backup);
      left[i] = !holds_new(staged, &rec->files[i]);
    }
    return e;
  }
  e = back ? undo(rec, left) : forward(rec, how == KC_RECORD_FORWARD, left);
  // Every step on the disk before the record goes: a power cut then finds
  // either the record or every step it asked for. (The writer that put
  // every file in place flushed them then; a record that comes back asks
  // again only for what is done.)
  if (e == 0 && how != KC_RECORD_FORWARD) e = kc_record_sync(rec, NULL);
  if (e) return e;
  kc_record_discard(rec);
  for (size_t i = 0; back && i < rec->count; ++i) {
    paths_of(rec, &rec->files[i], dest, staged, backup);
    if (holds_new(staged, &rec->files[i])) (void)kc_delete_file(staged); // gone already when never put back
  }
  return 0;
}

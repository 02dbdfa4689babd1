// What runs cut short left in a folder, found and dealt with before
// anything else there: each record of ours that no process has locked is
// recovered (the set all as it was or all new, plat_record.h), then every
// other file of ours that no process has locked and no record names is
// removed. Whatever is named like ours but is not (another account's, a
// pipe, a record damaged or naming what it may not) is left as it stands
// and named in the report. Single-threaded: the records read here are
// static.
#include <errno.h>
#include <string.h>

#include "os.h"
#include "plat_int.h"
#include "plat_lock.h"
#include "plat_record.h"

#define SWEEP_BATCH 64      // leftovers taken in one look at the folder
#define SWEEP_PATH_MAX 4096 // a registry key's folder may be long
#define SEEN_MAX 1024       // names like ours looked at and left in one run's folder
#define SPARED_MAX 4096     // names the records of one folder hold

typedef char kc_name[KC_TMP_NAME_LEN + 1];

// folder + name into out (KC_PATH_MAX bytes): 1, or 0 when it does not fit.
static int in_folder(char *out, const char *folder, const char *name) {
  return kc_format(out, KC_PATH_MAX, "%s%s", folder, name);
}

static void note(kc_recover_report *report, const char *path, int why) {
  if (!report) return;
  if (report->nfound < KC_FOUND_MAX) {
    kc_copy(report->found[report->nfound].path, KC_PATH_MAX, path);
    report->found[report->nfound].why = why;
  }
  report->nfound++;
}

// 1 when name is among the first n of names.
static int listed(const kc_name *names, size_t n, const char *name) {
  for (size_t i = 0; i < n; ++i)
    if (strcmp(names[i], name) == 0) return 1;
  return 0;
}

// Why the file info tells of is not one of ours to obey or remove: 0 when
// it is (a regular file, this account's or the administrators', with one
// name, writable by no one else).
static int why_not_ours(const os_fileinfo *fi) {
  if (fi->kind != OS_KIND_FILE) return KC_FOUND_NOT_FILE;
  if (!fi->ours) return KC_FOUND_FOREIGN;
  if (fi->shared) return KC_FOUND_SHARED;
  return fi->links != 1 ? KC_FOUND_LINKED : 0;
}

/* ---- Records ---- */

static kc_record gFound; // the record being recovered
static kc_name gSeen[SEEN_MAX];
static size_t gSeenCount;

// The folder of scope that is the same as folder: its index, or -1.
static int scope_index(const char *folder, const kc_recover_scope *scope) {
  for (size_t i = 0; i < scope->nfolders; ++i)
    if (strcmp(folder, scope->folders[i]) == 0 || os_same_file(folder, scope->folders[i])) return (int)i;
  return -1;
}

// 1 when dest is a name scope lets a record name in folder (every folder
// of scope that is that folder counts: the host and data folders may be
// one).
static int may_name(const kc_recover_scope *scope, const char *folder, const char *dest) {
  for (size_t g = 0; g < scope->nfolders; ++g) {
    if (strcmp(folder, scope->folders[g]) != 0 && !os_same_file(folder, scope->folders[g])) continue;
    for (size_t k = 0; k < scope->nnames[g]; ++k)
      if (strcmp(dest, scope->names[g][k]) == 0) return 1;
  }
  return 0;
}

// Gives each folder of rec the folder of scope it stands for, as scope
// spells it: the copy's own folder is dir; another is where its copy is
// found, or the folder of scope its path names. 0; or KC_RECOVER_FOREIGN
// (report->folder the one missing); or -1 when the record does not list
// itself or maps two folders to one.
static int map_folders(kc_record *rec, const char *dir, const char *own_name, const kc_recover_scope *scope,
                       kc_recover_report *report) {
  char path[KC_PATH_MAX];
  int taken[KC_SCOPE_FOLDERS] = {0}, own = -1;
  for (size_t i = 0; i < rec->nfolders; ++i)
    if (strcmp(rec->names[i], own_name) == 0) own = (int)i;
  int g = scope_index(dir, scope);
  if (own < 0 || g < 0) return -1;
  char mapped[KC_RECORD_FOLDERS][KC_PATH_MAX];
  kc_copy(mapped[own], KC_PATH_MAX, scope->folders[g]);
  taken[g] = 1;
  for (size_t i = 0; i < rec->nfolders; ++i) {
    if ((int)i == own) continue;
    int at = -1;
    // A folder moved, or named otherwise since: its copy tells which.
    for (size_t k = 0; k < scope->nfolders && at < 0; ++k)
      if (!taken[k] && in_folder(path, scope->folders[k], rec->names[i]) && os_name_kind(path) == OS_KIND_FILE)
        at = (int)k;
    if (at < 0) at = scope_index(rec->folders[i], scope);
    if (at < 0) {
      kc_copy(report->folder, KC_PATH_MAX, rec->folders[i]);
      return KC_RECOVER_FOREIGN;
    }
    if (taken[at]) return -1;
    taken[at] = 1;
    kc_copy(mapped[i], KC_PATH_MAX, scope->folders[at]);
  }
  for (size_t i = 0; i < rec->nfolders; ++i) memcpy(rec->folders[i], mapped[i], KC_PATH_MAX);
  return 0;
}

// Locks the other copies of rec (a copy gone is no reason to drop the
// set: it is recovered from this one); one that is not ours is let be.
// 0, or KC_RECOVER_BUSY.
static int lock_copies(kc_record *rec, size_t own) {
  char copy[KC_PATH_MAX];
  for (size_t i = 0; i < rec->nfolders; ++i) {
    os_fileinfo fi;
    if (i == own || !in_folder(copy, rec->folders[i], rec->names[i])) continue;
    if (os_name_info(copy, &fi) != 0 || fi.kind != OS_KIND_FILE) continue;
    int e = kc_open_locked(copy, OS_LOCK_UPDATE, &rec->fds[i]);
    if (e == EBUSY) return KC_RECOVER_BUSY;
    if (e == 0 && (os_fd_info(rec->fds[i], &fi) != 0 || why_not_ours(&fi) != 0)) {
      (void)os_close(rec->fds[i]);
      rec->fds[i] = OS_BADFD;
    }
  }
  return KC_RECOVER_OK;
}

// 1 when a record cut short names no file whose new file has gone from its
// staged name: then no rename can have followed it, and it never was
// whole. A record cut later (a disk's fault) is damaged.
static int cut_before_any_change(const kc_record *rec) {
  char staged[KC_PATH_MAX];
  for (size_t i = 0; i < rec->count; ++i)
    if (!in_folder(staged, rec->folders[rec->files[i].folder], rec->files[i].staged) ||
        os_name_kind(staged) != OS_KIND_FILE)
      return 0;
  return 1;
}

// Looks at the record path, named like ours in folder dir, found unlocked:
// recovers it when it is one of ours, else notes it. KC_RECOVER_OK also
// when it was left, or damaged (*damaged set: decided once every other
// copy has been looked at).
static int recover_found(const char *dir, const char *path, const kc_recover_scope *scope, kc_recover_report *report,
                         int *damaged) {
  kc_record *rec = &gFound;
  os_fileinfo before, now;
  os_fd fd;
  *damaged = 0;
  // Its kind first: nothing is opened that could wait, or through a link.
  int e = os_name_info(path, &before);
  if (e == ENOENT) return KC_RECOVER_OK; // recovered meanwhile
  // (Who else may write it is asked of the file opened: where the file
  // system keeps no modes, only the open file can tell.)
  int why = e ? KC_FOUND_NOT_FILE : why_not_ours(&before);
  if (why && why != KC_FOUND_SHARED) {
    note(report, path, why);
    return KC_RECOVER_OK;
  }
  e = kc_open_locked(path, OS_LOCK_UPDATE, &fd);
  if (e == ENOENT) return KC_RECOVER_OK;
  if (e) return e == EBUSY ? KC_RECOVER_BUSY : KC_RECOVER_FAILED;
  // The file opened is the one looked at.
  if (os_fd_info(fd, &now) != 0 || now.volume != before.volume || now.index != before.index) {
    (void)os_close(fd);
    return KC_RECOVER_BUSY;
  }
  if ((why = why_not_ours(&now)) != 0) {
    (void)os_close(fd);
    note(report, path, why);
    return KC_RECOVER_OK;
  }
  int loaded = kc_record_load(fd, rec);
  if (loaded == KC_RECORD_CUT && cut_before_any_change(rec)) {
    // Cut short before it was flushed: nothing can have changed after it.
    (void)os_fd_delete(fd, path);
    return KC_RECOVER_OK;
  }
  if (loaded == KC_RECORD_STRANGE) {
    (void)os_close(fd);
    note(report, path, KC_FOUND_DAMAGED);
    return KC_RECOVER_OK;
  }
  if (loaded != KC_RECORD_WHOLE) {
    (void)os_close(fd);
    *damaged = 1;
    return KC_RECOVER_OK;
  }
  int r = map_folders(rec, dir, os_base_name(path), scope, report);
  for (size_t i = 0; r == 0 && i < rec->count; ++i)
    if (!may_name(scope, rec->folders[rec->files[i].folder], rec->files[i].dest)) r = -1;
  if (r != 0) {
    (void)os_close(fd);
    if (r < 0) note(report, path, KC_FOUND_NAMES);
    return r < 0 ? KC_RECOVER_OK : r;
  }
  size_t own = 0;
  while (strcmp(rec->names[own], os_base_name(path)) != 0) ++own;
  rec->fds[own] = fd;
  r = lock_copies(rec, own);
  unsigned char left[KC_STAGE_MAX];
  if (r == KC_RECOVER_OK && kc_record_recover(rec, KC_RECORD_FOUND, left) != 0) {
    r = KC_RECOVER_FAILED;
    for (size_t i = 0; i < rec->count && report->count < KC_STAGE_MAX; ++i)
      if (left[i]) (void)in_folder(report->left[report->count++], rec->folders[rec->files[i].folder], rec->files[i].dest);
  }
  kc_record_release(rec);
  return r;
}

// The next name like a record's in dir not yet seen, into name: 1, or 0
// when there is none.
static int next_record(const char *dir, char *name) {
  char search[SWEEP_PATH_MAX], entry[KC_PATH_MAX];
  if (!kc_format(search, sizeof search, "%s" KC_RECORD_PREFIX "*", dir)) return 0;
  os_find_t h = os_find_first(search, entry);
  if (h == OS_FIND_NONE) return 0;
  int found = 0;
  do {
    found = kc_record_is_ours(entry) && !listed(gSeen, gSeenCount, entry);
  } while (!found && os_find_next(h, entry) == 0);
  os_find_close(h);
  if (found) kc_copy(name, KC_TMP_NAME_LEN + 1, entry);
  return found;
}

int kc_recover(const kc_recover_scope *scope, kc_recover_report *report) {
  char name[KC_PATH_MAX], path[KC_PATH_MAX], damaged[KC_PATH_MAX];
  memset(report, 0, sizeof *report);
  damaged[0] = '\0';
  gSeenCount = 0;
  // Every record, however many: each is looked at once, and recovering
  // one changes the folder, so the folder is looked at again each time.
  for (size_t d = 0; d < scope->nfolders; ++d) {
    const char *dir = scope->folders[d];
    if (d > 0 && scope_index(dir, scope) < (int)d) continue; // the same folder twice
    gSeenCount = 0;
    while (gSeenCount < SEEN_MAX && next_record(dir, name)) {
      kc_copy(gSeen[gSeenCount++], sizeof gSeen[0], name);
      if (!in_folder(path, dir, name)) continue;
      int is_damaged;
      int r = recover_found(dir, path, scope, report, &is_damaged);
      if (r != KC_RECOVER_OK) {
        kc_copy(report->record, sizeof report->record, path);
        return r;
      }
      if (is_damaged && !damaged[0]) kc_copy(damaged, sizeof damaged, path);
    }
  }
  // A copy that cannot be read whole and that no whole copy took away with
  // its set: what its set is cannot be told, so nothing is touched.
  if (damaged[0] && os_name_kind(damaged) != OS_KIND_NONE) {
    kc_copy(report->record, sizeof report->record, damaged);
    return KC_RECOVER_DAMAGED;
  }
  return KC_RECOVER_OK;
}

/* ---- Leftovers ---- */

// The names the record at path holds (staged and backups), added to
// spared: 1, or 0 when spared is full. A record that cannot be read holds
// nothing known; one of another account's is read all the same, so that
// nothing it names goes.
static int add_spared(const char *path, kc_name *spared, size_t *n) {
  static kc_record rec; // the sweep's own: a record is too large for the stack
  os_fileinfo fi;
  os_fd fd;
  if (os_name_info(path, &fi) != 0 || fi.kind != OS_KIND_FILE || os_open_read(path, &fd) != 0) return 1;
  int ok = 1;
  int loaded = kc_record_load(fd, &rec);
  if (loaded == KC_RECORD_WHOLE || loaded == KC_RECORD_CUT) {
    for (size_t i = 0; i < rec.count && ok; ++i) {
      ok = *n + 2 <= SPARED_MAX;
      if (!ok) break;
      memcpy(spared[(*n)++], rec.files[i].staged, sizeof spared[0]);
      if (kc_tmp_is_ours(rec.files[i].backup)) memcpy(spared[(*n)++], rec.files[i].backup, sizeof spared[0]);
    }
  }
  (void)os_close(fd);
  return ok;
}

void kc_tmp_sweep(const char *dir, kc_recover_report *report) {
  static kc_name spared[SPARED_MAX], skipped[SEEN_MAX];
  char search[SWEEP_PATH_MAX], name[KC_PATH_MAX], path[SWEEP_PATH_MAX];
  kc_name batch[SWEEP_BATCH];
  size_t nspared = 0, nskipped = 0;
  if (!kc_format(search, sizeof search, "%s" KC_TMP_PREFIX "*", dir)) return;
  // Names a record still holds stay: the record is recovered first, by
  // the run that finds it (its writer's, or the next one's). When they
  // are too many to keep count of, nothing goes.
  os_find_t h = os_find_first(search, name);
  if (h == OS_FIND_NONE) return;
  int full = 0;
  do {
    if (kc_record_is_ours(name) && kc_format(path, sizeof path, "%s%s", dir, name))
      full |= !add_spared(path, spared, &nspared);
  } while (os_find_next(h, name) == 0);
  os_find_close(h);
  if (full) return;
  // Batch by batch, until a look at the folder finds nothing more to take.
  for (;;) {
    size_t n = 0;
    if ((h = os_find_first(search, name)) == OS_FIND_NONE) return;
    do {
      if (kc_tmp_is_ours(name) && !listed(spared, nspared, name) && !listed(skipped, nskipped, name) &&
          !listed(batch, n, name))
        memcpy(batch[n++], name, sizeof batch[0]);
    } while (n < SWEEP_BATCH && os_find_next(h, name) == 0);
    os_find_close(h);
    if (n == 0) return;
    for (size_t i = 0; i < n; ++i) {
      if (!kc_format(path, sizeof path, "%s%s", dir, batch[i])) continue;
      // A file that is locked stays: its writer is still at work. A link
      // of ours goes as a name; another account's file or link stays.
      int e = kc_tmp_remove_unlocked(path);
      if (e == 0 || e == ENOENT) continue;
      if (e == EPERM) note(report, path, KC_FOUND_FOREIGN);
      if (nskipped < SEEN_MAX) memcpy(skipped[nskipped++], batch[i], sizeof skipped[0]);
      else return;
    }
  }
}

void kc_tmp_sweep_beside(const char *path) {
  char dir[SWEEP_PATH_MAX];
  if (kc_folder_of(path, dir, sizeof dir)) kc_tmp_sweep(dir, NULL);
}

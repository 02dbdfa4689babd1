// What runs cut short left in a folder, found and dealt with before
// anything else there: each record no process holds is recovered (the
// set all as it was or all new, plat_record.h), then every other file of
// ours that no process holds and no record names is removed.
#include <errno.h>
#include <string.h>

#include "os.h"
#include "plat_int.h"
#include "plat_lock.h"
#include "plat_record.h"

#define SWEEP_MAX 64            // leftovers removed in one sweep; the next sweep takes the rest
#define SWEEP_PATH_MAX 4096     // a registry key's folder may be long

// folder + name into out (KC_PATH_MAX bytes): 1, or 0 when it does not fit.
static int in_folder(char *out, const char *folder, const char *name) {
  return kc_format(out, KC_PATH_MAX, "%s%s", folder, name);
}

static kc_record gFound;

// The folder of given that is the same as folder: its index, or -1.
static int given_index(const char *folder, const char *const given[], size_t ngiven) {
  for (size_t i = 0; i < ngiven; ++i)
    if (strcmp(folder, given[i]) == 0 || os_same_file(folder, given[i])) return (int)i;
  return -1;
}

// Recovers the record path (its copy in folder index own) found unlocked.
static int recover_found(const char *path, const char *const given[], size_t ngiven, kc_recover_report *report) {
  kc_record *rec = &gFound;
  os_fd fd;
  int e = os_open_locked(path, OS_LOCK_UPDATE, &fd);
  if (e == ENOENT) return KC_RECOVER_OK; // recovered meanwhile
  if (e) return e == EACCES ? KC_RECOVER_BUSY : KC_RECOVER_FAILED;
  if (!kc_record_load(fd, rec)) {
    // Cut short before it was flushed: nothing can have changed after it.
    (void)os_fd_delete(fd, path);
    return KC_RECOVER_OK;
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
      return KC_RECOVER_FOREIGN;
    }
    kc_copy(folder, sizeof folder, given[g]);
    (void)in_folder(mine, folder, rec->names[i]);
    if (strcmp(mine, path) == 0 || os_same_name(mine, path)) own = i;
    memcpy(rec->folders[i], folder, sizeof folder);
  }
  if (own == rec->nfolders) {
    (void)os_close(fd);
    return KC_RECOVER_FOREIGN;
  }
  // Every copy locked: no other run recovers it meanwhile. A copy already
  // gone means the recovery that removed it had finished every step.
  rec->fds[own] = fd;
  int r = KC_RECOVER_OK, gone = 0;
  for (size_t i = 0; r == KC_RECOVER_OK && i < rec->nfolders; ++i) {
    char copy[KC_PATH_MAX];
    if (i == own || !in_folder(copy, rec->folders[i], rec->names[i])) continue;
    e = os_open_locked(copy, OS_LOCK_UPDATE, &rec->fds[i]);
    if (e == ENOENT) gone = 1;
    else if (e) r = e == EACCES ? KC_RECOVER_BUSY : KC_RECOVER_FAILED;
  }
  if (r == KC_RECOVER_OK && gone) {
    kc_record_discard(rec);
    return KC_RECOVER_OK;
  }
  unsigned char left[KC_STAGE_MAX];
  if (r == KC_RECOVER_OK && kc_record_recover(rec, KC_RECORD_FOUND, left) != 0) {
    r = KC_RECOVER_FAILED;
    for (size_t i = 0; i < rec->count && report->count < KC_STAGE_MAX; ++i)
      if (left[i]) (void)in_folder(report->left[report->count++], rec->folders[rec->files[i].folder], rec->files[i].dest);
  }
  kc_record_release(rec);
  return r;
}

int kc_recover(const char *dir, const char *const given[], size_t ngiven, kc_recover_report *report) {
  char search[KC_PATH_MAX], name[KC_PATH_MAX], path[KC_PATH_MAX];
  report->count = 0;
  report->record[0] = '\0';
  if (!kc_format(search, sizeof search, "%s" KC_RECORD_PREFIX "*", dir)) return KC_RECOVER_OK;
  // The records first, then each recovered: recovery changes the folder.
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
    int r = recover_found(path, given, ngiven, report);
    if (r != KC_RECOVER_OK) {
      kc_copy(report->record, sizeof report->record, path);
      return r;
    }
  }
  return KC_RECOVER_OK;
}

// The our names the record at path holds (staged and backups, up to
// max), which no sweep may remove: their count.
static size_t record_protects(const char *path, char names[][KC_TMP_NAME_LEN + 1], size_t max) {
  static kc_record rec; // the sweep's own: a record is too large for the stack
  os_fd fd;
  size_t n = 0;
  if (os_open_read(path, &fd) != 0) return 0;
  if (kc_record_load(fd, &rec)) {
    for (size_t i = 0; i < rec.count && n + 2 <= max; ++i) {
      memcpy(names[n++], rec.files[i].staged, KC_TMP_NAME_LEN + 1);
      if (kc_tmp_is_ours(rec.files[i].backup)) memcpy(names[n++], rec.files[i].backup, KC_TMP_NAME_LEN + 1);
    }
  }
  (void)os_close(fd);
  return n;
}

void kc_tmp_sweep(const char *dir) {
  char search[SWEEP_PATH_MAX], name[KC_PATH_MAX], path[SWEEP_PATH_MAX];
  // Names a record still holds stay: the record is recovered first, by
  // the run that finds it (its writer's, or the next one's).
  char spared[KC_RECORD_FOLDERS * 2 * KC_STAGE_MAX][KC_TMP_NAME_LEN + 1], found[SWEEP_MAX][KC_TMP_NAME_LEN + 1];
  size_t nspared = 0, nfound = 0;
  if (!kc_format(search, sizeof search, "%s" KC_TMP_PREFIX "*", dir)) return;
  os_find_t h = os_find_first(search, name);
  if (h == OS_FIND_NONE) return;
  do {
    if (kc_record_is_ours(name) && kc_format(path, sizeof path, "%s%s", dir, name))
      nspared += record_protects(path, spared + nspared, sizeof spared / sizeof spared[0] - nspared);
    else if (kc_tmp_is_ours(name) && nfound < SWEEP_MAX)
      memcpy(found[nfound++], name, sizeof found[0]);
  } while (os_find_next(h, name) == 0);
  os_find_close(h);
  for (size_t i = 0; i < nfound; ++i) {
    size_t k = 0;
    while (k < nspared && strcmp(spared[k], found[i]) != 0) ++k;
    if (k < nspared || !kc_format(path, sizeof path, "%s%s", dir, found[i])) continue;
    // A file that is locked stays: its writer is still at work. A link of
    // ours goes as a name.
    (void)kc_tmp_remove_unlocked(path);
  }
}

void kc_tmp_sweep_beside(const char *path) {
  char dir[SWEEP_PATH_MAX];
  if (kc_folder_of(path, dir, sizeof dir)) kc_tmp_sweep(dir);
}

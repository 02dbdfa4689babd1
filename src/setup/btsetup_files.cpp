// Copying and removing the package's 21 files.
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "btsetup.h"
#include "kcsys.h"

static int32_t copy_error(char *err, const char *what, const char *path, const char *why) {
  // Cut to fit err: the message is for the administrator's eyes only.
  if (err) snprintf(err, BT_ERR_TEXT_MAX, "%s %s: %s", what, path, why);
  return (int32_t)BT_ERR_COPY;
}

// The message of a step that failed, about the file it concerned.
static int32_t step_error(char *err, int step, int e, const char *srcfile, const char *destfile) {
  switch (step) {
    case KC_COPY_OPEN_SOURCE:
      return copy_error(err, "Error opening source file", srcfile, strerror(e));
    case KC_COPY_SAME_FILE:
      return copy_error(err, "Error creating file", destfile, "it is the source file itself");
    case KC_COPY_CREATE:
      return copy_error(err, "Error creating file", destfile, strerror(e));
    case KC_COPY_READ:
      return copy_error(err, "Error reading file", srcfile, strerror(e));
    default:
      return copy_error(err, "Error writing file", destfile, strerror(e));
  }
}

int32_t copyfile(const char *srcfile, const char *destfile, char *err) {
  int e = 0;
  int step = kc_copy_file(srcfile, destfile, &e);
  return step == KC_COPY_DONE ? 0 : step_error(err, step, e, srcfile, destfile);
}

static int join(char *out, const char *dir, const char *name) {
  return kc_format(out, BT_PATH_MAX, "%s%s", dir, name);
}

int bt_file_fits(const char *dir, const char *name) {
  size_t n = strlen(name);
  return strlen(dir) + (n > KC_TMP_NAME_LEN ? n : KC_TMP_NAME_LEN) < BT_PATH_MAX;
}

int bt_dir_fits(const char *dir, int data) {
  const BTFileNameStrings *rows = data ? PTFPSF_Files : Files;
  size_t count = data ? BT_DATA_FILES_COUNT : BT_FILES_COUNT;
  for (size_t i = 0; i < count; ++i)
    if (!bt_file_fits(dir, rows[i].dest)) return 0;
  return 1;
}

// One row, staged beside its destination: the source under the
// destination's name first, so that a distribution's own nzeptrmv.exe wins
// over nzeptins.exe. A row whose destination is its source (the
// distribution is the host folder itself, however spelt) has nothing to
// copy; the others are still copied, the remover and the data files among
// them.
static int32_t install_row(const BTFileNameStrings *row, const char *to_dir, kc_stage *stage, char *err) {
  char src[BT_PATH_MAX], dest[BT_PATH_MAX];
  printf("* ");
  fflush(stdout); // the mark shows while a large file is copied
  if (!join(src, gInstDir, row->dest))
    return copy_error(err, "Error opening source file", row->dest, strerror(ENAMETOOLONG));
  if (!KCFileExist(src) && !join(src, gInstDir, row->src))
    return copy_error(err, "Error opening source file", row->src, strerror(ENAMETOOLONG));
  if (!join(dest, to_dir, row->dest))
    return copy_error(err, "Error creating file", row->dest, strerror(ENAMETOOLONG));
  int e = 0;
  int step = kc_stage_file(stage, src, dest, &e);
  // The remover in use: only a run of the remover uses that program, and
  // that is another install or removal of this host.
  if (step == KC_COPY_CREATE && e == EBUSY && strcmp(row->dest, BT_REMOVER) == 0) {
    (void)step_error(err, step, e, src, dest);
    return (int32_t)BT_ERR_BUSY;
  }
  return step == KC_COPY_DONE || step == KC_COPY_SAME_FILE ? 0 : step_error(err, step, e, src, dest);
}

static uint32_t left(const char *path, int e) {
  bt_left_add(path, strerror(e));
  return BT_ERR_REMOVE;
}

// The staged set: each file a few hundred bytes of names, too many for
// the stack of a caller that is not ours.
static kc_stage gStage;

KCAPI uint32_t BTInstallProgramFiles(char *zept_dir, const char *data_dir) {
  char destdir[BT_PATH_MAX];
  char err[BT_ERR_TEXT_MAX];
  int32_t status = 0;
  err[0] = '\0';

  if (!kc_copy(destdir, sizeof destdir, zept_dir)) return BT_ERR_COPY;
  size_t len = strlen(destdir);
  if (len > 0 && destdir[len - 1] == KC_DIRSEP) destdir[len - 1] = '\0';
  if (kc_access(destdir, KC_ACCESS_EXISTS) == EACCES) return BT_ERR_COPY;

  if (!dirsep_term(zept_dir)) status = copy_error(err, "Error creating file", zept_dir, strerror(ENAMETOOLONG));

  // What killed runs left goes first: a set cut short is recovered, then
  // leftovers go; files another run still holds stay.
  bt_left_clear();
  if (status == 0) status = (int32_t)bt_recover_host(zept_dir, data_dir, err);
  // Every file is made ready beside its destination first; only a whole
  // set goes in place, so a halt leaves every destination as it was.
  kc_stage_init(&gStage);
  for (int numfiles = BT_FILES_COUNT; status == 0 && numfiles > 0;)
    status = install_row(&Files[--numfiles], zept_dir, &gStage, err);
  for (int numfiles = BT_DATA_FILES_COUNT; status == 0 && numfiles > 0;)
    status = install_row(&PTFPSF_Files[--numfiles], data_dir, &gStage, err);
  if (status == 0) {
    int e = 0;
    size_t failed = 0;
    int step = kc_stage_commit(&gStage, &e, &failed);
    if (step == KC_COPY_LEFT) {
      (void)step_error(err, KC_COPY_CREATE, e, "", gStage.what);
      status = BT_ERR_LEFT;
      for (size_t i = 0; i < gStage.count; ++i) {
        const kc_staged *f = &gStage.files[i];
        if (f->left)
          bt_left_add(f->dest, f->earlier == KC_EARLIER_NONE ? "a new file where there was none"
                            : f->lost                     ? "the new file; the link that stood here is gone"
                                                          : "the new file, not the earlier one");
      }
    } else if (step != KC_COPY_DONE) {
      status = step_error(err, step, e, "", gStage.what);
    }
  } else {
    kc_stage_abandon(&gStage);
  }

  if (status != 0) printf("\n%s\n", err);
  printf("\n");
  return (uint32_t)status;
}


static uint32_t remove_row(const BTFileNameStrings *row, const char *from_dir) {
  char target[BT_PATH_MAX];
  printf(" *");
  if (!join(target, from_dir, row->dest)) return left(row->dest, ENAMETOOLONG);
  int e = kc_delete_file(target);
  return e == 0 ? 0 : left(target, e);
}

KCAPI uint32_t BTRemoveProgramFiles(char *zept_dir, const char *data_dir) {
  uint32_t status = 0;
  int dir_ok = dirsep_term(zept_dir);
  bt_left_clear();

  // A set cut short is recovered first, then what killed runs left goes;
  // files another run still holds stay. While a set cannot be recovered,
  // nothing of the package is deleted.
  char err[BT_ERR_TEXT_MAX];
  uint32_t recovered = dir_ok ? bt_recover_host(zept_dir, data_dir, err) : 0;
  if (recovered != 0) {
    for (int i = 0; i < BT_FILES_COUNT + BT_DATA_FILES_COUNT; ++i) printf(" *");
    printf("\n");
    if (recovered == BT_ERR_BUSY) return BT_ERR_BUSY;
    char why[BT_ERR_TEXT_MAX + 32];
    snprintf(why, sizeof why, "%s; no file was removed", err); // cut to fit: for the administrator's eyes only
    bt_left_add("", why);
    return BT_ERR_REMOVE;
  }

  for (int numfiles = BT_FILES_COUNT; numfiles > 0;) {
    const BTFileNameStrings *row = &Files[--numfiles];
    // The command interpreter deletes these two after the remover ends.
    if (gUninst && (strcmp(row->dest, BT_REMOVER) == 0 || strcmp(row->dest, BT_LAST_LIBRARY) == 0)) {
      printf(" *");
      continue;
    }
    if (!dir_ok) {
      printf(" *");
      status = left(row->dest, ENAMETOOLONG);
    } else if (remove_row(row, zept_dir) != 0) {
      status = BT_ERR_REMOVE;
    }
  }
  for (int numfiles = BT_DATA_FILES_COUNT; numfiles > 0;)
    if (remove_row(&PTFPSF_Files[--numfiles], data_dir) != 0) status = BT_ERR_REMOVE;

  // The names gone on the disk too, or the removal is not reported done:
  // a power cut would bring the files back.
  const char *folders[] = {zept_dir, data_dir};
  for (const char *dir : folders) {
    int e = dir_ok ? kc_sync_folder(dir) : 0;
    if (e) status = left(dir, e);
  }
  printf("\n");
  return status;
}

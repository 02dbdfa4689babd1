// The package's manifest and the copying and removal of its 21 files.
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "btsetup.h"
#include "kcsys.h"
#include "os.h"

const BTFileNameStrings Files[BT_FILES_COUNT] = {
    {"nzept.exe", "nzept.exe"},       {"nzeptins.exe", "nzeptrmv.exe"}, {"nkctest.exe", "nkctest.exe"},
    {"norder.kcx", "norder.kcx"},     {"nedasql.kcx", "nedasql.kcx"},   {"ndb2.kcx", "ndb2.kcx"},
    {"nsybase.kcx", "nsybase.kcx"},   {"nodbc2.kcx", "nodbc2.kcx"},     {"noracle.kcx", "noracle.kcx"},
    {"nfile.kcx", "nfile.kcx"},       {"npagra.kcx", "npagra.kcx"},     {"nzeptext.dll", "nzeptext.dll"},
    {"nqsxkc.dll", "nqsxkc.dll"},     {"nkcapi.dll", "nkcapi.dll"},     {"nkchtapi.dll", "nkchtapi.dll"},
    {"msvcirt.dll", "msvcirt.dll"},   {"msvcrt40.dll", "msvcrt40.dll"}, {"kccmn10.dll", "kccmn10.dll"},
    {"kccsn13.tlb", "kccsn13.tlb"},
};

const BTFileNameStrings PTFPSF_Files[BT_DATA_FILES_COUNT] = {
    {"zeptadm.ptf", "zeptadm.ptf"},
    {"zeptdoc.psf", "zeptdoc.psf"},
};

// Blocks of 256 KiB: under Wine every read and write is a costly call, and
// 16 KiB blocks made an install half again as slow as the system's copy.
#define COPY_BLOCK (256u * 1024u)

static int32_t copy_error(char *err, const char *what, const char *path, int e) {
  if (err) snprintf(err, BT_ERR_TEXT_MAX, "%s %s: %s", what, path, strerror(e));
  return (int32_t)BT_ERR_COPY;
}

// A failed copy leaves no partial destination behind.
static int32_t abandon_copy(os_fd src, os_fd dst, const char *destfile, char *err, const char *what,
                            const char *path, int e) {
  (void)os_close(dst);
  (void)os_remove(destfile);
  (void)os_close(src);
  return copy_error(err, what, path, e);
}

int32_t copyfile(const char *srcfile, const char *destfile, char *err) {
  static char buf[COPY_BLOCK];
  os_fd src, dst;
  os_filestat st;
  int e;

  if ((e = os_open_read(srcfile, &src)) != 0) return copy_error(err, "Error opening source file", srcfile, e);
  if ((e = os_fstat(src, &st)) != 0) {
    (void)os_close(src);
    return copy_error(err, "Error opening source file", srcfile, e);
  }
  // The destination may be the source under another name (another
  // spelling of the folder, a link): creating it would truncate the source.
  if (os_same_file(srcfile, destfile)) {
    (void)os_close(src);
    if (err) snprintf(err, BT_ERR_TEXT_MAX, "Error creating file %s: %s", destfile, "it is the source file itself");
    return (int32_t)BT_ERR_COPY;
  }
  if ((e = os_create_trunc(destfile, &dst)) != 0) {
    (void)os_close(src);
    return copy_error(err, "Error creating file", destfile, e);
  }

  for (;;) {
    long got = os_read(src, buf, sizeof buf, &e);
    if (got == 0) break;
    if (got < 0) return abandon_copy(src, dst, destfile, err, "Error reading file", srcfile, e);
    long done = 0;
    while (done < got) {
      long put = os_write(dst, buf + done, (size_t)(got - done), &e);
      if (put <= 0) {
        if (put == 0) e = ENOSPC; // no progress: the disk takes no more
        return abandon_copy(src, dst, destfile, err, "Error writing file", destfile, e);
      }
      done += put;
    }
  }

  (void)os_close(src);
  if ((e = os_close(dst)) != 0) {
    (void)os_remove(destfile);
    return copy_error(err, "Error writing file", destfile, e);
  }
  // Times after the close, which would change them; then the permission,
  // never read-only.
  (void)os_set_times(destfile, st.atime, st.mtime);
  (void)os_chmod(destfile, (st.mode & 07777) | 0222);
  return 0;
}

// dir (a BT_PATH_MAX buffer) with a trailing separator; 0 when no room.
static int terminate_dir(char *dir) {
  size_t len = strlen(dir);
  if (len > 0 && dir[len - 1] != OS_DIRSEP && len + 1 >= BT_PATH_MAX) return 0;
  dirsep_term(dir);
  return 1;
}

static int join(char *out, const char *dir, const char *name) {
  int n = snprintf(out, BT_PATH_MAX, "%s%s", dir, name);
  return n > 0 && n < BT_PATH_MAX;
}

static int same_text(const char *a, const char *b) {
  if (!OS_NAMES_FOLD_CASE) return strcmp(a, b) == 0;
  for (; *a && *b; ++a, ++b) {
    char x = (*a >= 'A' && *a <= 'Z') ? (char)(*a + 32) : *a;
    char y = (*b >= 'A' && *b <= 'Z') ? (char)(*b + 32) : *b;
    if (x != y) return 0;
  }
  return *a == *b;
}

// One row: the source under the destination's name first, so that a
// distribution's own nzeptrmv.exe wins over nzeptins.exe.
static int32_t install_row(const BTFileNameStrings *row, const char *to_dir, char *err) {
  char src[BT_PATH_MAX], dest[BT_PATH_MAX];
  printf("* ");
  if (!join(src, gInstDir, row->dest))
    return copy_error(err, "Error opening source file", row->dest, ENAMETOOLONG);
  if (!KCFileExist(src) && !join(src, gInstDir, row->src))
    return copy_error(err, "Error opening source file", row->src, ENAMETOOLONG);
  if (!join(dest, to_dir, row->dest)) return copy_error(err, "Error creating file", row->dest, ENAMETOOLONG);
  return copyfile(src, dest, err);
}

KCAPI uint32_t BTInstallProgramFiles(char *zept_dir, const char *data_dir) {
  char destdir[BT_PATH_MAX];
  char err[BT_ERR_TEXT_MAX];
  int32_t status = 0;
  err[0] = '\0';

  if (!kc_copy(destdir, sizeof destdir, zept_dir)) return BT_ERR_COPY;
  size_t len = strlen(destdir);
  if (len > 0 && destdir[len - 1] == OS_DIRSEP) destdir[len - 1] = '\0';
  if (os_access(destdir, OS_F_OK) == EACCES) return BT_ERR_COPY;

  if (!terminate_dir(zept_dir)) {
    status = copy_error(err, "Error creating file", zept_dir, ENAMETOOLONG);
  } else if (same_text(zept_dir, gInstDir)) {
    return 0; // the package is already where it would go
  }

  for (int numfiles = BT_FILES_COUNT; status == 0 && numfiles > 0;)
    status = install_row(&Files[--numfiles], zept_dir, err);
  for (int numfiles = BT_DATA_FILES_COUNT; status == 0 && numfiles > 0;)
    status = install_row(&PTFPSF_Files[--numfiles], data_dir, err);

  if (status != 0) printf("\n%s\n", err);
  printf("\n");
  return (uint32_t)status;
}

static uint32_t remove_row(const BTFileNameStrings *row, const char *from_dir) {
  char target[BT_PATH_MAX];
  printf(" *");
  if (!join(target, from_dir, row->dest)) return BT_ERR_REMOVE;
  return os_remove(target) == 0 ? 0 : BT_ERR_REMOVE;
}

KCAPI uint32_t BTRemoveProgramFiles(char *zept_dir, const char *data_dir) {
  uint32_t status = 0;
  int dir_ok = terminate_dir(zept_dir);

  for (int numfiles = BT_FILES_COUNT; numfiles > 0;) {
    const BTFileNameStrings *row = &Files[--numfiles];
    // The command interpreter deletes these two after the remover ends.
    if (gUninst && (strcmp(row->dest, BT_REMOVER) == 0 || strcmp(row->dest, BT_LAST_LIBRARY) == 0)) {
      printf(" *");
      continue;
    }
    if (!dir_ok) {
      printf(" *");
      status = BT_ERR_REMOVE;
    } else if (remove_row(row, zept_dir) != 0) {
      status = BT_ERR_REMOVE;
    }
  }
  for (int numfiles = BT_DATA_FILES_COUNT; numfiles > 0;)
    if (remove_row(&PTFPSF_Files[--numfiles], data_dir) != 0) status = BT_ERR_REMOVE;

  printf("\n");
  return status;
}

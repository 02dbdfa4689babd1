// Start-up and host discovery: the installer's folder and mode from the
// program's name, and the proposals for the host's folders.
#include <stdio.h>
#include <string.h>

#include "btsetup.h"
#include "kcsys.h"

char gInstDir[BT_PATH_MAX];
uint32_t gUninst;

int dirsep_term(char *dir) { return kc_dirsep_term(dir, BT_PATH_MAX); }

uint32_t GetInstDir(char *inst_dir, const char *setup_path) {
  char setup_directory[BT_PATH_MAX];
  if (!kc_copy(setup_directory, sizeof setup_directory, setup_path)) return BT_ERR_INIT;
  char *sep = strrchr(setup_directory, KC_DIRSEP);
  if (!sep) {
    // A bare name started through the search path does not tell the
    // folder: the running program's own does.
    if (kc_self_dir(inst_dir) || kc_cwd_dir(inst_dir, BT_PATH_MAX)) return 0;
    return BT_ERR_INIT;
  }
  sep[1] = '\0'; // c:\pkg\nzeptins.exe gives c:\pkg\ .
  return kc_dir_entered(setup_directory, inst_dir, BT_PATH_MAX) == KC_ENTER_OK ? 0 : BT_ERR_INIT;
}

KCAPI uint32_t BTInit(char **argv, char *delvan_dir, uint32_t *uninst) {
  char setupname[BT_PATH_MAX];
  char started[BT_PATH_MAX];
  char dir[BT_PATH_MAX];
  uint32_t status;
  const char *name = argv[0] ? argv[0] : "";

  kc_process_start();

  // Where names are case-sensitive, the folder comes from the name as
  // started; the lower-cased copy serves only the two name tests.
  int fits = kc_copy(started, sizeof started, name);
  if (argv[0]) kc_lower(argv[0]);
  fits = fits && kc_copy(setupname, sizeof setupname, name);
  if (fits && !strstr(setupname, ".exe")) fits = kc_append(setupname, sizeof setupname, ".exe");

  status = fits ? GetInstDir(gInstDir, KC_NAMES_FOLD_CASE ? setupname : started) : BT_ERR_INIT;
  if (status != 0) {
    printf("Initialization error:  Be sure you have full access\n");
    printf("to the directory you are installing or removing ZEPT from.\n\n");
    return status;
  }

  if (strstr(setupname, BT_REMOVER)) {
    // The host program folder is the one that holds the remover.
    strcpy(delvan_dir, gInstDir);
    *uninst = 1;
    gUninst = 1;
  } else if (KCFindPath("PATH", dir, "pagra.exe", 0)) {
    strcpy(delvan_dir, dir);
  }
  return status;
}

KCAPI uint32_t BTIsZeptInstalled(const char *ini_path) {
  char val[BT_PATH_MAX];
  if (kc_ini_read_value(BT_SECTION, BT_SERVERTASKS, val, sizeof val, ini_path) != 0) return 0;
  return bt_list_find(val, BT_TASK_ITEM, NULL, NULL) ? 1 : 0;
}

// 1 when dir + name names a file the administrator can read (the test
// KCFindPath makes in each folder of its list).
static int found_in(const char *dir, const char *name) {
  char path[BT_PATH_MAX];
  return kc_format(path, sizeof path, "%s%s", dir, name) && kc_access(path, KC_ACCESS_READ) == 0;
}

KCAPI uint32_t BTGetDelvanIniFileDir(const char *ini_file, const char *delvan_dir, char *ini_dir) {
  char dir[BT_PATH_MAX];

  if (KCFindPath("PATH", dir, ini_file, 0)) {
    strcpy(ini_dir, dir);
    return 0;
  }
  if (!delvan_dir[0]) return 0;

  if (kc_copy(dir, sizeof dir, delvan_dir) && dirsep_term(dir) && found_in(dir, ini_file)) {
    strcpy(ini_dir, dir);
    return 0;
  }
  // "data" goes straight after the program folder, which ends in a separator.
  if (kc_format(dir, sizeof dir, "%sdata", delvan_dir) && dirsep_term(dir) && found_in(dir, ini_file))
    strcpy(ini_dir, dir);
  return 0;
}

KCAPI uint32_t BTGetDelvanDataDir(const char *ini_path, char *data_dir) {
  char val[BT_PATH_MAX];
  memset(val, 0, sizeof val);
  // One byte is kept free for the separator. A value too long for the
  // buffer counts as missing, as KCINIGetString reports it.
  uint32_t status = kc_ini_read_value(BT_SECTION, "Directory", val, sizeof val - 1, ini_path);
  if (status == KC_ERR_INI_NOT_WHOLE) status = KC_ERR_INI_MISSING;
  if (status == 0) {
    dirsep_term(val);
    strcpy(data_dir, val);
  }
  return status;
}

static char gLockTaken[BT_PATH_MAX];

uint32_t bt_lock_host(const char *zept_dir) {
  int r = kc_lock_host(zept_dir, gLockTaken);
  return r == KC_HOST_LOCKED ? 0 : r == KC_HOST_BUSY ? BT_ERR_BUSY : BT_ERR_LOCK_TAKEN;
}

const char *bt_lock_taken(void) { return gLockTaken; }

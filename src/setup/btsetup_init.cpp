// Start-up and host discovery: the installer's folder and mode from the
// program's name, and the proposals for the host's folders.
#include <stdio.h>
#include <string.h>

#include "btsetup.h"
#include "kcsys.h"
#include "os.h"

char gInstDir[BT_PATH_MAX];
uint32_t gUninst;

void dirsep_term(char *dir) {
  size_t len = strlen(dir);
  // An empty string stays empty: there is no last character to judge.
  if (len == 0 || dir[len - 1] == OS_DIRSEP) return;
  dir[len] = OS_DIRSEP;
  dir[len + 1] = '\0';
}

// dir (BT_PATH_MAX bytes) with a trailing separator, when there is room.
static int dirsep_term_bounded(char *dir) {
  size_t len = strlen(dir);
  if (len > 0 && dir[len - 1] != OS_DIRSEP && len + 1 >= BT_PATH_MAX) return 0;
  dirsep_term(dir);
  return 1;
}

// The current directory with a trailing separator into dir; 0 on failure.
static int current_dir(char *dir) {
  return os_getcwd(dir, BT_PATH_MAX) == 0 && dirsep_term_bounded(dir);
}

// The folder of the running program itself, which a bare name started
// through the search path does not tell.
static uint32_t running_program_dir(char *inst_dir) {
  char self[BT_PATH_MAX];
  if (os_self_path(self, sizeof self) == 0) {
    char *sep = strrchr(self, OS_DIRSEP);
    if (sep) {
      sep[1] = '\0';
      return kc_copy(inst_dir, BT_PATH_MAX, self) ? 0 : BT_ERR_INIT;
    }
  }
  return current_dir(inst_dir) ? 0 : BT_ERR_INIT;
}

uint32_t GetInstDir(char *inst_dir, const char *setup_path) {
  char setup_directory[BT_PATH_MAX];
  char cur_dir[BT_PATH_MAX + 1];
  if (strlen(setup_path) >= sizeof setup_directory) return BT_ERR_INIT;
  strcpy(setup_directory, setup_path);
  char *sep = strrchr(setup_directory, OS_DIRSEP);
  if (!sep) return running_program_dir(inst_dir);
  sep[1] = '\0'; // c:\pkg\nzeptins.exe gives c:\pkg\ .

  if (os_getcwd(cur_dir, BT_PATH_MAX) != 0) return BT_ERR_INIT;
  if (os_chdir(setup_directory) != 0) return BT_ERR_INIT;
  // The absolute form of the folder, as the system names it once entered.
  char entered[BT_PATH_MAX];
  int ok = current_dir(entered);
  (void)os_chdir(cur_dir);
  if (!ok) return BT_ERR_INIT;
  strcpy(inst_dir, entered);
  return 0;
}

KCAPI uint32_t BTInit(char **argv, char *delvan_dir, uint32_t *uninst) {
  char setupname[BT_PATH_MAX];
  char started[BT_PATH_MAX];
  char dir[BT_PATH_MAX];
  uint32_t status;
  const char *name = argv[0] ? argv[0] : "";

  // Where names are case-sensitive, the folder comes from the name as
  // started; the lower-cased copy serves only the two name tests.
  int fits = kc_copy(started, sizeof started, name);
  for (char *p = argv[0]; p && *p; ++p)
    if (*p >= 'A' && *p <= 'Z') *p = (char)(*p - 'A' + 'a');
  fits = fits && kc_copy(setupname, sizeof setupname, name);
  if (fits && !strstr(setupname, ".exe")) fits = kc_append(setupname, sizeof setupname, ".exe");

  status = fits ? GetInstDir(gInstDir, OS_NAMES_FOLD_CASE ? setupname : started) : BT_ERR_INIT;
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
  if (KCINIReadValue(BT_SECTION, BT_SERVERTASKS, val, sizeof val, ini_path) != 0) return 0;
  return bt_list_find(val, BT_TASK_ITEM, NULL, NULL) ? 1 : 0;
}

// 1 when dir + name names a file the administrator can read (the test
// KCFindPath makes in each folder of its list).
static int found_in(const char *dir, const char *name) {
  char path[BT_PATH_MAX];
  int n = snprintf(path, sizeof path, "%s%s", dir, name);
  return n > 0 && (size_t)n < sizeof path && os_access(path, OS_R_OK) == 0;
}

KCAPI uint32_t BTGetDelvanIniFileDir(const char *ini_file, const char *delvan_dir, char *ini_dir) {
  char dir[BT_PATH_MAX];
  char data_dir[BT_PATH_MAX];

  if (KCFindPath("PATH", dir, ini_file, 0)) {
    strcpy(ini_dir, dir);
    return 0;
  }
  if (!delvan_dir[0]) return 0;

  if (kc_copy(dir, sizeof dir, delvan_dir) && dirsep_term_bounded(dir) && found_in(dir, ini_file)) {
    strcpy(ini_dir, dir);
    return 0;
  }

  // "data" goes straight after the program folder, which ends in a separator.
  int n = snprintf(data_dir, sizeof data_dir, "%sdata", delvan_dir);
  if (n > 0 && (size_t)n < sizeof data_dir && dirsep_term_bounded(data_dir) && found_in(data_dir, ini_file))
    strcpy(ini_dir, data_dir);
  return 0;
}

KCAPI uint32_t BTGetDelvanDataDir(const char *ini_path, char *data_dir) {
  char val[BT_PATH_MAX];
  memset(val, 0, sizeof val);
  // One byte is kept free for the separator. A value too long for the
  // buffer counts as missing, as KCINIGetString reports it.
  uint32_t status = KCINIReadValue(BT_SECTION, "Directory", val, sizeof val - 1, ini_path);
  if (status == KC_ERR_INI_TOOLONG) status = KC_ERR_INI_MISSING;
  if (status == 0) {
    dirsep_term(val);
    strcpy(data_dir, val);
  }
  return status;
}

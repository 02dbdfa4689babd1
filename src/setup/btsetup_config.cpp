// Host configuration edits: the registry value that registers the
// scripting extension module, and the package's items in the two list
// settings of pagra.ini (ServerTasks, EXTMGR_ADDINS).
//
// A list item counts only as a whole comma-separated item (blanks around it
// ignored, case counting), so that a neighbour such as XZEPTY or ZEPTX is
// neither taken for the package's item nor damaged by its removal. A list
// that cannot be read whole, or that would grow beyond what a line of the
// file holds, is refused and left as it is: no cut list is ever written.
#include <string.h>

#include "btsetup.h"
#include "kcsys.h"

KCAPI uint32_t BTRegisterQSX(const char *delvan_dir) {
  char value[BT_PATH_MAX];
  if (!delvan_dir || !kc_copy(value, sizeof value, delvan_dir) || !dirsep_term(value) ||
      !kc_append(value, sizeof value, BT_QSX_MODULE))
    return KC_ERR_REG;
  return KCRegistrySetString(BT_REG_SECTION, BT_REG_VALUE, value);
}

KCAPI uint32_t BTUnRegisterQSX(void) { return KCRegistryRemoveString(BT_REG_SECTION, BT_REG_VALUE); }

// Adds item to the list entry of [Pagra] unless it is an item already.
// 0, or fail when the list cannot be read whole, has no room, or the
// write fails; the file is then as it was.
static uint32_t add_item(const char *ini_path, const char *entry, const char *item, uint32_t fail) {
  char val[BT_PATH_MAX];
  uint32_t st = kc_ini_read_value(BT_SECTION, entry, val, sizeof val, ini_path);
  if (st == KC_ERR_INI_NOT_WHOLE) return fail;
  if (st != KC_OK) // missing, empty, or no file yet: the item alone
    return KCINISetString(BT_SECTION, entry, item, ini_path) == KC_OK ? 0 : fail;
  if (bt_list_find(val, item, NULL, NULL)) return 0; // nothing to write

  char new_val[BT_PATH_MAX];
  // A list that would outgrow a line of the file is refused by the store.
  if (!kc_copy(new_val, sizeof new_val, val) || !kc_append(new_val, sizeof new_val, ",") ||
      !kc_append(new_val, sizeof new_val, item))
    return fail;
  return KCINISetString(BT_SECTION, entry, new_val, ini_path) == KC_OK ? 0 : fail;
}

KCAPI uint32_t BTEditPagraIni(const char *ini_path) {
  if (!ini_path) return BT_ERR_CONFIG;
  uint32_t st = add_item(ini_path, BT_ADDINS, BT_ADDIN_ITEM, BT_ERR_CONFIG);
  if (st != 0) return st;
  return add_item(ini_path, BT_SERVERTASKS, BT_TASK_ITEM, BT_ERR_SERVERTASKS);
}

// Cuts the first whole item out of the list entry of [Pagra]. A list left
// with nothing is removed (remove_empty) or kept with an empty value.
// 0 (also when the item is not in the list), or 5335 when the list cannot
// be read (missing, empty, too long) or written.
static uint32_t cut_item(const char *ini_path, const char *entry, const char *item, int remove_empty) {
  char val[BT_PATH_MAX];
  if (kc_ini_read_value(BT_SECTION, entry, val, sizeof val, ini_path) != KC_OK) return BT_ERR_CONFIG;
  size_t from, to;
  if (!bt_list_find(val, item, &from, &to)) return 0;

  char new_val[BT_PATH_MAX];
  memcpy(new_val, val, from);
  strcpy(new_val + from, val + to); // shorter than val: fits
  const char *write = new_val;
  if (new_val[0] == '\0') write = remove_empty ? NULL : "";
  return KCINISetString(BT_SECTION, entry, write, ini_path) == KC_OK ? 0 : BT_ERR_CONFIG;
}

KCAPI uint32_t BTUndoPagraIni(const char *ini_path) {
  if (!ini_path) return BT_ERR_CONFIG;
  uint32_t status = cut_item(ini_path, BT_ADDINS, BT_ADDIN_ITEM, 1);
  if (status != 0) return status;
  return cut_item(ini_path, BT_SERVERTASKS, BT_TASK_ITEM, 0);
}

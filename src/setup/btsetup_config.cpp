// Host configuration edits: the registry value that registers the
// scripting extension module, and the package's items in the two list
// settings of pagra.ini (ServerTasks, EXTMGR_ADDINS).
//
// A list item counts only as a whole comma-separated item (blanks around it
// ignored, case counting), so that a neighbour such as XZEPTY or ZEPTX is
// neither taken for the package's item nor damaged by its removal. A list
// that cannot be read whole, or that would grow beyond what a line of the
// file holds, is refused and left as it is: no cut list is ever written.
#include <errno.h>
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

#define LIST_SAME 0    // the item is in the list already: nothing to write
#define LIST_NEW 1     // new_val holds the list with the item added
#define LIST_REFUSED 2 // the list cannot be read whole, or has no room

// The list entry of [Pagra] with item added, into new_val (BT_PATH_MAX
// bytes). A list that cannot be read whole (a file there that cannot be
// read among them), or would grow beyond what a line of the file holds,
// is never written cut.
static int list_with_item(const char *ini_path, const char *entry, const char *item, char *new_val) {
  char val[BT_PATH_MAX];
  uint32_t st = kc_ini_read_value(BT_SECTION, entry, val, sizeof val, ini_path);
  if (st == KC_ERR_INI_NOT_WHOLE) return LIST_REFUSED;
  // A file that is there but cannot be read is no missing one: the item
  // alone would take the place of the host's list.
  if (st == KC_ERR_INI_OPEN && kc_access(ini_path, KC_ACCESS_EXISTS) != ENOENT) return LIST_REFUSED;
  if (st != KC_OK) // missing, empty, or no file yet: the item alone
    return kc_copy(new_val, BT_PATH_MAX, item) ? LIST_NEW : LIST_REFUSED;
  if (bt_list_find(val, item, NULL, NULL)) return LIST_SAME;
  if (!kc_copy(new_val, BT_PATH_MAX, val) || !kc_append(new_val, BT_PATH_MAX, ",") ||
      !kc_append(new_val, BT_PATH_MAX, item) || !kc_ini_line_fits(entry, new_val))
    return LIST_REFUSED;
  return LIST_NEW;
}

// Both lists change in one rewrite of the file: both items or neither.
KCAPI uint32_t BTEditPagraIni(const char *ini_path) {
  if (!ini_path) return BT_ERR_CONFIG;
  kc_tmp_sweep_beside(ini_path); // what killed rewrites left
  char addins[BT_PATH_MAX], tasks[BT_PATH_MAX];
  int a = list_with_item(ini_path, BT_ADDINS, BT_ADDIN_ITEM, addins);
  if (a == LIST_REFUSED) return BT_ERR_CONFIG; // ServerTasks then untouched
  int t = list_with_item(ini_path, BT_SERVERTASKS, BT_TASK_ITEM, tasks);
  const char *entries[2], *values[2];
  size_t n = 0;
  if (a == LIST_NEW) {
    entries[n] = BT_ADDINS;
    values[n++] = addins;
  }
  if (t == LIST_NEW) {
    entries[n] = BT_SERVERTASKS;
    values[n++] = tasks;
  }
  if (n > 0 && kc_ini_set_values(BT_SECTION, n, entries, values, ini_path) != KC_OK)
    return a == LIST_NEW ? BT_ERR_CONFIG : BT_ERR_SERVERTASKS; // nothing was written
  return t == LIST_REFUSED ? BT_ERR_SERVERTASKS : 0;
}

// The list entry of [Pagra] without its first whole item into new_val
// (BT_PATH_MAX bytes); *write the value to write: new_val, "" or NULL (a
// list left with nothing is removed with remove_empty, else kept empty).
// LIST_NEW; LIST_SAME when the item is not in the list; LIST_REFUSED when
// the list cannot be read (missing, empty, too long).
static int list_without_item(const char *ini_path, const char *entry, const char *item, int remove_empty,
                             char *new_val, const char **write) {
  char val[BT_PATH_MAX];
  if (kc_ini_read_value(BT_SECTION, entry, val, sizeof val, ini_path) != KC_OK) return LIST_REFUSED;
  size_t from, to;
  if (!bt_list_find(val, item, &from, &to)) return LIST_SAME;
  memcpy(new_val, val, from);
  strcpy(new_val + from, val + to); // shorter than val: fits
  *write = new_val[0] ? new_val : remove_empty ? NULL : "";
  return LIST_NEW;
}

// Both items go in one rewrite of the file: a run cut short leaves both
// or neither.
KCAPI uint32_t BTUndoPagraIni(const char *ini_path) {
  if (!ini_path) return BT_ERR_CONFIG;
  kc_tmp_sweep_beside(ini_path); // what killed rewrites left
  char addins[BT_PATH_MAX], tasks[BT_PATH_MAX];
  const char *entries[2], *values[2];
  size_t n = 0;
  int a = list_without_item(ini_path, BT_ADDINS, BT_ADDIN_ITEM, 1, addins, &values[n]);
  if (a == LIST_REFUSED) return BT_ERR_CONFIG; // ServerTasks then untouched
  if (a == LIST_NEW) entries[n++] = BT_ADDINS;
  int t = list_without_item(ini_path, BT_SERVERTASKS, BT_TASK_ITEM, 0, tasks, &values[n]);
  if (t == LIST_NEW) entries[n++] = BT_SERVERTASKS;
  if (n > 0 && kc_ini_set_values(BT_SECTION, n, entries, values, ini_path) != KC_OK) return BT_ERR_CONFIG;
  return t == LIST_REFUSED ? BT_ERR_CONFIG : 0;
}

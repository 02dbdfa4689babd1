// What runs leave: the sets a run cut short, recovered before anything
// else in the host and data folders; leftovers of ours swept; the files a
// run leaves not as it meant to; and what was found named like ours but
// is not, left as it stands.
#include <stdio.h>
#include <string.h>

#include "btsetup.h"
#include "kcsys.h"

// The files the last install or removal left not as it meant to, each
// with the reason; what it found and left.
static char gLeft[KC_STAGE_MAX][BT_PATH_MAX + BT_ERR_TEXT_MAX];
static size_t gLeftCount;
static char gFound[KC_FOUND_MAX][BT_PATH_MAX + BT_ERR_TEXT_MAX];
static size_t gFoundCount, gFoundMore;

size_t bt_left_count(void) { return gLeftCount; }
const char *bt_left_file(size_t i) { return i < gLeftCount ? gLeft[i] : ""; }
size_t bt_found_count(void) { return gFoundCount; }
size_t bt_found_more(void) { return gFoundMore; }
const char *bt_found_entry(size_t i) { return i < gFoundCount ? gFound[i] : ""; }

void bt_left_clear(void) { gLeftCount = gFoundCount = gFoundMore = 0; }

void bt_left_add(const char *path, const char *why) {
  // Cut to fit: a path and a short text, for the administrator's eyes only.
  if (gLeftCount < sizeof gLeft / sizeof gLeft[0])
    snprintf(gLeft[gLeftCount++], sizeof gLeft[0], "%s%s%s", path, path[0] ? ": " : "", why);
}

static const char *found_why(int why) {
  switch (why) {
    case KC_FOUND_NOT_FILE:
      return "not a file (a pipe, a folder, a device or a link)";
    case KC_FOUND_FOREIGN:
      return "another account's";
    case KC_FOUND_SHARED:
      return "other accounts may write it";
    case KC_FOUND_LINKED:
      return "it has more than one name";
    case KC_FOUND_DAMAGED:
      return "no record of this installer's, or changed since it was written";
    default:
      return "it names files that are not the package's, or a folder it may not";
  }
}

static void take_found(const kc_recover_report *report) {
  for (size_t i = 0; i < report->nfound; ++i) {
    if (i < KC_FOUND_MAX && gFoundCount < KC_FOUND_MAX)
      snprintf(gFound[gFoundCount++], sizeof gFound[0], "%s: %s", report->found[i].path,
               found_why(report->found[i].why));
    else
      ++gFoundMore;
  }
}

// The destinations a record of the package may name in each folder.
static const char *gProgramNames[BT_FILES_COUNT], *gDataNames[BT_DATA_FILES_COUNT];

uint32_t bt_recover_host(const char *zept_dir, const char *data_dir, char *err) {
  static kc_recover_report report;
  err[0] = '\0';
  for (size_t i = 0; i < BT_FILES_COUNT; ++i) gProgramNames[i] = Files[i].dest;
  for (size_t i = 0; i < BT_DATA_FILES_COUNT; ++i) gDataNames[i] = PTFPSF_Files[i].dest;
  kc_recover_scope scope;
  memset(&scope, 0, sizeof scope);
  scope.nfolders = 2;
  scope.folders[0] = zept_dir;
  scope.folders[1] = data_dir;
  scope.names[0] = gProgramNames;
  scope.nnames[0] = BT_FILES_COUNT;
  scope.names[1] = gDataNames;
  scope.nnames[1] = BT_DATA_FILES_COUNT;
  int r = kc_recover(&scope, &report);
  take_found(&report);
  // Cut to fit err: for the administrator's eyes only.
  switch (r) {
    case KC_RECOVER_OK:
      break;
    case KC_RECOVER_BUSY:
      snprintf(err, BT_ERR_TEXT_MAX, "An install cut short left %s, which another run is at work on", report.record);
      return BT_ERR_BUSY;
    case KC_RECOVER_FAILED:
      for (size_t i = 0; i < report.count; ++i) bt_left_add(report.left[i], "not as it was before the install cut short");
      snprintf(err, BT_ERR_TEXT_MAX, "An install cut short left %s, which could not be carried out all the way",
               report.record);
      return BT_ERR_LEFT;
    case KC_RECOVER_FOREIGN:
      snprintf(err, BT_ERR_TEXT_MAX,
               "An install cut short left %s, which needs the folder %s. Give that folder, or put it back "
               "where it was, and run this again",
               report.record, report.folder);
      return BT_ERR_STALE;
    default:
      snprintf(err, BT_ERR_TEXT_MAX,
               "An install cut short left %s, which cannot be read whole, nor any other copy of it. Compare the "
               "files beside it by hand, then remove it",
               report.record);
      return BT_ERR_STALE;
  }
  // What killed runs left goes next; files another run still has locked,
  // and another account's, stay.
  report.nfound = 0;
  kc_tmp_sweep(zept_dir, &report);
  kc_tmp_sweep(data_dir, &report);
  take_found(&report);
  return 0;
}

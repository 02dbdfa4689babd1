// The package's manifest: the two tables of btsetup_manifest.inc's rows.
#include "btsetup.h"

// The rows of btsetup_manifest.inc, each table in its own pass; a row
// more or less than the header's counts is a build error.
#define BT_PROGRAM_FILE(src, dest) {src, dest},
#define BT_DATA_FILE(src, dest)
const BTFileNameStrings Files[BT_FILES_COUNT] = {
#include "btsetup_manifest.inc"
};
#undef BT_PROGRAM_FILE
#undef BT_DATA_FILE
#define BT_PROGRAM_FILE(src, dest)
#define BT_DATA_FILE(src, dest) {src, dest},
const BTFileNameStrings PTFPSF_Files[BT_DATA_FILES_COUNT] = {
#include "btsetup_manifest.inc"
};
#undef BT_PROGRAM_FILE
#undef BT_DATA_FILE
#define BT_PROGRAM_FILE(src, dest) +1
#define BT_DATA_FILE(src, dest)
static_assert(0
#include "btsetup_manifest.inc"
                  == BT_FILES_COUNT,
              "BT_FILES_COUNT is not the manifest's number of program files");
#undef BT_PROGRAM_FILE
#undef BT_DATA_FILE
#define BT_PROGRAM_FILE(src, dest)
#define BT_DATA_FILE(src, dest) +1
static_assert(0
#include "btsetup_manifest.inc"
                  == BT_DATA_FILES_COUNT,
              "BT_DATA_FILES_COUNT is not the manifest's number of data files");
#undef BT_PROGRAM_FILE
#undef BT_DATA_FILE

/*
 * plat_int.h - internals of the platform library: its static state and the
 * helpers its areas share. Not exported; the installer actions see only
 * kcsys.h.
 */
#ifndef KC_PLAT_INT_H
#define KC_PLAT_INT_H

#include "kcsys.h"
#include "plat.h"

/* Entry points of the host library npagra.dll. */
typedef int (*OSGETENVSTRPROC)(char *name, char *buffer, uint16_t length);
typedef void (*OSGETINTLSETPROC)(INTLFORMAT *format, uint16_t size);

/* Process-wide state, zeroed at start (plat_mem.cpp owns it). */
extern int32_t PlatInitRefCount;
extern uint32_t PlatInitFlags;
extern KCLIBRARY PagraLibHandle;
extern OSGETENVSTRPROC OSGetEnvStrProc;
extern OSGETINTLSETPROC OSGetIntlSetProc;
extern char szExeDirectory[KC_PATH_MAX];
extern char szPipeDirectory[KC_PATH_MAX];
extern char szIniDirectory[KC_PATH_MAX];
extern KCINTLFORMAT *kcIntlFormat;
extern int VCS_DEBUG; /* KCPerror prints only when it is not 0; nothing sets it */

#define KC_HOST_LIBRARY "npagra.dll"

/* Loads the host library into PagraLibHandle when it is not loaded yet
 * (quietly, by plain name). A failed load is tried again next time. */
void PlatLoadHostLibrary(void);

/* 1 when the whole String matches the whole Pattern: '*' any run, '?' one
 * character, case counts, no escape. A pattern other than a single "*"
 * never matches the empty string. */
uint32_t PatternMatch(const char *String, const char *Pattern);
/* 1 when szName holds a path of its own (the host's separator, or a drive
 * colon on Windows), so that it is used as it stands; 0 for a bare name. */
uint32_t FileHasPath(const char *szName);
/* Prints err_string, a colon and the text of the current error number on
 * standard error, only while VCS_DEBUG is not 0. */
void KCPerror(const char *err_string);
/* Works out the absolute directory of the program path in szPath
 * (KC_PATH_MAX bytes) by entering it; the current directory is the same
 * afterwards. With szName, that file must lie there. szPath, holding the
 * directory with a trailing separator, or NULL with szPath untouched. */
char *PathParts(const char *szName, char *szPath);

/* The folder part of path, its separator included, into dir (size
 * bytes): 1, or 0 when it does not fit. */
int kc_folder_of(const char *path, char *dir, size_t size);
/* Temporary files of ours (kcsys.h). Names drawn before giving up: each
 * is free but for a 1 in 60 million chance. */
#define KC_TMP_TRIES 64
/* A fresh name: prefix, then characters of [0-9a-z] up to
 * KC_TMP_NAME_LEN. kc_tmp_seed makes the draws start again from seed
 * (tests: the same names twice). */
void kc_tmp_name(char name[KC_TMP_NAME_LEN + 1], const char *prefix);
void kc_tmp_seed(uint32_t seed);
/* 1 when name is prefix and then characters of [0-9a-z], KC_TMP_NAME_LEN
 * in all: a name of ours of that kind. */
int kc_tmp_named(const char *name, const char *prefix);
/* A fresh name of ours in the folder of beside into path (size bytes):
 * 1, or 0 when it does not fit. */
int kc_tmp_path(char *path, size_t size, const char *beside);
/* Creates a held file of ours beside beside, its name into path: 0 or an
 * errno value. */
int kc_tmp_create(const char *beside, char *path, size_t size, intptr_t *fd);
/* Removes the file of ours path unless a process holds it, a link as a
 * name (never what it leads to): os_remove_unheld's statuses. */
int kc_tmp_remove_unheld(const char *path);
/* Renames the held file fd, named from, to a fresh name of ours beside it
 * (into path): 0 or an errno value. */
int kc_tmp_move(intptr_t fd, const char *from, char *path, size_t size);

/* ---- The record of a set being put in place (plat_record.cpp) ----
 * One record, a copy in each folder of the set, names for each file its
 * destination, the second name of ours that keeps the earlier file, and
 * the name of ours that holds the new one until it is put in place. */
#define KC_RECORD_FOLDERS 4
#define KC_RECORD_LOST "!" /* kept: an earlier link this system cannot keep */
typedef struct kc_record_file {
  unsigned folder;                       /* index into folders */
  char kept[KC_TMP_NAME_LEN + 1];        /* "" no earlier file; KC_RECORD_LOST */
  char staged[KC_TMP_NAME_LEN + 1];
  char dest[KC_PATH_MAX];                /* the name in its folder */
} kc_record_file;
typedef struct kc_record {
  size_t nfolders;
  char folders[KC_RECORD_FOLDERS][KC_PATH_MAX];      /* each ending in the separator */
  char names[KC_RECORD_FOLDERS][KC_TMP_NAME_LEN + 1]; /* the record's copy in each */
  intptr_t fds[KC_RECORD_FOLDERS];                   /* each copy held while in use */
  size_t count;
  kc_record_file files[KC_STAGE_MAX];
  int undo; /* marked: every destination goes back */
} kc_record;
/* Writes rec (folders and files filled in) as a new record of ours in
 * each of its folders, each flushed and held: 0, or an errno value with
 * no copy left. */
int kc_record_write(kc_record *rec);
/* Flushes each folder of rec once: its names are then on the disk. 0 or
 * an errno value. */
int kc_record_sync(const kc_record *rec);
/* Appends the mark "undo" to each copy, flushed: 0 or an errno value. */
int kc_record_mark_undo(kc_record *rec);
/* Settles by names what rec says, then flushes its folders and deletes
 * its copies (and staged files left behind): how is
 *   KC_RECORD_FORWARD  the writer put every new file in place: the
 *                      earlier files' names of ours go;
 *   KC_RECORD_BACK     the writer failed: every destination goes back;
 *   KC_RECORD_FOUND    found after a death: forward when no staged name
 *                      is left and no "undo" is marked, else back.
 * Going back is first marked "undo" when any new file stands in place.
 * 0; else an errno value, left[i] set for each destination not as it was
 * (KC_STAGE_MAX entries), and the copies stay for a later run. */
#define KC_RECORD_FORWARD 0
#define KC_RECORD_BACK 1
#define KC_RECORD_FOUND 2
int kc_record_settle(kc_record *rec, int how, unsigned char *left);
/* Lets the copies go, leaving them on disk. */
void kc_record_release(kc_record *rec);
/* The names of ours the record at path holds (staged and kept, up to
 * max), which no sweep may remove: their count. */
size_t kc_record_protects(const char *path, char names[][KC_TMP_NAME_LEN + 1], size_t max);

#endif /* KC_PLAT_INT_H */

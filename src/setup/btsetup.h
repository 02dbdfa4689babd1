/*
 * btsetup.h - the installer actions (the BT functions), exported by name
 * from nzeptins.exe, and the manifest of the package.
 */
#ifndef BT_SETUP_H
#define BT_SETUP_H

#include <stddef.h>
#include <stdint.h>

#include "plat.h"

#define BT_PATH_MAX KC_PATH_MAX

/* Status codes of the installer actions. */
#define BT_ERR_INIT 1u          /* BTInit: the installer's folder cannot be entered */
#define BT_ERR_SERVERTASKS 1u   /* BTEditPagraIni: writing ServerTasks failed */
#define BT_ERR_COPY 5318u
#define BT_ERR_LEFT 5319u  /* BTInstallProgramFiles: halted, and files are not as they were */
#define BT_ERR_REMOVE 5320u
#define BT_ERR_BUSY 5321u       /* another install or removal holds the host */
#define BT_ERR_STALE 5322u      /* a record of a run cut short cannot be obeyed: nothing changed */
#define BT_ERR_LOCK_TAKEN 5323u /* something not ours stands under the host's run lock: nothing done */
#define BT_ERR_CONFIG 5335u

/* The package's names in the host's configuration and registry. */
#define BT_SECTION "Pagra"
#define BT_SERVERTASKS "ServerTasks"
#define BT_ADDINS "EXTMGR_ADDINS"
#define BT_TASK_ITEM "ZEPT"
#define BT_ADDIN_ITEM "nzeptext.dll"
#define BT_REG_SECTION "MirelangExtensions\\2.0"
#define BT_REG_VALUE "QSXKC"
#define BT_QSX_MODULE "nqsxkc.dll"
#define BT_REMOVER "nzeptrmv.exe"
#define BT_LAST_LIBRARY "kccmn10.dll"

/* A row of the manifest: the name in the distribution, the name installed. */
typedef struct BTFileNameStrings {
  const char *src;
  const char *dest;
} BTFileNameStrings;

#define BT_FILES_COUNT 19
#define BT_DATA_FILES_COUNT 2
extern const BTFileNameStrings Files[BT_FILES_COUNT];
extern const BTFileNameStrings PTFPSF_Files[BT_DATA_FILES_COUNT];

/* Start-up: the installer's folder from the program's name (lower-cased in
 * place), the mode, and the host program folder proposed from PATH.
 * 0, or 1 after printing the initialization error. */
KCAPI uint32_t BTInit(char **argv, char *delvan_dir, uint32_t *uninst);
/* 1 when "ZEPT" is an item of ServerTasks in [Pagra] of ini_path, else 0. */
KCAPI uint32_t BTIsZeptInstalled(const char *ini_path);
/* Proposes the folder of ini_file: PATH, delvan_dir, delvan_dir's data
 * subfolder. Always 0; ini_dir unchanged when nothing is found. */
KCAPI uint32_t BTGetDelvanIniFileDir(const char *ini_file, const char *delvan_dir, char *ini_dir);
/* Directory of [Pagra] with a trailing separator into data_dir: 0, 534
 * (missing, empty, or too long to take the separator), 535. */
KCAPI uint32_t BTGetDelvanDataDir(const char *ini_path, char *data_dir);

/* Copies the 21 files from the installer's folder, all or nothing: each
 * is first written whole beside its destination; only when all are ready
 * are they flushed and put in place. What a run cut short left in either
 * folder is recovered first (kc_recover). 0, with every file in place and on
 * disk; 5318 with every destination as it was; 5319 when files are not as
 * they were (a failure that could not be taken back, or a set cut short
 * that could not be recovered): bt_left_file names each, and the next run
 * recovers them first; 5321, nothing done, when another run is putting
 * files in place there. */
KCAPI uint32_t BTInstallProgramFiles(char *zept_dir, const char *data_dir);
/* Deletes them (in removal mode sparing the remover and its library),
 * after recovery what a run cut short left: 0, or 5320 when at least one
 * deletion failed, or nothing was deleted because a set cut short could
 * not be recovered; bt_left_file names each file left. 5321, nothing
 * deleted, when another run is putting files in place there. */
KCAPI uint32_t BTRemoveProgramFiles(char *zept_dir, const char *data_dir);

/* The registry value QSXKC = delvan_dir, one separator, "nqsxkc.dll":
 * the store's status (0, 538, 539, 544); 539 for a folder too long to take
 * the module's name, with nothing written. Removing it gives the store's
 * status, nonzero also when the value was not there. */
KCAPI uint32_t BTRegisterQSX(const char *delvan_dir);
KCAPI uint32_t BTUnRegisterQSX(void);
/* Adds "nzeptext.dll" to EXTMGR_ADDINS and "ZEPT" to ServerTasks, in
 * [Pagra] of ini_path (made when missing), both in one rewrite of the
 * file; an item already there as a whole item is not added again. 0; 5335
 * when EXTMGR_ADDINS was not written (ServerTasks then untouched); 1 when
 * ServerTasks was not (its list too long to take the item, or its write
 * failed where EXTMGR_ADDINS needed none). */
KCAPI uint32_t BTEditPagraIni(const char *ini_path);
/* Cuts "nzeptext.dll" out of EXTMGR_ADDINS (an entry left empty goes),
 * then "ZEPT" out of ServerTasks (an entry left empty stays, empty). 0, or
 * 5335 for any failure; a failure with EXTMGR_ADDINS leaves ServerTasks
 * untouched. */
KCAPI uint32_t BTUndoPagraIni(const char *ini_path);

/* Hands "nzeptrmv.exe" and "kccmn10.dll" of zept_dir over to the command
 * interpreter (on Windows COMSPEC when it is the absolute path of an
 * existing program, else the system folder's cmd.exe; /bin/sh elsewhere),
 * started in zept_dir with none of this process's handles: both are first
 * moved out of their names to our names, which the interpreter then
 * deletes. On Windows it does so once the remover has ended (the caller
 * ends next); elsewhere the call waits for it. 0 when both names are free
 * and the interpreter deletes (or has deleted) the files; 5320 when that
 * cannot be made sure, after printing which files are left to delete by
 * hand. */
KCAPI uint32_t BTCleanup(const char *zept_dir);

/* ---- Internal to the installer actions ---- */

extern char gInstDir[BT_PATH_MAX];
extern uint32_t gUninst;
/* The absolute folder of the program path setup_path, with a trailing
 * separator, into inst_dir; a bare name means the running program's own
 * folder. 0, or 1 when the folder cannot be entered. */
uint32_t GetInstDir(char *inst_dir, const char *setup_path);
/* Ends dir (a BT_PATH_MAX buffer) with a separator unless it is empty or
 * has one: 1, or 0 with dir unchanged when there is no room. */
int dirsep_term(char *dir);
/* 1 when item is a whole item of the comma-separated list (blanks around
 * items ignored, case counting). [*cut_from, *cut_to) is then the span to
 * cut to remove it: the item, its blanks and one separating comma (the one
 * before it, or after it for the first item, with the blanks after that
 * comma). Either pointer may be NULL. */
int bt_list_find(const char *list, const char *item, size_t *cut_from, size_t *cut_to);
/* Copies one file, keeping its times, the copy writable; an earlier file
 * is replaced only by a whole copy. err (NULL, or BT_ERR_TEXT_MAX bytes)
 * receives the message of a failure, cut to fit. 0 or 5318. */
#define BT_ERR_TEXT_MAX 256
int32_t copyfile(const char *srcfile, const char *destfile, char *err);
/* 1 when dir + name fits a path (BT_PATH_MAX bytes), and so does a
 * temporary file of ours beside it. */
int bt_file_fits(const char *dir, const char *name);
/* 1 when every file the package puts into dir fits: the program files,
 * or with data the data files. */
int bt_dir_fits(const char *dir, int data);
/* Locks the host whose program folder is zept_dir for the rest of the run
 * (one install, upgrade or removal per host at a time): 0; BT_ERR_BUSY
 * when another run holds it; BT_ERR_LOCK_TAKEN when something not ours
 * stands under the lock's name (bt_lock_taken names it). */
uint32_t bt_lock_host(const char *zept_dir);
const char *bt_lock_taken(void);
/* Recovers every set a run cut short left in the host and data folders,
 * then removes our leftovers there: 0; BT_ERR_BUSY another run is at work
 * on a set; BT_ERR_LEFT a step failed, bt_left_file names each file not as
 * it was (the record stays for the next run); BT_ERR_STALE a record of
 * ours cannot be obeyed (it needs a folder not given, or cannot be read
 * whole), nothing changed. err (BT_ERR_TEXT_MAX bytes) says what and what
 * to do. What was found named like ours and left is bt_found_entry's. */
uint32_t bt_recover_host(const char *zept_dir, const char *data_dir, char *err);
/* The files the last BTRemoveProgramFiles could not delete, or the last
 * BTInstallProgramFiles left not as they were, in the order met: each
 * "<path>: <reason>". */
size_t bt_left_count(void);
const char *bt_left_file(size_t i);
void bt_left_clear(void);
void bt_left_add(const char *path, const char *why);
/* What the last recovery and sweep found named like ours and left as it
 * stands, each "<path>: <why>"; bt_found_more counts those beyond. */
size_t bt_found_count(void);
size_t bt_found_more(void);
const char *bt_found_entry(size_t i);

/* The deferred self-removal's pieces, open to the tests. */
#define BT_CLEANUP_CMD_MAX 4096 /* the longest command handed over, with its NUL */
#define BT_CLEANUP_TRIES 30     /* tries at the remover's deletion, about a second apart */
/* The command for the Windows command interpreter (run with /D /C) that
 * deletes the file remover (retried until the remover has ended, bounded)
 * and then library (NULL or "": none), names in its current folder; the
 * one program it calls is ping.exe from the system folder sysdir (ending
 * in a backslash). 1, or 0 with command "" when a path is empty, holds '"',
 * '%' or a control character (no safe quoting exists for them), or the
 * command does not fit size bytes. */
int bt_cleanup_cmd_command(const char *sysdir, const char *remover, const char *library, char *command,
                           size_t size);
/* The same for /bin/sh -c: /bin/rm of both, each quoted as one word. */
int bt_cleanup_sh_command(const char *remover, const char *library, char *command, size_t size);
/* The hand-over of BTCleanup to interpreter prog, with the cmd form of the
 * command when cmd is 1, else the sh form (then waited for), started in
 * zept_dir. */
uint32_t bt_cleanup_start(const char *prog, int cmd, const char *zept_dir);

#endif /* BT_SETUP_H */

/*
 * kcsys.h - what the platform library offers the installer actions beyond
 * its exported KC functions: the host's path conventions, the current and
 * the running program's folders, the read of one INI value into a sized
 * buffer, our own files beside the host's, putting a set of files in
 * place and recovering one cut short, one run per host, and the hand-over
 * to the command interpreter. With kcstr.h, the installer's only way to
 * the system. Not exported.
 */
#ifndef KC_SYS_H
#define KC_SYS_H

#include <stddef.h>
#include <stdint.h>

#include "kcstr.h"
#include "plat.h"

/* ---- The host's path conventions ---- */
extern const char KC_DIRSEP;         /* '\\' on Windows, '/' on POSIX: the only separator */
extern const int KC_NAMES_FOLD_CASE; /* 1 where file names ignore letter case */
extern const int KC_HOST_CMD;        /* 1 where the command interpreter is COMSPEC's, 0 for /bin/sh */

/* Ends dir (a buffer of size bytes) with the separator unless it is empty
 * or already ends in one: 1, or 0 with dir unchanged when there is no
 * room for it. */
int kc_dirsep_term(char *dir, size_t size);

/* The current directory with a trailing separator into dir (KC_PATH_MAX
 * bytes), asked for with read_len bytes: 1, or 0 (dir "") when it cannot
 * be read within read_len or leaves no room for the separator. */
int kc_cwd_dir(char *dir, uint32_t read_len);

/* Enters dir and reads back into out (KC_PATH_MAX bytes) the absolute
 * folder as the system names it, with a trailing separator; the current
 * directory is then restored, and is never left when it could not be read
 * first (within read_len bytes). KC_ENTER_OK; KC_ENTER_REFUSED when dir
 * cannot be entered; KC_ENTER_FAILED when the current directory cannot be
 * read or restored. out is written only with KC_ENTER_OK. */
#define KC_ENTER_OK 0
#define KC_ENTER_REFUSED 1
#define KC_ENTER_FAILED 2
int kc_dir_entered(const char *dir, char *out, uint32_t read_len);

/* The folder of the running program as the system records it (not as it
 * was named when started), with a trailing separator, into dir
 * (KC_PATH_MAX bytes): 1, or 0 when it cannot be told. */
int kc_self_dir(char *dir);

/* The system's access test: 0 when path exists (KC_ACCESS_EXISTS) or can
 * be read (KC_ACCESS_READ), else an errno value: EACCES when refused,
 * ENOENT when nothing is there. */
#define KC_ACCESS_EXISTS 0
#define KC_ACCESS_READ 4
int kc_access(const char *path, int mode);

/* ---- INI store ---- */

/* One entry of a named INI file into buffer (size bytes), never cut:
 * 0 with the value; 534 missing or empty, or no entry or file named; 535
 * the file cannot be read; KC_ERR_INI_NOT_WHOLE when the value does not fit
 * or holds a NUL, which a string cannot carry (buffer ""). */
uint32_t kc_ini_read_value(const char *section, const char *entry, char *buffer, size_t size,
                           const char *file_name);

/* 1 when "entry=value" fits a line of the INI format (255 characters): a
 * longer one the store refuses to write, as the host could not read it. */
int kc_ini_line_fits(const char *entry, const char *value);

/* Sets several entries of one section of a named INI file in a single
 * rewrite: entries[i] to values[i] (NULL removes it), count at most
 * KC_INI_EDITS_MAX. The bytes written are those of KCINISetString called
 * for each in turn; its statuses; on a failure none of them is written.
 * Entries must not read as one another: none may equal another (letters
 * folded) or be another followed by '=' ("a" and "a=b"); such a set is
 * refused with 534, nothing written. */
#define KC_INI_EDITS_MAX 4
uint32_t kc_ini_set_values(const char *section, size_t count, const char *const entries[], const char *const values[],
                           const char *file_name);

/* ---- Our own files beside the host's ----
 * What the library writes beside a file to put it in place later (a
 * temporary file), an earlier file it keeps while replacing it (a
 * backup), a lock file and a set's record stand under names of our own
 * ("~nz" and five characters of [0-9a-z]; a record "~nz-" and four), no
 * longer than any name of the package, so that each fits wherever the
 * file it stands for fits. While its writer is at work such a file is
 * locked (os.h); one that no process has locked is what a killed run
 * left.
 *
 * Single-threaded, because they keep their state in static buffers: the
 * set calls below (kc_stage_*, kc_copy_file) and kc_recover; the sweep
 * too, as it reads records. The installer calls them on its one thread.
 * The INI and registry stores are safe for threads. */
#define KC_TMP_NAME_LEN 8
/* 1 when name (a file name, no folder) is our temporary file, backup or
 * lock file; kc_record_is_ours, a record. */
int kc_tmp_is_ours(const char *name);
int kc_record_is_ours(const char *name);

/* ---- Putting a set of files in place, all or nothing ---- */

/* The step at which staging a file stopped, for the caller's message. */
enum kc_copy_step {
  KC_COPY_DONE = 0,
  KC_COPY_OPEN_SOURCE, /* the source cannot be opened or asked for its status */
  KC_COPY_SAME_FILE,   /* the destination is the source itself under another name */
  KC_COPY_CREATE,      /* the destination cannot be created or replaced */
  KC_COPY_READ,        /* reading the source failed part-way */
  KC_COPY_WRITE,       /* writing, flushing or closing the new file failed */
  KC_COPY_LEFT,        /* a failed commit could not take every file back */
};

#define KC_STAGE_MAX 24   /* files of one set */
#define KC_EARLIER_NONE 0 /* nothing stood under the destination's name */
#define KC_EARLIER_FILE 1 /* a file, locked as old_fd */
#define KC_EARLIER_LINK 2 /* a link the system can reach only through: replaced as a name */
typedef struct kc_staged {
  char dest[KC_PATH_MAX];
  char tmp[KC_PATH_MAX];    /* the new file, under its temporary name until it is put in place */
  char backup[KC_PATH_MAX]; /* the earlier file's backup while the set goes in ("" none) */
  intptr_t tmp_fd, old_fd;  /* both locked while staged; old_fd -1 without an earlier file */
  intptr_t backup_fd;       /* a backup copy (no hard links here), locked until put in place */
  int earlier;              /* KC_EARLIER_* */
  int lost;                 /* an earlier link that cannot be backed up: it goes for good once replaced */
  int placed;               /* the new file stands under dest */
  int left;                 /* after a commit that could not be undone: not as it was */
} kc_staged;
/* The states a set goes through (plat_stage.cpp draws them). */
enum kc_set_state {
  KC_SET_EMPTY, KC_SET_STAGED, KC_SET_FLUSHED, KC_SET_BACKED_UP, KC_SET_RECORDED,
  KC_SET_PLACING, KC_SET_PLACED, KC_SET_DONE, KC_SET_UNDONE, KC_SET_LEFT,
};
typedef struct kc_stage {
  size_t count;
  int state;               /* enum kc_set_state */
  char what[KC_PATH_MAX];  /* after a failed commit: the file, record or folder it concerned */
  kc_staged files[KC_STAGE_MAX];
} kc_stage;

void kc_stage_init(kc_stage *s);
/* Copies srcfile beside destfile under a temporary name, whole, with the
 * source's times and its permission bits with the owner's write bit added
 * (never read-only). destfile is not touched: an earlier file there is
 * only checked to be replaceable (a plain file, not read-only, not locked,
 * run or kept open by another process) and locked until the set is put
 * in place or abandoned; an earlier link is replaced as a name, what it
 * leads to never touched. KC_COPY_DONE; KC_COPY_SAME_FILE when destfile
 * is the source itself (nothing staged); else the failing step with its
 * errno value in *err, this file not staged. */
int kc_stage_file(kc_stage *s, const char *srcfile, const char *destfile, int *err);
/* Puts the set in place: flushes every staged file, backs up each earlier
 * file (a hard link; a flushed copy where the file system has none),
 * writes and flushes the set's record in each of its folders and flushes
 * the folders; then puts each new file in place with one rename over its
 * destination, so that every destination holds its earlier or its new
 * file at every instant, and flushes the folders again. Only then do the
 * backups and the record go. A set spans at most four folders.
 * KC_COPY_DONE; on a failure every destination is taken back as it was
 * and KC_COPY_WRITE (a flush) or KC_COPY_CREATE (a rename, a backup)
 * comes back with its errno value in *err, in *failed the index of the
 * file it concerned (a record or folder flush: 0) and in s->what the path
 * of the file, record copy or folder that failed; KC_COPY_LEFT when taking back failed too: each file
 * not as it was has its left set, and the record stays for the next run
 * to recover. The set is released either way. */
int kc_stage_commit(kc_stage *s, int *err, size_t *failed);
/* Removes every staged file and releases the set; no destination has
 * been touched. */
void kc_stage_abandon(kc_stage *s);
/* One file staged and put in place on its own: the steps above. */
int kc_copy_file(const char *srcfile, const char *destfile, int *err);

/* Puts the names of folder dir (ending in the separator) on the disk:
 * 0, or an errno value (where the file system keeps no folder to flush,
 * nothing is lost, and 0). */
int kc_sync_folder(const char *dir);

/* Deletes the file path, a link as a link, never what it leads to (where
 * the system reaches a link only through it, as Wine does, a new file of
 * ours is renamed over the name and deleted), waiting a moment while
 * another process (a scanner) keeps it open: 0, or the errno value of
 * the failure (a folder is never deleted: EACCES). */
int kc_delete_file(const char *path);

/* ---- Recovery of what a run cut short left ----
 * A set being put in place is recorded first (plat_stage.cpp). A record
 * of ours that no process has locked is what a death in the middle left:
 * kc_recover finds those in the folders of scope and recovers each, every
 * file of its set all as it was or all new. A record is obeyed only when
 * it is one of ours: a regular file with one name, owned by this run's
 * account or the administrators, writable by no one else, whole and
 * unchanged since it was written, naming only files of scope's names in
 * its folders and names of our own beside them. Anything else named like
 * ours is left as it is and named in the report: never obeyed, never
 * deleted. */
#define KC_SCOPE_FOLDERS 4
typedef struct kc_recover_scope {
  size_t nfolders;
  const char *folders[KC_SCOPE_FOLDERS];      /* each ending in the separator */
  const char *const *names[KC_SCOPE_FOLDERS]; /* the destinations a record may name in each */
  size_t nnames[KC_SCOPE_FOLDERS];
} kc_recover_scope;
/* Why something named like ours was found and left. */
enum kc_found_why {
  KC_FOUND_NOT_FILE = 1, /* a pipe, a folder, a device or a link */
  KC_FOUND_FOREIGN,      /* another account's */
  KC_FOUND_SHARED,       /* a file others may write */
  KC_FOUND_LINKED,       /* a file with more than one name */
  KC_FOUND_DAMAGED,      /* no record of this installer's, or changed since it was written */
  KC_FOUND_NAMES,        /* it names files outside the package or the folders given */
};
#define KC_FOUND_MAX 8
typedef struct kc_found {
  char path[KC_PATH_MAX];
  int why; /* enum kc_found_why */
} kc_found;
typedef struct kc_recover_report {
  char record[KC_PATH_MAX];             /* the record not recovered */
  char folder[KC_PATH_MAX];             /* KC_RECOVER_FOREIGN: the folder it needs */
  size_t count;
  char left[KC_STAGE_MAX][KC_PATH_MAX]; /* destinations not as they were */
  size_t nfound;                        /* found and left; found[] holds the first KC_FOUND_MAX */
  kc_found found[KC_FOUND_MAX];
} kc_recover_report;
#define KC_RECOVER_OK 0      /* nothing left unrecovered in the folders */
#define KC_RECOVER_BUSY 1    /* another run is putting a set in place there */
#define KC_RECOVER_FOREIGN 2 /* a record needs a folder not given (report: record, folder); nothing changed for it */
#define KC_RECOVER_FAILED 3  /* a step failed: report names what is not as it was; the record stays */
#define KC_RECOVER_DAMAGED 4 /* a record of ours cannot be read whole, nor any other copy of it; nothing changed for it */
/* Clears report and recovers; report->nfound tells what was left. */
int kc_recover(const kc_recover_scope *scope, kc_recover_report *report);
/* Removes from folder dir (ending in the separator; "" the current one)
 * every file of ours that no process has locked and no record there
 * names; a link of our own as a name. Another account's file or link
 * named like ours stays, named in report (may be NULL). Run it after
 * kc_recover, never when that refused: the names a record it could not
 * read holds would look like leftovers. */
void kc_tmp_sweep(const char *dir, kc_recover_report *report);
/* The same for the folder of the file path, reporting nothing. */
void kc_tmp_sweep_beside(const char *path);

/* Moves the file path out of its name to a fresh name of our own beside
 * it (into moved, KC_PATH_MAX bytes) and keeps it locked until
 * kc_release(*lock): 0; or an errno value with the file as it was (ENOENT
 * none there, EBUSY locked or in use by another process). A running program's own
 * file may be moved. */
int kc_move_aside(const char *path, char *moved, intptr_t *lock);
/* Moves a file that kc_move_aside moved (locked as lock) back to path,
 * unless something stands there now: 0 or errno. */
int kc_move_back(intptr_t lock, const char *moved, const char *path);
void kc_release(intptr_t lock);

/* ---- One run per host ----
 * Locks the host whose program folder is dir for the rest of this
 * process's life: the run's lock file in that folder (a name of our own
 * drawn from "nzept.run"), created exclusively and locked; it goes when
 * the lock is let go, and one a killed run left is removed by the next.
 * Only an account that can write the host folder can take it, and
 * another account's file under its name is never taken for a lock of
 * ours. KC_HOST_LOCKED (also when the folder cannot be written: the run
 * then fails on the folder itself); KC_HOST_BUSY another run holds it;
 * KC_HOST_FOREIGN something not ours stands under its name, its path
 * into found (KC_PATH_MAX bytes). */
#define KC_HOST_LOCKED 0
#define KC_HOST_BUSY 1
#define KC_HOST_FOREIGN 2
int kc_lock_host(const char *dir, char *found);
/* Lets the host go before the process ends. */
void kc_unlock_host(void);

/* ---- The process ---- */

/* Prepares the process for the installer's work: a write beyond a file-
 * size limit then fails like any other write instead of ending the
 * process. */
void kc_process_start(void);
/* Starts the command interpreter prog (argv ending with NULL) as a process
 * of its own in folder cwd, with no handle of this process's (its output
 * goes nowhere). Without wait it outlives this one; with wait the call
 * returns once it has ended, its exit status in *status (-1 when it did
 * not end by itself). On Windows the arguments are joined with single
 * blanks: the caller quotes what must stay one word. 0, or an errno value
 * when it could not be started. */
int kc_start_interpreter(const char *prog, const char *const argv[], const char *cwd, int wait, int *status);
/* 1 when path is absolute (a drive and its root, or a server's share, on
 * Windows; "/" on POSIX), never looked for from the current folder. */
int kc_path_absolute(const char *path);
/* The system's folder of programs, with a trailing separator, into dir
 * (KC_PATH_MAX bytes): 1, or 0 when it cannot be told. */
int kc_system_dir(char *dir);

#endif /* KC_SYS_H */

/*
 * os.h - the operating-system seam of the platform library.
 *
 * Everything the platform library needs from the system goes through
 * these plain functions; the installer actions reach the system only
 * through the library (kcsys.h). Two implementations carry the same names
 * and one contract: os_win32/ (KERNEL32, ADVAPI32 and the Windows C
 * runtime) and os_posix/ (the Linux port). No other file includes
 * <windows.h>, <io.h>, <unistd.h>, <dirent.h> or <dlfcn.h>.
 *
 * Failures come back as errno values (ENOENT, EACCES, EEXIST, ...), the
 * registry's as the Windows error codes below, so that both builds report
 * the same failure with the same number.
 */
#ifndef KC_OS_H
#define KC_OS_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "plat.h"

/* ---- Path conventions of the host ---- */
extern const char OS_DIRSEP;      /* '\\' on Windows, '/' on POSIX: the only separator */
extern const char OS_LISTSEP;     /* ';' on Windows, ':' on POSIX: PATH elements */
extern const char *const OS_EXE_SUFFIX; /* ".exe" on Windows, "" on POSIX */
extern const int OS_NAMES_FOLD_CASE;    /* 1 where file names ignore case */
/* 1 when the name "has a path": holds '\' or ':' (Windows), '/' (POSIX). */
int os_name_has_path(const char *name);
/* 1 when path is absolute: "X:\", "X:/" or "\\server" on Windows, "/" on
 * POSIX; a relative name would be looked for from the current folder. */
int os_path_absolute(const char *path);
/* Length of a drive prefix "X:" at the start of path (2), else 0 (POSIX: 0). */
size_t os_drive_len(const char *path);
/* The file-name part of path: what follows its last separator (Windows:
 * '\', '/' or the drive's ':'), or path itself. */
const char *os_base_name(const char *path);

/* ---- Current directory, access, directories ---- */
int os_getcwd(char *buf, uint32_t len); /* 0, or an errno value */
int os_chdir(const char *dir);          /* 0, or an errno value */
#define OS_F_OK 0
#define OS_W_OK 2
#define OS_R_OK 4
int os_access(const char *path, int mode); /* 0, or an errno value */
int os_mkdir(const char *path);            /* 0, or an errno value */
int os_rmdir(const char *path);            /* an empty folder: 0, or an errno value */
/* Deletes the name path: a file, or a symbolic link as itself (never its
 * target). 0, or an errno value: EACCES for a folder or a read-only file,
 * ELOOP for a link the system can reach only through (see os_open_locked). */
int os_remove(const char *path);
int os_is_dir(const char *path);           /* 1 for an existing directory */
/* What stands under the name path itself, never following a link there:
 * OS_KIND_NONE (nothing, or it cannot be told), a regular file, a folder,
 * a symbolic link (Windows: any reparse point; under Wine a Unix link
 * shows as what it leads to), or anything else (a pipe, a device). */
#define OS_KIND_NONE 0
#define OS_KIND_FILE 1
#define OS_KIND_DIR 2
#define OS_KIND_LINK 3
#define OS_KIND_OTHER 4
int os_name_kind(const char *path);

/* Directory search. search is a directory prefix (ending in the separator,
 * or empty for the current directory) followed by a wildcard pattern.
 * Where OS_FIND_MATCHES is 1 (Windows) the system's search applies the
 * pattern; where it is 0 (POSIX) every entry of the directory comes back
 * and the caller filters with PatternMatch. The handle is released by
 * os_find_close only. name receives at most KC_PATH_MAX bytes. */
extern const int OS_FIND_MATCHES;
typedef intptr_t os_find_t;
#define OS_FIND_NONE ((os_find_t)-1)
os_find_t os_find_first(const char *search, char *name);
int os_find_next(os_find_t h, char *name); /* 0, or -1 when no more */
void os_find_close(os_find_t h);

/* The running program's own path, as the system records it for the process. */
int os_self_path(char *buf, uint32_t len); /* 0, or an errno value */

/* ---- Low-level files: the INI store's rewrite and the installer's copy ---- */
typedef intptr_t os_fd;
#define OS_BADFD ((os_fd)-1)
/* Opens a regular file for reading, binary: 0 or errno. Anything else
 * (a folder, a device, a pipe, or a link to one) is refused with EACCES
 * and left as it is; the open itself never waits (a pipe without a
 * writer). */
int os_open_read(const char *path, os_fd *fd);
/* Puts fd's position back at the start of the file: 0 or errno. */
int os_rewind(os_fd fd);
/* Creates path only when nothing (file or link) stands under that name,
 * locked (below), open to its owner alone (POSIX mode 0600) until the caller
 * sets its mode; the new file's access list may then be set through fd. */
int os_create_excl(const char *path, os_fd *fd); /* 0, EEXIST, or errno */
/* The mode a file made the ordinary way would get: 0666 less the
 * process's mask (POSIX); 0666, not read-only, on Windows. */
uint32_t os_new_file_mode(void);
/* Creates or truncates path for writing (read and write permission). */
int os_create_trunc(const char *path, os_fd *fd);
/* Bytes moved (a short count is possible), 0 at end of file, -1 on error
 * with the errno value in *err. */
long os_read(os_fd fd, void *buf, size_t n, int *err);
long os_write(os_fd fd, const void *buf, size_t n, int *err);
int os_fsync(os_fd fd);  /* 0 or errno */
/* Asks the system to start writing fd's data to disk now, without waiting
 * (Linux); a later os_fsync then has less to wait for. Nothing elsewhere. */
void os_start_flush(os_fd fd);
int os_close(os_fd fd);  /* 0 or errno */

typedef struct os_filestat {
  int64_t atime;     /* seconds since 1970 */
  int64_t mtime;
  uint32_t mode;     /* permission bits, low twelve bits of st_mode */
  uint64_t size;
} os_filestat;
int os_fstat(os_fd fd, os_filestat *st); /* 0 or errno */
int os_stat(const char *path, os_filestat *st);
/* 1 when both names exist and are one file (or folder): the same volume
 * serial and file index on Windows, device and inode on POSIX; whatever
 * the names' spelling, links included. */
int os_same_file(const char *a, const char *b);
int os_set_times(const char *path, int64_t atime, int64_t mtime); /* 0 or errno */
/* The times, and the permission bits, through an open file before it is
 * closed (no second open of the name). Windows keeps only the read-only
 * attribute for a mode: one without any write bit makes the file
 * read-only. 0 or errno. */
int os_fd_set_times(os_fd fd, int64_t atime, int64_t mtime);
int os_fd_chmod(os_fd fd, uint32_t mode);
/* Gives the new file fd (named tmp_name) what the host set on the file
 * open as from, which it is to replace: on POSIX its owner, group,
 * permission bits and every extended attribute, its access list among
 * them; on Windows its attributes (hidden, system, archive, not indexed)
 * and its access list, with its owner and group where the system lets
 * this process set them. 0 or errno. */
int os_keep_traits(os_fd fd, const char *tmp_name, os_fd from);
/* The file that path (open as fd, or OS_BADFD when it could not be
 * opened) stands for, into out (size bytes), so that the file and not a
 * symbolic link to it is replaced: on POSIX the target of a link, as an
 * absolute path; on Windows the final path of the opened file, as the
 * system tells it; otherwise the name itself. 0; ENOENT for a link that
 * leads nowhere (where the system shows such a link); ENAMETOOLONG when
 * out is too small. */
int os_resolve_link(const char *path, os_fd fd, char *out, size_t size);
/* Whether the file open as fd, named path, may be replaced by a new file:
 * 0; EACCES when it is read-only (os_access's write test; on Windows the
 * read-only attribute, asked through fd); EMLINK when it has a hard link
 * (a hard link), which a new file would part from it; or another errno. */
int os_fd_replaceable(os_fd fd, const char *path);

/* ---- Locked files ----
 * A locked file cannot be deleted or renamed by another process while fd is
 * open, and is never taken for stale: on Windows the handle denies delete
 * sharing, on POSIX it carries an exclusive lock (flock) that the system
 * drops with the descriptor, also when the process is killed. os_close
 * ends the lock. A file that no process has locked is provably no process's
 * work in progress. */
/* Locks the existing file path, the name itself and never what a link
 * leads to: 0; ELOOP when path is a link that this system can reach only
 * through (POSIX: a symbolic link; under Wine: a Unix link, which every
 * open follows; Windows opens a link itself and locks it as a file);
 * EBUSY when another process has it locked, or (Windows) keeps it in use
 * in a way that refuses what how asks; EACCES when it is a folder or a
 * device, or refused; ENOENT. how says what the caller will do with it:
 *   OS_LOCK_MOVE     move or delete it (a running program's own file);
 *   OS_LOCK_REPLACE  the same, and it must also be free of use: on Windows
 *                    not run as a program or library nor kept open by
 *                    another process without letting others write (POSIX
 *                    knows no such use);
 *   OS_LOCK_UPDATE   read it and append to it (a record of our own). */
#define OS_LOCK_MOVE 0
#define OS_LOCK_REPLACE 1
#define OS_LOCK_UPDATE 2
int os_open_locked(const char *path, int how, os_fd *fd);
/* Renames the locked file fd, named from, to to, in the same folder or on
 * the same volume. replace: OS_RENAME_NEW, EEXIST when anything stands
 * under to; OS_RENAME_OVER a file, a read-only file refused (EACCES);
 * OS_RENAME_OVER_LINK whatever name stands there (a link, whatever it
 * leads to). One attempt: EBUSY when another process has the file under
 * to open in a way that keeps it from being replaced for now (Windows
 * without POSIX-semantics renames, or a reader that denies delete
 * sharing); callers that may wait try again (kc_rename). 0 or errno. */
#define OS_RENAME_NEW 0
#define OS_RENAME_OVER 1
#define OS_RENAME_OVER_LINK 2
int os_fd_rename(os_fd fd, const char *from, const char *to, int replace);
/* 1 while path still names the file open as fd: no other file has been
 * put in its place since it was opened (POSIX: device and inode; Windows:
 * the file is not deleted, as one replaced under a reader with POSIX
 * semantics is). */
int os_fd_current(os_fd fd, const char *path);
/* Deletes the locked file fd, named name, and closes fd: 0 or errno (fd
 * closed either way). */
int os_fd_delete(os_fd fd, const char *name);
/* Deletes the file path, one this account wrote (os_fileinfo's ours),
 * unless a process has it locked: 0; EBUSY locked; EPERM another
 * account's, never deleted; ENOENT; EACCES for a folder, a device or a
 * read-only file; ELOOP for a link this system can reach only through
 * (see os_open_locked). A symbolic link that the system can delete as a
 * name is deleted so, never its target. */
int os_remove_unlocked(const char *path);
/* The same operations on names that no handle of ours locks, each on the
 * name itself, never through a link (ELOOP where the system could only
 * reach through one, as above):
 * os_link gives the file (or link) path a hard link link_name in the
 * same folder: 0; EEXIST when link_name is taken; ENOTSUP where the file
 * system keeps no hard links (or none for this kind of file).
 * os_rename_name renames from to to in the same folder; without replace
 * EEXIST when anything stands under to.
 * os_same_name is 1 when both names exist and are one file (a link is
 * compared as itself), else 0. */
int os_link(const char *path, const char *link_name);
int os_rename_name(const char *from, const char *to, int replace);
int os_same_name(const char *a, const char *b);
/* Puts the entries of folder dir ("" the current one) on the disk: POSIX
 * flushes the folder (where the file system keeps none to flush, nothing
 * is lost); Windows asks for it where the system allows. 0 or errno. */
int os_sync_dir(const char *dir);

/* ---- Who wrote a file ----
 * What the next run may trust of a file found on disk: its identity, its
 * names, its owner and who else may write it. */
typedef struct os_fileinfo {
  int kind;              /* OS_KIND_* of the name itself */
  uint64_t volume, index; /* the file's identity: device and inode (POSIX),
                            volume serial and file index (Windows) */
  uint64_t size;
  int64_t mtime;         /* seconds since 1970 */
  uint32_t links;        /* names the file has */
  int ours;              /* owned by the account this process acts as, or by
                            the system's administrators (root; Administrators
                            or SYSTEM) */
  int shared;            /* another account may write, delete or take it
                            (POSIX: a group or other write bit; Windows: an
                            access list entry for anyone else, or none) */
} os_fileinfo;
/* The name path itself, a link as itself: its kind and, for a file, a
 * folder or a link, the rest. Nothing is opened that could wait (a pipe).
 * 0, ENOENT, or an errno value. */
int os_name_info(const char *path, os_fileinfo *info);
/* The same of the file open as fd; os_fd_id only its kind, identity,
 * size, time and names (cheaper: Windows asks nothing of its owner). */
int os_fd_info(os_fd fd, os_fileinfo *info);
int os_fd_id(os_fd fd, os_fileinfo *info);
/* Leaves the new file fd writable by its owner and the administrators
 * alone, whatever its folder would pass on (Windows: a protected access
 * list; POSIX: mode 0600, which os_create_excl gives). 0 or errno. */
int os_fd_private(os_fd fd);

/* ---- One run per host ----
 * Creates the run's lock file path as os_create_excl does, locked for the
 * rest of the process's life (os_close ends it): on Windows it goes with
 * its last handle, also when the process is killed; on POSIX it stays,
 * unlocked, for the next run to find and remove. 0, EEXIST, or errno. */
int os_create_run_lock(const char *path, os_fd *fd);

/* The position of a stream as 64 bits (-1 when it cannot be told): the
 * runtime's ftell is 32 bits wide on Windows. */
int64_t os_tell(FILE *f);

/* ---- Environment and programs ---- */
int os_putenv(char *entry); /* hands entry to the environment; 0 or -1 */
/* Starts prog (argv ending with NULL) as a process of its own, in folder
 * cwd (NULL: this process's), with this process's environment and none of
 * its handles: standard input and output are the null device (Windows:
 * no console at all), so no pipe or file of a caller stays open for it.
 * Without wait it outlives the call; with wait the call returns when it
 * has ended, its exit status in *status (-1 when it did not end by
 * itself). Windows joins the arguments with single blanks, as the
 * runtime's exec calls do: the caller quotes what must stay one word. 0,
 * or an errno value when the program could not be started. */
int os_spawn(const char *prog, const char *const argv[], const char *cwd, int wait, int *status);
/* The system's folder of programs (Windows: the system folder; POSIX:
 * /bin), with a trailing separator, into buf: 0 or errno. */
int os_system_dir(char *buf, uint32_t len);
/* A number that differs from process to process and from call to call. */
uint32_t os_unique_seed(void);
/* A write beyond the process's file-size limit fails (EFBIG) instead of
 * ending the process (POSIX's SIGXFSZ); nothing to do on Windows. */
void os_keep_going_past_limits(void);
void os_sleep_ms(unsigned ms);
/* Milliseconds of a clock that only goes forward, from an arbitrary start:
 * for bounding waits by the time they take. */
uint64_t os_clock_ms(void);

/* ---- Libraries ---- */
/* A plain name is looked for in the running program's folder first (the
 * Windows loader does so itself), then along the loader's search. */
KCLIBRARY os_lib_load(const char *name, int quiet);
void os_lib_free(KCLIBRARY lib);
KCPROC os_lib_proc(KCLIBRARY lib, const char *name);
KCPROC os_lib_ordinal(KCLIBRARY lib, uint16_t ordinal); /* POSIX: NULL */

/* ---- Time and system information ---- */
typedef struct os_localtime {
  int year, month, day, weekday; /* weekday 0 Sunday */
  int hour, minute, second, millisecond;
} os_localtime;
void os_local_time(os_localtime *t);
/* Country code, language abbreviation (at most len-1 characters) and code
 * page of the system (Windows: the profile's "intl" section and the ANSI
 * code page; POSIX: the process locale). */
uint32_t os_country(void);
void os_language(char *buf, uint32_t len);
uint32_t os_code_page(void);

/* ---- The system's registry (HKEY_LOCAL_MACHINE) ----
 * Windows only: elsewhere the platform library keeps the same store in
 * files (plat_regfile.cpp), and the build leaves these out. The calls hand
 * back the registry's own codes, which plat_reg.cpp maps to statuses. */
#define OS_REG_SUCCESS 0
#define OS_REG_FILE_NOT_FOUND 2
#define OS_REG_ACCESS_DENIED 5
#define OS_REG_MORE_DATA 234
#define OS_REG_TIMEOUT 1460 /* ERROR_TIMEOUT: a writers' lock was not had in time */
#define OS_REG_SZ 1u
#define OS_REG_EXPAND_SZ 2u
#define OS_REG_MULTI_SZ 7u
typedef intptr_t os_regkey;
long os_reg_create(const char *subkey, os_regkey *key);   /* all access, makes missing keys */
long os_reg_open_read(const char *subkey, os_regkey *key);
long os_reg_query_type(os_regkey key, const char *name, uint32_t *type);
long os_reg_set(os_regkey key, const char *name, uint32_t type, const void *data, uint32_t size);
long os_reg_delete_value(os_regkey key, const char *name);
/* The value's type (type may be NULL) and its bytes into data (*size
 * bytes; *size receives the value's length, also with OS_REG_MORE_DATA). */
long os_reg_query(os_regkey key, const char *name, uint32_t *type, void *data, uint32_t *size);
void os_reg_close(os_regkey key);

/* ---- Fault injection, for tests ----
 * os_fault_arm(op, n) makes the n-th following call of op fail (n >= 1)
 * with EIO (ENOSPC for writes); -n that call and every one after it; 0
 * disarms. Checked by both seam files.
 * OS_OP_KEEP is os_keep_traits setting an access list or an extended
 * attribute on the new file; OS_OP_OPEN is os_open_read, failing with
 * EACCES as for a file that cannot be read; OS_OP_LINK a hard link,
 * which fails with ENOTSUP instead, as on a file system that keeps none. */
enum os_op {
  OS_OP_CREATE, OS_OP_WRITE, OS_OP_FSYNC, OS_OP_CLOSE, OS_OP_REPLACE,
  OS_OP_REMOVE, OS_OP_READ, OS_OP_KEEP, OS_OP_OPEN, OS_OP_LINK, OS_OP_COUNT
};
void os_fault_arm(enum os_op op, int nth);
int os_fault_hit(enum os_op op);  /* 1 when this call must fail */
int os_fault_left(enum os_op op); /* calls of op still to come before the armed failure (0: none armed) */
/* os_fault_kill(ops, n): the process is killed, as by the system, just
 * before the n-th following call of any op whose bit (1 << op) is in ops;
 * 0 disarms. A test's child process dies so between any two calls. */
void os_fault_kill(unsigned ops, int nth);
void os_kill_self(void); /* ends the process at once, nothing flushed */

/* ---- Power loss, for tests ----
 * os_power_cut(n, journal): from the n-th following call that changes the
 * disk on (a file or folder made, a write, a flush, a rename, a deletion,
 * a hard link, a program started), nothing more reaches it: the process
 * is killed just before that call. Until then each such call goes to the
 * journal file (outside the folders it names) with what a power cut
 * would take back, a name's earlier file first kept beside it under
 * ".nzt-cut-" and a number; a test then undoes what was not flushed
 * (tests/support/powercut.h). n 0 disarms. The seam files tell each such
 * call through os_pc, before it (OS_PC_FLUSHED and OS_PC_DIR_FLUSHED
 * after it); unarmed it costs one comparison. */
enum os_pc_what {
  OS_PC_NEW,         /* a name made for a new file (a, fd) */
  OS_PC_OPEN,        /* an existing file a opened to be written (fd) */
  OS_PC_WRITE,       /* fd */
  OS_PC_FLUSH,       /* fd, before */
  OS_PC_FLUSHED,     /* fd, after it succeeded */
  OS_PC_CLOSE,       /* fd */
  OS_PC_RENAME,      /* a to b (fd, or OS_BADFD) */
  OS_PC_REMOVE,      /* a */
  OS_PC_LINK,        /* b made a second name of a */
  OS_PC_MKDIR,       /* a */
  OS_PC_RMDIR,       /* a */
  OS_PC_DIR_FLUSH,   /* a, before */
  OS_PC_DIR_FLUSHED, /* a, after it succeeded */
  OS_PC_SPAWN,       /* a program started */
};
void os_power_cut(int n, const char *journal);
extern int os_pc_armed;
void os_pc_note(enum os_pc_what what, const char *a, const char *b, os_fd fd);
static inline void os_pc(enum os_pc_what what, const char *a, const char *b, os_fd fd) {
  if (os_pc_armed) os_pc_note(what, a, b, fd);
}

/* Pins "now" for os_local_time (tests); NULL returns to the clock.
 * os_time_pinned gives the pinned time to the seam files: 1 when pinned. */
void os_pin_time(const os_localtime *t);
int os_time_pinned(os_localtime *t);

#endif /* KC_OS_H */

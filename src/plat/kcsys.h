/*
 * kcsys.h - what the platform library offers the installer actions beyond
 * its exported KC functions: the host's path conventions, the current and
 * the running program's folders, the read of one INI value into a sized
 * buffer, the copy of one file, and the hand-over to the command
 * interpreter. With kcstr.h, the installer's only way to the system. Not
 * exported.
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
 * KC_INI_EDITS_MAX, entries distinct. The bytes written are those of
 * KCINISetString called for each in turn; its statuses; on a failure
 * none of them is written. */
#define KC_INI_EDITS_MAX 4
uint32_t kc_ini_set_values(const char *section, size_t count, const char *const entries[], const char *const values[],
                           const char *file_name);

/* ---- Copying one file ---- */

/* The step at which kc_copy_file stopped, for the caller's message. */
enum kc_copy_step {
  KC_COPY_DONE = 0,
  KC_COPY_OPEN_SOURCE, /* the source cannot be opened or asked for its status */
  KC_COPY_SAME_FILE,   /* the destination is the source itself under another name */
  KC_COPY_CREATE,      /* the destination cannot be created or replaced */
  KC_COPY_READ,        /* reading the source failed part-way */
  KC_COPY_WRITE,       /* writing or closing the destination failed */
};
/* Copies srcfile to destfile, which gets the source's times and
 * permission bits with the owner's write bit added (never read-only). A
 * new file is written in place (made exclusively; a failed copy deletes
 * it). An earlier file is replaced only by a whole copy: the data goes to
 * a temporary file beside it (its name and ".nztmp"; one an interrupted
 * copy left is replaced), flushed to disk, and renamed over it; on every
 * failure the earlier file is as it was and no temporary file is left. A
 * destination that is the source itself (another spelling of its folder,
 * a link) or is read-only is refused before anything is written.
 * KC_COPY_DONE, or the failing step with its errno value in *err. */
int kc_copy_file(const char *srcfile, const char *destfile, int *err);

/* ---- The process ---- */

/* Prepares the process for the installer's work: a write beyond a file-
 * size limit then fails like any other write instead of ending the
 * process. */
void kc_process_start(void);
/* Starts the command interpreter prog (argv ending with NULL) as a process
 * of its own, which outlives this one; it is not waited for. On Windows
 * the arguments are joined with single blanks: the caller quotes what must
 * stay one word. 0, or an errno value when it could not be started. */
int kc_start_interpreter(const char *prog, const char *const argv[]);

#endif /* KC_SYS_H */

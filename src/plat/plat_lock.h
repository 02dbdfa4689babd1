/*
 * plat_lock.h - lock files and the one backoff of the platform library.
 *
 * A writer that changes a file another may change at the same
 * time (an INI file, a registry value kept in files) first creates the
 * file's lock file: beside the file, named from its name (plat_names.h),
 * created exclusively and locked while its writer is at work (os.h: held
 * open without delete sharing on Windows, flock on POSIX). The writer
 * writes the file's new content into it and commits it: the lock file is
 * renamed over the file in one step, which ends the lock. A writer that
 * has nothing to commit rolls the lock back: the lock file goes. A lock
 * file that nobody has locked is what a killed writer left; the next
 * writer removes it and takes the lock.
 *
 * Every wait of ours is bounded by the clock and paced by one backoff:
 * short pauses, doubling up to KC_PAUSE_MAX_MS.
 */
#ifndef KC_PLAT_LOCK_H
#define KC_PLAT_LOCK_H

#include <stddef.h>
#include <stdint.h>

#include "kcsys.h"

/* How long a writer waits for another writer's lock before it gives up. */
#define KC_LOCK_WAIT_MS 5000
/* How long a rename, a removal or a locked open waits while a reader (or
 * a scanner) of another process keeps the file open where the system then
 * refuses it. */
#define KC_BUSY_WAIT_MS 2000
#define KC_PAUSE_MAX_MS 8
/* The lock wait in force: KC_LOCK_WAIT_MS; tests shorten it. */
extern unsigned kc_lock_wait_ms;

typedef struct kc_backoff {
  uint64_t until; /* os_clock_ms() at which waiting ends */
  unsigned pause; /* the next pause, in milliseconds */
} kc_backoff;
/* Starts a wait of at most limit_ms milliseconds from now. */
void kc_backoff_start(kc_backoff *b, unsigned limit_ms);
/* Pauses before the next try: 1; 0, without pausing, once the time is up. */
int kc_backoff_wait(kc_backoff *b);
/* 1 once the time is up. */
int kc_backoff_over(const kc_backoff *b);

#define KC_LOCK_PATH_MAX 4096
typedef struct kc_lock {
  char path[KC_LOCK_PATH_MAX]; /* the lock file */
  intptr_t fd;                /* locked while taken; OS_BADFD otherwise */
} kc_lock;

/* One attempt at the lock of target (a path shorter than KC_LOCK_PATH_MAX
 * bytes), its name folded to one letter case when fold is set: 0, lk
 * taken; EBUSY another writer holds it; EAGAIN a lock file nobody had locked
 * was removed (try again at once); or another errno value (ENAMETOOLONG
 * when the name does not fit). */
int kc_lock_try(kc_lock *lk, const char *target, int fold);
/* Takes the lock of target, waiting at most kc_lock_wait_ms while another
 * writer holds it: 0; ETIMEDOUT; or another errno value. */
int kc_lock_take(kc_lock *lk, const char *target, int fold);
/* Puts the lock file, holding target's new content (flushed by the
 * caller), in target's place in one step (replace: over a file there;
 * else only where nothing stands), which ends the lock: 0; or an errno
 * value with target as it was and the lock rolled back. The caller
 * flushes the folder for the new name. */
int kc_lock_commit(kc_lock *lk, const char *target, int replace);
/* Ends the lock without a change: the lock file goes. */
void kc_lock_rollback(kc_lock *lk);

/* Renames the locked file fd, named from (OS_BADFD: the name from itself,
 * see os_rename_name), to to (how: OS_RENAME_NEW, OS_RENAME_OVER, or
 * OS_RENAME_OVER_LINK for a link there; see os_fd_rename), trying again
 * for up to KC_BUSY_WAIT_MS while another process keeps either open: 0 or
 * an errno value (EACCES when it stayed in use). */
int kc_rename(intptr_t fd, const char *from, const char *to, int how);

/* Removes the file of ours path unless a process has it locked, a link as
 * a name (never what it leads to; where the system reaches a link only
 * through it, as Wine does, a new file of ours is renamed over the name
 * and deleted): os_remove_unlocked's statuses. kc_delete_file (kcsys.h)
 * does the same whether or not the file is locked. */
int kc_tmp_remove_unlocked(const char *path);

/* os_open_locked, trying again for up to KC_BUSY_WAIT_MS while another
 * process keeps the file open without sharing it: its statuses (EBUSY
 * when it stayed in use). */
int kc_open_locked(const char *path, int how, intptr_t *fd);

#endif /* KC_PLAT_LOCK_H */

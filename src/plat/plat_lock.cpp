// Lock files and the one backoff (plat_lock.h): take, commit, roll back;
// and what else waits on a file another process (a scanner, a reader)
// keeps open for a moment: opening it locked, renaming a name, removing
// one as a name, never through a link.
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "os.h"
#include "plat_lock.h"
#include "plat_names.h"

unsigned kc_lock_wait_ms = KC_LOCK_WAIT_MS;

void kc_backoff_start(kc_backoff *b, unsigned limit_ms) {
  b->until = os_clock_ms() + limit_ms;
  b->pause = 1;
}

int kc_backoff_over(const kc_backoff *b) { return os_clock_ms() >= b->until; }

int kc_backoff_wait(kc_backoff *b) {
  uint64_t now = os_clock_ms();
  if (now >= b->until) return 0;
  // Never past the end: the wait is the one promised, however the pauses fall.
  unsigned pause = b->until - now < b->pause ? (unsigned)(b->until - now) : b->pause;
  os_sleep_ms(pause);
  if (b->pause < KC_PAUSE_MAX_MS) b->pause *= 2;
  return 1;
}

// Under Wine a Unix link can only be reached through, never removed as
// itself: its name is taken by a new file of ours renamed over it, which
// then goes. What the link led to is never opened.
static int take_name(const char *path) {
  char tmp[KC_PATH_MAX];
  os_fd fd;
  int e = kc_tmp_create(path, tmp, sizeof tmp, &fd);
  if (e) return e;
  if ((e = kc_rename(fd, tmp, path, OS_RENAME_OVER_LINK)) != 0) {
    (void)os_fd_delete(fd, tmp);
    return e;
  }
  return os_fd_delete(fd, path);
}

int kc_delete_file(const char *path) {
  kc_backoff b;
  kc_backoff_start(&b, KC_BUSY_WAIT_MS);
  int e;
  while ((e = os_remove(path)) == EBUSY && kc_backoff_wait(&b)) {
  }
  return e == ELOOP ? take_name(path) : e;
}

int kc_open_locked(const char *path, int how, intptr_t *fd) {
  kc_backoff b;
  kc_backoff_start(&b, KC_BUSY_WAIT_MS);
  int e;
  while ((e = os_open_locked(path, how, fd)) == EBUSY && kc_backoff_wait(&b)) {
  }
  return e;
}

int kc_tmp_remove_unlocked(const char *path) {
  int e = os_remove_unlocked(path);
  return e == ELOOP ? take_name(path) : e;
}

int kc_lock_try(kc_lock *lk, const char *target, int fold) {
  lk->fd = OS_BADFD;
  if (!kc_lock_name(lk->path, sizeof lk->path, target, fold)) return ENAMETOOLONG;
  int e = os_create_excl(lk->path, &lk->fd);
  if (e != EEXIST) return e;
  // Locked by a writer at work, or left by a killed one, which goes; a
  // link there goes as a name.
  return kc_tmp_remove_unlocked(lk->path) == 0 ? EAGAIN : EBUSY;
}

int kc_lock_take(kc_lock *lk, const char *target, int fold) {
  kc_backoff b;
  kc_backoff_start(&b, kc_lock_wait_ms);
  for (;;) {
    int e = kc_lock_try(lk, target, fold);
    if (e == EAGAIN && !kc_backoff_over(&b)) continue;
    if (e != EBUSY && e != EAGAIN) return e;
    if (!kc_backoff_wait(&b)) return ETIMEDOUT;
  }
}

void kc_lock_rollback(kc_lock *lk) {
  if (lk->fd != OS_BADFD) (void)os_fd_delete(lk->fd, lk->path);
  lk->fd = OS_BADFD;
}

int kc_rename(intptr_t fd, const char *from, const char *to, int how) {
  kc_backoff b;
  kc_backoff_start(&b, KC_BUSY_WAIT_MS);
  int e;
  while ((e = fd != OS_BADFD ? os_fd_rename(fd, from, to, how) : os_rename_name(from, to, how)) == EBUSY &&
         kc_backoff_wait(&b)) {
  }
  return e == EBUSY ? EACCES : e; // still in use: refused, as the system says it
}

int kc_lock_commit(kc_lock *lk, const char *target, int replace) {
  // Renamed while still locked: no other writer takes it for a leftover.
  int e = kc_rename(lk->fd, lk->path, target, replace ? OS_RENAME_OVER : OS_RENAME_NEW);
  if (e) {
    kc_lock_rollback(lk);
    return e;
  }
  // Flushed before the rename: a late close error changes nothing on disk.
  (void)os_close(lk->fd);
  lk->fd = OS_BADFD;
  return 0;
}

/* ---- One run per host ---- */

// The run's lock file is the lock of this name in the host folder.
#define HOST_LOCK_TARGET "nzept.run"

static kc_lock gHost = {"", OS_BADFD};

static void unlock_at_exit(void) { kc_unlock_host(); }

int kc_lock_host(const char *dir, char *found) {
  static int registered;
  char target[KC_LOCK_PATH_MAX];
  found[0] = '\0';
  kc_unlock_host(); // a second lock of the same host would meet the first
  if (!kc_format(target, sizeof target, "%s" HOST_LOCK_TARGET, dir) ||
      !kc_lock_name(gHost.path, sizeof gHost.path, target, 1))
    return KC_HOST_LOCKED; // the run fails on the folder itself
  if (!registered) registered = atexit(unlock_at_exit) == 0;
  for (int tries = 0; tries < KC_TMP_TRIES; ++tries) {
    int e = os_create_run_lock(gHost.path, &gHost.fd);
    if (e == 0) return KC_HOST_LOCKED;
    if (e != EEXIST) break; // no folder, or none to write in: the run fails on it
    // A run's lock that nobody holds is what a killed run left; another
    // account's file under its name is never taken for ours.
    e = kc_tmp_remove_unlocked(gHost.path);
    if (e == EBUSY) return KC_HOST_BUSY;
    if (e != 0 && e != ENOENT) {
      kc_copy(found, KC_PATH_MAX, gHost.path);
      return KC_HOST_FOREIGN;
    }
  }
  gHost.fd = OS_BADFD;
  return KC_HOST_LOCKED;
}

void kc_unlock_host(void) {
  if (gHost.fd != OS_BADFD) (void)os_fd_delete(gHost.fd, gHost.path);
  gHost.fd = OS_BADFD;
}

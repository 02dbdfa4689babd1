// A file moved aside: out of its name to a fresh name of ours beside it,
// locked until it is let go or moved back (the remover's own files while
// it hands them over); and a folder's names put on the disk.
#include <errno.h>
#include <string.h>

#include "os.h"
#include "plat_int.h"
#include "plat_lock.h"

int kc_move_aside(const char *path, char *moved, intptr_t *lock) {
  os_fd fd;
  *lock = OS_BADFD;
  int e = kc_open_locked(path, OS_LOCK_MOVE, &fd);
  if (e) return e;
  if ((e = kc_tmp_move(fd, path, moved, KC_PATH_MAX)) != 0) {
    (void)os_close(fd);
    return e;
  }
  *lock = fd;
  return 0;
}

int kc_move_back(intptr_t lock, const char *moved, const char *path) { return kc_rename(lock, moved, path, OS_RENAME_NEW); }

void kc_release(intptr_t lock) {
  if (lock != OS_BADFD) (void)os_close(lock);
}

int kc_sync_folder(const char *dir) { return os_sync_dir(dir); }

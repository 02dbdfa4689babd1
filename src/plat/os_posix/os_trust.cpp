// POSIX seam: who wrote a file. A file is this run's when root or the
// account the process acts as owns it; another account may write it when
// any group or other write bit is set (conservative: a group may hold
// anyone).
#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include "os.h"
#include "os_errno.h"

static void fill(const struct stat *st, os_fileinfo *info) {
  info->kind = S_ISREG(st->st_mode)   ? OS_KIND_FILE
               : S_ISDIR(st->st_mode) ? OS_KIND_DIR
               : S_ISLNK(st->st_mode) ? OS_KIND_LINK
                                      : OS_KIND_OTHER;
  info->volume = (uint64_t)st->st_dev;
  info->index = (uint64_t)st->st_ino;
  info->size = (uint64_t)st->st_size;
  info->mtime = (int64_t)st->st_mtime;
  info->links = (uint32_t)st->st_nlink;
  info->ours = st->st_uid == 0 || st->st_uid == geteuid();
  info->shared = (st->st_mode & 022) != 0 && !S_ISLNK(st->st_mode);
}

int os_name_info(const char *path, os_fileinfo *info) {
  struct stat st;
  if (lstat(path, &st) != 0) return os_errno(errno);
  fill(&st, info);
  return 0;
}

int os_fd_info(os_fd fd, os_fileinfo *info) {
  struct stat st;
  if (fstat((int)fd, &st) != 0) return os_errno(errno);
  fill(&st, info);
  // A file system that keeps no modes (FAT, exFAT, NTFS through FUSE)
  // shows every file writable by all, and ignores a change: there the
  // bits say nothing of who may write. Asked of a file of ours only, and
  // put back as it was.
  if (info->shared && info->ours && S_ISREG(st.st_mode)) {
    struct stat after;
    if (fchmod((int)fd, st.st_mode & 07755) == 0 && fstat((int)fd, &after) == 0) {
      info->shared = (after.st_mode & 022) != 0 ? 0 : 1;
      if (info->shared) (void)fchmod((int)fd, st.st_mode & 07777);
    }
  }
  return 0;
}

int os_fd_id(os_fd fd, os_fileinfo *info) { return os_fd_info(fd, info); }

// Where the file system keeps no modes the change does nothing, and no
// error: there is nothing to keep others out with.
int os_fd_private(os_fd fd) { return fchmod((int)fd, 0600) == 0 || errno == EPERM ? 0 : os_errno(errno); }

// POSIX seam: low-level files for the INI store's rewrite and the
// installer's copies.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>
#include <utime.h>

#include "os.h"
#include "os_errno.h"

static os_fd open_fd(const char *path, int flags, os_fd *fd) {
  int f;
  do {
    f = open(path, flags | O_CLOEXEC, 0666);
  } while (f < 0 && errno == EINTR);
  if (f < 0) return os_errno(errno);
  *fd = f;
  return 0;
}

int os_open_read(const char *path, os_fd *fd) {
  *fd = OS_BADFD;
  if (os_fault_hit(OS_OP_OPEN)) return EACCES;
  // Without waiting: a pipe without a writer would block the open. What
  // opened is then looked at through the descriptor, so that what is
  // refused is what was opened, not what the name holds a moment later.
  int e = open_fd(path, O_RDONLY | O_NONBLOCK, fd);
  if (e) return e;
  struct stat st;
  if (fstat((int)*fd, &st) != 0)
    e = os_errno(errno);
  else if (!S_ISREG(st.st_mode))
    e = EACCES; // a folder, a device, a pipe: no file to read
  if (e) {
    close((int)*fd);
    *fd = OS_BADFD;
    return e;
  }
  return 0;
}

uint32_t os_new_file_mode(void) {
  // The process's mask, read without changing it: a change, even one put
  // back at once, would be seen by other threads of a caller.
  unsigned mask = 022;
  FILE *f = fopen("/proc/self/status", "re");
  if (f) {
    char line[128];
    while (fgets(line, sizeof line, f))
      if (sscanf(line, "Umask: %o", &mask) == 1) break;
    fclose(f);
  }
  return 0666u & ~(uint32_t)mask;
}

int os_sync_dir(const char *dir) {
  if (os_fault_hit(OS_OP_FSYNC)) return EIO;
  os_pc(OS_PC_DIR_FLUSH, dir, NULL, OS_BADFD);
  int d = open(dir[0] ? dir : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (d < 0) return os_errno(errno);
  int e = fsync(d) == 0 ? 0 : errno;
  close(d);
  // Some file systems keep no folder to flush: nothing is lost there.
  e = (e == EINVAL || e == ENOTSUP) ? 0 : os_errno(e);
  if (e == 0) os_pc(OS_PC_DIR_FLUSHED, dir, NULL, OS_BADFD);
  return e;
}

int os_create_trunc(const char *path, os_fd *fd) {
  *fd = OS_BADFD;
  if (os_fault_hit(OS_OP_CREATE)) return EIO;
  // A file without any write bit is read-only here, as the read-only
  // attribute is on Windows, even for root.
  struct stat st;
  if (stat(path, &st) == 0 && S_ISREG(st.st_mode) && !(st.st_mode & 0222)) return EACCES;
  if (os_pc_armed && lstat(path, &st) == 0) os_pc(OS_PC_REMOVE, path, NULL, OS_BADFD); // emptied: as made anew
  os_pc(OS_PC_NEW, path, NULL, OS_BADFD);
  int e = open_fd(path, O_WRONLY | O_CREAT | O_TRUNC, fd);
  if (e == 0) os_pc(OS_PC_OPEN, path, NULL, *fd);
  return e;
}

long os_read(os_fd fd, void *buf, size_t n, int *err) {
  if (os_fault_hit(OS_OP_READ)) {
    *err = EIO;
    return -1;
  }
  ssize_t r;
  do {
    r = read((int)fd, buf, n);
  } while (r < 0 && errno == EINTR);
  if (r < 0) *err = os_errno(errno);
  return (long)r;
}

long os_write(os_fd fd, const void *buf, size_t n, int *err) {
  if (os_fault_hit(OS_OP_WRITE)) {
    *err = ENOSPC;
    return -1;
  }
  os_pc(OS_PC_WRITE, NULL, NULL, fd);
  ssize_t r;
  do {
    r = write((int)fd, buf, n);
  } while (r < 0 && errno == EINTR);
  if (r < 0) *err = os_errno(errno);
  return (long)r;
}

int os_rewind(os_fd fd) { return lseek((int)fd, 0, SEEK_SET) == 0 ? 0 : os_errno(errno); }

int os_fsync(os_fd fd) {
  if (os_fault_hit(OS_OP_FSYNC)) return EIO;
  os_pc(OS_PC_FLUSH, NULL, NULL, fd);
  if (fsync((int)fd) != 0) return os_errno(errno);
  os_pc(OS_PC_FLUSHED, NULL, NULL, fd);
  return 0;
}

void os_start_flush(os_fd fd) { (void)sync_file_range((int)fd, 0, 0, SYNC_FILE_RANGE_WRITE); }

int os_close(os_fd fd) {
  if (fd == OS_BADFD) return EBADF;
  os_pc(OS_PC_CLOSE, NULL, NULL, fd);
  int r = close((int)fd) == 0 ? 0 : os_errno(errno);
  if (os_fault_hit(OS_OP_CLOSE)) return EIO; // the descriptor is gone either way
  return r;
}

static void fill_stat(const struct stat *s, os_filestat *st) {
  st->atime = (int64_t)s->st_atime;
  st->mtime = (int64_t)s->st_mtime;
  st->mode = (uint32_t)(s->st_mode & 07777);
  st->size = (uint64_t)s->st_size;
}

int os_fstat(os_fd fd, os_filestat *st) {
  struct stat s;
  if (fstat((int)fd, &s) != 0) return os_errno(errno);
  fill_stat(&s, st);
  return 0;
}

int os_stat(const char *path, os_filestat *st) {
  struct stat s;
  if (stat(path, &s) != 0) return os_errno(errno);
  fill_stat(&s, st);
  return 0;
}

int os_same_file(const char *a, const char *b) {
  struct stat x, y;
  if (stat(b, &y) != 0 || stat(a, &x) != 0) return 0;
  return x.st_dev == y.st_dev && x.st_ino == y.st_ino;
}

int os_set_times(const char *path, int64_t atime, int64_t mtime) {
  struct utimbuf tv;
  tv.actime = (time_t)atime;
  tv.modtime = (time_t)mtime;
  return utime(path, &tv) == 0 ? 0 : os_errno(errno);
}

int os_fd_set_times(os_fd fd, int64_t atime, int64_t mtime) {
  struct timespec ts[2];
  ts[0].tv_sec = (time_t)atime;
  ts[0].tv_nsec = 0;
  ts[1].tv_sec = (time_t)mtime;
  ts[1].tv_nsec = 0;
  return futimens((int)fd, ts) == 0 ? 0 : os_errno(errno);
}

int os_fd_chmod(os_fd fd, uint32_t mode) { return fchmod((int)fd, (mode_t)(mode & 07777)) == 0 ? 0 : os_errno(errno); }

// The value of attribute name of fd into a block of its size (*buf, to be
// freed by the caller), its length in *n. 0 or errno.
static int xattr_value(int fd, const char *name, char **buf, ssize_t *n) {
  *buf = NULL;
  *n = fgetxattr(fd, name, NULL, 0);
  if (*n < 0) return errno;
  *buf = (char *)malloc(*n > 0 ? (size_t)*n : 1);
  if (!*buf) return ENOMEM;
  ssize_t again = fgetxattr(fd, name, *buf, (size_t)*n);
  if (again < 0 || again != *n) return again < 0 ? errno : EAGAIN; // changed under us
  return 0;
}

// Every extended attribute of from onto fd, the access list
// (system.posix_acl_access) among them. One the new file has already with
// the same value (a label every new file of the folder gets) is not set
// again. The integrity hashes the kernel keeps of the content itself are
// not carried to a file of other content.
static int keep_xattrs(int fd, int from) {
  ssize_t size = flistxattr(from, NULL, 0);
  if (size <= 0) return size == 0 || errno == ENOTSUP ? 0 : errno; // none to keep
  char *names = (char *)malloc((size_t)size);
  if (!names) return ENOMEM;
  int r = 0;
  ssize_t got = flistxattr(from, names, (size_t)size);
  if (got < 0) r = errno == ERANGE ? EAGAIN : errno;
  for (ssize_t at = 0; r == 0 && at < got; at += (ssize_t)strlen(names + at) + 1) {
    const char *name = names + at;
    if (strcmp(name, "security.ima") == 0 || strcmp(name, "security.evm") == 0) continue;
    char *value = NULL, *had = NULL;
    ssize_t n = 0, m = 0;
    r = xattr_value(from, name, &value, &n);
    if (r == 0 && (xattr_value(fd, name, &had, &m) != 0 || m != n || memcmp(had, value, (size_t)n) != 0)) {
      if (os_fault_hit(OS_OP_KEEP)) r = EIO;
      else if (fsetxattr(fd, name, value, (size_t)n, 0) != 0) r = errno;
    }
    free(value);
    free(had);
  }
  free(names);
  return r;
}

int os_keep_traits(os_fd fd, const char *tmp_name, os_fd from) {
  (void)tmp_name;
  struct stat s;
  if (fstat((int)from, &s) != 0) return os_errno(errno);
  // The owner first: a change of owner clears the set-id bits that the
  // mode then puts back. Where the owner cannot be kept (not run as root),
  // the new file would belong to someone else: refused.
  if (fchown((int)fd, s.st_uid, s.st_gid) != 0) return os_errno(errno);
  if (fchmod((int)fd, s.st_mode & 07777) != 0) return os_errno(errno);
  // Then the access list: the mode's group bits are its mask, which the
  // list's own group entry may narrow. A list that cannot be kept is a
  // refusal: without it the group would get the mask's rights, and the
  // accounts it names would lose theirs.
  return os_errno(keep_xattrs((int)fd, (int)from));
}

int os_fd_replaceable(os_fd fd, const char *path) {
  if (os_access(path, OS_W_OK) == EACCES) return EACCES;
  struct stat s;
  if (fstat((int)fd, &s) != 0) return os_errno(errno);
  return s.st_nlink > 1 ? EMLINK : 0;
}

int64_t os_tell(FILE *f) { return (int64_t)ftello(f); }

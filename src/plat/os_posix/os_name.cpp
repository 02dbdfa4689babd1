// POSIX seam: files by name. Held our files, renames and deletions,
// hard links, and what a name leads to; each acts on the name itself,
// never on what a symbolic link there leads to.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "os.h"
#include "os_errno.h"

// A file's lock is an exclusive flock on the open file: the system drops
// it with the last descriptor, also when the process is killed, so a file
// nobody has locked is provably nobody's work in progress.
static int lock_fd(int f) { return flock(f, LOCK_EX | LOCK_NB) == 0 ? 0 : (errno == EWOULDBLOCK ? EBUSY : errno); }

// 1 when path still names the open file f (not a link to it).
static int still_named(int f, const char *path) {
  struct stat a, b;
  return fstat(f, &a) == 0 && lstat(path, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

static void drop(os_fd *fd) {
  close((int)*fd);
  *fd = OS_BADFD;
}

int os_create_excl(const char *path, os_fd *fd) {
  *fd = OS_BADFD;
  if (os_fault_hit(OS_OP_CREATE)) return EIO;
  // O_EXCL with O_CREAT also refuses a dangling link under that name. The
  // owner's alone until the caller gives it the mode it is to have: what
  // is written into it is nobody else's to read meanwhile.
  int f;
  os_pc(OS_PC_NEW, path, NULL, OS_BADFD);
  do {
    f = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  } while (f < 0 && errno == EINTR);
  if (f < 0) return os_errno(errno);
  *fd = f;
  os_pc(OS_PC_OPEN, path, NULL, *fd);
  // Between the creation and the lock another process may have found the
  // file unlocked and removed it as stale: the name is then not ours.
  if (lock_fd((int)*fd) != 0 || !still_named((int)*fd, path)) {
    drop(fd);
    return EEXIST;
  }
  return 0;
}

int os_open_locked(const char *path, int how, os_fd *fd) {
  *fd = OS_BADFD;
  // The name itself: O_NOFOLLOW refuses a symbolic link (ELOOP), which the
  // caller then handles as a name. A running program's file may be
  // replaced here, so OS_LOCK_REPLACE asks nothing more.
  int f, flags = (how == OS_LOCK_UPDATE ? O_RDWR : O_RDONLY) | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC;
  do {
    f = open(path, flags);
  } while (f < 0 && errno == EINTR);
  if (f < 0) return os_errno(errno);
  *fd = f;
  struct stat st;
  if (fstat((int)*fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    drop(fd);
    return EACCES; // a folder or a device is no file to replace or move
  }
  if (lock_fd((int)*fd) != 0) {
    drop(fd);
    return EBUSY; // another process has it locked
  }
  if (how == OS_LOCK_UPDATE) os_pc(OS_PC_OPEN, path, NULL, *fd);
  return 0;
}

// Renames the name from to to, never following either: rename() takes
// names as they are.
static int rename_names(const char *from, const char *to, int replace, os_fd fd) {
  if (os_fault_hit(OS_OP_REPLACE)) return EIO;
  os_pc(OS_PC_RENAME, from, to, fd);
  if (replace) {
    // A read-only file is not replaced, as on Windows; a link is a name.
    struct stat st;
    if (lstat(to, &st) == 0 && S_ISREG(st.st_mode) && !(st.st_mode & 0222)) return EACCES;
    return rename(from, to) == 0 ? 0 : os_errno(errno);
  }
  if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return os_errno(errno);
  // A file system without the flag: a hard link made exclusively, then
  // the first one dropped. One that keeps no hard links either (FAT,
  // exFAT) gets a look first: nothing may stand there. Only a process
  // that makes that name between the look and the rename could lose it,
  // and the host's lock keeps runs of ours apart.
  if (link(from, to) != 0) {
    int e = errno;
    if (e != EPERM && e != EOPNOTSUPP && e != EMLINK && e != EXDEV) return os_errno(e);
    struct stat st;
    if (lstat(to, &st) == 0) return EEXIST;
    return rename(from, to) == 0 ? 0 : os_errno(errno);
  }
  if (unlink(from) != 0) {
    int e = errno;
    (void)unlink(to);
    return os_errno(e);
  }
  return 0;
}

int os_rename_name(const char *from, const char *to, int replace) { return rename_names(from, to, replace, OS_BADFD); }

int os_link(const char *path, const char *link_name) {
  if (os_fault_hit(OS_OP_LINK)) return ENOTSUP; // as where no hard links are kept
  // linkat without AT_SYMLINK_FOLLOW names the link itself, not its target.
  os_pc(OS_PC_LINK, path, link_name, OS_BADFD);
  if (linkat(AT_FDCWD, path, AT_FDCWD, link_name, 0) == 0) return 0;
  int e = errno;
  // No hard links on this file system, or none for this file.
  if (e == EPERM || e == EOPNOTSUPP || e == EMLINK || e == EXDEV) return ENOTSUP;
  return os_errno(e);
}

int os_same_name(const char *a, const char *b) {
  struct stat x, y;
  return lstat(a, &x) == 0 && lstat(b, &y) == 0 && x.st_dev == y.st_dev && x.st_ino == y.st_ino;
}

int os_fd_rename(os_fd fd, const char *from, const char *to, int replace) {
  // The lock keeps every other process of ours off the name.
  return rename_names(from, to, replace, fd);
}

int os_fd_current(os_fd fd, const char *path) {
  struct stat a, b;
  return fstat((int)fd, &a) == 0 && stat(path, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

int os_fd_delete(os_fd fd, const char *name) {
  int e = 0;
  if (os_fault_hit(OS_OP_REMOVE))
    e = EIO;
  else if (!still_named((int)fd, name))
    e = ENOENT; // the name no longer leads to this file: nothing of ours to remove
  else if (os_pc(OS_PC_REMOVE, name, NULL, OS_BADFD), unlink(name) != 0)
    e = os_errno(errno);
  os_pc(OS_PC_CLOSE, NULL, NULL, fd);
  close((int)fd);
  return e;
}

int os_remove_unlocked(const char *path) {
  if (os_fault_hit(OS_OP_REMOVE)) return EIO;
  // A link of our own is removed as a name: nothing locks a link, and what it
  // leads to is never touched.
  struct stat ls;
  if (lstat(path, &ls) != 0) return os_errno(errno);
  // Another account's file, or link, is never taken for a leftover of ours.
  if (ls.st_uid != 0 && ls.st_uid != geteuid()) return EPERM;
  if (S_ISLNK(ls.st_mode)) {
    os_pc(OS_PC_REMOVE, path, NULL, OS_BADFD);
    return unlink(path) == 0 ? 0 : os_errno(errno);
  }
  int f = open(path, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
  if (f < 0) return os_errno(errno);
  struct stat st;
  int e = 0;
  if (fstat(f, &st) != 0 || !S_ISREG(st.st_mode))
    e = EACCES;
  else if (st.st_uid != 0 && st.st_uid != geteuid())
    e = EPERM; // put in its place meanwhile by another account
  else if ((e = lock_fd(f)) != 0)
    ; // its writer is still at work
  else if (!still_named(f, path))
    e = ENOENT; // renamed into place meanwhile: no longer a temporary file
  else if (os_pc(OS_PC_REMOVE, path, NULL, OS_BADFD), unlink(path) != 0)
    e = os_errno(errno);
  close(f);
  return e;
}

int os_remove(const char *path) {
  if (os_fault_hit(OS_OP_REMOVE)) return EIO;
  struct stat st;
  if (lstat(path, &st) == 0) {
    // Files only: a directory is never removed by name.
    if (S_ISDIR(st.st_mode)) return os_errno(EISDIR);
    // A file without any write bit is read-only, as the read-only attribute
    // is on Windows, where its deletion is refused too.
    if (S_ISREG(st.st_mode) && !(st.st_mode & 0222)) return EACCES;
  }
  os_pc(OS_PC_REMOVE, path, NULL, OS_BADFD);
  return unlink(path) == 0 ? 0 : os_errno(errno);
}

int os_resolve_link(const char *path, os_fd fd, char *out, size_t size) {
  (void)fd; // a link is seen by its name
  struct stat s;
  if (lstat(path, &s) != 0 || !S_ISLNK(s.st_mode)) {
    if (strlen(path) >= size) return ENAMETOOLONG;
    memcpy(out, path, strlen(path) + 1);
    return 0;
  }
  char real[PATH_MAX];
  if (!realpath(path, real)) return os_errno(errno);
  if (strlen(real) >= size) return ENAMETOOLONG;
  memcpy(out, real, strlen(real) + 1);
  return 0;
}

int os_create_run_lock(const char *path, os_fd *fd) { return os_create_excl(path, fd); }

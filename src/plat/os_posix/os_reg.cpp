// POSIX seam: the registry as a tree of folders and files, standing for
// HKEY_LOCAL_MACHINE. The root is the folder named by KC_REGISTRY_ROOT, else
// /var/lib/kc/registry. A key is a folder, each '\'-separated component of a
// key path one level. A value is a file of its own in its key's folder,
// named '=' and the value name with every byte outside [A-Za-z0-9_.-]
// written as %XX, holding the line "kcreg <type>" and then the value's bytes.
// A value is written to a temporary file ("=~...") and renamed into place,
// so a reader sees the old value or the new one, never a part. The writer
// holds a lock on its temporary file; one that nobody holds is what a
// killed writer left, and every later write to the key removes it. Names of keys
// and values are matched without regard to ASCII case, as the system's
// registry does; a new key or value keeps the caller's spelling. A value
// name too long for a file name once encoded is stored under "=#" and a
// 64-bit digest of its letters folded to one case: no call lists names,
// and every spelling of the name finds it.
//
// Writers of one key take turns, processes and threads alike: each holds
// an exclusive lock (flock) on the key's folder while it looks for the
// spelling on disk and writes, and on a parent folder while it makes a
// key in it, so that two spellings of one new key or value make one. The
// system drops the lock with the process. Readers take none. Every new
// folder and every changed folder is flushed before the call reports done.
//
// The calls report the Windows registry's error codes, so that both builds
// give the same statuses: missing key or value 2, refused access 5, a value
// longer than the buffer 234.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kcstr.h"
#include "os.h"
#include "os_errno.h"

#define REG_ROOT_ENV "KC_REGISTRY_ROOT"
#define REG_DEFAULT_ROOT "/var/lib/kc/registry"
#define REG_VALUE_MARK '=' /* first character of a value's file name */
#define REG_TEMP_MARK '~'  /* in temporary names only: never in an encoded name */
#define REG_FILE_NAME_MAX 256 /* a folder entry: 255 bytes and the NUL */
#define REG_HEADER_MAX 24     /* "kcreg 4294967295\n" and room to spare */

// Windows error codes beyond the four of os.h, for failures of their kind.
#define REG_ERROR_INVALID_NAME 123L   /* a name the store cannot hold */
#define REG_ERROR_BADDB 1009L         /* a value file that is not one */
#define REG_ERROR_IO_FAILED 1016L     /* any other failure of the file system */
#define REG_HASH_MARK '#'             /* "=#" and a digest: a value name too long to spell */
#define REG_PAUSE_MAX_MS 8

// The system's errno values, through the seam's one table, to the codes
// the Windows registry gives for the same failure.
static long reg_error(int e) {
  switch (os_errno(e)) {
    case 0:
      return OS_REG_SUCCESS;
    case ENOENT:
      return OS_REG_FILE_NOT_FOUND;
    case EACCES:
      return OS_REG_ACCESS_DENIED;
    case ENAMETOOLONG:
      return REG_ERROR_INVALID_NAME;
    case ETIMEDOUT:
      return OS_REG_TIMEOUT;
    default:
      return REG_ERROR_IO_FAILED;
  }
}

static int same_name(const char *a, const char *b) { return kc_fold_eq(a, b, (size_t)-1); }

// The value file name of name into out (REG_FILE_NAME_MAX bytes): '=' and
// the name, bytes outside [A-Za-z0-9_.-] written %XX; or, when that does
// not fit, "=#" and the name's digest (FNV-1a, letters A-Z folded).
static void encode_value_name(const char *name, char *out) {
  static const char hex[] = "0123456789ABCDEF";
  const unsigned char *p = (const unsigned char *)(name ? name : "");
  size_t k = 0;
  out[k++] = REG_VALUE_MARK;
  for (; *p; ++p) {
    int plain = (*p >= 'A' && *p <= 'Z') || (*p >= 'a' && *p <= 'z') || (*p >= '0' && *p <= '9') || *p == '_' ||
                *p == '.' || *p == '-';
    if (k + (plain ? 1 : 3) >= REG_FILE_NAME_MAX) break; // the NUL too must fit
    if (plain) {
      out[k++] = (char)*p;
    } else {
      out[k++] = '%';
      out[k++] = hex[*p >> 4];
      out[k++] = hex[*p & 15];
    }
  }
  if (!*p) {
    out[k] = '\0';
    return;
  }
  uint64_t h = 14695981039346656037ull;
  for (p = (const unsigned char *)name; *p; ++p) h = (h ^ (unsigned)(*p >= 'A' && *p <= 'Z' ? *p + 32 : *p)) * 1099511628211ull;
  snprintf(out, REG_FILE_NAME_MAX, "%c%c%016llx", REG_VALUE_MARK, REG_HASH_MARK, (unsigned long long)h);
}

// Takes the writers' lock of folder dfd, waiting at most os_turn_wait_ms
// while another writer of ours holds it: 0, ETIMEDOUT, or errno.
static int lock_folder(int dfd) {
  unsigned waited = 0, pause = 1;
  while (flock(dfd, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK && errno != EINTR) return errno;
    if (waited >= os_turn_wait_ms) return ETIMEDOUT;
    os_sleep_ms(pause);
    waited += pause;
    if (pause < REG_PAUSE_MAX_MS) pause *= 2;
  }
  return 0;
}

static void unlock_folder(int dfd) { (void)flock(dfd, LOCK_UN); }

// Flushes folder dfd's entries to disk: 0 or errno. Where the file system
// keeps no folder to flush, nothing is lost.
static int flush_folder(int dfd) {
  if (os_fault_hit(OS_OP_FSYNC)) return EIO;
  if (fsync(dfd) == 0 || errno == EINVAL || errno == ENOTSUP) return 0;
  return errno;
}

// 1 when the entry name of dfd is of the wanted kind (folder or file);
// links are never followed out of the store.
static int entry_is(int dfd, const char *name, int want_dir) {
  struct stat st;
  if (fstatat(dfd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return 0;
  return want_dir ? S_ISDIR(st.st_mode) : S_ISREG(st.st_mode);
}

// The spelling on disk of name in folder dfd, matched without regard to
// case, into found (REG_FILE_NAME_MAX bytes): 0, or an errno value.
static int find_entry(int dfd, const char *name, int want_dir, char *found) {
  if (entry_is(dfd, name, want_dir)) {
    snprintf(found, REG_FILE_NAME_MAX, "%s", name);
    return 0;
  }
  int d2 = dup(dfd);
  if (d2 < 0) return errno;
  DIR *d = fdopendir(d2);
  if (!d) {
    int e = errno;
    close(d2);
    return e;
  }
  rewinddir(d); // the duplicate shares the folder's read position
  int rc = ENOENT;
  for (struct dirent *ent; (ent = readdir(d)) != NULL;) {
    if (strchr(ent->d_name, REG_TEMP_MARK) && ent->d_name[0] == REG_VALUE_MARK) continue;
    if (same_name(ent->d_name, name) && entry_is(dfd, ent->d_name, want_dir)) {
      snprintf(found, REG_FILE_NAME_MAX, "%s", ent->d_name);
      rc = 0;
      break;
    }
  }
  closedir(d);
  return rc;
}

// Makes every missing folder of path (the store's root), each new one
// flushed in its parent; one whose parent cannot be flushed is taken away
// again, so that every folder there is on disk.
static int make_folders(const char *path) {
  char buf[PATH_MAX], parent[PATH_MAX];
  if (snprintf(buf, sizeof buf, "%s", path) >= (int)sizeof buf) return ENAMETOOLONG;
  for (char *p = buf + 1;; ++p) {
    if (*p == '/' || *p == '\0') {
      char c = *p;
      *p = '\0';
      if (mkdir(buf, 0777) == 0) {
        const char *slash = strrchr(buf, '/');
        size_t n = slash ? (size_t)(slash - buf) : 0;
        memcpy(parent, buf, n);
        strcpy(parent + n, !slash ? "." : n == 0 ? "/" : ""); // fits: shorter than buf
        int d = open(parent, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        int e = d < 0 ? errno : flush_folder(d);
        if (d >= 0) close(d);
        if (e) {
          (void)rmdir(buf);
          return e;
        }
      } else if (errno != EEXIST) {
        return errno;
      }
      *p = c;
      if (c == '\0') break;
    }
  }
  return 0;
}

// The key folder comp in folder dfd, made when missing (under the
// folder's lock, so that every spelling of it makes one, and flushed in
// it, or taken away again), its spelling on disk into found: 0 or errno.
static int make_key_folder(int dfd, const char *comp, char *found) {
  int e = lock_folder(dfd);
  if (e) return e;
  e = find_entry(dfd, comp, 1, found);
  if (e == ENOENT) {
    if (mkdirat(dfd, comp, 0777) != 0)
      e = errno;
    else if ((e = flush_folder(dfd)) != 0)
      (void)unlinkat(dfd, comp, AT_REMOVEDIR); // not on disk: made again, and flushed, next time
    else
      e = find_entry(dfd, comp, 1, found);
  }
  unlock_folder(dfd);
  return e;
}

// The next component of a '\'-separated key path into comp (at *p, which
// moves past it and its separator): 1, or 0 when the component is refused.
// An empty component, "." or "..", one holding '/', starting like a value's
// file name or longer than a folder entry would leave the store or reach a
// value's file. One trailing '\' names the same key.
static int next_component(const char **p, char *comp) {
  const char *end = strchr(*p, '\\');
  size_t n = end ? (size_t)(end - *p) : strlen(*p);
  if (n == 0 || n >= REG_FILE_NAME_MAX) return 0;
  memcpy(comp, *p, n);
  comp[n] = '\0';
  *p = end ? end + 1 : *p + n;
  return strcmp(comp, ".") && strcmp(comp, "..") && !memchr(comp, '/', n) && comp[0] != REG_VALUE_MARK;
}

// Opens the key folder of subkey, making what is missing when create is
// set. A path with any refused component is refused whole, before any
// folder is made.
static long open_key(const char *subkey, int create, os_regkey *key) {
  *key = -1;
  char comp[REG_FILE_NAME_MAX];
  if (!subkey) subkey = "";
  for (const char *p = subkey; *p;)
    if (!next_component(&p, comp)) return REG_ERROR_INVALID_NAME;

  const char *root = getenv(REG_ROOT_ENV);
  if (!root || !root[0]) root = REG_DEFAULT_ROOT;
  if (create) {
    int e = make_folders(root);
    if (e) return reg_error(e);
  }
  int dfd = open(root, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd < 0) return reg_error(errno);

  for (const char *p = subkey; *p;) {
    next_component(&p, comp);
    char found[REG_FILE_NAME_MAX];
    int e = find_entry(dfd, comp, 1, found);
    if (e == ENOENT && create) e = make_key_folder(dfd, comp, found);
    int next = e ? -1 : openat(dfd, found, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0 && !e) e = errno;
    close(dfd);
    if (e) return reg_error(e);
    dfd = next;
  }
  *key = (os_regkey)dfd;
  return OS_REG_SUCCESS;
}

long os_reg_create(const char *subkey, os_regkey *key) { return open_key(subkey, 1, key); }

long os_reg_open_read(const char *subkey, os_regkey *key) { return open_key(subkey, 0, key); }

void os_reg_close(os_regkey key) {
  if (key >= 0) close((int)key);
}

// The file of value name in key folder dfd into found: a registry code.
// A name too long to be held cannot be there.
static long find_value(int dfd, const char *name, char *found) {
  char enc[REG_FILE_NAME_MAX];
  encode_value_name(name, enc);
  return reg_error(find_entry(dfd, enc, 0, found));
}

// root passes every permission test; a key folder without any write bit
// still refuses changes, and a value file without any read bit refuses
// reads, as access rights would on the system's registry.
static int write_refused(int dfd) {
  struct stat st;
  return fstat(dfd, &st) == 0 && !(st.st_mode & 0222);
}

// Opens the value file and reads its header: the type, and the offset and
// length of the bytes. A registry code; fd is open only on success.
static long open_value(int dfd, const char *name, int *fd, uint32_t *type, off_t *offset, uint64_t *len) {
  char found[REG_FILE_NAME_MAX];
  long rc = find_value(dfd, name, found);
  if (rc != OS_REG_SUCCESS) return rc;
  int f = openat(dfd, found, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (f < 0) return reg_error(errno);
  struct stat st;
  long refused = fstat(f, &st) != 0 ? reg_error(errno) : !(st.st_mode & 0444) ? OS_REG_ACCESS_DENIED : 0;
  if (refused) {
    close(f);
    return refused;
  }
  char head[REG_HEADER_MAX + 1];
  ssize_t got = pread(f, head, REG_HEADER_MAX, 0);
  if (got < 0) {
    int e = errno;
    close(f);
    return reg_error(e);
  }
  head[got] = '\0';
  char *nl = strchr(head, '\n');
  char *end = NULL;
  unsigned long t = 0;
  if (nl && !strncmp(head, "kcreg ", 6) && head[6] >= '0' && head[6] <= '9') {
    errno = 0;
    t = strtoul(head + 6, &end, 10);
    if (errno || t > UINT32_MAX) end = NULL;
  }
  if (!end || end != nl) {
    close(f);
    return REG_ERROR_BADDB;
  }
  *fd = f;
  *type = (uint32_t)t;
  *offset = (off_t)(nl - head + 1);
  *len = (uint64_t)st.st_size - (uint64_t)*offset;
  return OS_REG_SUCCESS;
}

long os_reg_query_type(os_regkey key, const char *name, uint32_t *type) {
  int f;
  off_t off;
  uint64_t len;
  long rc = open_value((int)key, name, &f, type, &off, &len);
  if (rc == OS_REG_SUCCESS) close(f);
  return rc;
}

long os_reg_query(os_regkey key, const char *name, uint32_t *type, void *data, uint32_t *size) {
  int f;
  uint32_t stored_type;
  off_t off;
  uint64_t len;
  long rc = open_value((int)key, name, &f, &stored_type, &off, &len);
  if (rc != OS_REG_SUCCESS) return rc;
  if (type) *type = stored_type;
  if (len > UINT32_MAX) {
    close(f);
    return REG_ERROR_BADDB;
  }
  uint32_t want = (uint32_t)len;
  if (data && want > *size) rc = OS_REG_MORE_DATA; // the buffer is not touched
  for (uint32_t done = 0; data && rc == OS_REG_SUCCESS && done < want;) {
    ssize_t n = pread(f, (char *)data + done, want - done, off + (off_t)done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) rc = n < 0 ? reg_error(errno) : REG_ERROR_BADDB; // shrank under us
    else done += (uint32_t)n;
  }
  close(f);
  *size = want;
  return rc;
}

static long write_all(int f, const void *buf, size_t n) {
  const char *p = (const char *)buf;
  while (n > 0) {
    if (os_fault_hit(OS_OP_WRITE)) return reg_error(ENOSPC);
    ssize_t w = write(f, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return reg_error(w < 0 ? errno : EIO);
    p += w;
    n -= (size_t)w;
  }
  return OS_REG_SUCCESS;
}

// 1 when the entry name of dfd is the open file f.
static int names_file(int dfd, const char *name, int f) {
  struct stat a, b;
  return fstat(f, &a) == 0 && fstatat(dfd, name, &b, AT_SYMLINK_NOFOLLOW) == 0 && a.st_dev == b.st_dev &&
         a.st_ino == b.st_ino;
}

// Removes the temporary files of killed writers from key folder dfd: each
// one nobody holds a lock on.
static void sweep_temporaries(int dfd) {
  int d2 = dup(dfd);
  DIR *d = d2 < 0 ? NULL : fdopendir(d2);
  if (!d) {
    if (d2 >= 0) close(d2);
    return;
  }
  rewinddir(d);
  for (struct dirent *ent; (ent = readdir(d)) != NULL;) {
    if (ent->d_name[0] != REG_VALUE_MARK || ent->d_name[1] != REG_TEMP_MARK) continue;
    int f = openat(dfd, ent->d_name, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (f < 0) continue;
    if (flock(f, LOCK_EX | LOCK_NB) == 0 && names_file(dfd, ent->d_name, f)) unlinkat(dfd, ent->d_name, 0);
    close(f);
  }
  closedir(d);
}

// Sets value name in key folder dfd, whose lock the caller holds.
static long set_locked(int dfd, const char *name, uint32_t type, const void *data, uint32_t size) {
  char target[REG_FILE_NAME_MAX];
  encode_value_name(name, target);
  // A value met in another spelling is replaced under its own file name.
  char found[REG_FILE_NAME_MAX];
  if (find_entry(dfd, target, 0, found) == 0) memcpy(target, found, sizeof target);
  if (write_refused(dfd)) return OS_REG_ACCESS_DENIED;

  static unsigned counter;
  char tmp[REG_FILE_NAME_MAX];
  int f = -1;
  int e = EEXIST;
  for (int i = 0; i < 100 && e == EEXIST; ++i) {
    snprintf(tmp, sizeof tmp, "%c%c%ld-%u", REG_VALUE_MARK, REG_TEMP_MARK, (long)getpid(),
             __atomic_fetch_add(&counter, 1u, __ATOMIC_RELAXED));
    if (os_fault_hit(OS_OP_CREATE)) {
      e = EIO;
      break;
    }
    f = openat(dfd, tmp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    e = f < 0 ? errno : 0;
    // Held from here on; one removed as stale before the lock is no name
    // of ours any more.
    if (f >= 0 && (flock(f, LOCK_EX | LOCK_NB) != 0 || !names_file(dfd, tmp, f))) {
      close(f);
      f = -1;
      e = EEXIST;
    }
  }
  if (f < 0) return reg_error(e);
  sweep_temporaries(dfd);

  char head[REG_HEADER_MAX];
  int hn = snprintf(head, sizeof head, "kcreg %lu\n", (unsigned long)type);
  long rc = write_all(f, head, (size_t)hn);
  if (rc == OS_REG_SUCCESS && size) rc = write_all(f, data, size);
  if (rc == OS_REG_SUCCESS) {
    if (os_fault_hit(OS_OP_FSYNC))
      rc = reg_error(EIO);
    else if (fsync(f) != 0)
      rc = reg_error(errno);
  }
  if (rc == OS_REG_SUCCESS) {
    // Renamed while still held: no other writer takes it for stale.
    if (os_fault_hit(OS_OP_REPLACE))
      rc = reg_error(EIO);
    else if (renameat(dfd, tmp, dfd, target) != 0)
      rc = reg_error(errno);
  }
  if (rc != OS_REG_SUCCESS) unlinkat(dfd, tmp, 0); // the old value, if any, stands as it was
  int ce = close(f) == 0 ? 0 : errno;
  if (os_fault_hit(OS_OP_CLOSE)) ce = EIO;
  (void)ce; // the bytes were flushed before the rename: a late close error changes nothing on disk
  if (rc != OS_REG_SUCCESS) return rc;
  // The new name on disk too, or the call does not report done.
  return reg_error(flush_folder(dfd));
}

static long delete_locked(int dfd, const char *name) {
  char found[REG_FILE_NAME_MAX];
  long rc = find_value(dfd, name, found);
  if (rc != OS_REG_SUCCESS) return rc;
  if (write_refused(dfd)) return OS_REG_ACCESS_DENIED;
  sweep_temporaries(dfd);
  if (os_fault_hit(OS_OP_REMOVE)) return reg_error(EIO);
  if (unlinkat(dfd, found, 0) != 0) return reg_error(errno);
  return reg_error(flush_folder(dfd));
}

long os_reg_set(os_regkey key, const char *name, uint32_t type, const void *data, uint32_t size) {
  int e = lock_folder((int)key);
  if (e) return reg_error(e);
  long rc = set_locked((int)key, name, type, data, size);
  unlock_folder((int)key);
  return rc;
}

long os_reg_delete_value(os_regkey key, const char *name) {
  int e = lock_folder((int)key);
  if (e) return reg_error(e);
  long rc = delete_locked((int)key, name);
  unlock_folder((int)key);
  return rc;
}

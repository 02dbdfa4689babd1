// The registry kept in files, where the system has none (the Linux port):
// the store under the registry calls of plat_reg.cpp (plat_int.h's
// kc_regkey_*), built on the seam's file primitives and the lock files of
// plat_lock.h, as the INI store is.
//
// The root is the folder named by KC_REGISTRY_ROOT, else
// /var/lib/kc/registry, and stands for HKEY_LOCAL_MACHINE. A key is a
// folder, each '\'-separated component of a key path one level. A value
// is a file of its own in its key's folder, named '=' and the value name
// with every byte outside [A-Za-z0-9_.-] written %XX, holding the line
// "kcreg <type>" and then the value's bytes. A value name too long for a
// file name once so written is kept under "=#" and a 64-bit digest of its
// letters folded to one case: no call lists names, and every spelling of
// the name finds it. Names of keys and values match without regard to
// ASCII case, as the system's registry's do; a new key or value keeps the
// caller's spelling.
//
// A writer takes the lock of the value's file (or, to make a key, of the
// key's folder in its parent), named from the name folded to one case,
// so that every spelling of one new key or value meets one lock and makes
// one. A value's new content is written into its lock file and committed
// over the value's file in one step: a reader sees the old value or the
// new one, never a part; readers take no lock. Every folder made, and the
// key's folder after a value is set or deleted, is flushed before the
// call reports done; a new folder whose entry cannot be flushed is taken
// away again, so that the next call makes and flushes it.
//
// The calls give the Windows registry's codes, so that both builds report
// the same statuses: missing key or value 2, refused access 5, a value
// longer than the buffer 234.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "os.h"
#include "plat_int.h"
#include "plat_lock.h"

#define REG_ROOT_ENV "KC_REGISTRY_ROOT"
#define REG_DEFAULT_ROOT "/var/lib/kc/registry"
#define REG_VALUE_MARK '=' /* first character of a value's file name */
#define REG_HASH_MARK '#'  /* "=#" and a digest: a value name too long to spell */
#define REG_FILE_NAME_MAX 256 /* a folder entry: 255 bytes and the NUL */
#define REG_HEADER_MAX 24     /* "kcreg 4294967295\n" and room to spare */

// Windows error codes beyond those of os.h, for failures of their kind.
#define REG_ERROR_INVALID_NAME 123L /* a name the store cannot hold */
#define REG_ERROR_BADDB 1009L       /* a value file that is not one */
#define REG_ERROR_IO_FAILED 1016L   /* any other failure of the file system */

// The seam's errno values to the codes the Windows registry gives for the
// same failure.
static long reg_error(int e) {
  switch (e) {
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

// folder + '/' + name into out (KC_REGKEY_PATH_MAX bytes): 1, or 0 when
// it does not fit.
static int join(char *out, const char *folder, const char *name) {
  return kc_format(out, KC_REGKEY_PATH_MAX, "%s%c%s", folder, OS_DIRSEP, name);
}

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

// The spelling on disk of name in folder dir, a folder (want_dir) or a
// file, matched without regard to case, into found (REG_FILE_NAME_MAX
// bytes): 0, or an errno value. Links are never followed out of the store.
static int find_entry(const char *dir, const char *name, int want_dir, char *found) {
  char path[KC_REGKEY_PATH_MAX], entry[KC_PATH_MAX];
  int want = want_dir ? OS_KIND_DIR : OS_KIND_FILE;
  if (!join(path, dir, name)) return ENAMETOOLONG;
  if (os_name_kind(path) == want) return kc_copy(found, REG_FILE_NAME_MAX, name) ? 0 : ENAMETOOLONG;
  if (!join(path, dir, "*")) return ENAMETOOLONG;
  os_find_t h = os_find_first(path, entry);
  if (h == OS_FIND_NONE) return ENOENT;
  int e = ENOENT;
  do {
    if (kc_fold_eq(entry, name, (size_t)-1) && join(path, dir, entry) && os_name_kind(path) == want &&
        kc_copy(found, REG_FILE_NAME_MAX, entry))
      e = 0;
  } while (e == ENOENT && os_find_next(h, entry) == 0);
  os_find_close(h);
  return e;
}

// The folder of path (without its last separator) flushed: 0 or errno.
static int flush_parent(const char *path) {
  char dir[KC_REGKEY_PATH_MAX];
  if (!kc_folder_of(path, dir, sizeof dir)) return ENAMETOOLONG;
  size_t n = strlen(dir);
  if (n > 1 && dir[n - 1] == OS_DIRSEP) dir[n - 1] = '\0'; // "/" stays the root
  return os_sync_dir(dir);
}

// Makes every missing folder of path (the store's root), each new one
// flushed in its parent; one whose parent cannot be flushed is taken away
// again, so that every folder there is on disk.
static int make_folders(const char *path) {
  char buf[KC_REGKEY_PATH_MAX];
  if (!kc_copy(buf, sizeof buf, path)) return ENAMETOOLONG;
  for (char *p = buf + 1;; ++p) {
    if (*p != OS_DIRSEP && *p != '\0') continue;
    char c = *p;
    *p = '\0';
    int e = os_mkdir(buf);
    if (e == 0 && (e = flush_parent(buf)) != 0) {
      (void)os_rmdir(buf);
      return e;
    }
    if (e != 0 && e != EEXIST) return e;
    *p = c;
    if (c == '\0') return 0;
  }
}

// The key folder comp in folder dir, made when missing (under its lock,
// so that every spelling of it makes one, and flushed in dir, or taken
// away again), its spelling on disk into found: 0 or errno.
static int make_key_folder(const char *dir, const char *comp, char *found) {
  char path[KC_REGKEY_PATH_MAX];
  kc_lock lk;
  if (!join(path, dir, comp)) return ENAMETOOLONG;
  int e = kc_lock_take(&lk, path, 1);
  if (e) return e;
  e = find_entry(dir, comp, 1, found);
  if (e == ENOENT) {
    if ((e = os_mkdir(path)) == 0 && (e = os_sync_dir(dir)) != 0)
      (void)os_rmdir(path); // not on disk: made again, and flushed, next time
    else if (e == 0)
      e = find_entry(dir, comp, 1, found);
  }
  kc_lock_rollback(&lk);
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

// Finds the key folder of subkey, making what is missing when create is
// set. A path with any refused component is refused whole, before any
// folder is made.
static long open_key(const char *subkey, int create, kc_regkey *key) {
  char comp[REG_FILE_NAME_MAX], found[REG_FILE_NAME_MAX];
  key->handle = -1;
  key->path[0] = '\0';
  if (!subkey) subkey = "";
  for (const char *p = subkey; *p;)
    if (!next_component(&p, comp)) return REG_ERROR_INVALID_NAME;

  const char *root = getenv(REG_ROOT_ENV);
  if (!root || !root[0]) root = REG_DEFAULT_ROOT;
  if (create) {
    int e = make_folders(root);
    if (e) return reg_error(e);
  }
  if (!os_is_dir(root)) return OS_REG_FILE_NOT_FOUND;
  if (!kc_copy(key->path, sizeof key->path, root)) return REG_ERROR_INVALID_NAME;
  for (const char *p = subkey; *p;) {
    next_component(&p, comp);
    // A key's lock that a killed writer left in this folder goes with the
    // next writer that passes through.
    if (create) kc_tmp_sweep(key->path, NULL);
    int e = find_entry(key->path, comp, 1, found);
    if (e == ENOENT && create) e = make_key_folder(key->path, comp, found);
    if (e == 0 && !kc_append(key->path, sizeof key->path, "/")) e = ENAMETOOLONG;
    if (e == 0 && !kc_append(key->path, sizeof key->path, found)) e = ENAMETOOLONG;
    if (e) {
      key->path[0] = '\0';
      return reg_error(e);
    }
  }
  key->handle = 0;
  return OS_REG_SUCCESS;
}

long kc_regkey_create(const char *subkey, kc_regkey *key) { return open_key(subkey, 1, key); }

long kc_regkey_open_read(const char *subkey, kc_regkey *key) { return open_key(subkey, 0, key); }

void kc_regkey_close(kc_regkey *key) { key->handle = -1; }

// root passes every permission test; a key folder without any write bit
// still refuses changes, and a value file without any read bit refuses
// reads, as access rights would on the system's registry.
static int write_refused(const char *dir) {
  os_filestat st;
  return os_stat(dir, &st) == 0 && !(st.mode & 0222);
}

// Opens the value file and reads its header: the type, the value's length
// and those of its bytes read with the header (into head, REG_HEADER_MAX
// bytes, *at of them). A registry code; fd is open only on success.
static long open_value(const kc_regkey *key, const char *name, os_fd *fd, uint32_t *type, uint64_t *len,
                       char *head, size_t *at, size_t *got) {
  char enc[REG_FILE_NAME_MAX], found[REG_FILE_NAME_MAX], path[KC_REGKEY_PATH_MAX];
  encode_value_name(name, enc);
  int e = find_entry(key->path, enc, 0, found);
  if (e == 0 && !join(path, key->path, found)) e = ENAMETOOLONG;
  if (e == 0) e = os_open_read(path, fd);
  if (e) return reg_error(e);
  os_filestat st;
  long rc = os_fstat(*fd, &st) != 0 ? REG_ERROR_IO_FAILED : !(st.mode & 0444) ? OS_REG_ACCESS_DENIED : 0;
  size_t n = 0;
  while (rc == 0 && n < REG_HEADER_MAX) {
    long r = os_read(*fd, head + n, REG_HEADER_MAX - n, &e);
    if (r < 0) rc = reg_error(e);
    if (r <= 0) break;
    n += (size_t)r;
  }
  const char *nl = rc == 0 ? (const char *)memchr(head, '\n', n) : NULL;
  unsigned long t = 0;
  if (rc == 0) {
    // "kcreg ", decimal digits, a line end: anything else is no value file.
    size_t d = 6;
    int ok = nl && n >= 6 && memcmp(head, "kcreg ", 6) == 0 && head + d < nl;
    for (; ok && head + d < nl; ++d) {
      ok = head[d] >= '0' && head[d] <= '9' && t <= (UINT32_MAX - (unsigned)(head[d] - '0')) / 10;
      t = t * 10 + (unsigned)(head[d] - '0');
    }
    if (!ok) rc = REG_ERROR_BADDB;
  }
  if (rc != 0) {
    (void)os_close(*fd);
    return rc;
  }
  *type = (uint32_t)t;
  *at = (size_t)(nl - head) + 1;
  *got = n;
  *len = st.size - *at;
  return OS_REG_SUCCESS;
}

long kc_regkey_query_type(kc_regkey *key, const char *name, uint32_t *type) {
  char head[REG_HEADER_MAX];
  os_fd f;
  uint64_t len;
  size_t at, got;
  long rc = open_value(key, name, &f, type, &len, head, &at, &got);
  if (rc == OS_REG_SUCCESS) (void)os_close(f);
  return rc;
}

long kc_regkey_query(kc_regkey *key, const char *name, uint32_t *type, void *data, uint32_t *size) {
  char head[REG_HEADER_MAX];
  os_fd f;
  uint32_t stored_type;
  uint64_t len;
  size_t at, got;
  long rc = open_value(key, name, &f, &stored_type, &len, head, &at, &got);
  if (rc != OS_REG_SUCCESS) return rc;
  if (type) *type = stored_type;
  if (len > UINT32_MAX) {
    (void)os_close(f);
    return REG_ERROR_BADDB;
  }
  uint32_t want = (uint32_t)len;
  if (data && want > *size) rc = OS_REG_MORE_DATA; // the buffer is not touched
  if (data && rc == OS_REG_SUCCESS) {
    // The bytes read with the header, then the rest.
    uint32_t done = (uint32_t)(got - at) < want ? (uint32_t)(got - at) : want;
    memcpy(data, head + at, done);
    int e = 0;
    while (rc == OS_REG_SUCCESS && done < want) {
      long n = os_read(f, (char *)data + done, want - done, &e);
      if (n <= 0) rc = n < 0 ? reg_error(e) : REG_ERROR_BADDB; // shrank under us
      else done += (uint32_t)n;
    }
  }
  (void)os_close(f);
  *size = want;
  return rc;
}

static int write_all(os_fd f, const void *buf, size_t n) {
  int e = 0;
  for (size_t done = 0; done < n;) {
    long put = os_write(f, (const char *)buf + done, n - done, &e);
    if (put <= 0) return put == 0 ? ENOSPC : e;
    done += (size_t)put;
  }
  return 0;
}

// The value's file under its lock: its path (the spelling on disk when it
// has one) into path, *exists set when it has, and the lock taken. A
// registry code.
static long lock_value(const kc_regkey *key, const char *name, char *path, kc_lock *lk, int *exists) {
  char enc[REG_FILE_NAME_MAX], found[REG_FILE_NAME_MAX];
  encode_value_name(name, enc);
  if (!join(path, key->path, enc)) return REG_ERROR_INVALID_NAME;
  // What killed writers left in the key's folder goes with this write.
  kc_tmp_sweep_beside(path);
  int e = kc_lock_take(lk, path, 1);
  if (e) return reg_error(e);
  // A value met in another spelling is changed under its own file name.
  *exists = find_entry(key->path, enc, 0, found) == 0 && join(path, key->path, found);
  return OS_REG_SUCCESS;
}

long kc_regkey_set(kc_regkey *key, const char *name, uint32_t type, const void *data, uint32_t size) {
  char path[KC_REGKEY_PATH_MAX], head[REG_HEADER_MAX];
  kc_lock lk;
  int exists;
  long rc = lock_value(key, name, path, &lk, &exists);
  if (rc != OS_REG_SUCCESS) return rc;
  int e = write_refused(key->path) ? EACCES : 0;
  (void)os_fd_chmod(lk.fd, os_new_file_mode()); // as any other file would be made
  int hn = snprintf(head, sizeof head, "kcreg %lu\n", (unsigned long)type);
  if (e == 0) e = write_all(lk.fd, head, (size_t)hn);
  if (e == 0 && size) e = write_all(lk.fd, data, size);
  if (e == 0) e = os_fsync(lk.fd);
  if (e) {
    kc_lock_rollback(&lk); // the old value, if any, stands as it was
    return reg_error(e);
  }
  if ((e = kc_lock_commit(&lk, path, 1)) != 0) return reg_error(e);
  // The new name on disk too, or the call does not report done.
  return reg_error(os_sync_dir(key->path));
}

long kc_regkey_delete_value(kc_regkey *key, const char *name) {
  char path[KC_REGKEY_PATH_MAX];
  kc_lock lk;
  int exists;
  long rc = lock_value(key, name, path, &lk, &exists);
  if (rc != OS_REG_SUCCESS) return rc;
  int e = !exists ? ENOENT : write_refused(key->path) ? EACCES : os_remove(path);
  if (e == 0) e = os_sync_dir(key->path);
  kc_lock_rollback(&lk);
  return reg_error(e);
}

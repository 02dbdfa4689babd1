// Temporary files of ours. A new file written beside the one it is to
// replace, an earlier file kept while the new one goes in, the remover's
// own files on their way out: each stands meanwhile under a name of ours,
// "~nz" and five characters of [0-9a-z]. The name is recognisable, and no
// longer than the shortest name of the package, so that it fits wherever
// the file it stands for fits.
//
// While its writer is at work the file is held (os.h): a file of ours that
// no process holds is provably what a killed run left, and any later run
// may remove it. Names are drawn at random and taken only when free, so a
// name never changes hands while a file stands under it.
#include <errno.h>
#include <string.h>

#include "os.h"
#include "plat_int.h"

#define TMP_PREFIX "~nz"
#define SWEEP_MAX 64 // leftovers removed in one sweep; the next sweep takes the rest

static const char kTmpChars[] = "0123456789abcdefghijklmnopqrstuvwxyz";

// A small generator seeded once per process from its identity and the
// clock; only freshness matters, not secrecy.
static uint32_t next_random_state;
static uint32_t next_random(void) {
  uint32_t state = next_random_state;
  if (state == 0) state = os_unique_seed() | 1u;
  state ^= state << 13;
  state ^= state >> 17;
  state ^= state << 5;
  next_random_state = state;
  return state;
}

int kc_tmp_named(const char *name, const char *prefix) {
  size_t n = strlen(prefix);
  if (strlen(name) != KC_TMP_NAME_LEN || memcmp(name, prefix, n) != 0) return 0;
  for (const char *p = name + n; *p; ++p)
    if (!((*p >= '0' && *p <= '9') || (*p >= 'a' && *p <= 'z'))) return 0;
  return 1;
}

int kc_tmp_is_ours(const char *name) { return kc_tmp_named(name, TMP_PREFIX); }

void kc_tmp_name(char name[KC_TMP_NAME_LEN + 1], const char *prefix) {
  size_t n = strlen(prefix);
  memcpy(name, prefix, n);
  uint32_t r = next_random();
  for (; n < KC_TMP_NAME_LEN; ++n, r /= 36) name[n] = kTmpChars[r % 36];
  name[KC_TMP_NAME_LEN] = '\0';
}

void kc_tmp_seed(uint32_t seed) { next_random_state = seed | 1u; }

int kc_tmp_path(char *path, size_t size, const char *beside) {
  size_t dir_len = (size_t)(os_base_name(beside) - beside);
  if (dir_len + KC_TMP_NAME_LEN + 1 > size) return 0;
  memcpy(path, beside, dir_len);
  kc_tmp_name(path + dir_len, TMP_PREFIX);
  return 1;
}

int kc_tmp_create(const char *beside, char *path, size_t size, os_fd *fd) {
  for (int i = 0; i < KC_TMP_TRIES; ++i) {
    if (!kc_tmp_path(path, size, beside)) return ENAMETOOLONG;
    int e = os_create_excl(path, fd);
    if (e != EEXIST) return e;
  }
  return EEXIST;
}

int kc_tmp_move(os_fd fd, const char *from, char *path, size_t size) {
  for (int i = 0; i < KC_TMP_TRIES; ++i) {
    if (!kc_tmp_path(path, size, from)) return ENAMETOOLONG;
    int e = os_fd_rename(fd, from, path, 0);
    if (e != EEXIST) return e;
  }
  return EEXIST;
}

// Under Wine a Unix link can only be reached through, never removed as
// itself: its name is taken by a new file of ours renamed over it, which
// then goes. What the link led to is never opened.
static int take_name(const char *path) {
  char tmp[KC_PATH_MAX];
  os_fd fd;
  int e = kc_tmp_create(path, tmp, sizeof tmp, &fd);
  if (e) return e;
  if ((e = os_fd_rename(fd, tmp, path, 1)) != 0) {
    (void)os_fd_delete(fd, tmp);
    return e;
  }
  return os_fd_delete(fd, path);
}

int kc_delete_file(const char *path) {
  int e = os_remove(path);
  return e == ELOOP ? take_name(path) : e;
}

int kc_tmp_remove_unheld(const char *path) {
  int e = os_remove_unheld(path);
  return e == ELOOP ? take_name(path) : e;
}

void kc_tmp_sweep(const char *dir) {
  char search[KC_PATH_MAX], name[KC_PATH_MAX], path[KC_PATH_MAX];
  // Names a record still holds stay: the record is settled first, by the
  // run that finds it (its writer's, or the next one's).
  char kept[KC_RECORD_FOLDERS * 2 * KC_STAGE_MAX][KC_TMP_NAME_LEN + 1], found[SWEEP_MAX][KC_TMP_NAME_LEN + 1];
  size_t nkept = 0, nfound = 0;
  if (!kc_format(search, sizeof search, "%s" TMP_PREFIX "*", dir)) return;
  os_find_t h = os_find_first(search, name);
  if (h == OS_FIND_NONE) return;
  do {
    if (kc_record_is_ours(name) && kc_format(path, sizeof path, "%s%s", dir, name))
      nkept += kc_record_protects(path, kept + nkept, sizeof kept / sizeof kept[0] - nkept);
    else if (kc_tmp_is_ours(name) && nfound < SWEEP_MAX)
      memcpy(found[nfound++], name, sizeof found[0]);
  } while (os_find_next(h, name) == 0);
  os_find_close(h);
  for (size_t i = 0; i < nfound; ++i) {
    size_t k = 0;
    while (k < nkept && strcmp(kept[k], found[i]) != 0) ++k;
    if (k < nkept || !kc_format(path, sizeof path, "%s%s", dir, found[i])) continue;
    // A file that is held stays: its writer is still at work. A link of
    // ours goes as a name.
    (void)kc_tmp_remove_unheld(path);
  }
}

int kc_folder_of(const char *path, char *dir, size_t size) {
  size_t n = (size_t)(os_base_name(path) - path);
  if (n >= size) return 0;
  memcpy(dir, path, n);
  dir[n] = '\0';
  return 1;
}

void kc_tmp_sweep_beside(const char *path) {
  char dir[KC_PATH_MAX];
  if (kc_folder_of(path, dir, sizeof dir)) kc_tmp_sweep(dir);
}

int kc_move_aside(const char *path, char *moved, intptr_t *hold) {
  os_fd fd;
  *hold = OS_BADFD;
  int e = os_open_held(path, OS_HOLD_MOVE, &fd);
  if (e) return e;
  if ((e = kc_tmp_move(fd, path, moved, KC_PATH_MAX)) != 0) {
    (void)os_close(fd);
    return e;
  }
  *hold = fd;
  return 0;
}

int kc_move_back(intptr_t hold, const char *moved, const char *path) { return os_fd_rename(hold, moved, path, 0); }

void kc_release(intptr_t hold) {
  if (hold != OS_BADFD) (void)os_close(hold);
}

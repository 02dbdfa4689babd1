// The names of our own files (plat_names.h): drawn at random for
// temporary files and records, drawn from the locked file's name for a
// lock file, and recognised by their shape.
#include <errno.h>
#include <string.h>

#include "os.h"
#include "plat_names.h"

static const char kNameChars[] = "0123456789abcdefghijklmnopqrstuvwxyz";

// A small generator seeded once per process from its identity and the
// clock; only freshness matters, not secrecy: a name is taken only when
// it is free.
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

int kc_tmp_is_ours(const char *name) { return kc_tmp_named(name, KC_TMP_PREFIX); }

int kc_record_is_ours(const char *name) { return kc_tmp_named(name, KC_RECORD_PREFIX); }

// prefix, then characters of [0-9a-z] from r up to KC_TMP_NAME_LEN.
static void spell(char *name, const char *prefix, uint32_t r) {
  size_t n = strlen(prefix);
  memcpy(name, prefix, n);
  for (; n < KC_TMP_NAME_LEN; ++n, r /= 36) name[n] = kNameChars[r % 36];
  name[KC_TMP_NAME_LEN] = '\0';
}

void kc_tmp_name(char name[KC_TMP_NAME_LEN + 1], const char *prefix) { spell(name, prefix, next_random()); }

void kc_tmp_seed(uint32_t seed) { next_random_state = seed | 1u; }

// The folder part of beside and room for one of our names after it.
static int folder_room(const char *beside, size_t size, size_t *dir_len) {
  *dir_len = (size_t)(os_base_name(beside) - beside);
  return *dir_len + KC_TMP_NAME_LEN + 1 <= size;
}

int kc_tmp_path(char *path, size_t size, const char *beside) {
  size_t dir_len;
  if (!folder_room(beside, size, &dir_len)) return 0;
  memcpy(path, beside, dir_len);
  kc_tmp_name(path + dir_len, KC_TMP_PREFIX);
  return 1;
}

int kc_lock_name(char *path, size_t size, const char *target, int fold) {
  size_t dir_len;
  if (!folder_room(target, size, &dir_len)) return 0;
  uint32_t h = 2166136261u; // FNV-1a of the name
  for (const unsigned char *p = (const unsigned char *)target + dir_len; *p; ++p) {
    unsigned c = *p;
    if ((fold || OS_NAMES_FOLD_CASE) && c >= 'A' && c <= 'Z') c += 'a' - 'A';
    h = (h ^ c) * 16777619u;
  }
  memcpy(path, target, dir_len);
  spell(path + dir_len, KC_TMP_PREFIX, h);
  return 1;
}

// A free name is drawn by taking it: the file is created, or moved,
// under a fresh name only where nothing stands.
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
    int e = os_fd_rename(fd, from, path, OS_RENAME_NEW);
    if (e != EEXIST) return e;
  }
  return EEXIST;
}

int kc_folder_of(const char *path, char *dir, size_t size) {
  size_t n = (size_t)(os_base_name(path) - path);
  if (n >= size) return 0;
  memcpy(dir, path, n);
  dir[n] = '\0';
  return 1;
}

/*
 * plat_names.h - the names of our own files, and temporary files.
 *
 * Whatever the library writes beside a file of the host stands, while it
 * is there, under one of our names, drawn here and nowhere else:
 *
 *   "~nz" + 5 of [0-9a-z]  a temporary file (a new file before it goes in
 *                          place, a backup of an earlier file, a file on
 *                          its way out), drawn at random; or a lock file,
 *                          drawn from the name of the file it locks
 *   "~nz-" + 4 of [0-9a-z] a set's record (plat_record.h), drawn at random
 *
 * No name of ours is longer than the shortest name of the package, so it
 * fits wherever the file it stands for fits. Each is locked while its
 * writer is at work (os.h: os_open_locked, os_create_excl); one nobody has
 * locked is what a killed run left, and the sweep (kc_tmp_sweep) removes
 * it unless a record still names it.
 */
#ifndef KC_PLAT_NAMES_H
#define KC_PLAT_NAMES_H

#include <stddef.h>
#include <stdint.h>

#include "kcsys.h"

#define KC_TMP_PREFIX "~nz"
#define KC_RECORD_PREFIX "~nz-"
/* Names drawn before giving up: each is free but for a 1 in 60 million
 * chance. */
#define KC_TMP_TRIES 64

/* A fresh name: prefix, then characters of [0-9a-z] up to
 * KC_TMP_NAME_LEN. kc_tmp_seed makes the draws start again from seed
 * (tests: the same names twice). */
void kc_tmp_name(char name[KC_TMP_NAME_LEN + 1], const char *prefix);
void kc_tmp_seed(uint32_t seed);
/* 1 when name is prefix and then characters of [0-9a-z], KC_TMP_NAME_LEN
 * in all: one of our names of that kind. */
int kc_tmp_named(const char *name, const char *prefix);
/* A fresh name of ours in the folder of beside into path (size bytes):
 * 1, or 0 when it does not fit. */
int kc_tmp_path(char *path, size_t size, const char *beside);
/* The lock file of target, beside it, into path (size bytes): "~nz" and
 * five characters drawn from target's name, its letters folded when fold
 * is set or names ignore case here, so that every spelling of the name
 * meets one lock. 1, or 0 when it does not fit. */
int kc_lock_name(char *path, size_t size, const char *target, int fold);

/* A free name is drawn by taking it. kc_tmp_create creates a locked file
 * of ours beside beside, its name into path: 0 or an errno value. */
int kc_tmp_create(const char *beside, char *path, size_t size, intptr_t *fd);
/* Renames the locked file fd, named from, to a fresh name of ours beside
 * it (into path): 0 or an errno value. */
int kc_tmp_move(intptr_t fd, const char *from, char *path, size_t size);
/* The folder part of path, its separator included, into dir (size
 * bytes): 1, or 0 when it does not fit. */
int kc_folder_of(const char *path, char *dir, size_t size);

#endif /* KC_PLAT_NAMES_H */

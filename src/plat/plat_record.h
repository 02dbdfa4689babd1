/*
 * plat_record.h - the record of a set of files being put in place: the
 * journal that lets the next run recover a set cut short.
 *
 * One record, a copy in each folder of the set, names for each file its
 * destination, the backup that keeps its earlier file (a hard link, or a
 * copy where the file system keeps none) and the temporary file that
 * holds its new one until it is put in place, with the identity of each
 * (device and inode, or volume and file index), and the new file's size
 * and time. Its text:
 *
 *   nzept-record 2
 *   folder <folder, ending in the separator>       one line per folder
 *   copy <folder index> <this record's name there> one line per folder
 *   file <folder> <backup|-|!> <its id> <staged> <its id> <destination>
 *   end
 *   sum <FNV-1a 64 of every byte before this line, 16 hex digits>
 *   undo                                           once going back began
 *
 * An id is "<volume>.<index>.<size>.<mtime>" in hex ("-" for no
 * backup): the file's identity, and its size and time for where the file
 * system numbers its files anew (FAT, after a remount). A record is
 * obeyed only when it is whole (its sum agrees) and one of ours: a
 * regular file with one name, owned by this run's account or the
 * administrators and writable by no one else (plat_sweep.cpp checks).
 *
 * The records are single-threaded: their text passes through the record
 * itself, and the run's records (plat_stage.cpp, plat_sweep.cpp) are
 * static.
 */
#ifndef KC_PLAT_RECORD_H
#define KC_PLAT_RECORD_H

#include <stddef.h>
#include <stdint.h>

#include "kcsys.h"

#define KC_RECORD_FOLDERS 4
#define KC_RECORD_LOST "!"        /* backup: an earlier link this system cannot keep */
#define KC_RECORD_BYTES_MAX 16384 /* the longest record: four folders and a full set of long names */
typedef struct kc_file_id {
  uint64_t volume, index; /* all 0: none */
  uint64_t size;
  int64_t mtime;
} kc_file_id;
typedef struct kc_record_file {
  unsigned folder;                  /* index into folders */
  char backup[KC_TMP_NAME_LEN + 1]; /* "" no earlier file; KC_RECORD_LOST */
  kc_file_id backup_id;
  char staged[KC_TMP_NAME_LEN + 1];
  kc_file_id staged_id;   /* the new file's: it keeps it once renamed over dest */
  char dest[KC_PATH_MAX]; /* the name in its folder */
} kc_record_file;
typedef struct kc_record {
  size_t nfolders;
  char folders[KC_RECORD_FOLDERS][KC_PATH_MAX];      /* each ending in the separator */
  char names[KC_RECORD_FOLDERS][KC_TMP_NAME_LEN + 1]; /* the record's copy in each */
  intptr_t fds[KC_RECORD_FOLDERS];                   /* each copy locked while in use */
  size_t count;
  kc_record_file files[KC_STAGE_MAX];
  int undo;                           /* marked: every destination goes back */
  char text[KC_RECORD_BYTES_MAX + 1]; /* the record as written or read */
} kc_record;

/* Writes rec (folders and files filled in) as a new record of ours in
 * each of its folders, each private to this account (os_fd_private),
 * flushed and locked: 0, or an errno value with no copy left; *failed
 * then the copy's path (KC_PATH_MAX bytes). */
int kc_record_write(kc_record *rec, char *failed);
/* Reads the record open as fd into rec: KC_RECORD_WHOLE; KC_RECORD_CUT
 * when it stops before its sum (a copy cut short before it was flushed,
 * which no change can have followed; rec holds its whole lines);
 * KC_RECORD_DAMAGED when its sum disagrees (torn or changed since it was
 * written); KC_RECORD_STRANGE when it is no record this installer writes
 * (another form, or a whole text that names what no record of ours
 * names). */
#define KC_RECORD_WHOLE 0
#define KC_RECORD_CUT 1
#define KC_RECORD_DAMAGED 2
#define KC_RECORD_STRANGE 3
int kc_record_load(intptr_t fd, kc_record *rec);
/* Flushes each folder of rec once: its names are then on the disk. 0 or
 * an errno value, *failed then the folder (KC_PATH_MAX bytes, may be
 * NULL). */
int kc_record_sync(const kc_record *rec, char *failed);
/* Appends the mark "undo" to each copy, flushed: 0 or an errno value. */
int kc_record_mark_undo(kc_record *rec);
/* Carries out by names what rec says, then flushes its folders and
 * deletes its copies (and staged files left behind): how is
 *   KC_RECORD_FORWARD  the writer put every new file in place: the
 *                      backups go;
 *   KC_RECORD_BACK     the writer failed: every destination goes back;
 *   KC_RECORD_FOUND    found after a death: forward when no staged name
 *                      is left and no "undo" is marked, else back.
 * Going back is first marked "undo" when any new file stands in place.
 * Where going back is impossible (an earlier link this system cannot
 * make again was replaced), the set goes forward instead: every new file
 * still under its staged name is put in place. A destination that no
 * longer holds the record's new file is left as it stands. A backup or
 * staged file is touched only when it is the one the record names (its
 * identity, or a file of this account's with one name). 0; else an errno
 * value, left[i] set for each destination not as it was (KC_STAGE_MAX
 * entries), and the copies stay for a later run. */
#define KC_RECORD_FORWARD 0
#define KC_RECORD_BACK 1
#define KC_RECORD_FOUND 2
int kc_record_recover(kc_record *rec, int how, unsigned char *left);
/* Deletes every copy still locked and lets the record go. */
void kc_record_discard(kc_record *rec);
/* Lets the copies go, leaving them on disk. */
void kc_record_release(kc_record *rec);

#endif /* KC_PLAT_RECORD_H */

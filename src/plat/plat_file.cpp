// Stream files opened by flag word, existence and deletion by name, the
// directory listing by wildcard, and the creation of whole directory paths.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "os.h"
#include "plat_int.h"

/* FileName of a listing: room for 260 bytes, the longest name the search
 * hands out. */
#define KC_LIST_NAME_MAX 260

/* ---- Stream files ---- */

// Mode letters by the low four bits of the flag word; NULL opens nothing.
// Write with append but without create (0xA, 0xB) updates an existing file
// from its start.
static const char *const kModes[16] = {
    NULL, "r",  NULL, "r+", NULL, NULL, "w", "w+",
    NULL, NULL, "r+", "r+", NULL, NULL, "a", "a+",
};

KCAPI uint32_t KCFileOpen(const char *Filename, uint32_t Flags, KCFILE *File) {
  if (!File) return KC_ERR_NULL_ARG;
  File->File = NULL;
  const char *letters = kModes[Flags & 0x0Fu];
  if (!letters) return KC_OK; // nothing selected: nothing opened
  char mode_string[4];
  snprintf(mode_string, sizeof mode_string, "%s%s", letters, (Flags & KCFILE_BINARY) ? "b" : "");
  FILE *f = Filename ? fopen(Filename, mode_string) : NULL;
  if (!f) return KC_ERR_FILE_OPEN;
  File->File = f;
  return KC_OK;
}

KCAPI void KCFileClose(KCFILE *File) {
  if (!File || !File->File) return;
  (void)fclose(File->File);
  File->File = NULL;
}

KCAPI uint32_t KCFileRead(KCFILE *File, uint32_t Count, void *Buffer) {
  if (!File || !File->File || !Buffer) return 0;
  return (uint32_t)fread(Buffer, 1, Count, File->File);
}

KCAPI uint32_t KCFileWrite(KCFILE *File, uint32_t Count, const void *Buffer) {
  if (!File || !File->File || !Buffer) return 0;
  return (uint32_t)fwrite(Buffer, 1, Count, File->File);
}

KCAPI uint32_t KCFileSeek(KCFILE *File, uint32_t Base, uint32_t Count) {
  int origin;
  switch (Base) {
    case 1: origin = SEEK_SET; break;
    case 2: origin = SEEK_CUR; break;
    case 3: origin = SEEK_END; break;
    default: return 0;
  }
  if (!File || !File->File) return 0xFFFFFFFFu;
  (void)fseek(File->File, (long)(int32_t)Count, origin); // the position tells the outcome
  int64_t pos = os_tell(File->File);
  // A position that 32 bits cannot carry is told as unknown, never wrapped.
  return (pos < 0 || pos >= (int64_t)0xFFFFFFFF) ? 0xFFFFFFFFu : (uint32_t)pos;
}

KCAPI void KCFileFlush(KCFILE *File) {
  if (File && File->File) (void)fflush(File->File);
}

KCAPI uint32_t KCFileExist(const char *Filename) {
  if (!Filename) return 0;
  return os_access(Filename, OS_F_OK) == 0 ? 1 : 0;
}

KCAPI uint32_t KCFileDelete(const char *Filename) {
  if (!Filename) return 0;
  return kc_delete_file(Filename) == 0 ? 1 : 0;
}

/* ---- Wildcards ---- */

// Character i of the pattern as it is matched: with two or more trailing
// stars, a star that would stand at the end of the name may not match the
// empty remainder there (only a single trailing star does), so such a
// tail reads as "?*": at least one more character, then anything.
static char pattern_at(const char *Pattern, size_t body, int star_tail, size_t i) {
  if (i < body) return Pattern[i];
  if (!star_tail) return Pattern[i];
  return i == body ? '?' : i == body + 1 ? '*' : '\0';
}

uint32_t PatternMatch(const char *String, const char *Pattern) {
  // The body is the pattern without its trailing stars.
  size_t len = strlen(Pattern), body = len;
  while (body > 0 && Pattern[body - 1] == '*') --body;
  int star_tail = len - body >= 2;
  // Greedy, with one point to go back to: the last star met. Each star
  // first takes nothing; on a mismatch the last one takes one character
  // more. Earlier stars never need to take more than they have.
  const size_t none = (size_t)-1;
  size_t s = 0, p = 0, star_p = none, star_s = 0;
  while (String[s]) {
    char c = pattern_at(Pattern, body, star_tail, p);
    if (c == '*') {
      star_p = p++;
      star_s = s;
      continue;
    }
    if (c && (c == '?' || c == String[s])) {
      ++s;
      ++p;
      continue;
    }
    if (star_p == none) return 0;
    p = star_p + 1;
    s = ++star_s;
  }
  while (pattern_at(Pattern, body, star_tail, p) == '*') ++p;
  return pattern_at(Pattern, body, star_tail, p) == '\0';
}

/* ---- Directory listing ---- */

typedef struct _KCFILELIST {
  os_find_t handle;
  char pattern[KC_PATH_MAX]; // what names must match where the search does not filter
  char name[KC_PATH_MAX];    // the entry found last
} _KCFILELIST;

// 1 when the entry found last passes the pattern; always where the
// system's search has applied the pattern itself.
static int accept(const _KCFILELIST *fl) { return OS_FIND_MATCHES || PatternMatch(fl->name, fl->pattern); }

/* Steps the listing to its next entry: the name inside the record (valid
 * until the next step or the close), or NULL when there is none. */
static char *GetNextEntry(_KCFILELIST *filelist) {
  do {
    if (os_find_next(filelist->handle, filelist->name) != 0) return NULL;
  } while (!accept(filelist));
  return filelist->name;
}

KCAPI uint32_t KCFileListFirst(const char *Directory, const char *Pattern, char *FileName, void **FileList) {
  if (!FileList) return KC_ERR_NULL_LIST;
  if (FileName) FileName[0] = '\0';
  *FileList = NULL;

  char file_pattern[KC_PATH_MAX];
  int ok;
  if (Directory && Directory[0]) {
    ok = kc_copy(file_pattern, sizeof file_pattern, Directory);
    size_t n = strlen(file_pattern);
    if (ok && file_pattern[n - 1] != OS_DIRSEP) {
      char sep[2] = {OS_DIRSEP, '\0'};
      ok = kc_append(file_pattern, sizeof file_pattern, sep);
    }
  } else {
    ok = kc_copy(file_pattern, sizeof file_pattern, KCFileExeDir());
  }
  if (ok) ok = kc_append(file_pattern, sizeof file_pattern, Pattern ? Pattern : "*");
  if (!ok) return KC_ERR_NO_MORE; // over-long: refused before anything is allocated

  _KCFILELIST *fl = (_KCFILELIST *)KCMemAlloc(sizeof(_KCFILELIST));
  if (!fl) return KC_ERR_NOMEM;
  // The names are matched against what follows the last separator, where
  // the search itself looks for them.
  const char *tail = strrchr(file_pattern, OS_DIRSEP);
  (void)kc_copy(fl->pattern, sizeof fl->pattern, tail ? tail + 1 : file_pattern); // a part of file_pattern: fits
  fl->handle = os_find_first(file_pattern, fl->name);
  if (fl->handle != OS_FIND_NONE && !accept(fl) && !GetNextEntry(fl)) {
    os_find_close(fl->handle);
    fl->handle = OS_FIND_NONE;
  }
  if (fl->handle == OS_FIND_NONE) {
    KCMemFree(fl);
    return KC_ERR_NO_MORE;
  }
  if (FileName) snprintf(FileName, KC_LIST_NAME_MAX, "%s", fl->name);
  *FileList = fl;
  return KC_OK;
}

KCAPI uint32_t KCFileListNext(char *FileName, void *FileList) {
  if (!FileList) return KC_ERR_LIST_NULL;
  const char *name = GetNextEntry((_KCFILELIST *)FileList);
  if (!name) return KC_ERR_NO_MORE;
  if (FileName) snprintf(FileName, KC_LIST_NAME_MAX, "%s", name);
  return KC_OK;
}

KCAPI uint32_t KCFileListClose(void *FileList) {
  if (!FileList) return KC_ERR_LIST_NULL;
  _KCFILELIST *fl = (_KCFILELIST *)FileList;
  os_find_close(fl->handle);
  KCMemFree(fl);
  return KC_OK;
}

/* ---- Directory creation ---- */

// Creates path when nothing exists under that name; 1, or 0 when that failed.
static uint32_t make_if_missing(const char *path) {
  if (KCFileExist(path)) return 1; // a file in the way passes here; the next level fails
  return os_mkdir(path) == 0 ? 1 : 0;
}

KCAPI uint32_t KCMkDir(const char *newpath) {
  char path[KC_PATH_MAX];
  if (!newpath) return 0;
  memset(path, 0, sizeof path);
  if (!kc_copy(path, sizeof path, newpath)) return 0;

  uint32_t status = 1;
  // Neither the root of a drive ("X:\") nor a leading separator is made.
  size_t start = 1;
  size_t drive = os_drive_len(path);
  if (drive && path[drive] == OS_DIRSEP) start = drive + 1;
  char *sep = path[0] ? strchr(path + start, OS_DIRSEP) : NULL;
  while (sep && status) {
    *sep = '\0';
    status = make_if_missing(path);
    *sep = OS_DIRSEP;
    sep = strchr(sep + 1, OS_DIRSEP);
  }
  if (status) status = make_if_missing(path);
  // A file standing under the full name is no directory made.
  if (status && !os_is_dir(path)) status = 0;
  return status;
}

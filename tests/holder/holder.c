/* holder.exe, for the e2e tests under Wine: a stand-in for a virus scanner
 * or an indexer. It watches folders and opens every new file it sees (a
 * name it has not seen, or one whose size or time changed: a file renamed
 * over another), the installer's own temporary files too, for a random
 * 100 to 300 ms, sharing reading and writing but no deletion, as scanners
 * do on Windows. A file it cannot open yet (its writer shares no reading
 * or no deletion) is tried again at each look, as a scanner opens a file
 * once its writer lets go.
 *
 *   holder LOG SEED PID FOLDER...
 *
 * Writes LOG once it has seen what the folders held at its start (left
 * alone: not new), then a line per new file: "<name> <ms>" when it held
 * it, "<name> -" when it went before it could be opened; and ends
 * when LOG.stop appears or the process PID (the test) has ended, letting
 * go of every file first; after five minutes in any case, so that it never
 * outlives a test that hangs (it keeps the test's output open). */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define MAX_FILES 4096

enum { SEEN, WANTED, HELD };

typedef struct {
  int folder;
  char name[MAX_PATH];
  FILETIME time;
  DWORD size;
  int state, present;
  HANDLE h;
  DWORD since, hold;
} File;

static File files[MAX_FILES];
static int count;

static File *find(int folder, const char *name) {
  for (int i = 0; i < count; ++i)
    if (files[i].folder == folder && strcmp(files[i].name, name) == 0) return &files[i];
  return NULL;
}

/* One look at a folder: new names and changed files are wanted (or, on
 * the first look, only seen). */
static void look(int folder, const char *dir, int first) {
  char pattern[MAX_PATH];
  WIN32_FIND_DATAA d;
  snprintf(pattern, sizeof pattern, "%s\\*", dir);
  HANDLE h = FindFirstFileA(pattern, &d);
  if (h == INVALID_HANDLE_VALUE) return;
  do {
    if (d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    File *f = find(folder, d.cFileName);
    if (!f) {
      if (count == MAX_FILES) continue;
      f = &files[count++];
      memset(f, 0, sizeof *f);
      f->folder = folder;
      snprintf(f->name, sizeof f->name, "%s", d.cFileName);
      f->state = first ? SEEN : WANTED;
    } else if (f->state == SEEN && (CompareFileTime(&f->time, &d.ftLastWriteTime) != 0 || f->size != d.nFileSizeLow)) {
      f->state = WANTED;
    }
    f->time = d.ftLastWriteTime;
    f->size = d.nFileSizeLow;
    f->present = 1;
  } while (FindNextFileA(h, &d));
  FindClose(h);
}

int main(int argc, char **argv) {
  if (argc < 5) {
    fprintf(stderr, "usage: holder LOG SEED PID FOLDER...\n");
    return 2;
  }
  const char *log_path = argv[1];
  char stop_path[MAX_PATH];
  snprintf(stop_path, sizeof stop_path, "%s.stop", log_path);
  srand((unsigned)atoi(argv[2]));
  HANDLE test = OpenProcess(SYNCHRONIZE, FALSE, (DWORD)atol(argv[3]));
  char **dirs = argv + 4;
  int folders = argc - 4;
  for (int i = 0; i < folders; ++i) look(i, dirs[i], 1);
  FILE *log = fopen(log_path, "w");
  if (!log) return 1;
  DWORD started = GetTickCount();
  while (GetFileAttributesA(stop_path) == INVALID_FILE_ATTRIBUTES && test && WaitForSingleObject(test, 0) == WAIT_TIMEOUT &&
         GetTickCount() - started < 300000) {
    for (int i = 0; i < count; ++i) files[i].present = files[i].state == HELD;
    for (int i = 0; i < folders; ++i) look(i, dirs[i], 0);
    DWORD now = GetTickCount();
    for (int i = 0; i < count; ++i) {
      File *f = &files[i];
      if (f->state == WANTED) {
        char path[MAX_PATH];
        snprintf(path, sizeof path, "%s\\%s", dirs[f->folder], f->name);
        f->h = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
        if (f->h != INVALID_HANDLE_VALUE) {
          f->state = HELD;
          f->since = now;
          f->hold = 100 + (DWORD)(rand() % 201);
        }
      } else if (f->state == HELD && now - f->since >= f->hold) {
        CloseHandle(f->h);
        f->state = SEEN;
        fprintf(log, "%s %lu\n", f->name, (unsigned long)f->hold);
      }
    }
    // What has gone is forgotten: temporary names come and go.
    for (int i = 0; i < count;)
      if (!files[i].present) {
        if (files[i].state == WANTED) fprintf(log, "%s -\n", files[i].name);
        files[i] = files[--count];
      } else {
        ++i;
      }
    fflush(log);
    Sleep(2);
  }
  for (int i = 0; i < count; ++i)
    if (files[i].state == HELD) {
      CloseHandle(files[i].h);
      fprintf(log, "%s %lu\n", files[i].name, (unsigned long)files[i].hold);
    }
  fclose(log);
  return 0;
}

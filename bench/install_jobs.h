// The job list that install_bench hands to its two comparison programs
// (install_plain, install_floor): one line per step, fields separated by
// tabs, so that paths with blanks pass unharmed.
//   C <src> <dest>                       copy one package file
//   I <ini> <section> <entry> <item>     add item to a list entry of an INI file
//   R <key> <name> <value>               set a string value (Windows: a key
//                                        below HKEY_LOCAL_MACHINE; Linux: the
//                                        key's folder in the registry tree)
// Plain C over fixed buffers: these programs stay as small as a program
// doing the job by hand would be.
#ifndef NZ_INSTALL_JOBS_H
#define NZ_INSTALL_JOBS_H

#include <stdio.h>
#include <string.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>
#endif

#define JOB_LINE_MAX 4096
#define JOB_FIELDS 5

// Splits the next line of f into at most JOB_FIELDS fields, in place.
// The number of fields, 0 at the end of the list, -1 for a line too long.
static int job_next(FILE *f, char *line, char *field[JOB_FIELDS]) {
  for (;;) {
    if (!fgets(line, JOB_LINE_MAX, f)) return 0;
    size_t n = strlen(line);
    if (n > 0 && line[n - 1] != '\n' && !feof(f)) return -1;
    while (n > 0 && (line[n - 1] == '\n' || line[n - 1] == '\r')) line[--n] = '\0';
    if (n == 0) continue;
    int k = 0;
    char *p = line;
    field[k++] = p;
    while (k < JOB_FIELDS && (p = strchr(p, '\t')) != NULL) {
      *p++ = '\0';
      field[k++] = p;
    }
    return k;
  }
}

// With "--durable" the comparison programs keep the installer's promise
// that what is done is on disk: once every job is done, each copied file,
// the INI file and the registry tree's value (Linux) is flushed, and each
// folder that got a new name once (Linux; Windows flushes the files only).
static int job_durable(int argc, char **argv) { return argc == 3 && strcmp(argv[2], "--durable") == 0; }

#ifdef _WIN32
static int flush_path(const char *path, int folder) {
  if (folder) return 0;
  HANDLE h = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
  if (h == INVALID_HANDLE_VALUE) return GetLastError() != ERROR_FILE_NOT_FOUND; // the floor writes no value
  int bad = !FlushFileBuffers(h);
  CloseHandle(h);
  return bad;
}
#else
static int flush_path(const char *path, int folder) {
  int fd = open(path, folder ? O_RDONLY | O_DIRECTORY : O_WRONLY);
  if (fd < 0) return errno != ENOENT; // the floor writes no registry value
  int bad = fsync(fd) != 0;
  close(fd);
  return bad;
}
#endif

// Flushes what the job list of path wrote, and each folder once.
static int job_flush_all(const char *path) {
  FILE *f = fopen(path, "r");
  if (!f) return 1;
  static char line[JOB_LINE_MAX], folders[8][JOB_LINE_MAX];
  char *fld[JOB_FIELDS] = {NULL};
  int k, bad = 0, nfolders = 0;
  while ((k = job_next(f, line, fld)) > 0) {
    const char *file = fld[0][0] == 'C' && k == 3 ? fld[2] : fld[0][0] == 'I' && k == 5 ? fld[1] : NULL;
#ifndef _WIN32
    static char value[JOB_LINE_MAX];
    if (fld[0][0] == 'R' && k == 4 && snprintf(value, sizeof value, "%s/=%s", fld[1], fld[2]) < (int)sizeof value)
      file = value;
#endif
    if (!file) continue;
    bad |= flush_path(file, 0);
    const char *sep = strrchr(file, '/') ? strrchr(file, '/') : strrchr(file, '\\');
    if (!sep) continue;
    char dir[JOB_LINE_MAX];
    snprintf(dir, sizeof dir, "%.*s", (int)(sep - file), file);
    int seen = 0;
    for (int i = 0; i < nfolders; ++i) seen |= strcmp(folders[i], dir) == 0;
    if (!seen && nfolders < 8) snprintf(folders[nfolders++], JOB_LINE_MAX, "%s", dir);
  }
  fclose(f);
  for (int i = 0; i < nfolders; ++i) bad |= flush_path(folders[i], 1);
  return bad;
}

#endif

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

#endif

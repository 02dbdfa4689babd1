// install_bench's floor: every byte the install moves read and written
// once, in 1 MiB blocks, through the system's own file calls: each package
// file into its place, and the INI file read and written back (once, however
// many of its entries the job list names). No registry value: a few bytes.
//   install_floor <job list>      (see install_jobs.h); 0 when all went well
#include <stdio.h>
#include <string.h>

#include "bench_mark.h"
#include "install_jobs.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

#define BLOCK (1u << 20)
static char buf[BLOCK];

#ifdef _WIN32
typedef HANDLE file_t;
#define BAD_FILE INVALID_HANDLE_VALUE
static file_t open_in(const char *p) {
  return CreateFileA(p, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
}
static file_t open_out(const char *p) {
  return CreateFileA(p, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
}
static long read_some(file_t f, char *b, unsigned n) {
  DWORD got;
  return ReadFile(f, b, n, &got, NULL) ? (long)got : -1;
}
static long write_some(file_t f, const char *b, unsigned n) {
  DWORD put;
  return WriteFile(f, b, n, &put, NULL) ? (long)put : -1;
}
static int close_file(file_t f) { return CloseHandle(f) ? 0 : 1; }
#else
typedef int file_t;
#define BAD_FILE (-1)
static file_t open_in(const char *p) { return open(p, O_RDONLY); }
static file_t open_out(const char *p) { return open(p, O_WRONLY | O_CREAT | O_TRUNC, 0666); }
static long read_some(file_t f, char *b, unsigned n) { return (long)read(f, b, n); }
static long write_some(file_t f, const char *b, unsigned n) { return (long)write(f, b, n); }
static int close_file(file_t f) { return close(f) ? 1 : 0; }
#endif

static int copy_one(const char *src, const char *dest) {
  file_t in = open_in(src);
  if (in == BAD_FILE) return 1;
  file_t out = open_out(dest);
  int bad = out == BAD_FILE;
  long n;
  while (!bad && (n = read_some(in, buf, BLOCK)) > 0)
    for (long done = 0; !bad && done < n;) {
      long put = write_some(out, buf + done, (unsigned)(n - done));
      bad = put <= 0;
      done += put;
    }
  if (!bad && n < 0) bad = 1;
  if (out != BAD_FILE && close_file(out)) bad = 1;
  close_file(in);
  return bad;
}

// The INI file read whole and written back over itself.
static int rewrite(const char *path) {
  file_t in = open_in(path);
  if (in == BAD_FILE) return 1;
  long n = read_some(in, buf, BLOCK);
  close_file(in);
  if (n < 0 || n == (long)BLOCK) return 1;
  file_t out = open_out(path);
  if (out == BAD_FILE) return 1;
  int bad = write_some(out, buf, (unsigned)n) != n;
  return close_file(out) || bad;
}

int main(int argc, char **argv) {
  bench_mark("main");
  if (argc != 2 && !job_durable(argc, argv)) {
    fprintf(stderr, "usage: install_floor <job list> [--durable]\n");
    return 2;
  }
  FILE *f = fopen(argv[1], "r");
  if (!f) return 2;
  static char line[JOB_LINE_MAX], last_ini[JOB_LINE_MAX];
  char *fld[JOB_FIELDS] = {NULL};
  int k, failed = 0;
  while (!failed && (k = job_next(f, line, fld)) != 0) {
    if (k < 0) {
      failed = 1;
    } else if (fld[0][0] == 'C' && k == 3) {
      failed = copy_one(fld[1], fld[2]);
    } else if (fld[0][0] == 'I' && k == 5) {
      if (strcmp(fld[1], last_ini) != 0) failed = rewrite(fld[1]);
      snprintf(last_ini, sizeof last_ini, "%s", fld[1]);
    }
    if (k > 0) bench_mark(fld[0]);
    if (failed)
      fprintf(stderr, "install_floor: failed at %s %s\n", k > 0 ? fld[0] : "?", k > 1 ? fld[1] : "(the list)");
  }
  fclose(f);
  if (!failed && job_durable(argc, argv)) failed = job_flush_all(argv[1]);
  bench_mark("done");
  return failed;
}

// install_bench's plain program: the install's system work done the plain
// way, with nothing of the product in it.
//   Windows: CopyFileA per file, GetPrivateProfileStringA and
//            WritePrivateProfileStringA per list entry, RegSetValueExA.
//   Linux:   copy_file_range per file (the kernel's copy, as cp does it),
//            times kept as CopyFileA keeps them; per list entry the file
//            read whole, edited in memory and rewritten in place (no flush,
//            as the profile call does); the value written as one file of
//            the registry tree.
//   install_plain <job list>      (see install_jobs.h); 0 when all went well
#include <stdio.h>
#include <string.h>

#include "bench_mark.h"
#include "install_jobs.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#define VALUE_MAX 1024

// 1 when item is a whole item of the comma-separated list.
static int has_item(const char *list, const char *item) {
  size_t n = strlen(item);
  for (const char *p = list; p;) {
    while (*p == ' ') ++p;
    if (strncmp(p, item, n) == 0 && (p[n] == '\0' || p[n] == ',' || p[n] == ' ')) return 1;
    p = strchr(p, ',');
    if (p) ++p;
  }
  return 0;
}

// list + "," + item into out (VALUE_MAX bytes); 0 when it does not fit.
static int append_item(char *out, const char *list, const char *item) {
  int n = snprintf(out, VALUE_MAX, list[0] ? "%s,%s" : "%s%s", list, item);
  return n > 0 && n < VALUE_MAX;
}

#ifdef _WIN32

static int copy_one(const char *src, const char *dest) { return CopyFileA(src, dest, FALSE) ? 0 : 1; }

static int add_to_list(const char *ini, const char *section, const char *entry, const char *item) {
  char val[VALUE_MAX], next[VALUE_MAX];
  GetPrivateProfileStringA(section, entry, "", val, sizeof val, ini);
  if (has_item(val, item)) return 0;
  if (!append_item(next, val, item)) return 1;
  return WritePrivateProfileStringA(section, entry, next, ini) ? 0 : 1;
}

static int set_value(const char *key, const char *name, const char *value) {
  HKEY hk;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, key, 0, NULL, 0, KEY_SET_VALUE, NULL, &hk, NULL) != ERROR_SUCCESS) return 1;
  LONG rc = RegSetValueExA(hk, name, 0, REG_SZ, (const BYTE *)value, (DWORD)strlen(value) + 1);
  RegCloseKey(hk);
  return rc == ERROR_SUCCESS ? 0 : 1;
}

#else

static int copy_one(const char *src, const char *dest) {
  int in = open(src, O_RDONLY);
  if (in < 0) return 1;
  struct stat st;
  int out = fstat(in, &st) == 0 ? open(dest, O_WRONLY | O_CREAT | O_TRUNC, 0666) : -1;
  int bad = out < 0;
  while (!bad) {
    ssize_t n = copy_file_range(in, NULL, out, NULL, 1 << 30, 0);
    if (n == 0) break;
    if (n < 0) bad = 1;
  }
  if (!bad) {
    struct timespec t[2] = {st.st_atim, st.st_mtim};
    bad = futimens(out, t) != 0;
  }
  if (out >= 0 && close(out) != 0) bad = 1;
  close(in);
  return bad;
}

#define INI_MAX (1 << 20)

static long read_whole(const char *path, char *buf, size_t size) {
  int fd = open(path, O_RDONLY);
  if (fd < 0) return -1;
  size_t got = 0;
  ssize_t n;
  while (got < size && (n = read(fd, buf + got, size - got)) > 0) got += (size_t)n;
  close(fd);
  return got < size ? (long)got : -1;
}

static int write_whole(const char *path, const char *buf, size_t n) {
  int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
  if (fd < 0) return 1;
  int bad = write(fd, buf, n) != (ssize_t)n;
  return close(fd) != 0 || bad;
}

// The entry's value in [section]: where it starts and ends in text; 0 when
// the entry is missing (the simple profile-file reading: "name=value").
static int find_value(const char *text, const char *section, const char *entry, const char **from, const char **to) {
  char header[VALUE_MAX];
  snprintf(header, sizeof header, "[%s]", section);
  const char *s = strstr(text, header);
  if (!s) return 0;
  size_t n = strlen(entry);
  for (const char *line = strchr(s, '\n'); line && line[1] && line[1] != '['; line = strchr(line + 1, '\n')) {
    if (strncasecmp(line + 1, entry, n) == 0 && line[1 + n] == '=') {
      *from = line + 2 + n;
      *to = *from + strcspn(*from, "\r\n");
      return 1;
    }
  }
  return 0;
}

static char text[INI_MAX], out[INI_MAX];

// Read for the value, read and rewrite for the change: the two calls.
static int add_to_list(const char *ini, const char *section, const char *entry, const char *item) {
  char val[VALUE_MAX], next[VALUE_MAX];
  const char *from, *to;
  long n = read_whole(ini, text, sizeof text - 1);
  if (n < 0) return 1;
  text[n] = '\0';
  if (!find_value(text, section, entry, &from, &to) || (size_t)(to - from) >= sizeof val) return 1;
  memcpy(val, from, (size_t)(to - from));
  val[to - from] = '\0';
  if (has_item(val, item)) return 0;
  if (!append_item(next, val, item)) return 1;

  n = read_whole(ini, text, sizeof text - 1);
  if (n < 0) return 1;
  text[n] = '\0';
  if (!find_value(text, section, entry, &from, &to)) return 1;
  size_t head = (size_t)(from - text), len = strlen(next), tail = (size_t)n - (size_t)(to - text);
  if (head + len + tail > sizeof out) return 1;
  memcpy(out, text, head);
  memcpy(out + head, next, len);
  memcpy(out + head + len, to, tail);
  return write_whole(ini, out, head + len + tail);
}

static int make_dirs(char *path) {
  for (char *p = path + 1; *p; ++p) {
    if (*p != '/') continue;
    *p = '\0';
    int bad = mkdir(path, 0777) != 0 && errno != EEXIST;
    *p = '/';
    if (bad) return 1;
  }
  return mkdir(path, 0777) != 0 && errno != EEXIST;
}

// The registry tree's form of a string value: "kcreg 1", then the bytes
// with their NUL, in the file "=<name>" of the key's folder.
static int set_value(const char *key, const char *name, const char *value) {
  char dir[JOB_LINE_MAX], path[JOB_LINE_MAX], bytes[VALUE_MAX + 16];
  snprintf(dir, sizeof dir, "%s", key);
  if (make_dirs(dir)) return 1;
  snprintf(path, sizeof path, "%s/=%s", key, name);
  int n = snprintf(bytes, sizeof bytes, "kcreg 1\n%s", value);
  if (n < 0 || (size_t)n >= sizeof bytes) return 1;
  return write_whole(path, bytes, (size_t)n + 1);
}

#endif

int main(int argc, char **argv) {
  bench_mark("main");
  if (argc != 2 && !job_durable(argc, argv)) {
    fprintf(stderr, "usage: install_plain <job list> [--durable]\n");
    return 2;
  }
  FILE *f = fopen(argv[1], "r");
  if (!f) return 2;
  static char line[JOB_LINE_MAX];
  char *fld[JOB_FIELDS] = {NULL};
  int k, failed = 0;
  while (!failed && (k = job_next(f, line, fld)) != 0) {
    if (k < 0)
      failed = 1;
    else if (fld[0][0] == 'C' && k == 3)
      failed = copy_one(fld[1], fld[2]);
    else if (fld[0][0] == 'I' && k == 5)
      failed = add_to_list(fld[1], fld[2], fld[3], fld[4]);
    else if (fld[0][0] == 'R' && k == 4)
      failed = set_value(fld[1], fld[2], fld[3]);
    else
      failed = 1;
    if (k > 0) bench_mark(fld[0]);
    if (failed)
      fprintf(stderr, "install_plain: failed at %s %s\n", k > 0 ? fld[0] : "?", k > 1 ? fld[1] : "(the list)");
  }
  fclose(f);
  if (!failed && job_durable(argc, argv)) failed = job_flush_all(argv[1]);
  bench_mark("done");
  return failed;
}

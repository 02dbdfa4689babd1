// Time marks for install_bench --phases: a child started with
// NZ_BENCH_MARKS=1 in its environment writes "MARK <label> <microseconds
// since 1970>" lines to its standard error, which the driver reads back and
// shows against the moment it started the child. Without the variable a
// mark costs one getenv.
#ifndef NZ_BENCH_MARK_H
#define NZ_BENCH_MARK_H

#include <stdio.h>
#include <stdlib.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <time.h>
#endif

static inline unsigned long long bench_now_us(void) {
#ifdef _WIN32
  FILETIME f;
  GetSystemTimePreciseAsFileTime(&f);
  return ((((unsigned long long)f.dwHighDateTime << 32) | f.dwLowDateTime) / 10) - 11644473600000000ULL;
#else
  struct timespec t;
  clock_gettime(CLOCK_REALTIME, &t);
  return (unsigned long long)t.tv_sec * 1000000ULL + (unsigned long long)t.tv_nsec / 1000;
#endif
}

static inline void bench_mark(const char *label) {
  static int on = -1;
  if (on < 0) {
    const char *v = getenv("NZ_BENCH_MARKS");
    on = v && v[0] == '1';
  }
  if (on) fprintf(stderr, "MARK %s %llu\n", label, bench_now_us());
}

#endif

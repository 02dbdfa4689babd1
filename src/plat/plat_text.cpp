// Bounded text helpers (kcstr.h): the one place that copies, appends,
// formats into fixed buffers and folds letter case.
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "kcstr.h"

int kc_copy(char *dst, size_t size, const char *src) {
  size_t n = strlen(src);
  if (n >= size) {
    if (size) dst[0] = '\0';
    return 0;
  }
  memcpy(dst, src, n + 1);
  return 1;
}

int kc_append(char *dst, size_t size, const char *src) {
  size_t have = strlen(dst);
  size_t n = strlen(src);
  if (have + n >= size) return 0;
  memcpy(dst + have, src, n + 1);
  return 1;
}

int kc_format(char *dst, size_t size, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(dst, size, fmt, ap);
  va_end(ap);
  if (n < 0 || (size_t)n >= size) {
    if (size) dst[0] = '\0';
    return 0;
  }
  return 1;
}

static int kc_fold(int c) { return (c >= 'A' && c <= 'Z') ? c - 'A' + 'a' : c; }

int kc_fold_eq(const char *a, const char *b, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    int x = kc_fold((unsigned char)a[i]), y = kc_fold((unsigned char)b[i]);
    if (x != y) return 0;
    if (x == 0) break; // both ended
  }
  return 1;
}

void kc_lower(char *s) {
  for (; *s; ++s) *s = (char)kc_fold((unsigned char)*s);
}

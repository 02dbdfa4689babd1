/*
 * kcstr.h - bounded text helpers over the caller's buffers: pure functions
 * with no system call behind them, so that every layer may use them (the
 * installer actions reach them through kcsys.h). Not exported.
 */
#ifndef KC_STR_H
#define KC_STR_H

#include <stddef.h>

/* Copies src into dst of size bytes: 1, or 0 with dst "" when it does
 * not fit. */
int kc_copy(char *dst, size_t size, const char *src);
/* Appends src to dst of size bytes: 1, or 0 with dst unchanged when it
 * does not fit. */
int kc_append(char *dst, size_t size, const char *src);
/* snprintf into dst of size bytes: 1, or 0 with dst "" when the text does
 * not fit whole (it is never handed on cut). */
int kc_format(char *dst, size_t size, const char *fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;

/* 1 when a and b are equal in their first n characters (fewer when both
 * end sooner), letters A-Z and a-z counting alike and every other byte as
 * it is, so that no locale changes an answer. */
int kc_fold_eq(const char *a, const char *b, size_t n);
/* Lower-cases the letters A-Z of s in place. */
void kc_lower(char *s);

#endif /* KC_STR_H */

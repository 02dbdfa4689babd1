/*
 * kcsys.h - what the platform library offers the installer actions beyond
 * its exported KC functions. Not exported.
 */
#ifndef KC_SYS_H
#define KC_SYS_H

#include "plat.h"

/* Result of KCINIReadValue for a value longer than the caller's buffer:
 * the value is there but was not handed out, so that no caller writes a
 * cut list back. */
#define KC_ERR_INI_TOOLONG 560u

/* KCINIGetString for one entry of a named file, bounded by size: 0 with
 * the value in buffer, 534 missing or empty, 535 file cannot be opened,
 * KC_ERR_INI_TOOLONG when the value does not fit (buffer is then ""). */
uint32_t KCINIReadValue(const char *section, const char *entry, char *buffer, size_t size,
                        const char *file_name);

/* Copies src into dst of size bytes: 1, or 0 with dst "" when it does
 * not fit. */
int kc_copy(char *dst, size_t size, const char *src);
/* Appends src to dst of size bytes: 1, or 0 with dst unchanged when it
 * does not fit. */
int kc_append(char *dst, size_t size, const char *src);

#endif /* KC_SYS_H */

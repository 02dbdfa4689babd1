// Windows seam: the local clock, the profile's "intl" section and the
// ANSI code page.
#include <windows.h>
#include <string.h>

#include "os.h"

void os_local_time(os_localtime *t) {
  if (os_time_pinned(t)) return;
  SYSTEMTIME st;
  GetLocalTime(&st);
  t->year = st.wYear;
  t->month = st.wMonth;
  t->day = st.wDay;
  t->weekday = st.wDayOfWeek; // 0 is Sunday
  t->hour = st.wHour;
  t->minute = st.wMinute;
  t->second = st.wSecond;
  t->millisecond = st.wMilliseconds;
}

uint32_t os_country(void) { return (uint32_t)GetProfileIntA("intl", "iCountry", 0); }

void os_language(char *buf, uint32_t len) {
  if (len == 0) return;
  // The profile call cuts to len - 1 characters and terminates.
  if (GetProfileStringA("intl", "sLanguage", "", buf, len) >= len) buf[len - 1] = '\0';
}

uint32_t os_code_page(void) { return (uint32_t)GetACP(); }

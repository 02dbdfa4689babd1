// POSIX seam: the local clock and what the process locale says about the
// system's code page, country and language.
#include <langinfo.h>
#include <locale.h>
#include <string.h>
#include <strings.h>
#include <time.h>

#include "os.h"

void os_local_time(os_localtime *t) {
  if (os_time_pinned(t)) return;
  struct timespec ts;
  struct tm tm;
  memset(&tm, 0, sizeof tm);
  if (clock_gettime(CLOCK_REALTIME, &ts) != 0) {
    ts.tv_sec = time(NULL);
    ts.tv_nsec = 0;
  }
  if (!localtime_r(&ts.tv_sec, &tm)) memset(&tm, 0, sizeof tm);
  t->year = tm.tm_year + 1900;
  t->month = tm.tm_mon + 1;
  t->day = tm.tm_mday;
  t->weekday = tm.tm_wday; // 0 is Sunday, as GetLocalTime counts
  t->hour = tm.tm_hour;
  t->minute = tm.tm_min;
  t->second = tm.tm_sec > 59 ? 59 : tm.tm_sec; // a leap second reads as :59
  t->millisecond = (int)(ts.tv_nsec / 1000000);
}

/* The locale of LC_CTYPE as the process has set it (setlocale); a program
 * that never calls setlocale is in "C". Its name has the form
 * language[_TERRITORY][.codeset][@modifier]. */
static const char *ctype_locale_name(void) {
  const char *name = setlocale(LC_CTYPE, NULL);
  return name ? name : "C";
}

// Copies the name's language ("de" of "de_CH.UTF-8"): two or three
// lower-case letters, else nothing ("C", "POSIX", "C.UTF-8").
static size_t locale_language(const char *name, char *out, size_t size) {
  size_t n = 0;
  while (name[n] >= 'a' && name[n] <= 'z') ++n;
  if (n < 2 || n > 3 || (name[n] != '\0' && name[n] != '_' && name[n] != '.' && name[n] != '@')) n = 0;
  if (size == 0) return 0;
  if (n >= size) n = size - 1;
  memcpy(out, name, n);
  out[n] = '\0';
  return n;
}

/* Telephone country codes of the territories most locales name; the
 * Windows profile's iCountry holds the same numbers. */
static const struct {
  char territory[3];
  uint32_t code;
} kCountryCodes[] = {
    {"US", 1},   {"CA", 1},   {"RU", 7},   {"KZ", 7},   {"EG", 20},  {"ZA", 27},  {"GR", 30},
    {"NL", 31},  {"BE", 32},  {"FR", 33},  {"ES", 34},  {"HU", 36},  {"IT", 39},  {"RO", 40},
    {"CH", 41},  {"AT", 43},  {"GB", 44},  {"DK", 45},  {"SE", 46},  {"NO", 47},  {"PL", 48},
    {"DE", 49},  {"PE", 51},  {"MX", 52},  {"AR", 54},  {"BR", 55},  {"CL", 56},  {"CO", 57},
    {"VE", 58},  {"MY", 60},  {"AU", 61},  {"ID", 62},  {"PH", 63},  {"NZ", 64},  {"SG", 65},
    {"TH", 66},  {"JP", 81},  {"KR", 82},  {"VN", 84},  {"CN", 86},  {"TR", 90},  {"IN", 91},
    {"PK", 92},  {"IR", 98},  {"MA", 212}, {"DZ", 213}, {"TN", 216}, {"NG", 234}, {"KE", 254},
    {"PT", 351}, {"LU", 352}, {"IE", 353}, {"IS", 354}, {"MT", 356}, {"CY", 357}, {"FI", 358},
    {"BG", 359}, {"LT", 370}, {"LV", 371}, {"EE", 372}, {"UA", 380}, {"RS", 381}, {"HR", 385},
    {"SI", 386}, {"CZ", 420}, {"SK", 421}, {"HK", 852}, {"TW", 886}, {"SA", 966}, {"AE", 971},
    {"IL", 972},
};

uint32_t os_country(void) {
  const char *name = ctype_locale_name();
  char lang[4];
  size_t n = locale_language(name, lang, sizeof lang);
  if (n == 0 || name[n] != '_') return 0;
  const char *terr = name + n + 1;
  for (size_t i = 0; i < sizeof kCountryCodes / sizeof kCountryCodes[0]; ++i)
    if (strncmp(terr, kCountryCodes[i].territory, 2) == 0 &&
        (terr[2] == '\0' || terr[2] == '.' || terr[2] == '@'))
      return kCountryCodes[i].code;
  return 0;
}

void os_language(char *buf, uint32_t len) { locale_language(ctype_locale_name(), buf, len); }

/* The Windows ANSI code page that matches the locale's character set:
 * 65001 for UTF-8, the nearest ANSI page for the 8-bit sets below, and
 * 1252 for everything else, the "C" locale's ASCII included. */
static const struct {
  const char *codeset;
  uint32_t page;
} kCodePages[] = {
    {"UTF-8", 65001},      {"UTF8", 65001},       {"ISO-8859-1", 1252},  {"ISO-8859-15", 1252},
    {"CP1252", 1252},      {"ISO-8859-2", 1250},  {"CP1250", 1250},      {"ISO-8859-5", 1251},
    {"CP1251", 1251},      {"KOI8-R", 1251},      {"KOI8-U", 1251},      {"ISO-8859-7", 1253},
    {"ISO-8859-9", 1254},  {"ISO-8859-8", 1255},  {"ISO-8859-6", 1256},  {"ISO-8859-13", 1257},
    {"TIS-620", 874},      {"EUC-JP", 932},       {"SHIFT_JIS", 932},    {"GB2312", 936},
    {"GBK", 936},          {"GB18030", 936},      {"EUC-KR", 949},       {"BIG5", 950},
    {"BIG5-HKSCS", 950},
};

uint32_t os_code_page(void) {
  const char *cs = nl_langinfo(CODESET);
  if (cs)
    for (size_t i = 0; i < sizeof kCodePages / sizeof kCodePages[0]; ++i)
      if (strcasecmp(cs, kCodePages[i].codeset) == 0) return kCodePages[i].page;
  return 1252;
}

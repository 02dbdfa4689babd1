// Date, time and international settings: the process-wide international
// format, the local clock split into parts, the system's code page,
// country and language, version comparison and the debug print.
#include <stdio.h>
#include <string.h>

#include "os.h"
#include "plat_int.h"

/* The layer's debug switch: KCPerror prints only when it is not 0.
 * Nothing in the system sets it. */
int VCS_DEBUG;

#define KC_INTL_TEXT 6   /* a KCINTLFORMAT string: five characters and the NUL */
#define KC_HOST_TEXT 5   /* an INTLFORMAT string: five bytes, NUL not promised */
#define KC_LANGUAGE_MAX 8 /* KCCharInfo's language buffer */

/* kcIntlFlags bit read as "daylight-saving time in effect". */
#define KC_INTL_DST 0x10u
/* Bits of the host's Flags taken over as they are, and the one that
 * selects date order 2. */
#define KC_HOST_FLAG_BITS 0x1Fu
#define KC_HOST_DATE_ORDER_2 0x40u

static const KCINTLFORMAT kIntlDefaults = {
    16, 1, 2, 0, "AM", 2, "PM", 2, "$", 1, ",", 1, ".", 1, "/", 1, ":", 1,
};

/* The seven strings of the record with their length fields, in the order
 * AM, PM, currency, thousands, decimal, date, time. The record is packed,
 * so each field is reached by its byte offset. */
static const size_t kTextOffsets[7] = {
    offsetof(KCINTLFORMAT, kcAMString),       offsetof(KCINTLFORMAT, kcPMString),
    offsetof(KCINTLFORMAT, kcCurrencySymbol), offsetof(KCINTLFORMAT, kcThousandDelim),
    offsetof(KCINTLFORMAT, kcDecimalDelim),   offsetof(KCINTLFORMAT, kcDateDelim),
    offsetof(KCINTLFORMAT, kcTimeDelim),
};
static const size_t kHostTextOffsets[7] = {
    offsetof(INTLFORMAT, AMString),       offsetof(INTLFORMAT, PMString),
    offsetof(INTLFORMAT, CurrencyString), offsetof(INTLFORMAT, ThousandString),
    offsetof(INTLFORMAT, DecimalString),  offsetof(INTLFORMAT, DateString),
    offsetof(INTLFORMAT, TimeString),
};

/* Each string ends within its six bytes (a text of six characters is cut
 * to five) and its length field says how long it is. The length field
 * directly follows its string and may sit at any byte offset. */
static void settle_lengths(KCINTLFORMAT *f) {
  unsigned char *base = (unsigned char *)f;
  for (size_t i = 0; i < 7; ++i) {
    char *text = (char *)base + kTextOffsets[i];
    text[KC_INTL_TEXT - 1] = '\0';
    uint32_t len = (uint32_t)strlen(text);
    memcpy(base + kTextOffsets[i] + KC_INTL_TEXT, &len, sizeof len);
  }
}

/* Turns the host's record into ours: the host's time zone with its sign
 * reversed, its flags and date order, its seven strings (a string that
 * fills its five bytes without a terminator is taken as those five). */
static void from_host(KCINTLFORMAT *f, const INTLFORMAT *h) {
  unsigned char *base = (unsigned char *)f;
  const unsigned char *hbase = (const unsigned char *)h;
  uint32_t flags = h->Flags;
  f->kcIntlFlags = flags & KC_HOST_FLAG_BITS;
  f->kcDateOrder = (flags & KC_HOST_DATE_ORDER_2) ? 2 : 1;
  f->kcCurrDigits = h->CurrencyDigits;
  f->kcTimeZone = (int32_t)(0u - (uint32_t)h->TimeZone); // INT32_MIN stays itself, no overflow
  for (size_t i = 0; i < 7; ++i) {
    char *text = (char *)base + kTextOffsets[i];
    const char *host = (const char *)hbase + kHostTextOffsets[i];
    size_t n = strnlen(host, KC_HOST_TEXT);
    memcpy(text, host, n);
    memset(text + n, 0, KC_INTL_TEXT - n);
  }
}

/* Finds OSGetIntlSettings in the host library, loading the library first
 * when needed; a failed load or lookup is tried again on the next call. */
static OSGETINTLSETPROC host_intl_proc(void) {
  PlatLoadHostLibrary();
  // Without a library there is nothing to look in (a lookup with handle 0
  // would search the program itself).
  if (!OSGetIntlSetProc && PagraLibHandle != 0)
    // Through void (*)(void), the generic function pointer, to the real type.
    OSGetIntlSetProc =
        (OSGETINTLSETPROC)(void (*)(void))KCLibraryLoadProc(PagraLibHandle, "OSGetIntlSettings", 0);
  return OSGetIntlSetProc;
}

KCAPI uint32_t KCPlatSetIntlFormat(const KCINTLFORMAT *IntlFormat) {
  if (!kcIntlFormat) {
    kcIntlFormat = (KCINTLFORMAT *)KCMemAlloc(sizeof(KCINTLFORMAT));
    if (!kcIntlFormat) return KC_ERR_NOMEM;
  }
  if (IntlFormat) {
    // memmove: the caller may hand back the layer's own record.
    memmove(kcIntlFormat, IntlFormat, sizeof(KCINTLFORMAT));
  } else {
    OSGETINTLSETPROC proc = host_intl_proc();
    if (proc) {
      INTLFORMAT host;
      // Cleared, so that a field the host leaves alone reads as empty.
      memset(&host, 0, sizeof host);
      proc(&host, (uint16_t)sizeof host);
      from_host(kcIntlFormat, &host);
    } else {
      memcpy(kcIntlFormat, &kIntlDefaults, sizeof(KCINTLFORMAT));
    }
  }
  settle_lengths(kcIntlFormat);
  return KC_OK;
}

KCAPI KCINTLFORMAT *KCPlatGetIntlFormat(void) { return kcIntlFormat; }

KCAPI uint32_t KCPlatGetTimeZone(int32_t *kcZone, uint32_t *kcDSTInEffect) {
  if (!kcIntlFormat) {
    if (kcZone) *kcZone = 0;
    if (kcDSTInEffect) *kcDSTInEffect = 0;
    return KC_ERR_NO_INTL;
  }
  if (kcZone) *kcZone = kcIntlFormat->kcTimeZone;
  if (kcDSTInEffect) *kcDSTInEffect = (kcIntlFormat->kcIntlFlags & KC_INTL_DST) ? 1 : 0;
  return KC_OK;
}

KCAPI uint32_t KCPlatGetDatetime(KCDATETIMEPARTS *kcDTParts) {
  if (!kcDTParts) return KC_ERR_NULL_ARG;
  os_localtime t;
  os_local_time(&t);
  kcDTParts->kcYear = t.year;
  kcDTParts->kcMonth = t.month;
  kcDTParts->kcDay = t.day;
  kcDTParts->kcWeekday = t.weekday;
  kcDTParts->kcHour = t.hour;
  kcDTParts->kcMinute = t.minute;
  kcDTParts->kcSecond = t.second;
  kcDTParts->kcHundredth = t.millisecond / 10;
  // Without a format both become 0; that is no failure of this call.
  (void)KCPlatGetTimeZone(&kcDTParts->kcZone, &kcDTParts->kcDSTInEffect);
  return KC_OK;
}

KCAPI void KCCharInfo(uint32_t *pCharSet, uint32_t *pCountry, char *szLanguage) {
  if (pCountry) *pCountry = os_country();
  if (szLanguage) os_language(szLanguage, KC_LANGUAGE_MAX);
  if (pCharSet) *pCharSet = os_code_page();
}

/* ---- Version comparison ---- */

/* The number at the start of a text, read as a decimal fraction:
 * blanks, a sign, digits with at most one '.', and an exponent. The
 * significant digits run from first to last (skipping a '.'); the value is
 * 0.d1d2...dn times ten to the power base + the exponent, whose
 * significant digits (exp_len of them, from exp_first) are kept as text:
 * an exponent of any length compares exactly. */
typedef struct {
  int negative;
  int zero;
  const char *first; /* first significant digit */
  const char *last;  /* last significant (non-zero) digit */
  long long base;    /* digits of the whole part, or minus the zeros after the '.' */
  int exp_negative;
  const char *exp_first;
  size_t exp_len;    /* 0 for an exponent of 0 or none */
} KCDECIMAL;

/* Exponents of up to this many digits are added as numbers: below 10^18,
 * the sum with a base (a count of characters in memory, far below 10^17)
 * stays within 64 bits. */
#define KC_EXPONENT_DIGITS 18

static int is_digit(char c) { return c >= '0' && c <= '9'; }
static int is_blank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

static void read_decimal(const char *s, KCDECIMAL *d) {
  memset(d, 0, sizeof *d);
  d->zero = 1;
  if (!s) return;
  while (is_blank(*s)) ++s;
  int negative = 0;
  if (*s == '+' || *s == '-') negative = *s++ == '-';
  const char *p = s;
  long long int_digits = 0, lead_frac_zeros = 0;
  int seen_point = 0, any_digit = 0, in_lead = 1;
  for (;; ++p) {
    if (is_digit(*p)) {
      any_digit = 1;
      if (*p != '0') {
        if (!d->first) d->first = p;
        d->last = p;
        in_lead = 0;
      } else if (in_lead && seen_point) {
        ++lead_frac_zeros;
      }
      if (!seen_point && !in_lead) ++int_digits;
    } else if (*p == '.' && !seen_point) {
      seen_point = 1;
    } else {
      break;
    }
  }
  if (!any_digit || !d->first) return; // no number, or a zero
  if (*p == 'e' || *p == 'E') {
    const char *e = p + 1;
    int eneg = 0;
    if (*e == '+' || *e == '-') eneg = *e++ == '-';
    while (*e == '0') ++e;
    const char *digits = e;
    while (is_digit(*e)) ++e;
    if (e > digits) {
      d->exp_negative = eneg;
      d->exp_first = digits;
      d->exp_len = (size_t)(e - digits);
    }
  }
  d->negative = negative;
  d->zero = 0;
  // int_digits counts from the first non-zero digit of the whole part.
  d->base = int_digits ? int_digits : -lead_frac_zeros;
}

// The exponent as a number, when it has at most KC_EXPONENT_DIGITS digits.
static int small_exponent(const KCDECIMAL *d, long long *v) {
  if (d->exp_len > KC_EXPONENT_DIGITS) return 0;
  long long x = 0;
  for (size_t i = 0; i < d->exp_len; ++i) x = x * 10 + (d->exp_first[i] - '0');
  *v = d->exp_negative ? -x : x;
  return 1;
}

/* -1, 0 or 1 for |x| against |y|, exponents as text (no leading zeros). */
static int compare_digits(const KCDECIMAL *x, const KCDECIMAL *y) {
  if (x->exp_len != y->exp_len) return x->exp_len < y->exp_len ? -1 : 1;
  int c = x->exp_len ? memcmp(x->exp_first, y->exp_first, x->exp_len) : 0;
  return c < 0 ? -1 : c > 0;
}

/* -1, 0 or 1 for the power of ten of a against that of b: base plus
 * exponent, exact for exponents of any length. */
static int compare_point(const KCDECIMAL *a, const KCDECIMAL *b) {
  long long ea, eb;
  if (small_exponent(a, &ea) && small_exponent(b, &eb)) {
    long long pa = a->base + ea, pb = b->base + eb;
    return pa < pb ? -1 : pa > pb;
  }
  // One exponent has 19 digits or more: Ea - Eb is weighed against
  // Bb - Ba, and where it reaches 10^18 its sign alone decides.
  int sa = a->exp_len ? (a->exp_negative ? -1 : 1) : 0, sb = b->exp_len ? (b->exp_negative ? -1 : 1) : 0;
  if (sa != sb) return sa ? sa : -sb; // the long one's magnitude, and more
  // One sign: the difference of the magnitudes, digit by digit from the
  // last, kept while it stays below 10^18.
  int c = compare_digits(a, b);
  long long diff = 0, unit = 1;
  if (c != 0) {
    const KCDECIMAL *l = c > 0 ? a : b, *m = c > 0 ? b : a;
    int borrow = 0;
    for (size_t i = 0; i < l->exp_len; ++i) {
      int digit = (l->exp_first[l->exp_len - 1 - i] - '0') - borrow;
      if (i < m->exp_len) digit -= m->exp_first[m->exp_len - 1 - i] - '0';
      borrow = digit < 0;
      if (borrow) digit += 10;
      if (i >= KC_EXPONENT_DIGITS) {
        if (digit) return sa * c;
      } else {
        diff += digit * unit;
        unit *= 10;
      }
    }
    diff *= sa * c; // Ea - Eb
  }
  long long bases = b->base - a->base;
  return diff < bases ? -1 : diff > bases;
}

/* Next significant digit at or after p, skipping the '.'. */
static const char *next_digit(const char *p) { return *p == '.' ? p + 1 : p; }

/* -1, 0 or 1 for |a| against |b|, both non-zero. */
static int compare_magnitude(const KCDECIMAL *a, const KCDECIMAL *b) {
  int point = compare_point(a, b);
  if (point != 0) return point;
  const char *pa = a->first, *pb = b->first;
  for (;;) {
    pa = next_digit(pa);
    pb = next_digit(pb);
    if (*pa != *pb) return *pa < *pb ? -1 : 1;
    // The one whose digits end first is smaller (no trailing zeros count).
    int a_end = pa == a->last, b_end = pb == b->last;
    if (a_end || b_end) return a_end == b_end ? 0 : (a_end ? -1 : 1);
    ++pa;
    ++pb;
  }
}

KCAPI int32_t KCCmpVerStr(const char *version1, const char *version2) {
  KCDECIMAL a, b;
  read_decimal(version1, &a);
  read_decimal(version2, &b);
  int sa = a.zero ? 0 : (a.negative ? -1 : 1);
  int sb = b.zero ? 0 : (b.negative ? -1 : 1);
  if (sa != sb) return sa < sb ? -1 : 1;
  if (sa == 0) return 0;
  int m = compare_magnitude(&a, &b);
  return sa < 0 ? -m : m;
}

void KCPerror(const char *err_string) {
  if (VCS_DEBUG) perror(err_string);
}

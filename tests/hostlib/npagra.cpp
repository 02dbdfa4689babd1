// npagra.dll for tests only: the least host library that keeps the
// contract the platform library relies on. It answers from environment
// variables that a test sets, and is never installed with the product.
//
//   OSGetEnvironmentString(name, buf, len): the value of NPAGRA_ENV_<name>,
//     cut to len - 1 characters; 0 when that variable is not set.
//   OSGetIntlSettings(fmt, size): NPAGRA_INTL as
//     "Flags,CurrencyDigits,TimeZone,AM,PM,Currency,Thousand,Decimal,Date,Time"
//     (strings of up to five characters, each terminated within its five
//     bytes unless it is five long); the fields the platform does not read
//     get fixed texts. Without NPAGRA_INTL: 64,3,5,"vm","nm","Kr",".",",","-",".".
//   NpagraProbe (ordinal 7): returns 7, for lookups by ordinal.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "plat.h"

#ifdef _WIN32
#define NPAGRA_EXPORT extern "C" __declspec(dllexport)
#else
#define NPAGRA_EXPORT extern "C" __attribute__((visibility("default")))
#endif

NPAGRA_EXPORT int OSGetEnvironmentString(char *name, char *buffer, uint16_t length) {
  char var[300];
  if (snprintf(var, sizeof var, "NPAGRA_ENV_%s", name) >= (int)sizeof var) return 0;
  const char *v = getenv(var);
  if (!v || length == 0) return 0;
  snprintf(buffer, length, "%s", v);
  return 1;
}

static void put5(char *field, const char *s) {
  // Five bytes: a five-character text fills them with no terminator.
  memset(field, 0, 5);
  memcpy(field, s, strnlen(s, 5));
}

NPAGRA_EXPORT void OSGetIntlSettings(INTLFORMAT *fmt, uint16_t size) {
  if (size < sizeof(INTLFORMAT)) return;
  const char *intl = getenv("NPAGRA_INTL");
  char buf[256];
  snprintf(buf, sizeof buf, "%s", intl ? intl : "64,3,5,vm,nm,Kr,.,,,-,.");
  // The default's thousands separator is "." and its decimal one ","; the
  // list syntax cannot carry a ',' item, so parse the default by hand.
  const char *parts[10] = {0};
  int n = 0;
  if (!intl) {
    static const char *def[10] = {"64", "3", "5", "vm", "nm", "Kr", ".", ",", "-", "."};
    memcpy(parts, def, sizeof def);
    n = 10;
  } else {
    char *p = buf;
    while (n < 10) {
      parts[n++] = p;
      char *c = strchr(p, ',');
      if (!c) break;
      *c = '\0';
      p = c + 1;
    }
  }
  for (int i = n; i < 10; ++i) parts[i] = "";
  fmt->Flags = (uint16_t)atoi(parts[0]);
  fmt->CurrencyDigits = (uint8_t)atoi(parts[1]);
  fmt->Length = (uint8_t)sizeof(INTLFORMAT);
  fmt->TimeZone = atoi(parts[2]);
  put5(fmt->AMString, parts[3]);
  put5(fmt->PMString, parts[4]);
  put5(fmt->CurrencyString, parts[5]);
  put5(fmt->ThousandString, parts[6]);
  put5(fmt->DecimalString, parts[7]);
  put5(fmt->DateString, parts[8]);
  put5(fmt->TimeString, parts[9]);
  snprintf(fmt->YesterdayString, sizeof fmt->YesterdayString, "yesterday");
  snprintf(fmt->TodayString, sizeof fmt->TodayString, "today");
  snprintf(fmt->TomorrowString, sizeof fmt->TomorrowString, "tomorrow");
}

NPAGRA_EXPORT int NpagraProbe(void) { return 7; }

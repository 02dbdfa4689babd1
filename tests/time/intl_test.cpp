// The international format and the time zone: before any format, the
// built-in defaults, a caller's record, the host library's answer.
#include <string.h>

#include "time_support.h"

namespace nzt {
namespace {

struct Texts {
  const char *am, *pm, *currency, *thousand, *decimal, *date, *time;
};

// Reads the seven strings and lengths of a packed record by offset.
struct TextField {
  const char *name;
  size_t text, len;
};
const TextField kFields[7] = {
    {"AM", offsetof(KCINTLFORMAT, kcAMString), offsetof(KCINTLFORMAT, kcAMStringLen)},
    {"PM", offsetof(KCINTLFORMAT, kcPMString), offsetof(KCINTLFORMAT, kcPMStringLen)},
    {"currency", offsetof(KCINTLFORMAT, kcCurrencySymbol), offsetof(KCINTLFORMAT, kcCurrencySymbolLen)},
    {"thousand", offsetof(KCINTLFORMAT, kcThousandDelim), offsetof(KCINTLFORMAT, kcThousandDelimLen)},
    {"decimal", offsetof(KCINTLFORMAT, kcDecimalDelim), offsetof(KCINTLFORMAT, kcDecimalDelimLen)},
    {"date", offsetof(KCINTLFORMAT, kcDateDelim), offsetof(KCINTLFORMAT, kcDateDelimLen)},
    {"time", offsetof(KCINTLFORMAT, kcTimeDelim), offsetof(KCINTLFORMAT, kcTimeDelimLen)},
};

const char *text_of(const KCINTLFORMAT *f, int i) { return (const char *)f + kFields[i].text; }
uint32_t len_of(const KCINTLFORMAT *f, int i) {
  uint32_t v;
  memcpy(&v, (const char *)f + kFields[i].len, sizeof v);
  return v;
}
void set_len(KCINTLFORMAT *f, int i, uint32_t v) { memcpy((char *)f + kFields[i].len, &v, sizeof v); }
void set_text(KCINTLFORMAT *f, int i, const char *s) {
  // Six bytes as they are: a test may leave out the terminator.
  memcpy((char *)f + kFields[i].text, s, strnlen(s, 6) < 6 ? strlen(s) + 1 : 6);
}

// Every string, its length field and its terminator within six bytes.
::testing::AssertionResult has_texts(const KCINTLFORMAT *f, const Texts &t) {
  const char *want[7] = {t.am, t.pm, t.currency, t.thousand, t.decimal, t.date, t.time};
  for (int i = 0; i < 7; ++i) {
    const char *s = text_of(f, i);
    if (memchr(s, '\0', 6) == nullptr)
      return ::testing::AssertionFailure() << kFields[i].name << " is not terminated within six bytes";
    if (strcmp(s, want[i]) != 0)
      return ::testing::AssertionFailure() << kFields[i].name << " is \"" << s << "\", want \"" << want[i] << "\"";
    if (len_of(f, i) != strlen(want[i]))
      return ::testing::AssertionFailure() << kFields[i].name << " length is " << len_of(f, i) << ", want "
                                           << strlen(want[i]);
  }
  return ::testing::AssertionSuccess();
}

const Texts kDefaultTexts = {"AM", "PM", "$", ",", ".", "/", ":"};

using IntlFormat = PlatformTest;

TEST_F(IntlFormat, BeforeAnyFormatNothingIsLoaded) {
  EXPECT_EQ(KCPlatGetIntlFormat(), nullptr);

  int32_t zone = 0x5A5A5A5A;
  uint32_t dst = 0xA5A5A5A5u;
  EXPECT_EQ(KCPlatGetTimeZone(&zone, &dst), KC_ERR_NO_INTL);
  EXPECT_EQ(zone, 0);
  EXPECT_EQ(dst, 0u);

  // Each output on its own: the other pointer is NULL.
  zone = 77;
  EXPECT_EQ(KCPlatGetTimeZone(&zone, nullptr), KC_ERR_NO_INTL);
  EXPECT_EQ(zone, 0);
  dst = 77;
  EXPECT_EQ(KCPlatGetTimeZone(nullptr, &dst), KC_ERR_NO_INTL);
  EXPECT_EQ(dst, 0u);
  EXPECT_EQ(KCPlatGetTimeZone(nullptr, nullptr), KC_ERR_NO_INTL);

  KCDATETIMEPARTS parts;
  memset(&parts, 0x5A, sizeof parts);
  EXPECT_EQ(KCPlatGetDatetime(&parts), KC_OK);
  EXPECT_EQ(parts.kcZone, 0);
  EXPECT_EQ(parts.kcDSTInEffect, 0u);
}

TEST_F(IntlFormat, DefaultsWithoutTheHostLibrary) {
  if (!host_library_absent()) GTEST_SKIP() << "a npagra.dll is on the loader's search path";
  EXPECT_EQ(KCPlatSetIntlFormat(nullptr), KC_OK);
  const KCINTLFORMAT *f = KCPlatGetIntlFormat();
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->kcIntlFlags, 16u);
  EXPECT_EQ(f->kcDateOrder, 1u);
  EXPECT_EQ(f->kcCurrDigits, 2u);
  EXPECT_EQ(f->kcTimeZone, 0);
  EXPECT_TRUE(has_texts(f, kDefaultTexts));
  // A failed load is no error, and nothing is kept of it.
  EXPECT_EQ(PagraLibHandle, (KCLIBRARY)0);
  EXPECT_EQ(OSGetIntlSetProc, nullptr);

  int32_t zone = 99;
  uint32_t dst = 99;
  EXPECT_EQ(KCPlatGetTimeZone(&zone, &dst), KC_OK);
  EXPECT_EQ(zone, 0);
  EXPECT_EQ(dst, 1u);
  EXPECT_EQ(KCPlatGetTimeZone(nullptr, nullptr), KC_OK);
}

// A caller's record is copied whole and its lengths recomputed, whatever
// they said; a string that fills all six bytes is cut to five.
TEST_F(IntlFormat, CallersRecordGetsTrueLengths) {
  struct Case {
    int field;
    const char *text;      // six bytes taken as they are
    uint32_t claimed_len;  // what the caller wrote in the length field
    const char *stored;
  };
  const Case cases[] = {
      {0, "a.m.", 9, "a.m."},   {1, "p.m.", 0, "p.m."},    {2, "EUR", 0xFFFFFFFFu, "EUR"},
      {3, "'", 3, "'"},         {4, "", 1, ""},            {5, "-", 1, "-"},
      {6, "hhhhh", 2, "hhhhh"}, {6, "abcdef", 6, "abcde"}, {0, "xxxxxx", 6, "xxxxx"},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    SCOPED_TRACE(::testing::Message() << "case " << i);
    reset_platform();
    KCINTLFORMAT rec;
    memset(&rec, 0, sizeof rec);
    rec.kcIntlFlags = 0;
    rec.kcDateOrder = 3;
    rec.kcCurrDigits = 4;
    rec.kcTimeZone = -60;
    for (int k = 0; k < 7; ++k) {
      set_text(&rec, k, kDefaultTexts.am);
      set_len(&rec, k, 2);
    }
    set_text(&rec, cases[i].field, cases[i].text);
    set_len(&rec, cases[i].field, cases[i].claimed_len);
    KCINTLFORMAT before;
    memcpy(&before, &rec, sizeof rec);

    ASSERT_EQ(KCPlatSetIntlFormat(&rec), KC_OK);
    const KCINTLFORMAT *f = KCPlatGetIntlFormat();
    ASSERT_NE(f, nullptr);
    EXPECT_NE(f, &rec) << "the layer keeps its own record";
    EXPECT_EQ(memcmp(&rec, &before, sizeof rec), 0) << "the caller's record is not changed";
    EXPECT_EQ(f->kcIntlFlags, 0u);
    EXPECT_EQ(f->kcDateOrder, 3u);
    EXPECT_EQ(f->kcCurrDigits, 4u);
    EXPECT_EQ(f->kcTimeZone, -60);
    for (int k = 0; k < 7; ++k) {
      SCOPED_TRACE(kFields[k].name);
      const char *want = k == cases[i].field ? cases[i].stored : "AM";
      EXPECT_STREQ(text_of(f, k), want);
      EXPECT_EQ(len_of(f, k), strlen(want));
    }
    // The host library is not asked when a record is given.
    EXPECT_EQ(PagraLibHandle, (KCLIBRARY)0);
    int32_t zone = 0;
    uint32_t dst = 9;
    EXPECT_EQ(KCPlatGetTimeZone(&zone, &dst), KC_OK);
    EXPECT_EQ(zone, -60);
    EXPECT_EQ(dst, 0u);
  }
}

TEST_F(IntlFormat, SecondSetReusesTheRecord) {
  if (!host_library_absent()) GTEST_SKIP() << "a npagra.dll is on the loader's search path";
  ASSERT_EQ(KCPlatSetIntlFormat(nullptr), KC_OK);
  KCINTLFORMAT *seen = KCPlatGetIntlFormat();
  ASSERT_NE(seen, nullptr);

  KCINTLFORMAT rec;
  memcpy(&rec, seen, sizeof rec);
  rec.kcTimeZone = 120;
  rec.kcIntlFlags = 0;
  set_text(&rec, 2, "DM");
  ASSERT_EQ(KCPlatSetIntlFormat(&rec), KC_OK);
  EXPECT_EQ(KCPlatGetIntlFormat(), seen);
  EXPECT_EQ(seen->kcTimeZone, 120);
  EXPECT_STREQ(seen->kcCurrencySymbol, "DM");
  EXPECT_EQ(len_of(seen, 2), 2u);

  // The layer's own record handed back in, and the defaults again: the
  // same block each time.
  seen->kcAMStringLen = 40;
  ASSERT_EQ(KCPlatSetIntlFormat(seen), KC_OK);
  EXPECT_EQ(KCPlatGetIntlFormat(), seen);
  EXPECT_EQ(len_of(seen, 0), 2u);
  EXPECT_EQ(seen->kcTimeZone, 120);
  ASSERT_EQ(KCPlatSetIntlFormat(nullptr), KC_OK);
  EXPECT_EQ(KCPlatGetIntlFormat(), seen);
  EXPECT_EQ(seen->kcTimeZone, 0);
  EXPECT_TRUE(has_texts(seen, kDefaultTexts));
}

// The host's answer: the time zone's sign reversed, flags and date order
// from its Flags, its strings cut at five bytes.
TEST_F(IntlFormat, HostLibraryAnswers) {
  HostLibrary host;
  ASSERT_TRUE(host.loaded()) << hostlib_path();
  struct Case {
    const char *spec;  // NPAGRA_INTL: Flags,Digits,TimeZone,AM,PM,Currency,Thousand,Decimal,Date,Time
    uint32_t flags, order, digits;
    int32_t zone;
    uint32_t dst;
    Texts texts;
  };
  const Case cases[] = {
      {"16,2,5,AM,PM,$,.,;,/,:", 16, 1, 2, -5, 1, {"AM", "PM", "$", ".", ";", "/", ":"}},
      {"64,3,-60,vm,nm,Kr,.,;,-,.", 0, 2, 3, 60, 0, {"vm", "nm", "Kr", ".", ";", "-", "."}},
      {"127,0,0,abcde,PMPMPMPM,EURO,'', ,.,h", 31, 2, 0, 0, 1, {"abcde", "PMPMP", "EURO", "''", " ", ".", "h"}},
      {"32,9,2147483647,,,,,,,", 0, 1, 9, -2147483647, 0, {"", "", "", "", "", "", ""}},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    SCOPED_TRACE(::testing::Message() << "case " << i << ": " << cases[i].spec);
    EnvGuard intl("NPAGRA_INTL", cases[i].spec);
    ASSERT_EQ(KCPlatSetIntlFormat(nullptr), KC_OK);
    EXPECT_NE(PagraLibHandle, (KCLIBRARY)0);
    EXPECT_NE(OSGetIntlSetProc, nullptr);
    const KCINTLFORMAT *f = KCPlatGetIntlFormat();
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->kcIntlFlags, cases[i].flags);
    EXPECT_EQ(f->kcDateOrder, cases[i].order);
    EXPECT_EQ(f->kcCurrDigits, cases[i].digits);
    EXPECT_EQ(f->kcTimeZone, cases[i].zone);
    EXPECT_TRUE(has_texts(f, cases[i].texts));

    int32_t zone = 0x5A5A;
    uint32_t dst = 0x5A5A;
    EXPECT_EQ(KCPlatGetTimeZone(&zone, &dst), KC_OK);
    EXPECT_EQ(zone, cases[i].zone);
    EXPECT_EQ(dst, cases[i].dst);
    KCDATETIMEPARTS parts;
    memset(&parts, 0x5A, sizeof parts);
    EXPECT_EQ(KCPlatGetDatetime(&parts), KC_OK);
    EXPECT_EQ(parts.kcZone, cases[i].zone);
    EXPECT_EQ(parts.kcDSTInEffect, cases[i].dst);
  }
}

// A library that failed to load is tried again at the next call; once
// found, library and entry point are kept.
TEST_F(IntlFormat, FailedLoadIsTriedAgain) {
  if (!host_library_absent()) GTEST_SKIP() << "a npagra.dll is on the loader's search path";
  ASSERT_EQ(KCPlatSetIntlFormat(nullptr), KC_OK);
  EXPECT_EQ(KCPlatGetIntlFormat()->kcTimeZone, 0);
  EXPECT_EQ(PagraLibHandle, (KCLIBRARY)0);

  EnvGuard intl("NPAGRA_INTL", "0,2,5,AM,PM,$,.,;,/,:");
  {
    HostLibrary host;
    ASSERT_TRUE(host.loaded());
    ASSERT_EQ(KCPlatSetIntlFormat(nullptr), KC_OK);
    EXPECT_EQ(KCPlatGetIntlFormat()->kcTimeZone, -5);
    KCLIBRARY first = PagraLibHandle;
    OSGETINTLSETPROC proc = OSGetIntlSetProc;
    EXPECT_NE(first, (KCLIBRARY)0);
    set_env("NPAGRA_INTL", "0,2,7,AM,PM,$,.,;,/,:");
    ASSERT_EQ(KCPlatSetIntlFormat(nullptr), KC_OK);
    EXPECT_EQ(KCPlatGetIntlFormat()->kcTimeZone, -7);
    EXPECT_EQ(PagraLibHandle, first);
    EXPECT_EQ(OSGetIntlSetProc, proc);
  }
  // The layer's own reference keeps the library in the process.
  set_env("NPAGRA_INTL", "0,2,8,AM,PM,$,.,;,/,:");
  ASSERT_EQ(KCPlatSetIntlFormat(nullptr), KC_OK);
  EXPECT_EQ(KCPlatGetIntlFormat()->kcTimeZone, -8);
}

}  // namespace
}  // namespace nzt

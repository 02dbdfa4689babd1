// The international format and the time zone: before any format, the
// built-in defaults, a caller's record, the host library's answer.
#include <string.h>

#include <string>

#include "time_support.h"

namespace nzt {
namespace {

// The seven strings of the packed record, each followed by its length.
const size_t kText[7] = {
    offsetof(KCINTLFORMAT, kcAMString),     offsetof(KCINTLFORMAT, kcPMString),  offsetof(KCINTLFORMAT, kcCurrencySymbol),
    offsetof(KCINTLFORMAT, kcThousandDelim), offsetof(KCINTLFORMAT, kcDecimalDelim), offsetof(KCINTLFORMAT, kcDateDelim),
    offsetof(KCINTLFORMAT, kcTimeDelim),
};
char *text(KCINTLFORMAT *f, int i) { return (char *)f + kText[i]; }
uint32_t len(const KCINTLFORMAT *f, int i) {
  uint32_t v;
  memcpy(&v, (const char *)f + kText[i] + 6, sizeof v);  // packed: no reference to it
  return v;
}

// The seven strings joined with '|', each checked against its length
// field and for a terminator within its six bytes.
std::string texts(KCINTLFORMAT *f) {
  std::string s;
  for (int i = 0; i < 7; ++i) {
    const char *t = text(f, i);
    if (!memchr(t, '\0', 6) || len(f, i) != strlen(t)) return "bad field " + std::to_string(i);
    s += (i ? "|" : "") + std::string(t);
  }
  return s;
}

using IntlFormat = PlatformTest;

TEST_F(IntlFormat, BeforeAnyFormat) {
  EXPECT_EQ(KCPlatGetIntlFormat(), nullptr);
  int32_t zone = 0x5A5A;
  uint32_t dst = 0x5A5A;
  EXPECT_EQ(KCPlatGetTimeZone(&zone, &dst), KC_ERR_NO_INTL);
  EXPECT_EQ(zone, 0);
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
  ASSERT_EQ(KCPlatSetIntlFormat(nullptr), KC_OK);
  KCINTLFORMAT *f = KCPlatGetIntlFormat();
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->kcIntlFlags, 16u);
  EXPECT_EQ(f->kcDateOrder, 1u);
  EXPECT_EQ(f->kcCurrDigits, 2u);
  EXPECT_EQ(f->kcTimeZone, 0);
  EXPECT_EQ(texts(f), "AM|PM|$|,|.|/|:");
  EXPECT_EQ(PagraLibHandle, (KCLIBRARY)0);
  int32_t zone = 9;
  uint32_t dst = 9;
  EXPECT_EQ(KCPlatGetTimeZone(&zone, &dst), KC_OK);
  EXPECT_EQ(zone, 0);
  EXPECT_EQ(dst, 1u);
}

// A caller's record is copied whole, the lengths recomputed whatever they
// said, and a string filling all six bytes cut to five.
TEST_F(IntlFormat, CallersRecordGetsTrueLengths) {
  const struct {
    int field;
    const char *six;  // the field's six bytes (no terminator when six long)
    uint32_t claimed;
    const char *want;
  } cases[] = {
      {0, "a.m.", 9, "a.m.|PM|$|,|.|/|:"},
      {2, "", 0xFFFFFFFFu, "AM|PM||,|.|/|:"},
      {6, "hhhhh", 0, "AM|PM|$|,|.|/|hhhhh"},
      {6, "abcdef", 6, "AM|PM|$|,|.|/|abcde"},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    SCOPED_TRACE(::testing::Message() << "case " << i);
    reset_platform();
    KCINTLFORMAT rec = {0, 3, 4, -60, "AM", 2, "PM", 2, "$", 1, ",", 1, ".", 1, "/", 1, ":", 1};
    size_t n = strlen(cases[i].six);
    memcpy(text(&rec, cases[i].field), cases[i].six, n < 6 ? n + 1 : 6);
    memcpy(text(&rec, cases[i].field) + 6, &cases[i].claimed, 4);
    KCINTLFORMAT before = rec;
    ASSERT_EQ(KCPlatSetIntlFormat(&rec), KC_OK);
    KCINTLFORMAT *f = KCPlatGetIntlFormat();
    ASSERT_NE(f, &rec);
    EXPECT_EQ(memcmp(&rec, &before, sizeof rec), 0) << "the caller's record changed";
    EXPECT_EQ(texts(f), cases[i].want);
    EXPECT_EQ(f->kcDateOrder, 3u);
    int32_t zone = 0;
    uint32_t dst = 9;
    EXPECT_EQ(KCPlatGetTimeZone(&zone, &dst), KC_OK);
    EXPECT_EQ(zone, -60);
    EXPECT_EQ(dst, 0u);
    EXPECT_EQ(PagraLibHandle, (KCLIBRARY)0) << "the host is not asked when a record is given";
  }
}

TEST_F(IntlFormat, SecondSetReusesTheRecord) {
  KCINTLFORMAT rec = {16, 1, 2, 0, "AM", 2, "PM", 2, "$", 1, ",", 1, ".", 1, "/", 1, ":", 1};
  ASSERT_EQ(KCPlatSetIntlFormat(&rec), KC_OK);
  KCINTLFORMAT *seen = KCPlatGetIntlFormat();
  rec.kcTimeZone = 120;
  memcpy(rec.kcCurrencySymbol, "DM", 3);
  ASSERT_EQ(KCPlatSetIntlFormat(&rec), KC_OK);
  EXPECT_EQ(KCPlatGetIntlFormat(), seen);
  EXPECT_EQ(seen->kcTimeZone, 120);
  EXPECT_EQ(texts(seen), "AM|PM|DM|,|.|/|:");
  // The layer's own record handed back in.
  seen->kcAMStringLen = 40;
  ASSERT_EQ(KCPlatSetIntlFormat(seen), KC_OK);
  EXPECT_EQ(KCPlatGetIntlFormat(), seen);
  EXPECT_EQ(texts(seen), "AM|PM|DM|,|.|/|:");
}

// The host's answer: time zone negated, flags and date order from its
// Flags, strings cut at five bytes. A load that failed is tried again.
TEST_F(IntlFormat, HostLibraryAnswers) {
  if (host_library_absent()) {
    ASSERT_EQ(KCPlatSetIntlFormat(nullptr), KC_OK);
    EXPECT_EQ(texts(KCPlatGetIntlFormat()), "AM|PM|$|,|.|/|:");
  }
  HostLibrary host;
  ASSERT_TRUE(host.loaded()) << hostlib_path();
  const struct {
    const char *intl;  // NPAGRA_INTL: Flags,Digits,TimeZone,AM,PM,Currency,Thousand,Decimal,Date,Time
    uint32_t flags, order, digits;
    int32_t zone;
    uint32_t dst;
    const char *texts;
  } cases[] = {
      {"16,2,5,AM,PM,$,.,;,/,:", 16, 1, 2, -5, 1, "AM|PM|$|.|;|/|:"},
      {"64,3,-60,vm,nm,Kr,.,;,-,.", 0, 2, 3, 60, 0, "vm|nm|Kr|.|;|-|."},
      {"127,0,0,abcde,PMPMPMPM,EURO,'', ,.,h", 31, 2, 0, 0, 1, "abcde|PMPMP|EURO|''| |.|h"},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    SCOPED_TRACE(::testing::Message() << "case " << i << ": " << cases[i].intl);
    EnvGuard intl("NPAGRA_INTL", cases[i].intl);
    ASSERT_EQ(KCPlatSetIntlFormat(nullptr), KC_OK);
    KCINTLFORMAT *f = KCPlatGetIntlFormat();
    EXPECT_EQ(f->kcIntlFlags, cases[i].flags);
    EXPECT_EQ(f->kcDateOrder, cases[i].order);
    EXPECT_EQ(f->kcCurrDigits, cases[i].digits);
    EXPECT_EQ(texts(f), cases[i].texts);
    KCDATETIMEPARTS parts;
    memset(&parts, 0x5A, sizeof parts);
    EXPECT_EQ(KCPlatGetDatetime(&parts), KC_OK);
    EXPECT_EQ(parts.kcZone, cases[i].zone);
    EXPECT_EQ(parts.kcDSTInEffect, cases[i].dst);
    EXPECT_NE(OSGetIntlSetProc, nullptr);
  }
}

}  // namespace
}  // namespace nzt

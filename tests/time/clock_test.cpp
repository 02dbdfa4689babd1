// The local clock in parts, version comparison and the system's code
// page, country and language.
#include <locale.h>
#include <string.h>
#include <time.h>

#include <string>

#include "time_support.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace nzt {
namespace {

using Clock = PlatformTest;

os_localtime at(int y, int mo, int d, int wd, int h, int mi, int s, int ms) {
  os_localtime t;
  t.year = y;
  t.month = mo;
  t.day = d;
  t.weekday = wd;
  t.hour = h;
  t.minute = mi;
  t.second = s;
  t.millisecond = ms;
  return t;
}

TEST_F(Clock, PinnedTimeInParts) {
  struct Case {
    os_localtime now;
    int hundredth;
  };
  const Case cases[] = {
      {at(2026, 12, 7, 1, 13, 45, 7, 999), 99}, {at(2026, 12, 7, 1, 13, 45, 7, 5), 0},
      {at(1998, 1, 1, 4, 0, 0, 0, 0), 0},       {at(1998, 12, 31, 4, 23, 59, 59, 10), 1},
      {at(2000, 2, 29, 2, 12, 0, 0, 990), 99},  {at(2038, 1, 19, 2, 3, 14, 8, 109), 10},
      {at(2024, 6, 30, 0, 6, 7, 8, 9), 0},      {at(2024, 7, 6, 6, 18, 30, 45, 500), 50},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    SCOPED_TRACE(::testing::Message() << "case " << i);
    const os_localtime &t = cases[i].now;
    os_pin_time(&t);
    KCDATETIMEPARTS p;
    memset(&p, 0x5A, sizeof p);
    ASSERT_EQ(KCPlatGetDatetime(&p), KC_OK);
    EXPECT_EQ(p.kcYear, t.year);
    EXPECT_EQ(p.kcMonth, t.month);
    EXPECT_EQ(p.kcDay, t.day);
    EXPECT_EQ(p.kcWeekday, t.weekday);
    EXPECT_EQ(p.kcHour, t.hour);
    EXPECT_EQ(p.kcMinute, t.minute);
    EXPECT_EQ(p.kcSecond, t.second);
    EXPECT_EQ(p.kcHundredth, cases[i].hundredth);
    EXPECT_EQ(p.kcZone, 0);
    EXPECT_EQ(p.kcDSTInEffect, 0u);
  }
}

TEST_F(Clock, NullRecordIsRefused) { EXPECT_EQ(KCPlatGetDatetime(nullptr), KC_ERR_NULL_ARG); }

// Reads the real clock: the parts name a second between two readings of
// the C runtime's clock, and the weekday is that date's.
TEST_F(Clock, RealClockAgreesWithTheRuntime) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    time_t before = time(nullptr);
    KCDATETIMEPARTS p;
    memset(&p, 0x5A, sizeof p);
    ASSERT_EQ(KCPlatGetDatetime(&p), KC_OK);
    time_t after = time(nullptr);

    struct tm tm;
    memset(&tm, 0, sizeof tm);
    tm.tm_year = p.kcYear - 1900;
    tm.tm_mon = p.kcMonth - 1;
    tm.tm_mday = p.kcDay;
    tm.tm_hour = p.kcHour;
    tm.tm_min = p.kcMinute;
    tm.tm_sec = p.kcSecond;
    tm.tm_isdst = -1;
    time_t t = mktime(&tm);
    // A daylight-saving change between the readings: read again.
    if (t < before - 1 || t > after + 1) continue;
    EXPECT_GE(p.kcHundredth, 0);
    EXPECT_LE(p.kcHundredth, 99);
    EXPECT_EQ(p.kcWeekday, tm.tm_wday);
    EXPECT_GE(p.kcMonth, 1);
    EXPECT_LE(p.kcMonth, 12);
    return;
  }
  ADD_FAILURE() << "the clock's parts never matched the runtime's time";
}

TEST(VersionCompare, Table) {
  struct Case {
    const char *v1, *v2;
    int want;
  };
  const Case cases[] = {
      {"4.5", "4.5", 0},    {"4.6", "4.5", 1},     {"4.5", "4.6", -1},   {"4.10", "4.9", -1},
      {"2.0.1", "2.0", 0},  {"abc", "1", -1},      {"", "0", 0},         {" \t4.5", "4.5", 0},
      {"4.50", "4.5", 0},   {"04.5", "4.5", 0},    {".5", "0.5", 0},     {"5.", "5", 0},
      {"+3", "3", 0},       {"-0", "0", 0},        {"-1", "0", -1},      {"-2", "-10", 1},
      {"10", "9", 1},       {"1e3", "999", 1},     {"1E-3", "0.001", 0}, {"1e", "1", 0},
      {"1e+", "1", 0},      {"0x10", "1", -1},     {"inf", "1", -1},     {"nan", "0", 0},
      {"-inf", "-1", 1},    {"7abc", "7", 0},      {"1.2.3", "1.2", 0},  {"0.0001", "0", 1},
      {"-0.0001", "0", -1}, {"100", "1e2", 0},     {"12.5", "125e-1", 0}, {"0.00", "-0.0", 0},
      {"1.0000000000000000000001", "1", 1},        {"99999999999999999999", "1e20", -1},
      {"1e400", "1e401", -1}, {"1e-400", "0", 1},  {"2", "1e999999999999999999999", -1},
      {nullptr, "0", 0},    {nullptr, "1", -1},    {nullptr, nullptr, 0}, {"- 1", "0", 0},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    const Case &c = cases[i];
    SCOPED_TRACE(::testing::Message() << "case " << i << ": \"" << (c.v1 ? c.v1 : "(null)") << "\" vs \""
                                      << (c.v2 ? c.v2 : "(null)") << "\"");
    EXPECT_EQ(KCCmpVerStr(c.v1, c.v2), c.want);
    EXPECT_EQ(KCCmpVerStr(c.v2, c.v1), -c.want) << "reversed";
  }
}

// Version strings use '.', whatever decimal point the process's locale
// would have the runtime's conversion read.
TEST(VersionCompare, PointIsADotInEveryLocale) {
  std::string saved = setlocale(LC_NUMERIC, nullptr);
  const char *comma_locales[] = {"de_CH.UTF-8", "de_DE.UTF-8", "fr_FR.ISO-8859-1", "pl_PL.ISO-8859-2", "German"};
  const char *chosen = nullptr;
  for (const char *name : comma_locales)
    if (setlocale(LC_NUMERIC, name) && strcmp(localeconv()->decimal_point, ",") == 0) {
      chosen = name;
      break;
    }
  if (!chosen) {
    setlocale(LC_NUMERIC, saved.c_str());
    GTEST_SKIP() << "no locale with a decimal comma is installed";
  }
  SCOPED_TRACE(chosen);
  EXPECT_EQ(KCCmpVerStr("4.6", "4.5"), 1);
  EXPECT_EQ(KCCmpVerStr("4.10", "4.9"), -1);
  EXPECT_EQ(KCCmpVerStr("4,6", "4"), 0);
  setlocale(LC_NUMERIC, saved.c_str());
}

TEST(CharInfo, NullPointersAndBoundedLanguage) {
  KCCharInfo(nullptr, nullptr, nullptr);

  // Each output alone, and the language never beyond its eight bytes.
  char lang[16];
  memset(lang, 0x5A, sizeof lang);
  KCCharInfo(nullptr, nullptr, lang);
  EXPECT_NE(memchr(lang, '\0', 8), nullptr);
  for (size_t i = 8; i < sizeof lang; ++i) EXPECT_EQ(lang[i], 0x5A) << "byte " << i;

  uint32_t cp = 0x5A5A5A5Au, country = 0x5A5A5A5Au;
  KCCharInfo(&cp, nullptr, nullptr);
  EXPECT_NE(cp, 0x5A5A5A5Au);
  EXPECT_NE(cp, 0u);
  KCCharInfo(nullptr, &country, nullptr);
  EXPECT_NE(country, 0x5A5A5A5Au);

  uint32_t cp2 = 1, country2 = 1;
  char lang2[8];
  KCCharInfo(&cp2, &country2, lang2);
  EXPECT_EQ(cp2, cp);
  EXPECT_EQ(country2, country);
  EXPECT_STREQ(lang2, lang);
}

#ifdef _WIN32
// The profile's "intl" section, written and put back.
class IntlProfile {
 public:
  IntlProfile() {
    had_country_ = read("iCountry", country_);
    had_language_ = read("sLanguage", language_);
  }
  ~IntlProfile() {
    WriteProfileStringA("intl", "iCountry", had_country_ ? country_.c_str() : nullptr);
    WriteProfileStringA("intl", "sLanguage", had_language_ ? language_.c_str() : nullptr);
  }

 private:
  static bool read(const char *key, std::string &out) {
    char buf[256];
    GetProfileStringA("intl", key, "\x01", buf, sizeof buf);
    out = buf;
    return out != "\x01";
  }
  bool had_country_, had_language_;
  std::string country_, language_;
};

TEST(CharInfo, FromTheProfile) {
  IntlProfile keep;
  struct Case {
    const char *country, *language;
    uint32_t want_country;
    const char *want_language;
  };
  const Case cases[] = {
      {"49", "DEU", 49, "DEU"},       {"1", "ENU", 1, "ENU"},        {"358", "FIN", 358, "FIN"},
      {"abc", "ABCDEFG", 0, "ABCDEFG"}, {"41", "ABCDEFGHIJ", 41, "ABCDEFG"}, {nullptr, nullptr, 0, ""},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    SCOPED_TRACE(::testing::Message() << "case " << i);
    ASSERT_TRUE(WriteProfileStringA("intl", "iCountry", cases[i].country));
    ASSERT_TRUE(WriteProfileStringA("intl", "sLanguage", cases[i].language));
    uint32_t cp = 0, country = 0x5A5A;
    char lang[12];
    memset(lang, 0x5A, sizeof lang);
    KCCharInfo(&cp, &country, lang);
    EXPECT_EQ(country, cases[i].want_country);
    EXPECT_STREQ(lang, cases[i].want_language);
    for (size_t k = 8; k < sizeof lang; ++k) EXPECT_EQ(lang[k], 0x5A) << "byte " << k;
    EXPECT_EQ(cp, (uint32_t)GetACP());
  }
}
#else
// The LC_CTYPE locale the process has set: language, territory's
// telephone code and character set.
TEST(CharInfo, FromTheProcessLocale) {
  std::string saved = setlocale(LC_CTYPE, nullptr);
  struct Case {
    const char *locale;
    uint32_t code_page, country;
    const char *language;
  };
  const Case cases[] = {
      {"C", 1252, 0, ""},           {"POSIX", 1252, 0, ""},           {"C.UTF-8", 65001, 0, ""},
      {"de_CH.UTF-8", 65001, 41, "de"}, {"en_US.UTF-8", 65001, 1, "en"}, {"fr_FR.ISO-8859-1", 1252, 33, "fr"},
      {"pl_PL.ISO-8859-2", 1250, 48, "pl"},
  };
  int ran = 0;
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    SCOPED_TRACE(::testing::Message() << "case " << i << ": " << cases[i].locale);
    if (!setlocale(LC_CTYPE, cases[i].locale)) continue;  // not installed here
    ++ran;
    uint32_t cp = 0, country = 0x5A5A;
    char lang[12];
    memset(lang, 0x5A, sizeof lang);
    KCCharInfo(&cp, &country, lang);
    EXPECT_EQ(cp, cases[i].code_page);
    EXPECT_EQ(country, cases[i].country);
    EXPECT_STREQ(lang, cases[i].language);
    for (size_t k = 8; k < sizeof lang; ++k) EXPECT_EQ(lang[k], 0x5A) << "byte " << k;
  }
  setlocale(LC_CTYPE, saved.c_str());
  if (ran < 4) GTEST_SKIP() << "only " << ran << " of the locales are installed (localedef makes them)";
}
#endif

}  // namespace
}  // namespace nzt

// The local clock in parts, version comparison, the system's code page,
// country and language, and the debug print.
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

TEST_F(Clock, PinnedTimeInParts) {
  const struct {
    os_localtime now;  // year, month, day, weekday, hour, minute, second, ms
    int hundredth;
  } cases[] = {
      {{2026, 12, 7, 1, 13, 45, 7, 999}, 99},
      {{2026, 12, 7, 1, 13, 45, 7, 5}, 0},
      {{1998, 12, 31, 4, 23, 59, 59, 10}, 1},
      {{2024, 6, 30, 0, 0, 0, 0, 109}, 10},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    SCOPED_TRACE(::testing::Message() << "case " << i);
    const os_localtime &t = cases[i].now;
    os_pin_time(&t);
    KCDATETIMEPARTS p;
    memset(&p, 0x5A, sizeof p);
    ASSERT_EQ(KCPlatGetDatetime(&p), KC_OK);
    const int32_t got[] = {p.kcYear, p.kcMonth, p.kcDay, p.kcWeekday, p.kcHour, p.kcMinute, p.kcSecond, p.kcHundredth};
    const int32_t want[] = {t.year, t.month, t.day, t.weekday, t.hour, t.minute, t.second, cases[i].hundredth};
    EXPECT_EQ(memcmp(got, want, sizeof got), 0);
  }
  EXPECT_EQ(KCPlatGetDatetime(nullptr), KC_ERR_NULL_ARG);
}

// The real clock: the parts name a second between two readings of the C
// runtime's clock, with that date's weekday.
TEST_F(Clock, RealClockAgreesWithTheRuntime) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    time_t before = time(nullptr);
    KCDATETIMEPARTS p;
    ASSERT_EQ(KCPlatGetDatetime(&p), KC_OK);
    time_t after = time(nullptr);
    struct tm tm = {};
    tm.tm_year = p.kcYear - 1900;
    tm.tm_mon = p.kcMonth - 1;
    tm.tm_mday = p.kcDay;
    tm.tm_hour = p.kcHour;
    tm.tm_min = p.kcMinute;
    tm.tm_sec = p.kcSecond;
    tm.tm_isdst = -1;
    time_t t = mktime(&tm);
    if (t < before - 1 || t > after + 1) continue;  // a daylight-saving change: again
    EXPECT_EQ(p.kcWeekday, tm.tm_wday);
    EXPECT_TRUE(p.kcHundredth >= 0 && p.kcHundredth <= 99) << p.kcHundredth;
    return;
  }
  ADD_FAILURE() << "the clock's parts never matched the runtime's time";
}

TEST(VersionCompare, Table) {
  const struct {
    const char *v1, *v2;
    int want;
  } cases[] = {
      {"4.5", "4.5", 0},   {"4.6", "4.5", 1},     {"4.10", "4.9", -1},   {"2.0.1", "2.0", 0},
      {"abc", "1", -1},    {"", "0", 0},          {" \t4.5", "4.50", 0}, {".5", "0.5", 0},
      {"5.", "+5", 0},     {"-0", "0", 0},        {"-2", "-10", 1},      {"1e3", "999", 1},
      {"1E-3", "0.001", 0}, {"1e", "1", 0},       {"0x10", "1", -1},     {"inf", "1", -1},
      {"- 1", "0", 0},     {"12.5", "125e-1", 0}, {"1e400", "1e401", -1}, {"1.0000000000000000000001", "1", 1},
      // Exponents of any length compare exactly, against the digits too.
      {"2e1000000000", "1e1000000001", -1}, {"1e1000000000", "1e1000000001", -1},
      {"1e12345678901", "1e2000000000", 1}, {"1e-12345678901", "1e-2000000000", -1},
      {"1e99999999999999999999", "1e100000000000000000000", -1},
      {"10e99999999999999999999", "1e100000000000000000000", 0},
      {"0.1e-99999999999999999998", "1e-99999999999999999999", 0},
      {"5e18446744073709551616", "5e18446744073709551615", 1}, {"1e-18446744073709551616", "1e5", -1},
      {"1e20000000000000000000", "9e10000000000000000000", 1},
      {"-1e99999999999999999999", "-1e00000000000000000000000005", -1}, {"1e0000000000000000000000005", "1e5", 0},
      {nullptr, "1", -1},  {nullptr, nullptr, 0},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    const auto &c = cases[i];
    SCOPED_TRACE(::testing::Message() << "case " << i << ": " << (c.v1 ? c.v1 : "(null)") << " vs "
                                      << (c.v2 ? c.v2 : "(null)"));
    EXPECT_EQ(KCCmpVerStr(c.v1, c.v2), c.want);
    EXPECT_EQ(KCCmpVerStr(c.v2, c.v1), -c.want) << "reversed";
  }
}

// '.' is the point even where the locale would have the runtime read ','.
TEST(VersionCompare, PointIsADotInEveryLocale) {
  std::string saved = setlocale(LC_NUMERIC, nullptr);
  const char *chosen = nullptr;
  for (const char *name : {"de_CH.UTF-8", "de_DE.UTF-8", "fr_FR.ISO-8859-1", "German"})
    if (setlocale(LC_NUMERIC, name) && strcmp(localeconv()->decimal_point, ",") == 0) {
      chosen = name;
      break;
    }
  if (chosen) {
    EXPECT_EQ(KCCmpVerStr("4.6", "4.5"), 1) << chosen;
    EXPECT_EQ(KCCmpVerStr("4,6", "4"), 0) << chosen;
  }
  setlocale(LC_NUMERIC, saved.c_str());
  if (!chosen) GTEST_SKIP() << "no locale with a decimal comma is installed";
}

// Each output alone or all NULL; the language within its eight bytes.
TEST(CharInfo, NullPointersAndBoundedLanguage) {
  KCCharInfo(nullptr, nullptr, nullptr);
  char lang[16];
  memset(lang, 0x5A, sizeof lang);
  KCCharInfo(nullptr, nullptr, lang);
  EXPECT_NE(memchr(lang, '\0', 8), nullptr);
  EXPECT_EQ(std::string(lang + 8, 8), std::string(8, 0x5A));
  uint32_t cp = 0, country = 0x5A5A5A5Au, cp_all = 1, country_all = 1;
  KCCharInfo(&cp, nullptr, nullptr);
  KCCharInfo(nullptr, &country, nullptr);
  char lang_all[8];
  KCCharInfo(&cp_all, &country_all, lang_all);
  EXPECT_NE(cp, 0u);
  EXPECT_EQ(cp_all, cp);
  EXPECT_EQ(country_all, country);
  EXPECT_STREQ(lang_all, lang);
}

struct SystemCase {
  const char *country, *language;  // Windows: the profile's values; POSIX: language is the locale
  uint32_t code_page, want_country;
  const char *want_language;
};

void expect_char_info(const SystemCase &c, uint32_t code_page) {
  uint32_t cp = 0, country = 0x5A5A;
  char lang[12];
  memset(lang, 0x5A, sizeof lang);
  KCCharInfo(&cp, &country, lang);
  EXPECT_EQ(cp, code_page);
  EXPECT_EQ(country, c.want_country);
  EXPECT_STREQ(lang, c.want_language);
  EXPECT_EQ(std::string(lang + 8, 4), std::string(4, 0x5A));
}

#ifdef _WIN32
// The profile's "intl" section, written for the test and put back.
TEST(CharInfo, FromTheProfile) {
  char old_country[64], old_language[64];
  GetProfileStringA("intl", "iCountry", "\x01", old_country, sizeof old_country);
  GetProfileStringA("intl", "sLanguage", "\x01", old_language, sizeof old_language);
  const SystemCase cases[] = {
      {"49", "DEU", 0, 49, "DEU"},
      {"abc", "ABCDEFGHIJ", 0, 0, "ABCDEFG"},
      {nullptr, nullptr, 0, 0, ""},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    SCOPED_TRACE(::testing::Message() << "case " << i);
    ASSERT_TRUE(WriteProfileStringA("intl", "iCountry", cases[i].country));
    ASSERT_TRUE(WriteProfileStringA("intl", "sLanguage", cases[i].language));
    expect_char_info(cases[i], GetACP());
  }
  WriteProfileStringA("intl", "iCountry", strcmp(old_country, "\x01") ? old_country : nullptr);
  WriteProfileStringA("intl", "sLanguage", strcmp(old_language, "\x01") ? old_language : nullptr);
}
#else
// The LC_CTYPE locale the process has set.
TEST(CharInfo, FromTheProcessLocale) {
  std::string saved = setlocale(LC_CTYPE, nullptr);
  const SystemCase cases[] = {
      {nullptr, "C", 1252, 0, ""},           {nullptr, "C.UTF-8", 65001, 0, ""},
      {nullptr, "de_CH.UTF-8", 65001, 41, "de"}, {nullptr, "fr_FR.ISO-8859-1", 1252, 33, "fr"},
      {nullptr, "pl_PL.ISO-8859-2", 1250, 48, "pl"},
  };
  int ran = 0;
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    SCOPED_TRACE(cases[i].language);
    if (!setlocale(LC_CTYPE, cases[i].language)) continue;  // not installed here
    ++ran;
    expect_char_info(cases[i], cases[i].code_page);
  }
  setlocale(LC_CTYPE, saved.c_str());
  if (ran < 3) GTEST_SKIP() << "only " << ran << " of the locales are installed (localedef makes them)";
}
#endif

TEST(Perror, PrintsOnlyUnderTheDebugSwitch) {
  errno = ENOENT;
  ::testing::internal::CaptureStderr();
  KCPerror("quiet");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  VCS_DEBUG = 1;
  errno = ENOENT;
  ::testing::internal::CaptureStderr();
  KCPerror("loud");
  std::string out = ::testing::internal::GetCapturedStderr();
  VCS_DEBUG = 0;
  EXPECT_EQ(out, std::string("loud: ") + strerror(ENOENT) + "\n");
}

}  // namespace
}  // namespace nzt

// The INI store's line format: what a read finds and the bytes a change
// leaves on disk.
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "plat.h"
#include "kcsys.h"
#include "testsupport.h"

using nzt::crlf;
using nzt::read_file;
using nzt::TempDir;
using nzt::write_file;

namespace {

const char kSentinel = '\x5A';

// Reads section/entry of path into a sentinel-filled buffer.
struct Read {
  uint32_t status;
  std::string value;
  bool tail_untouched;
};

Read read_entry(const std::string &path, const char *section, const char *entry) {
  char buf[KC_INI_LINE_MAX + 64];
  memset(buf, kSentinel, sizeof buf);
  Read r;
  r.status = KCINIGetString(section, entry, buf, path.c_str());
  r.value = std::string(buf, strnlen(buf, sizeof buf));
  r.tail_untouched = true;
  // Nothing is written beyond the value and its NUL (two NULs for a listing).
  size_t end = r.value.size() + (entry ? 1 : 2);
  for (size_t i = std::max<size_t>(end, KC_INI_LINE_MAX); i < sizeof buf; ++i)
    if (buf[i] != kSentinel) r.tail_untouched = false;
  return r;
}

TEST(IniRead, HeaderMatching) {
  TempDir t;
  std::string p = t.path("pagra.ini");
  struct Case {
    std::string file;
    uint32_t status;
    const char *value;
  } cases[] = {
      {crlf({"[Pagra]", "Directory=x"}), 0, "x"},
      {crlf({"[PAGRA]", "Directory=x"}), 0, "x"},
      {crlf({"[pagra]", "Directory=x"}), 0, "x"},
      {crlf({"[Pagra] ; the host", "Directory=x"}), 0, "x"},
      {crlf({" [Pagra]", "Directory=x"}), KC_ERR_INI_MISSING, ""},
      {crlf({"[Pagra2]", "Directory=x"}), KC_ERR_INI_MISSING, ""},
      {crlf({"Directory=before", "[Pagra]", "Other=1"}), KC_ERR_INI_MISSING, ""},
      {crlf({"[Pagra]", "Other=1", "[Next", "Directory=x"}), KC_ERR_INI_MISSING, ""},
      {crlf({"[Pagra]", "Directory=first", "[Pagra]", "Directory=second"}), 0, "first"},
      {crlf({"[Pagra]", "[Pagra]", "Directory=second"}), KC_ERR_INI_MISSING, ""},
      {crlf({"[Pagra]", "Directory=first", "Directory=second"}), 0, "first"},
      {crlf({"[Pagra]", "DIRECTORY=case"}), 0, "case"},
      {crlf({"[Pagra]", "Directory = x"}), KC_ERR_INI_MISSING, ""},
      {crlf({"[Pagra]", "Directory= x "}), 0, " x "},
      {crlf({"[Pagra]", "Directory="}), KC_ERR_INI_MISSING, ""},
      {crlf({"[Pagra]", "Directory"}), KC_ERR_INI_MISSING, ""},
      {crlf({"[Pagra]", "Directoryx=1", "Directory=2"}), 0, "2"},
      {crlf({"[Pagra]", "Directory=a=b"}), 0, "a=b"},
      {"[Pagra]\nDirectory=lf\n", 0, "lf"},
      {"[Pagra]\rDirectory=lonecr\r", KC_ERR_INI_MISSING, ""},
      {"[Pagra]\nDirectory=cr\rin\r\n", 0, "cr\rin"},
      {"[Pagra]\r\nDirectory=last", 0, "last"},
      {"[Pagra]\r\nDirectory=z\x1Azz\r\n", 0, "z"},
      {"[Pagra]\r\n\x1A" "Directory=gone\r\n", KC_ERR_INI_MISSING, ""},
      {"", KC_ERR_INI_MISSING, ""},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    SCOPED_TRACE(i);
    ASSERT_TRUE(write_file(p, cases[i].file));
    Read r = read_entry(p, "Pagra", "Directory");
    EXPECT_EQ(r.status, cases[i].status);
    EXPECT_EQ(r.value, cases[i].value);
    EXPECT_TRUE(r.tail_untouched);
  }
}

TEST(IniSet, BlankLinePlacement) {
  TempDir t;
  std::string p = t.path("pagra.ini");
  std::string base = crlf({"[S]", "A=1", "", "B=2", "", "", "[T]", "X=1"});
  struct Case {
    const char *entry;
    const char *value; // NULL removes
    std::string want;
  } cases[] = {
      {"N", "3", crlf({"[S]", "A=1", "", "B=2", "N=3", "", "", "[T]", "X=1"})},
      {"B", "5", crlf({"[S]", "A=1", "", "B=5", "", "", "[T]", "X=1"})},
      {"b", "5", crlf({"[S]", "A=1", "", "b=5", "", "", "[T]", "X=1"})},
      {"A", nullptr, crlf({"[S]", "", "B=2", "", "", "[T]", "X=1"})},
      {"B", nullptr, crlf({"[S]", "A=1", "", "", "", "[T]", "X=1"})},
      {"A", "", crlf({"[S]", "A=", "", "B=2", "", "", "[T]", "X=1"})},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    SCOPED_TRACE(i);
    ASSERT_TRUE(write_file(p, base));
    EXPECT_EQ(KCINISetString("S", cases[i].entry, cases[i].value, p.c_str()), 0u);
    EXPECT_EQ(read_file(p), cases[i].want);
  }
}

TEST(IniSet, NewFileAndNewSection) {
  TempDir t;
  std::string p = t.path("pagra.ini");
  EXPECT_EQ(KCINISetString("Pagra", "ServerTasks", "ZEPT", p.c_str()), 0u);
  EXPECT_EQ(read_file(p), crlf({"[Pagra]", "ServerTasks=ZEPT"}));
  ASSERT_TRUE(write_file(p, ""));
  EXPECT_EQ(KCINISetString("Pagra", "ServerTasks", "ZEPT", p.c_str()), 0u);
  EXPECT_EQ(read_file(p), crlf({"", "[Pagra]", "ServerTasks=ZEPT"}));
  ASSERT_TRUE(write_file(p, "[Other]\nX=1"));
  EXPECT_EQ(KCINISetString("Pagra", "ServerTasks", "ZEPT", p.c_str()), 0u);
  EXPECT_EQ(read_file(p), crlf({"[Other]", "X=1", "", "[Pagra]", "ServerTasks=ZEPT"}));
}

}  // namespace

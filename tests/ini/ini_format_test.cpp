// The INI store's line format: what a read finds, and the bytes a change
// leaves on disk.
#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "kcsys.h"
#include "plat.h"
#include "plat_blockio.h"
#include "testsupport.h"

using nzt::crlf;
using nzt::read_file;
using nzt::TempDir;
using nzt::write_file;

namespace {

const char kSentinel = '\x5A';

struct Read {
  uint32_t status;
  std::string value;        // the first string in the buffer
  std::vector<std::string> list; // the strings up to the empty one
  size_t tail_from;         // first byte that must still be the sentinel
  bool tail_untouched;
};

// Reads into a sentinel-filled buffer larger than the assumed one and
// checks that nothing beyond the assumed size was written.
Read read_ini(const std::string &path, const char *section, const char *entry) {
  char buf[KC_INI_LIST_ASSUMED + 64];
  memset(buf, kSentinel, sizeof buf);
  Read r;
  r.status = KCINIGetString(section, entry, buf, path.c_str());
  r.value = std::string(buf, strnlen(buf, sizeof buf));
  for (size_t at = 0; at < sizeof buf && buf[at];) {
    std::string s(buf + at, strnlen(buf + at, sizeof buf - at));
    r.list.push_back(s);
    at += s.size() + 1;
  }
  r.tail_from = entry ? KC_INI_LINE_MAX : KC_INI_LIST_ASSUMED;
  r.tail_untouched = std::all_of(buf + r.tail_from, buf + sizeof buf, [](char c) { return c == kSentinel; });
  return r;
}

TEST(IniRead, WhichLineHoldsTheEntry) {
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
      {crlf({"[Pagr]", "Directory=x"}), KC_ERR_INI_MISSING, ""},
      {crlf({"Directory=before", "[Pagra]", "Other=1"}), KC_ERR_INI_MISSING, ""},
      {crlf({"[Pagra]", "Other=1", "[Next", "Directory=x"}), KC_ERR_INI_MISSING, ""},
      {crlf({"[Pagra]", "Directory=first", "[Pagra]", "Directory=second"}), 0, "first"},
      {crlf({"[Pagra]", "[Pagra]", "Directory=second"}), KC_ERR_INI_MISSING, ""},
      {crlf({"[Pagra]", "Directory=first", "Directory=second"}), 0, "first"},
      {crlf({"[Pagra]", "DIRECTORY=case"}), 0, "case"},
      {crlf({"[Pagra]", "Directory = x"}), KC_ERR_INI_MISSING, ""},
      {crlf({"[Pagra]", " Directory=x"}), KC_ERR_INI_MISSING, ""},
      {crlf({"[Pagra]", "Directory= x "}), 0, " x "},
      {crlf({"[Pagra]", "Directory="}), KC_ERR_INI_MISSING, ""},
      {crlf({"[Pagra]", "Directory"}), KC_ERR_INI_MISSING, ""},
      {crlf({"[Pagra]", "Directory", "Directory=second"}), KC_ERR_INI_MISSING, ""},
      {crlf({"[Pagra]", "Directoryx=1", "Directory=2"}), 0, "2"},
      {crlf({"[Pagra]", "Directory=a=b"}), 0, "a=b"},
      {crlf({"[Pagra]", ";Directory=c", "Directory=d"}), 0, "d"},
      {crlf({"[Pagra]", std::string(256, 'x'), "Directory=after"}), 0, "after"}, // one over the limit
      {"[Pagra]\nDirectory=lf\n", 0, "lf"},
      {"[Pagra]\rDirectory=lonecr\r", KC_ERR_INI_MISSING, ""}, // one line: the header
      {"[Pagra]\nDirectory=cr\rin\r\n", 0, "cr\rin"},
      {"[Pagra]\nDirectory=crcr\r\r\n", 0, "crcr\r"},
      {"[Pagra]\r\nDirectory=last", 0, "last"},
      {"[Pagra]\r\nDirectory=z\x1Azz\r\n", 0, "z"},
      {"[Pagra]\r\n\x1A" "Directory=gone\r\n", KC_ERR_INI_MISSING, ""},
      {"", KC_ERR_INI_MISSING, ""},
      {"\x1A", KC_ERR_INI_MISSING, ""},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    SCOPED_TRACE(i);
    ASSERT_TRUE(write_file(p, cases[i].file));
    Read r = read_ini(p, "Pagra", "Directory");
    EXPECT_EQ(r.status, cases[i].status);
    EXPECT_EQ(r.value, cases[i].value);
    EXPECT_TRUE(r.tail_untouched);
  }
}

TEST(IniRead, EmptyEntryNameIsHeldByBlankOrEqualsLine) {
  TempDir t;
  std::string p = t.path("e.ini");
  ASSERT_TRUE(write_file(p, crlf({"[S]", "A=1", "=v", ""})));
  EXPECT_EQ(read_ini(p, "S", "").value, "v");
  ASSERT_TRUE(write_file(p, crlf({"[S]", "", "=v"})));
  EXPECT_EQ(read_ini(p, "S", "").status, KC_ERR_INI_MISSING);
}

TEST(IniRead, MissingFileAndNullBuffer) {
  TempDir t;
  std::string p = t.path("pagra.ini");
  Read r = read_ini(p, "Pagra", "Directory");
  EXPECT_EQ(r.status, KC_ERR_INI_OPEN);
  EXPECT_EQ(r.value, "");
  ASSERT_TRUE(write_file(p, crlf({"[Pagra]", "Full=1", "Empty=", "Bare", "[Other]", "X=1", "[Blank]", "", ";c"})));
  struct Case {
    const char *section, *entry;
    uint32_t status;
  } cases[] = {
      {"Pagra", "Full", 0},
      {"Pagra", "Empty", KC_ERR_INI_MISSING},
      {"Pagra", "Bare", KC_ERR_INI_MISSING},
      {"Pagra", "None", KC_ERR_INI_MISSING},
      {"None", "Full", KC_ERR_INI_MISSING},
      {"Pagra", nullptr, 0},
      {"Blank", nullptr, KC_ERR_INI_MISSING},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(KCINIGetString(cases[i].section, cases[i].entry, nullptr, p.c_str()), cases[i].status);
  }
  EXPECT_EQ(KCINIGetString("Pagra", "Full", nullptr, t.path("absent.ini").c_str()), KC_ERR_INI_OPEN);
}

TEST(IniRead, ListingASection) {
  TempDir t;
  std::string p = t.path("list.ini");
  ASSERT_TRUE(write_file(p, crlf({"[Pre]", "P=0", "[S]", "A=1", "", ";comment", "Bare", "  ", "B = 2", "[T]", "C=3"})));
  Read r = read_ini(p, "S", nullptr);
  EXPECT_EQ(r.status, 0u);
  EXPECT_EQ(r.list, (std::vector<std::string>{"A=1", "Bare", "  ", "B = 2"}));
  EXPECT_TRUE(r.tail_untouched);

  ASSERT_TRUE(write_file(p, crlf({"[S]", "", ";only", ";comments", "", "[T]", "C=3"})));
  r = read_ini(p, "S", nullptr);
  EXPECT_EQ(r.status, KC_ERR_INI_MISSING);
  EXPECT_EQ(r.value, "");
  EXPECT_EQ(read_ini(p, "Absent", nullptr).status, KC_ERR_INI_MISSING);
}

// The exported listing assumes KC_INI_LIST_ASSUMED bytes: it ends after
// the last whole line that fits with the closing NUL.
TEST(IniRead, AListingIsHandedOutWholeOrNotAtAll) {
  TempDir t;
  std::string p = t.path("list.ini");
  // Lines of 99 characters take 100 bytes each; with the third and the
  // closing NUL the listing fills 261 bytes, or one more.
  std::string l1 = "A=" + std::string(97, 'a'), l2 = "B=" + std::string(97, 'b');
  struct Case {
    std::string third;
    uint32_t status;
  } cases[] = {
      {"C=" + std::string(56, 'c'), 0},                  // 100 + 100 + 59 + closing NUL = 260
      {"C=" + std::string(57, 'c'), 0},                  // exactly 261
      {"C=" + std::string(58, 'c'), KC_ERR_INI_MISSING}, // one byte short: nothing, not two lines
      {"C=" + std::string(300, 'c'), KC_ERR_INI_MISSING},
      {std::string("C=x\0y", 5), KC_ERR_INI_MISSING},    // a NUL would split the line in two
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    SCOPED_TRACE(i);
    ASSERT_TRUE(write_file(p, crlf({"[S]", l1, l2, cases[i].third, "[T]"})));
    Read r = read_ini(p, "S", nullptr);
    EXPECT_EQ(r.status, cases[i].status);
    std::vector<std::string> want = {l1, l2, cases[i].third};
    if (cases[i].status != 0) want.clear();
    EXPECT_EQ(r.list, want);
    EXPECT_TRUE(r.tail_untouched);
  }
}

// The installer's bounded read: large, exact, one short, and values on
// lines beyond the format's 255 characters.
TEST(IniReadValue, BoundedBySize) {
  TempDir t;
  std::string p = t.path("pagra.ini");
  std::string long_value(400, 'L');
  ASSERT_TRUE(write_file(p, crlf({"[Pagra]", "ServerTasks=abc", "Long=" + long_value, "After=ok"}) +
                                "Lf=" + long_value + "x\n"));
  struct Case {
    const char *entry;
    size_t size;
    uint32_t status;
    std::string value;
  } cases[] = {
      {"ServerTasks", 100, 0, "abc"},
      {"ServerTasks", 4, 0, "abc"},
      {"ServerTasks", 3, KC_ERR_INI_NOT_WHOLE, ""},
      {"ServerTasks", 1, KC_ERR_INI_NOT_WHOLE, ""},
      {"Absent", 3, KC_ERR_INI_MISSING, ""},
      {"Long", 401, 0, long_value},
      {"Long", 400, KC_ERR_INI_NOT_WHOLE, ""},
      {"Long", 261, KC_ERR_INI_NOT_WHOLE, ""},
      {"After", 261, 0, "ok"},
      {"Lf", 402, 0, long_value + "x"},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    SCOPED_TRACE(i);
    std::vector<char> buf(cases[i].size + 32, kSentinel);
    uint32_t st = kc_ini_read_value("Pagra", cases[i].entry, buf.data(), cases[i].size, p.c_str());
    EXPECT_EQ(st, cases[i].status);
    EXPECT_EQ(std::string(buf.data()), cases[i].value);
    for (size_t k = cases[i].size; k < buf.size(); ++k) ASSERT_EQ(buf[k], kSentinel) << k;
  }
  // The exported read never hands out a cut value.
  Read r = read_ini(p, "Pagra", "Long");
  EXPECT_EQ(r.status, KC_ERR_INI_MISSING);
  EXPECT_EQ(r.value, "");
  EXPECT_TRUE(r.tail_untouched);
  EXPECT_EQ(KCINIGetString("Pagra", "Long", nullptr, p.c_str()), 0u);
  // Size 0: nothing is written.
  char one = kSentinel;
  EXPECT_EQ(kc_ini_read_value("Pagra", "ServerTasks", &one, 0, p.c_str()), KC_ERR_INI_NOT_WHOLE);
  EXPECT_EQ(one, kSentinel);
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

TEST(IniSet, WhereTheEntryGoes) {
  TempDir t;
  std::string p = t.path("pagra.ini");
  struct Case {
    std::string before;
    const char *section, *entry, *value;
    std::string after;
  } cases[] = {
      // A missing file: two lines. An empty one: a blank line first.
      {"", "Pagra", "ServerTasks", "ZEPT", crlf({"", "[Pagra]", "ServerTasks=ZEPT"})},
      {"\x1A", "Pagra", "ServerTasks", "ZEPT", crlf({"", "[Pagra]", "ServerTasks=ZEPT"}) + "\x1A"},
      // A new section at the end; a last line without line end gets one.
      {"[Other]\nX=1", "Pagra", "E", "v", crlf({"[Other]", "X=1", "", "[Pagra]", "E=v"})},
      {crlf({"[Other]", ""}), "Pagra", "E", "v", crlf({"[Other]", "", "", "[Pagra]", "E=v"})},
      // The section at the end of the file, blank lines after it kept.
      {crlf({"[Pagra]", "A=1", "", ""}), "Pagra", "E", "v", crlf({"[Pagra]", "A=1", "E=v", "", ""})},
      {crlf({"[Pagra]"}), "Pagra", "E", "v", crlf({"[Pagra]", "E=v"})},
      {"[Pagra]", "Pagra", "E", "v", crlf({"[Pagra]", "E=v"})},
      {crlf({"[Pagra]", "", "[Next]"}), "Pagra", "E", "v", crlf({"[Pagra]", "E=v", "", "[Next]"})},
      {"[Pagra]\r\n[Next]", "Pagra", "E", "v", crlf({"[Pagra]", "E=v", "[Next]"})},
      // Blanks around the "=" are part of the name.
      {crlf({"[Pagra]", "ServerTasks = X"}), "Pagra", "ServerTasks", "Y",
       crlf({"[Pagra]", "ServerTasks = X", "ServerTasks=Y"})},
      // A bare name is replaced; the name as the caller spells it.
      {crlf({"[Pagra]", "servertasks", "B=1"}), "Pagra", "ServerTasks", "Y", crlf({"[Pagra]", "ServerTasks=Y", "B=1"})},
      // Two lines for one entry, two sections of one name: the first only.
      {crlf({"[P]", "E=1", "E=2", "[P]", "E=3"}), "P", "E", "9", crlf({"[P]", "E=9", "E=2", "[P]", "E=3"})},
      {crlf({"[P]", "E=1", "E=2", "[P]", "E=3"}), "P", "E", nullptr, crlf({"[P]", "E=2", "[P]", "E=3"})},
      {crlf({"[P]", "X=1", "[P]", "E=3"}), "P", "E", "9", crlf({"[P]", "X=1", "E=9", "[P]", "E=3"})},
      // Header with text after "]" and a header in other letters.
      {crlf({"[PAGRA] ; main", "A=1"}), "Pagra", "A", "2", crlf({"[PAGRA] ; main", "A=2"})},
      // Every line end becomes CR LF, a lone CR stays; a Ctrl-Z ends the
      // text, and it and all after it stay as they were behind it.
      {"[P]\nA=1\nB=x\ry\n[Q]\nC=3\r\nD=4\x1Atrailing\nZ\x1A\r\n", "P", "A", "2",
       "[P]\r\nA=2\r\nB=x\ry\r\n[Q]\r\nC=3\r\nD=4\x1Atrailing\nZ\x1A\r\n"},
      {"[Other]\r\nX=1\x1A[Pagra]\r\n", "Pagra", "E", "v", "[Other]\r\nX=1\r\n\r\n[Pagra]\r\nE=v\r\n\x1A[Pagra]\r\n"},
      {"[Pagra]\nE=1\nF=2\x1A\x1A", "Pagra", "E", nullptr, "[Pagra]\r\nF=2\x1A\x1A"},
      {"pre\n[P]\r\r\nA=1\r\r\n", "P", "A", "2", "pre\r\n[P]\r\r\nA=2\r\n"},
      {"pre\r\n[P]\nA=1\n\r\n\nrest\n\r", "P", "A", nullptr, "pre\r\n[P]\r\n\r\n\r\nrest\r\n\r"},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    SCOPED_TRACE(i);
    ASSERT_TRUE(write_file(p, cases[i].before));
    EXPECT_EQ(KCINISetString(cases[i].section, cases[i].entry, cases[i].value, p.c_str()), 0u);
    EXPECT_EQ(read_file(p), cases[i].after);
  }
  // A missing file is made with exactly two lines.
  std::string fresh = t.path("fresh.ini");
  EXPECT_EQ(KCINISetString("Pagra", "ServerTasks", "ZEPT", fresh.c_str()), 0u);
  EXPECT_EQ(read_file(fresh), crlf({"[Pagra]", "ServerTasks=ZEPT"}));
}

// An empty value is written as "name=", and reads as missing.
TEST(IniSet, EmptyValue) {
  TempDir t;
  std::string p = t.path("pagra.ini");
  ASSERT_TRUE(write_file(p, crlf({"[Pagra]", "A=1"})));
  EXPECT_EQ(KCINISetString("Pagra", "A", "", p.c_str()), 0u);
  EXPECT_EQ(read_file(p), crlf({"[Pagra]", "A="}));
  Read r = read_ini(p, "Pagra", "A");
  EXPECT_EQ(r.status, KC_ERR_INI_MISSING);
  EXPECT_EQ(r.value, "");
}

// Removing what is not there leaves every byte, line ends included.
TEST(IniSet, RemovingTheAbsentChangesNothing) {
  TempDir t;
  std::string p = t.path("pagra.ini");
  const std::string files[] = {
      "",
      "[Pagra]\nA=1\n",
      "[Pagra]\rA=1\r",
      "[Other]\r\nE=1\r\n[Pagra]\n E=x\nE =y\n;E=z\n\n",
      "[Pagra]\r\nA=1\x1A" "E=hidden\r\n",
      "E=outside\n[Pagra]",
      "no line end",
  };
  const char *missing = "Pagra";
  for (size_t i = 0; i < sizeof files / sizeof files[0]; ++i) {
    SCOPED_TRACE(i);
    ASSERT_TRUE(write_file(p, files[i]));
    EXPECT_EQ(KCINIRemoveString(missing, "E", p.c_str()), 0u);
    EXPECT_EQ(read_file(p), files[i]);
    EXPECT_EQ(KCINIRemoveString("NoSuchSection", "A", p.c_str()), 0u);
    EXPECT_EQ(read_file(p), files[i]);
  }
  std::string absent = t.path("absent.ini");
  EXPECT_EQ(KCINIRemoveString("Pagra", "E", absent.c_str()), 0u);
  EXPECT_FALSE(nzt::file_exists(absent));
  EXPECT_EQ(std::distance(nzt::fs::directory_iterator(t.fspath()), nzt::fs::directory_iterator()), 1);
}

// The installer's rewrite of two entries leaves the bytes that setting
// each in turn leaves, whatever the pair of sets and removals.
TEST(IniSet, TwoEntriesInOneRewriteAsInTurn) {
  TempDir t;
  std::string in_turn = t.path("turn.ini"), at_once = t.path("once.ini");
  const std::string files[] = {
      "[P]\r\nS=1\r\nL=1",       // a last line without a line end
      "[P]\r\nS=1\r\nL=1\x1Az", // ... before a Ctrl-Z
      "[P]\nR=1\nS=1\n\n[Q]\nX",
      "[P]\r\nA=1",
      "[P]\r\nS=1\r\n[Q]",
      "[P]\r\nA=1\r\n\r\nS=1\r\n", // a blank line before the one removed
      "[P]\r\nA=1\r\n\r\nR=1\r\n",
  };
  const char *entries[] = {"S", "R"};
  const char *values[][2] = {{"v", nullptr}, {nullptr, "w"}, {"v", "w"}, {nullptr, nullptr}};
  for (size_t f = 0; f < sizeof files / sizeof files[0]; ++f) {
    for (size_t v = 0; v < sizeof values / sizeof values[0]; ++v) {
      SCOPED_TRACE("file " + std::to_string(f) + ", values " + std::to_string(v));
      ASSERT_TRUE(write_file(in_turn, files[f]));
      ASSERT_TRUE(write_file(at_once, files[f]));
      for (int k = 0; k < 2; ++k) EXPECT_EQ(KCINISetString("P", entries[k], values[v][k], in_turn.c_str()), 0u);
      EXPECT_EQ(kc_ini_set_values("P", 2, entries, values[v], at_once.c_str()), 0u);
      EXPECT_EQ(read_file(at_once), read_file(in_turn));
    }
  }
  // Names that read as one another ("a=b=v" holds "a") are refused as a set.
  const char *clashing[][2] = {{"S", "s"}, {"a", "a=b"}, {"", "=x"}};
  const char *both[] = {"v", "w"};
  for (const auto &pair : clashing) {
    SCOPED_TRACE(pair[1]);
    ASSERT_TRUE(write_file(at_once, files[0]));
    EXPECT_EQ(kc_ini_set_values("P", 2, pair, both, at_once.c_str()), KC_ERR_INI_MISSING);
    EXPECT_EQ(read_file(at_once), files[0]);
  }
}

// Every line end written is CR LF: an LF alone gets its CR, a CR LF and a
// lone CR stay.
std::string text_mode(const std::string &s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\n' && (i == 0 || s[i - 1] != '\r')) out += '\r';
    out += s[i];
  }
  return out;
}

// Large files compared by their first difference, not a printed diff.
::testing::AssertionResult same_bytes(const std::string &got, const std::string &want) {
  size_t i = 0;
  while (i < got.size() && i < want.size() && got[i] == want[i]) ++i;
  if (i == got.size() && i == want.size()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "first difference at byte " << i << " of " << got.size() << " (want "
                                       << want.size() << "): got \"" << got.substr(i, 12) << "\", want \""
                                       << want.substr(i, 12) << "\"";
}

// Lines beyond 255 characters are carried over whole; one that holds the
// entry is replaced whole.
TEST(IniSet, LongLinesCarriedOverWhole) {
  TempDir t;
  std::string p = t.path("pagra.ini");
  std::string big(70000, 'q'); // longer than a read block
  std::string before = "[Pre]\r\nK=" + big + "\r\n[S]\r\nL=" + big + "\nE=" + big + "\r\n[T]\r\nM=" + big;
  struct Case {
    const char *entry, *value;
    std::string after;
  } cases[] = {
      {"N", "1", "[Pre]\r\nK=" + big + "\r\n[S]\r\nL=" + big + "\r\nE=" + big + "\r\nN=1\r\n[T]\r\nM=" + big},
      {"E", "1", "[Pre]\r\nK=" + big + "\r\n[S]\r\nL=" + big + "\r\nE=1\r\n[T]\r\nM=" + big},
      {"E", nullptr, "[Pre]\r\nK=" + big + "\r\n[S]\r\nL=" + big + "\r\n[T]\r\nM=" + big},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    SCOPED_TRACE(i);
    ASSERT_TRUE(write_file(p, before));
    EXPECT_EQ(KCINISetString("S", cases[i].entry, cases[i].value, p.c_str()), 0u);
    EXPECT_EQ(read_file(p), cases[i].after);
  }
  // A CR LF split between the reader's first block and the next, ending a
  // line longer than the block, before the header and inside the section.
  const size_t block = sizeof(blk_reader::buf);
  for (const char *pre : {"[Pre]\r\nK=", "[S]\r\nL="}) {
    SCOPED_TRACE(pre);
    std::string line = pre + std::string(block - 1 - strlen(pre), 'q') + "\r\n"; // its CR the block's last byte
    std::string rest = std::string(pre[1] == 'P' ? "[S]\r\n" : "") + "E=1\r\n";
    ASSERT_TRUE(write_file(p, line + rest));
    EXPECT_EQ(KCINISetString("S", "E", "2", p.c_str()), 0u);
    ASSERT_TRUE(same_bytes(read_file(p), line + rest.substr(0, rest.size() - 3) + "2\r\n"));
  }
  // A header or entry name is matched on a long line's first part.
  ASSERT_TRUE(write_file(p, "[S]" + big + "\r\nE" + std::string(300, ' ') + "\r\nE=" + big + "\r\n"));
  EXPECT_EQ(KCINISetString("S", "E", "v", p.c_str()), 0u);
  EXPECT_EQ(read_file(p), "[S]" + big + "\r\nE" + std::string(300, ' ') + "\r\nE=v\r\n");
}

// Files are read and written in blocks: lines, CR LF pairs and lone CRs
// that a block's end splits come out as whole ones do, with the section
// at the start (the rest copied in blocks) and at the end (every line
// looked at).
TEST(IniSet, BlockBoundaries) {
  TempDir t;
  std::string p = t.path("pagra.ini");
  const char *pattern[] = {"a=1\r\n", "b=22\n", "c=x\ry\r\n", "\r\n", "d=\r\r\n", "e\n", "f=\r"};
  std::string body;
  for (size_t i = 0; body.size() < 140000; ++i) body += pattern[i % 7];
  body += "\r\n";
  for (size_t shift = 0; shift < 40; ++shift) {
    SCOPED_TRACE(shift);
    std::string pre = "[Pre]\r\nP=" + std::string(shift, 'p') + "\r\n" + body;
    ASSERT_TRUE(write_file(p, "[S]\r\n" + pre));
    EXPECT_EQ(KCINISetString("S", "N", "1", p.c_str()), 0u);
    ASSERT_TRUE(same_bytes(read_file(p), "[S]\r\nN=1\r\n" + text_mode(pre)));
    ASSERT_TRUE(write_file(p, pre + "[S]\n"));
    EXPECT_EQ(KCINISetString("S", "N", "1", p.c_str()), 0u);
    ASSERT_TRUE(same_bytes(read_file(p), text_mode(pre) + "[S]\r\nN=1\r\n"));
  }
}

// Names and values that could not be read back as written are refused,
// the file untouched.
TEST(IniSet, RefusesWhatWouldNotReadBack) {
  TempDir t;
  std::string p = t.path("pagra.ini");
  std::string before = crlf({"[S]", "A=1"});
  std::string sect253(253, 's'), sect254(254, 's'), entry254(254, 'e'), entry255(255, 'e');
  struct Case {
    const char *section, *entry, *value;
    uint32_t status;
  } cases[] = {
      {sect254.c_str(), "A", "1", KC_ERR_INI_MISSING},
      {"S", entry255.c_str(), "1", KC_ERR_INI_MISSING},
      {"S", "A", "two\nlines", KC_ERR_INI_MISSING},
      {"S", "A", "ends\x1Ahere", KC_ERR_INI_MISSING},
      {"S\n[T]", "A", "1", KC_ERR_INI_MISSING},
      {"S", "A\r\nB", "1", KC_ERR_INI_MISSING},
      {"S", "[T]", "1", KC_ERR_INI_MISSING},
      {nullptr, "A", "1", KC_ERR_INI_MISSING},
      {"S", nullptr, "1", KC_ERR_INI_MISSING},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    SCOPED_TRACE(i);
    ASSERT_TRUE(write_file(p, before));
    EXPECT_EQ(KCINISetString(cases[i].section, cases[i].entry, cases[i].value, p.c_str()), cases[i].status);
    EXPECT_EQ(read_file(p), before);
  }
  // Names beyond their limits are not looked for.
  ASSERT_TRUE(write_file(p, crlf({"[" + sect254 + "]", entry255 + "=1"})));
  EXPECT_EQ(KCINIGetString(sect254.c_str(), "A", nullptr, p.c_str()), KC_ERR_INI_MISSING);
  EXPECT_EQ(KCINIGetString(sect254.c_str(), nullptr, nullptr, p.c_str()), KC_ERR_INI_MISSING);
  // The longest names that fit are taken, and read back.
  std::string entry253(253, 'e');
  EXPECT_EQ(KCINISetString(sect253.c_str(), entry253.c_str(), "v", p.c_str()), 0u);
  Read r = read_ini(p, sect253.c_str(), entry253.c_str());
  EXPECT_EQ(r.status, 0u);
  EXPECT_EQ(r.value, "v");
  // A "name=value" line of 255 characters is written and reads back
  // through the exported read; one of 256 would not, and is refused.
  ASSERT_TRUE(write_file(p, before));
  for (size_t n : {253u, 254u, 1000u}) { // in this order: the first stays
    SCOPED_TRACE(n);
    std::string value(n, 'v');
    EXPECT_EQ(KCINISetString("S", "A", value.c_str(), p.c_str()), n == 253 ? 0u : KC_ERR_INI_MISSING);
    EXPECT_EQ(read_ini(p, "S", "A").value, std::string(253, 'v'));
  }
}

}  // namespace

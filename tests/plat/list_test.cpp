// The wildcard matcher, the directory listing and directory creation.
#include <gtest/gtest.h>
#include <string.h>

#include <set>
#include <string>

#include "plat_int.h"
#include "testsupport.h"

using namespace nzt;

TEST(PatternMatch, Table) {
  struct Case {
    const char *s, *p;
    uint32_t want;
  } cases[] = {
      {"", "*", 1},      {"", "", 1},      {"", "**", 0},    {"", "?", 0},       {"x", "**", 1},
      {"abc", "a*c", 1}, {"abc", "*c", 1}, {"abc", "a?c", 1}, {"abc", "A*", 0},  {"ab", "ab*", 1},
      {"ab", "ab**", 0}, {"abc", "ab", 0}, {"ab", "abc", 0}, {"abc", "*", 1},    {"abc", "???", 1},
      {"abc", "????", 0}, {"a.txt", "*.txt", 1}, {"a.txtx", "*.txt", 0}, {"aXbXc", "*X*X*", 1},
      {"aXbc", "*X*X*", 0}, {"abc", "*b*", 1}, {"abc", "a*b*c", 1}, {"ab", "a\\b", 0},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    SCOPED_TRACE(::testing::Message() << i << ": \"" << cases[i].s << "\" ~ \"" << cases[i].p << "\"");
    EXPECT_EQ(PatternMatch(cases[i].s, cases[i].p), cases[i].want);
  }
}

namespace {

// Every name a listing hands out, or the status of KCFileListFirst.
struct Listing {
  uint32_t first = 0;
  std::set<std::string> names;
};

Listing list_all(const char *dir, const char *pattern) {
  Listing l;
  char name[KC_PATH_MAX];
  void *fl = (void *)&l; // must come back NULL or a listing
  memset(name, '#', sizeof name);
  l.first = KCFileListFirst(dir, pattern, name, &fl);
  if (l.first != 0) {
    EXPECT_EQ(fl, nullptr);
    EXPECT_STREQ(name, "");
    return l;
  }
  EXPECT_NE(fl, nullptr);
  l.names.insert(name);
  while (KCFileListNext(name, fl) == 0) l.names.insert(name);
  // After the end: 12290 again, the name left as it was.
  std::string last = name;
  EXPECT_EQ(KCFileListNext(name, fl), KC_ERR_NO_MORE);
  EXPECT_EQ(last, name);
  EXPECT_EQ(KCFileListClose(fl), 0u);
  return l;
}

std::set<std::string> S(std::initializer_list<std::string> l) { return std::set<std::string>(l); }

}  // namespace

TEST(Listing, DirectoryWithAndWithoutSeparator) {
  TempDir t;
  for (const char *n : {"a.txt", "b.txt", "c.log"}) ASSERT_TRUE(write_file(t.path(n), n));
  fs::create_directory(t.path("sub"));
  std::string with = t.dir(), without = with.substr(0, with.size() - 1);
  const std::set<std::string> all = S({".", "..", "a.txt", "b.txt", "c.log", "sub"});
  struct Case {
    std::string dir;
    const char *pattern;
    uint32_t first;
    std::set<std::string> names;
  } cases[] = {
      {with, nullptr, 0, all},
      {without, nullptr, 0, all},
      {without, "*.txt", 0, S({"a.txt", "b.txt"})},
      {with, "?.log", 0, S({"c.log"})},
      {with, "*.none", KC_ERR_NO_MORE, {}},
      {with + "missing", nullptr, KC_ERR_NO_MORE, {}},
      {t.path("sub"), nullptr, 0, S({".", ".."})},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    SCOPED_TRACE(i);
    Listing l = list_all(cases[i].dir.c_str(), cases[i].pattern);
    EXPECT_EQ(l.first, cases[i].first);
    EXPECT_EQ(l.names, cases[i].names);
  }
}

TEST(Listing, CaseFollowsTheHost) {
  TempDir t;
  ASSERT_TRUE(write_file(t.path("Mixed.TXT"), "x"));
  Listing l = list_all(t.dir().c_str(), "mixed.txt");
  // The Windows search ignores case; the matcher here does not.
  EXPECT_EQ(l.first, kWindows ? 0u : KC_ERR_NO_MORE);
}

TEST(Listing, PatternWithSubfolder) {
  TempDir t;
  fs::create_directory(t.path("sub"));
  ASSERT_TRUE(write_file(t.path("sub/in.txt"), "x"));
  ASSERT_TRUE(write_file(t.path("out.txt"), "x"));
  Listing l = list_all(t.dir().c_str(), (std::string("sub") + SEP + "*.txt").c_str());
  EXPECT_EQ(l.first, 0u);
  EXPECT_EQ(l.names, S({"in.txt"}));
}

TEST(Listing, EmptyDirectoryMeansCurrentBeforeStartUp) {
  TempDir t;
  ASSERT_TRUE(write_file(t.path("here.dat"), "x"));
  char saved[4096];
  KCFileGetDir(saved, sizeof saved);
  ASSERT_EQ(KCFileSetDir(t.dir().c_str()), 1u);
  Listing a = list_all(nullptr, "*.dat");
  Listing b = list_all("", "*.dat");
  KCFileSetDir(saved);
  EXPECT_EQ(a.names, S({"here.dat"}));
  EXPECT_EQ(b.names, S({"here.dat"}));
}

TEST(Listing, BareDriveGetsItsRoot) {
  if (!kWindows) GTEST_SKIP() << "no drive letters on POSIX";
  TempDir t;
  std::string drive = t.dir().substr(0, 2); // "X:" searches "X:\*"
  Listing l = list_all(drive.c_str(), nullptr);
  ASSERT_EQ(l.first, 0u);
  for (const std::string &n : l.names)
    if (n != "." && n != "..") {
      EXPECT_TRUE(file_exists(drive + "\\" + n)) << n;
    }
}

TEST(Listing, NullArgumentsAndOverLongSpecification) {
  char name[KC_PATH_MAX];
  EXPECT_EQ(KCFileListFirst(nullptr, nullptr, name, nullptr), KC_ERR_NULL_LIST);
  EXPECT_EQ(KCFileListNext(name, nullptr), KC_ERR_LIST_NULL);
  EXPECT_EQ(KCFileListClose(nullptr), KC_ERR_LIST_NULL);
  // Directory, separator and pattern: 260 characters is the most; one
  // more finds nothing, even though the cut search would.
  TempDir t;
  ASSERT_TRUE(write_file(t.path("m"), "x"));
  size_t room = 260 - t.dir().size();
  std::string exact = std::string(room - 1, '*') + "m";
  EXPECT_EQ(list_all(t.dir().c_str(), exact.c_str()).names, S({"m"}));
  EXPECT_EQ(list_all(t.dir().c_str(), (exact + "*").c_str()).first, KC_ERR_NO_MORE);
  EXPECT_EQ(list_all(t.dir().c_str(), ("*" + exact).c_str()).first, KC_ERR_NO_MORE);
}

// ---- KCMkDir ----

TEST(MkDir, Walks) {
  TempDir t;
  ASSERT_TRUE(write_file(t.path("f"), "a file in the way"));
  fs::create_directories(t.path("have/deep"));
  struct Case {
    std::string path;
    uint32_t want;
    const char *made; // a folder that must exist afterwards, or "" none
  } cases[] = {
      {t.path("a/b/c"), 1, "a/b/c"},
      {t.path("x/y/"), 1, "x/y"},
      {t.path("have/deep"), 1, "have/deep"},
      {t.path("a//d"), 1, "a/d"},
      {t.path("f/sub"), 0, ""},  // the file passes as existing; below it fails
      {t.path("f"), 0, ""},      // a file under the full name is no folder
      {"", 0, ""},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(KCMkDir(cases[i].path.c_str()), cases[i].want);
    if (*cases[i].made) {
      EXPECT_TRUE(fs::is_directory(t.path(cases[i].made)));
    }
  }
  EXPECT_EQ(read_file(t.path("f")), "a file in the way");
}

TEST(MkDir, FailingLevelsStopTheWalk) {
  TempDir t;
  // A level the system refuses: /proc takes no new folder, even from root;
  // Windows names cannot hold '<'.
  std::string bad_last = kWindows ? t.path("ok/bad<name") : std::string("/proc/nzt-no-such");
  std::string bad_mid = kWindows ? t.path("ok2/bad<mid/leaf") : std::string("/proc/nzt-no-such/leaf");
  EXPECT_EQ(KCMkDir(bad_last.c_str()), 0u);
  EXPECT_EQ(KCMkDir(bad_mid.c_str()), 0u);
  if (kWindows) {
    EXPECT_TRUE(fs::is_directory(t.path("ok")));  // what was made before stays
    EXPECT_TRUE(fs::is_directory(t.path("ok2")));
  }
}

TEST(MkDir, RelativeNameAndLengthLimit) {
  TempDir t;
  char saved[4096];
  KCFileGetDir(saved, sizeof saved);
  ASSERT_EQ(KCFileSetDir(t.dir().c_str()), 1u);
  uint32_t r = KCMkDir("newdir");
  KCFileSetDir(saved);
  EXPECT_EQ(r, 1u);
  EXPECT_TRUE(fs::is_directory(t.path("newdir")));
  // 260 characters is the most; over it nothing at all is made, not even
  // the levels that would fit.
  std::string head = t.path("L") + SEP;
  std::string exact = head + std::string(260 - head.size(), 'e');
  std::string over = exact + "e";
  EXPECT_EQ(KCMkDir(over.c_str()), 0u);
  EXPECT_FALSE(file_exists(t.path("L")));
  EXPECT_EQ(KCMkDir(exact.c_str()), 1u);
  EXPECT_TRUE(fs::is_directory(exact));
}

// Path search along an environment list, and reading and setting variables.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "plat_int.h"
#include "testsupport.h"

using namespace nzt;

namespace {

const char kVar[] = "NZT_FINDPATH_LIST";
const size_t kDirBuf = 400; // more than KC_PATH_MAX: the tail must stay as filled

std::string list(const std::vector<std::string> &elems) {
  std::string s;
  for (size_t i = 0; i < elems.size(); ++i) s += (i ? std::string(1, LISTSEP) : "") + elems[i];
  return s;
}

// Runs KCFindPath over value, dir filled with '#' first; checks the result,
// dir's content and that nothing past KC_PATH_MAX bytes was written.
::testing::AssertionResult find(const std::string &value, const char *name, uint32_t chk_lock, uint32_t want,
                                const std::string &want_dir) {
  EnvGuard g(kVar, value.c_str());
  char dir[kDirBuf];
  memset(dir, '#', sizeof dir);
  uint32_t r = KCFindPath(kVar, dir, name, chk_lock);
  if (r != want) return ::testing::AssertionFailure() << "result " << r;
  for (size_t i = KC_PATH_MAX; i < sizeof dir; ++i)
    if (dir[i] != '#') return ::testing::AssertionFailure() << "byte " << i << " written";
  if (want_dir == "#") {
    if (dir[0] != '#') return ::testing::AssertionFailure() << "dir touched";
  } else if (want_dir != std::string(dir, strnlen(dir, KC_PATH_MAX))) {
    return ::testing::AssertionFailure() << "dir " << std::string(dir, strnlen(dir, KC_PATH_MAX));
  }
  return ::testing::AssertionSuccess();
}

}  // namespace

TEST(FindPath, ListTable) {
  TempDir t;
  const std::string A = t.path("A"), B = t.path("B"), S = t.path("with blank");
  for (const std::string &d : {A, B, S}) fs::create_directory(d);
  fs::create_directory(B + SEP + "sub");
  ASSERT_TRUE(write_file(B + SEP + "target.txt", "b"));
  ASSERT_TRUE(write_file(B + SEP + "sub" + SEP + "deep.txt", "d"));
  ASSERT_TRUE(write_file(S + SEP + "blank.txt", "s"));
  ASSERT_TRUE(write_file(A + SEP + "both.txt", "a"));
  ASSERT_TRUE(write_file(B + SEP + "both.txt", "b"));
  const std::string As = A + SEP, Bs = B + SEP;
  struct Case {
    std::string value;
    std::string name;
    uint32_t want;
    std::string dir;
  } cases[] = {
      {list({A, "", Bs}), "target.txt", 1, Bs},             // an existing separator is not doubled
      {list({A, "", B}), "target.txt", 1, Bs},              // one is appended
      {list({"", "", A, "", "", B, "", ""}), "target.txt", 1, Bs},
      {list({A, B}), "both.txt", 1, As},                    // the first hit wins
      {list({B, A}), "both.txt", 1, Bs},
      {list({A, S}), "blank.txt", 1, S + SEP},              // blanks are kept
      {list({A, " " + B}), "target.txt", 0, " " + Bs},      // ...and not trimmed
      {list({t.path("none"), A}), "", 1, As},               // an empty name finds a folder
      {list({A, B}), std::string("sub") + SEP + "deep.txt", 1, Bs},
      {list({B, A}), "absent.txt", 0, As},                  // the last element tried stays
      {"", "target.txt", 0, "#"},                           // nothing to try
      {list({"", "", ""}), "target.txt", 0, "#"},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    SCOPED_TRACE(i);
    EXPECT_TRUE(find(cases[i].value, cases[i].name.c_str(), 0, cases[i].want, cases[i].dir));
  }
}

TEST(FindPath, QuotesAreKept) {
  if (kWindows) GTEST_SKIP() << "Windows file names cannot hold a double quote";
  TempDir t;
  std::string Q = t.path("\"q\"");
  fs::create_directory(Q);
  ASSERT_TRUE(write_file(Q + SEP + "f", "q"));
  EXPECT_TRUE(find(Q, "f", 0, 1, Q + SEP));
}

TEST(FindPath, UnsetOrDirectoryAsVariableLeavesDirAlone) {
  TempDir t;
  EnvGuard u(kVar, nullptr);
  char dir[kDirBuf];
  memset(dir, '#', sizeof dir);
  EXPECT_EQ(KCFindPath(kVar, dir, "x", 0), 0u);
  EXPECT_EQ(KCFindPath(t.dir().c_str(), dir, "", 0), 0u); // never read as a list
  EXPECT_EQ(KCFindPath(nullptr, dir, "", 0), 0u);
  EXPECT_EQ(dir[0], '#');
}

TEST(FindPath, ChkLockWantsWriteProtected) {
  TempDir t;
  const std::string A = t.path("A"), B = t.path("B");
  fs::create_directory(A);
  fs::create_directory(B);
  ASSERT_TRUE(write_file(A + SEP + "f.ini", "w"));
  ASSERT_TRUE(write_file(B + SEP + "f.ini", "r"));
  make_read_only(B + SEP + "f.ini", true);
  EXPECT_TRUE(find(list({A, B}), "f.ini", 0, 1, A + SEP));
  EXPECT_TRUE(find(list({A, B}), "f.ini", 1, 1, B + SEP)); // the writable one is passed over
  EXPECT_TRUE(find(list({A}), "f.ini", 1, 0, A + SEP));
  make_read_only(B + SEP + "f.ini", false);
  EXPECT_TRUE(find(list({A, B}), "f.ini", 1, 0, B + SEP));
}

TEST(FindPath, OverLongElementsAndCandidates) {
  // D is 259 characters: with its separator it exactly fills dir. D + "x"
  // (260) cannot take its separator and is passed over.
  TempDir t;
  const std::string A = t.path("A");
  fs::create_directory(A);
  std::string D = t.dir() + std::string(259 - t.dir().size(), 'd');
  std::string Dx = D + "x";
  std::error_code ec;
  if (!fs::create_directory(D, ec) || !fs::create_directory(Dx, ec))
    GTEST_SKIP() << "this host does not take paths of 259 and 260 characters";
  ASSERT_TRUE(write_file(D + SEP + "f", "261 characters"));
  ASSERT_TRUE(write_file(D + SEP + "ff", "262 characters"));
  ASSERT_TRUE(write_file(A + SEP + "ff", "a"));
  EXPECT_TRUE(find(list({D, A}), "", 0, 1, D + SEP));
  EXPECT_TRUE(find(list({Dx, A}), "", 0, 1, A + SEP));
  EXPECT_TRUE(find(list({Dx}), "", 0, 0, "#"));
  // A 261-character candidate fits, but the Windows runtime's access test
  // stops short of it.
  if (!kWindows) {
    EXPECT_TRUE(find(list({D, A}), "f", 0, 1, D + SEP));
  }
  EXPECT_TRUE(find(list({D, A}), "ff", 0, 1, A + SEP)); // 262 does not: passed over
  EXPECT_TRUE(find(list({std::string(5000, 'e'), A}), "ff", 0, 1, A + SEP));
}

TEST(GetEnv, LengthTable) {
  EnvGuard g("NZT_GETENV", "abcdef");
  struct Case {
    uint32_t limit;
    const char *want;
  } cases[] = {{100, "abcdef"}, {7, "abcdef"}, {6, "abcdef"}, {5, "abcde"}, {3, "abc"}, {0, ""}};
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    SCOPED_TRACE(i);
    char buf[128];
    memset(buf, '#', sizeof buf);
    uint32_t len = cases[i].limit;
    EXPECT_EQ(KCPlatGetEnv("NZT_GETENV", buf, &len), 0u);
    size_t n = strlen(cases[i].want);
    EXPECT_EQ(len, n);
    EXPECT_STREQ(buf, cases[i].want);
    for (size_t k = n + 1; k < sizeof buf; ++k) ASSERT_EQ(buf[k], '#') << "byte " << k;
  }
}

TEST(GetEnv, UnsetAndNullArguments) {
  EnvGuard u("NZT_GETENV_UNSET", nullptr);
  char buf[8];
  memset(buf, '#', sizeof buf);
  uint32_t len = 5;
  EXPECT_EQ(KCPlatGetEnv("NZT_GETENV_UNSET", buf, &len), KC_ERR_ENV_UNSET);
  EXPECT_EQ(len, 0u);
  EXPECT_STREQ(buf, "");
  EXPECT_EQ(buf[1], '#');
  len = 5;
  EXPECT_EQ(KCPlatGetEnv(nullptr, buf, &len), KC_ERR_ENV_UNSET);
  memset(buf, '#', sizeof buf);
  len = 5;
  EXPECT_EQ(KCPlatGetEnv("PATH", nullptr, &len), KC_ERR_NULL_ARG);
  EXPECT_EQ(len, 5u);
  EXPECT_EQ(KCPlatGetEnv("PATH", buf, nullptr), KC_ERR_NULL_ARG);
  EXPECT_EQ(buf[0], '#');
}

namespace {
// Entries handed to the environment stay allocated; once a test puts the
// old value back the environment lets go of them, so they are kept
// reachable here (the environment may hold the entry itself, not a copy).
// A plain array: it is still there when the leak check runs at exit.
const char *g_kept[16];
size_t g_nkept;
void keep_entry(const char *name) {
  const char *v = getenv(name);
  if (v && g_nkept < sizeof g_kept / sizeof g_kept[0]) g_kept[g_nkept++] = v;
}
}  // namespace

TEST(PutEnv, ValuesAreQuoted) {
  struct Case {
    const char *value, *want;
  } cases[] = {{"a b", "\"a b\""}, {"", "\"\""}, {"x=y", "\"x=y\""}};
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    SCOPED_TRACE(i);
    EnvGuard g("NZT_PUTENV");
    ASSERT_EQ(KCPlatPutEnv("NZT_PUTENV", cases[i].value), 0u);
    keep_entry("NZT_PUTENV");
    char buf[32];
    uint32_t len = 31;
    EXPECT_EQ(KCPlatGetEnv("NZT_PUTENV", buf, &len), 0u);
    EXPECT_STREQ(buf, cases[i].want);
    EXPECT_EQ(len, strlen(cases[i].want));
  }
}

TEST(PutEnv, EmptyNameIsRefused) {
  EXPECT_EQ(KCPlatPutEnv("", "v"), KC_ERR_ENV_REFUSED);
  EXPECT_EQ(getenv(""), nullptr);
}

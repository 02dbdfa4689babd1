// Memory blocks, the current directory and the well-known directories.
#include <gtest/gtest.h>
#include <ctype.h>
#include <string.h>

#include <string>

#include "plat_int.h"
#include "testsupport.h"

using namespace nzt;

TEST(Mem, ZeroSizesAndZeroFill) {
  unsigned char *a = (unsigned char *)KCMemAlloc(0);
  unsigned char *c = (unsigned char *)KCMemCalloc(0);
  unsigned char *z = (unsigned char *)KCMemCalloc(4096);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(c, nullptr);
  ASSERT_NE(z, nullptr);
  a[0] = 0x5A; // one byte is there to write
  EXPECT_EQ(c[0], 0);
  for (int i = 0; i < 4096; ++i) ASSERT_EQ(z[i], 0) << "byte " << i;
  KCMemFree(a);
  KCMemFree(c);
  KCMemFree(z);
  KCMemFree(nullptr);
}

TEST(Mem, ReallocRefusesNullBlock) { EXPECT_EQ(KCMemRealloc(nullptr, 0, 100), nullptr); }

TEST(Mem, ReallocKeepsContent) {
  // Grow far (the heap may move the block), shrink, shrink to "0": the
  // content up to the smaller size is kept each time, whatever OldSize says.
  struct { uint32_t old_size, new_size; } steps[] = {{64, 1u << 20}, {0, 32}, {5, 0}};
  unsigned char *p = (unsigned char *)KCMemAlloc(64);
  ASSERT_NE(p, nullptr);
  for (int i = 0; i < 64; ++i) p[i] = (unsigned char)(i * 7 + 1);
  uint32_t keep = 64;
  for (size_t s = 0; s < sizeof steps / sizeof steps[0]; ++s) {
    SCOPED_TRACE(s);
    unsigned char *q = (unsigned char *)KCMemRealloc(p, steps[s].old_size, steps[s].new_size);
    ASSERT_NE(q, nullptr);
    p = q;
    uint32_t n = steps[s].new_size ? steps[s].new_size : 1;
    keep = n < keep ? n : keep;
    for (uint32_t i = 0; i < keep; ++i) ASSERT_EQ(p[i], (unsigned char)(i * 7 + 1)) << "byte " << i;
  }
  KCMemFree(p);
}

TEST(Mem, FailedReallocLeavesBlockWithCaller) {
  if (sizeof(void *) != 4) GTEST_SKIP() << "a 4 GB request may succeed on a 64-bit heap";
  unsigned char *p = (unsigned char *)KCMemAlloc(16);
  ASSERT_NE(p, nullptr);
  memset(p, 0x33, 16);
  EXPECT_EQ(KCMemRealloc(p, 16, 0xFFFFFFF0u), nullptr);
  for (int i = 0; i < 16; ++i) ASSERT_EQ(p[i], 0x33);
  KCMemFree(p);
}

// Puts the current directory back at the end of a test.
struct CwdGuard {
  char saved[4096];
  CwdGuard() { KCFileGetDir(saved, sizeof saved); }
  ~CwdGuard() { KCFileSetDir(saved); }
};

TEST(CurrentDir, RefusalsLeaveItAlone) {
  CwdGuard g;
  TempDir t;
  char buf[16];
  memset(buf, '#', sizeof buf);
  EXPECT_EQ(KCFileGetDir(nullptr, 100), 0u);
  EXPECT_EQ(KCFileGetDir(buf, 0), 0u);
  EXPECT_EQ(buf[0], '#'); // not even asked
  EXPECT_EQ(KCFileSetDir(nullptr), 0u);
  EXPECT_EQ(KCFileSetDir(""), 0u);
  EXPECT_EQ(KCFileSetDir(t.path("missing").c_str()), 0u);
  char now[4096];
  ASSERT_EQ(KCFileGetDir(now, sizeof now), 1u);
  EXPECT_STREQ(now, g.saved);
}

TEST(CurrentDir, SetThenGet) {
  CwdGuard g;
  TempDir t;
  ASSERT_EQ(KCFileSetDir(t.dir().c_str()), 1u);
  char now[KC_PATH_MAX];
  memset(now, '#', sizeof now);
  ASSERT_EQ(KCFileGetDir(now, sizeof now), 1u);
  ASSERT_NE(memchr(now, '\0', sizeof now), nullptr);
  std::string want = t.dir().substr(0, t.dir().size() - 1); // no trailing separator
  std::string got = now;
  if (kWindows) // names ignore case there
    for (std::string *s : {&got, &want})
      for (char &c : *s) c = (char)tolower((unsigned char)c);
  EXPECT_EQ(got, want);
  // A buffer too small: still 1 (asked), and never written past its end.
  char small[4 + 8];
  memset(small, '#', sizeof small);
  EXPECT_EQ(KCFileGetDir(small, 4), 1u);
  for (size_t i = 4; i < sizeof small; ++i) EXPECT_EQ(small[i], '#') << i;
}

TEST(WellKnownDirs, EmptyAndStableBeforeStartUp) {
  char *(*fns[])(void) = {KCFileExeDir, KCFilePipeDir, KCFileIniDir};
  for (size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    char *d = fns[i]();
    ASSERT_NE(d, nullptr);
    EXPECT_STREQ(d, "");
    EXPECT_EQ(fns[i](), d);
  }
  EXPECT_EQ(KCFileExeDir(), szExeDirectory);
  EXPECT_EQ(KCFileIniDir(), szIniDirectory);
}

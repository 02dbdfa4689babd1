// Dynamic libraries and the contract of the test host library npagra.dll.
#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "os.h"
#include "plat_int.h"
#include "testsupport.h"

#ifdef _WIN32
#include <windows.h>
#endif

using namespace nzt;

namespace {

typedef int (*ProbeFn)(void);

// Loads the test host library by its full path; freed at the end.
struct HostLib {
  KCLIBRARY h;
  explicit HostLib(uint32_t flags = KC_LIB_QUIET) : h(KCLibraryLoad(hostlib_path().c_str(), flags)) {}
  ~HostLib() {
    if (h) KCLibraryFree(h);
  }
};

// Points the executable directory at dir for one test.
struct ExeDirGuard {
  explicit ExeDirGuard(const std::string &dir) { snprintf(szExeDirectory, sizeof szExeDirectory, "%s", dir.c_str()); }
  ~ExeDirGuard() { szExeDirectory[0] = '\0'; }
};

}  // namespace

TEST(Library, LoadByPathAndLookUpByName) {
  HostLib lib;
  ASSERT_NE(lib.h, 0u) << hostlib_path();
  KCPROC p = KCLibraryLoadProc(lib.h, "NpagraProbe", 0xFFFFu); // ProcNumber ignored with a name
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(((ProbeFn)p)(), 7);
  EXPECT_EQ(KCLibraryLoadProc(lib.h, "NoSuchEntry", 0), nullptr);
}

TEST(Library, MissingLibraryGivesZero) {
  TempDir t;
  for (uint32_t flags = 0; flags < 4; ++flags) {
    SCOPED_TRACE(flags);
    EXPECT_EQ(KCLibraryLoad(t.path("absent.dll").c_str(), flags & KC_LIB_QUIET), 0u);
  }
}

TEST(Library, NoLibraryNoEntryPoint) {
  EXPECT_EQ(KCLibraryLoadProc(0, kWindows ? "GetProcAddress" : "malloc", 0), nullptr);
  EXPECT_EQ(KCLibraryLoadProc(0, nullptr, 1), nullptr);
}

// A copy of this test program in a folder of its own, npagra.dll beside
// it, loads the library by its plain name: the program's folder is
// searched first on both systems.
TEST(Library, APlainNameIsFoundBesideTheProgram) {
  if (getenv("NZT_BESIDE_CHILD")) {
    KCLIBRARY h = KCLibraryLoad(KC_HOST_LIBRARY, KC_LIB_QUIET);
    ASSERT_NE(h, 0u);
    EXPECT_NE(KCLibraryLoadProc(h, "OSGetEnvironmentString", 0), nullptr);
    KCLibraryFree(h);
    return;
  }
  TempDir t;
  char self[4096];
  ASSERT_EQ(0, os_self_path(self, sizeof self));
  std::string copy = t.path("plat_copy") + (kWindows ? ".exe" : "");
  fs::copy_file(self, copy);
  fs::permissions(copy, fs::perms::owner_exec, fs::perm_options::add);
  fs::copy_file(hostlib_path(), t.path(KC_HOST_LIBRARY));
  RunResult r = run_program(copy, {copy, "--gtest_filter=Library.APlainNameIsFoundBesideTheProgram"}, "", t.dir(),
                            {{"NZT_BESIDE_CHILD", "1"}});
  EXPECT_EQ(0, r.exit_code) << r.out << r.err;
  EXPECT_NE(std::string::npos, r.out.find("[  PASSED  ] 1 test")) << r.out;
}

TEST(Library, PlainNameGoesThroughLoaderSearch) {
  const char *name = kWindows ? "kernel32.dll" : "libc.so.6";
  KCLIBRARY h = KCLibraryLoad(name, KC_LIB_QUIET);
  ASSERT_NE(h, 0u) << name;
  KCLibraryFree(h);
}

TEST(Library, OrdinalLookup) {
  HostLib lib;
  ASSERT_NE(lib.h, 0u);
  // Only the low 16 bits count as the ordinal.
  const uint32_t numbers[] = {7u, 0x00010007u, 0xFFFF0007u};
  for (size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    KCPROC p = KCLibraryLoadProc(lib.h, nullptr, numbers[i]);
    if (!kWindows) {
      EXPECT_EQ(p, nullptr); // no ordinals here
      continue;
    }
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p, KCLibraryLoadProc(lib.h, "NpagraProbe", 0));
    EXPECT_EQ(((ProbeFn)p)(), 7);
  }
  EXPECT_EQ(KCLibraryLoadProc(lib.h, nullptr, 9), nullptr); // no such ordinal
}

TEST(Library, QuietLoadLeavesErrorModeAsFound) {
#ifdef _WIN32
  const UINT before = SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX;
  const UINT original = SetErrorMode(before);
  std::string names[] = {hostlib_path(), build_dir() + "absent.dll"};
  for (size_t i = 0; i < 2; ++i) {
    SCOPED_TRACE(i);
    KCLIBRARY h = KCLibraryLoad(names[i].c_str(), KC_LIB_QUIET);
    EXPECT_EQ(h != 0, i == 0);
    if (h) KCLibraryFree(h);
    UINT now = SetErrorMode(before);
    EXPECT_EQ(now, before);
  }
  SetErrorMode(original);
#else
  GTEST_SKIP() << "no process error mode on POSIX";
#endif
}

TEST(Library, ShortModuleNameFromExeDir) {
  TempDir t;
  ASSERT_TRUE(fs::copy_file(hostlib_path(), t.path("nzz.kcx")));
  ExeDirGuard g(t.dir());
  KCLIBRARY h = KCLibraryLoad("zz", KC_LIB_SHORT | KC_LIB_QUIET);
  ASSERT_NE(h, 0u);
  EXPECT_NE(KCLibraryLoadProc(h, "OSGetIntlSettings", 0), nullptr);
  KCLibraryFree(h);
  EXPECT_EQ(KCLibraryLoad("yy", KC_LIB_SHORT), 0u); // nyy.kcx is not there
}

TEST(Library, ShortModuleNameBeforeStartUpUsesSearch) {
  if (!kWindows) GTEST_SKIP() << "the POSIX loader does not search the current directory";
  TempDir t;
  ASSERT_TRUE(fs::copy_file(hostlib_path(), t.path("nzz.kcx")));
  char saved[4096];
  KCFileGetDir(saved, sizeof saved);
  ASSERT_EQ(KCFileSetDir(t.dir().c_str()), 1u);
  KCLIBRARY h = KCLibraryLoad("zz", KC_LIB_SHORT); // plain "nzz.kcx"
  KCFileSetDir(saved);
  EXPECT_NE(h, 0u);
  if (h) KCLibraryFree(h);
}

TEST(Library, ComposedNameOverLimitIsRefused) {
  // dir + "n" + stem + ".kcx" is exactly 260 characters and loads. One more
  // character in the stem is refused: a cut name would reach the file
  // dir + "n" + stem + "q.kc", which is there to be found.
  TempDir t;
  std::string dir = t.dir();
  ASSERT_GT(260 - dir.size(), 10u);
  std::string stem(260 - dir.size() - 5, 'k');
  std::error_code ec;
  if (!fs::copy_file(hostlib_path(), dir + "n" + stem + ".kcx", ec) ||
      !fs::copy_file(hostlib_path(), dir + "n" + stem + "q.kc", ec))
    GTEST_SKIP() << "this host does not take a 260-character path";
  ExeDirGuard g(dir);
  KCLIBRARY h = KCLibraryLoad(stem.c_str(), KC_LIB_SHORT | KC_LIB_QUIET);
  EXPECT_NE(h, 0u) << "the exact fit loads";
  if (h) KCLibraryFree(h);
  EXPECT_EQ(KCLibraryLoad((stem + "q").c_str(), KC_LIB_SHORT | KC_LIB_QUIET), 0u);
  EXPECT_EQ(KCLibraryLoad(std::string(400, 'z').c_str(), KC_LIB_QUIET), 0u);
}

// ---- The host library's contract ----

TEST(HostLibrary, EnvironmentStringFromTestVariable) {
  HostLib lib;
  ASSERT_NE(lib.h, 0u);
  OSGETENVSTRPROC get = (OSGETENVSTRPROC)(void (*)(void))KCLibraryLoadProc(lib.h, "OSGetEnvironmentString", 0);
  ASSERT_NE(get, nullptr);
  EnvGuard e("NPAGRA_ENV_ZEPTServer", "alpha beta");
  EnvGuard u("NPAGRA_ENV_ZEPTMissing", nullptr);
  char buf[96];
  char name[] = "ZEPTServer";
  memset(buf, '#', sizeof buf);
  EXPECT_NE(get(name, buf, 80), 0);
  EXPECT_STREQ(buf, "alpha beta");
  EXPECT_EQ(buf[80], '#');
  char missing[] = "ZEPTMissing";
  EXPECT_EQ(get(missing, buf, 80), 0);
  // A long value stays within the length given.
  EnvGuard l("NPAGRA_ENV_ZEPTServer", std::string(200, 'v').c_str());
  memset(buf, '#', sizeof buf);
  EXPECT_NE(get(name, buf, 80), 0);
  EXPECT_EQ(strlen(buf), 79u);
  for (size_t i = 80; i < sizeof buf; ++i) EXPECT_EQ(buf[i], '#') << i;
}

TEST(HostLibrary, IntlSettingsFillTheReadFields) {
  HostLib lib;
  ASSERT_NE(lib.h, 0u);
  OSGETINTLSETPROC get = (OSGETINTLSETPROC)(void (*)(void))KCLibraryLoadProc(lib.h, "OSGetIntlSettings", 0);
  ASSERT_NE(get, nullptr);
  {
    EnvGuard e("NPAGRA_INTL", "16,2,-3,AM,PM,EURO5,.,;,/,:");
    INTLFORMAT f;
    memset(&f, 0x7E, sizeof f); // the caller does not clear it first
    get(&f, sizeof f);
    EXPECT_EQ(f.Flags, 16);
    EXPECT_EQ(f.CurrencyDigits, 2);
    EXPECT_EQ(f.TimeZone, -3);
    EXPECT_EQ(std::string(f.AMString, strnlen(f.AMString, 5)), "AM");
    EXPECT_EQ(std::string(f.CurrencyString, 5), "EURO5"); // five: no room for a NUL
    EXPECT_EQ(std::string(f.TimeString, strnlen(f.TimeString, 5)), ":");
  }
  EnvGuard u("NPAGRA_INTL", nullptr);
  INTLFORMAT d;
  memset(&d, 0x7E, sizeof d);
  get(&d, sizeof d);
  EXPECT_EQ(d.TimeZone, 5);
  EXPECT_STREQ(d.ThousandString, ".");
  EXPECT_STREQ(d.DecimalString, ",");
}

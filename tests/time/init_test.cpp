// Platform start-up and shut-down with real folders: the marker file beside
// the program, along PATH, the program's own folder, kvmover.ini, the
// reference count, and reads without a file name through the start-up
// flags.
#include <string.h>

#include <string>
#include <vector>

#include "time_support.h"

namespace nzt {
namespace {

void touch(const std::string &path) { ASSERT_TRUE(write_file(path, "")) << path; }

// A folder as the platform reports it after changing into it.
std::string real_dir(const std::string &dir) {
  if (kWindows) return dir;
  std::string s = fs::canonical(dir).string();
  return s.back() == SEP ? s : s + SEP;
}

std::string subdir(const TempDir &t, const std::string &name) {
  fs::create_directories(t.path(name));
  return t.path(name) + SEP;
}

// The program: a file "stem.exe" on Windows, "stem" here; named without
// the suffix, as it was started.
std::string program(const std::string &dir, const std::string &stem) {
  write_file(dir + stem + OS_EXE_SUFFIX, "program");
  return dir + stem;
}

std::string kvmover(const std::string &dir_value) { return crlf({"[Configuration]", "Directory=" + dir_value}); }

std::string join_path(const std::vector<std::string> &dirs) {
  std::string s;
  for (const auto &d : dirs) s += (s.empty() ? "" : std::string(1, LISTSEP)) + d;
  return s;
}

::testing::AssertionResult dirs_are(const std::string &exe, const std::string &other) {
  if (exe != KCFileExeDir() || other != KCFilePipeDir() || other != KCFileIniDir())
    return ::testing::AssertionFailure() << "exe \"" << KCFileExeDir() << "\" pipe \"" << KCFilePipeDir()
                                         << "\" ini \"" << KCFileIniDir() << "\", want \"" << exe << "\" / \""
                                         << other << "\"";
  return ::testing::AssertionSuccess();
}

// Each test runs in an empty current folder with PATH naming one empty
// folder, so that nothing is found by accident; both are put back.
class Startup : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    saved_cwd_ = fs::current_path();
    work_ = subdir(tmp_, "work");
    empty_ = subdir(tmp_, "empty");
    fs::current_path(work_);
  }
  void TearDown() override {
    fs::current_path(saved_cwd_);
    PlatformTest::TearDown();
  }
  // Starts and checks that the current folder is the same afterwards.
  uint32_t init(const char *name, uint32_t flags) {
    fs::path before = fs::current_path();
    uint32_t st = KCPlatInit(name, flags);
    EXPECT_EQ(fs::current_path(), before) << "the current folder moved";
    return st;
  }

  TempDir tmp_;
  std::string work_, empty_;
  EnvGuard path_{"PATH", nullptr};
  fs::path saved_cwd_;
};

TEST_F(Startup, MarkerBesideTheProgram) {
  set_env("PATH", empty_.c_str());
  std::string app = subdir(tmp_, "app");
  std::string prog = program(app, "prog");
  touch(app + "npagra.dll");
  struct Case {
    std::string name, cwd;
  };
  std::vector<Case> cases = {
      {prog, work_},                                      // absolute path
      {std::string("app") + SEP + "prog", tmp_.dir()},    // relative folder part
      {"prog", app},                                      // bare name in the current folder
      {prog + OS_EXE_SUFFIX, work_},                      // with its suffix
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(::testing::Message() << "case " << i << ": " << cases[i].name);
    reset_platform();
    fs::current_path(cases[i].cwd);
    EXPECT_EQ(init(cases[i].name.c_str(), KC_INIT_HOST), KC_OK);
    EXPECT_TRUE(dirs_are(real_dir(app), real_dir(app)));
    EXPECT_EQ(PlatInitRefCount, 1);
    EXPECT_EQ(PlatInitFlags, KC_INIT_HOST);
    EXPECT_NE(KCPlatGetIntlFormat(), nullptr);
  }
}

// Directory= of [Configuration] in kvmover.ini beside the marker.
TEST_F(Startup, ConfiguredDirectory) {
  set_env("PATH", empty_.c_str());
  std::string app = subdir(tmp_, "app");
  std::string prog = program(app, "prog");
  touch(app + "npagra.dll");
  std::string data = subdir(tmp_, "data");
  std::string data_bare = data.substr(0, data.size() - 1);
  std::string missing = tmp_.path("missing");
  touch(tmp_.path("plain-file"));
  struct Case {
    const char *what;
    bool has_ini;
    std::string ini;
    uint32_t status;
    std::string exe, other;  // the directories afterwards
  };
  const Case cases[] = {
      {"no separator", true, kvmover(data_bare), KC_OK, data, data},
      {"with separator", true, kvmover(data), KC_OK, data, data},
      {"does not exist", true, kvmover(missing), KC_ERR_PLAT_DIR, missing + SEP, missing + SEP},
      {"is a file", true, kvmover(tmp_.path("plain-file")), KC_ERR_PLAT_DIR, tmp_.path("plain-file") + SEP,
       tmp_.path("plain-file") + SEP},
      {"empty entry", true, kvmover(""), KC_ERR_INI_MISSING, "", ""},
      {"no section", true, crlf({"[Other]", "Directory=" + data}), KC_ERR_INI_MISSING, "", ""},
      {"no kvmover.ini", false, "", KC_ERR_INI_OPEN, "", ""},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    const Case &c = cases[i];
    SCOPED_TRACE(::testing::Message() << "case " << i << ": " << c.what);
    reset_platform();
    fs::remove(app + "kvmover.ini");
    if (c.has_ini) {
      ASSERT_TRUE(write_file(app + "kvmover.ini", c.ini));
    }
    EXPECT_EQ(init(prog.c_str(), 0), c.status);
    EXPECT_TRUE(dirs_are(c.exe, c.other));
    EXPECT_EQ(PlatInitRefCount, c.status == KC_OK ? 1 : 0);
  }
}

// A 541 leaves the directories set with a count of 0; the next start-up
// then returns 0 at once.
TEST_F(Startup, StateLeftByAMissingDirectory) {
  set_env("PATH", empty_.c_str());
  std::string app = subdir(tmp_, "app");
  std::string prog = program(app, "prog");
  touch(app + "npagra.dll");
  std::string missing = tmp_.path("missing") + SEP;
  write_file(app + "kvmover.ini", kvmover(missing));
  EXPECT_EQ(init(prog.c_str(), 4), KC_ERR_PLAT_DIR);
  EXPECT_EQ(PlatInitRefCount, 0);
  EXPECT_EQ(PlatInitFlags, 4u);
  EXPECT_TRUE(dirs_are(missing, missing));

  fs::remove(app + "kvmover.ini");  // not read again
  EXPECT_EQ(init("elsewhere", 8), KC_OK);
  EXPECT_EQ(PlatInitRefCount, 1);
  EXPECT_EQ(PlatInitFlags, 12u);
  EXPECT_TRUE(dirs_are(missing, missing));
  EXPECT_EQ(KCPlatTerm(), KC_OK);
  EXPECT_TRUE(dirs_are("", missing));
  EXPECT_EQ(KCPlatGetIntlFormat(), nullptr);
}

TEST_F(Startup, SecondInitMergesFlagsAndCounts) {
  set_env("PATH", empty_.c_str());
  std::string app = subdir(tmp_, "app"), other = subdir(tmp_, "other");
  std::string prog = program(app, "prog"), prog2 = program(other, "prog2");
  touch(app + "npagra.dll");
  touch(other + "kvmover.ini");
  ASSERT_EQ(init(prog.c_str(), 1), KC_OK);
  EXPECT_EQ(init(prog2.c_str(), 2), KC_OK);
  EXPECT_EQ(PlatInitRefCount, 2);
  EXPECT_EQ(PlatInitFlags, 3u);
  EXPECT_TRUE(dirs_are(real_dir(app), real_dir(app)));

  KCINTLFORMAT *fmt = KCPlatGetIntlFormat();
  EXPECT_EQ(KCPlatTerm(), KC_OK);  // another user remains: nothing released
  EXPECT_EQ(PlatInitRefCount, 1);
  EXPECT_EQ(PlatInitFlags, 3u);
  EXPECT_EQ(KCPlatGetIntlFormat(), fmt);
  EXPECT_TRUE(dirs_are(real_dir(app), real_dir(app)));

  EXPECT_EQ(KCPlatTerm(), KC_OK);
  EXPECT_EQ(PlatInitRefCount, 0);
  EXPECT_EQ(PlatInitFlags, 0u);
  EXPECT_EQ(KCPlatGetIntlFormat(), nullptr);
  EXPECT_TRUE(dirs_are("", real_dir(app)));
  int32_t zone = 1;
  EXPECT_EQ(KCPlatGetTimeZone(&zone, nullptr), KC_ERR_NO_INTL);
}

// The marker nowhere: the program's own folder, by its path or along PATH
// under its name exactly as given; kvmover.ini is not read on this way.
TEST_F(Startup, FallbackToTheProgramsFolder) {
  std::string bin = subdir(tmp_, "bin");
  std::string prog = program(bin, "prog");
  write_file(bin + "kvmover.ini", kvmover(tmp_.path("missing")));
  write_file(bin + "exact", "program");
  write_file(bin + "onlyexe.exe", "program");
  std::string nowhere = tmp_.path("nowhere");
  set_env("PATH", join_path({nowhere, empty_, bin}).c_str());
  struct Case {
    std::string name;
    uint32_t flags, status;
    std::string dir;
  };
  const Case cases[] = {
      {prog, 0, KC_OK, real_dir(bin)},
      {prog, KC_INIT_HOST, KC_OK, real_dir(bin)},
      {"exact", 0, KC_OK, bin},               // along PATH, as PATH spells it
      {"onlyexe", 0, KC_ERR_INI_OPEN, ""},   // no ".exe" is added along PATH
      {"ghost", KC_INIT_HOST, KC_ERR_INI_OPEN, ""},
      {"", 0, KC_OK, empty_},                // the first element that is a folder
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    const Case &c = cases[i];
    SCOPED_TRACE(::testing::Message() << "case " << i << ": \"" << c.name << "\"");
    reset_platform();
    EXPECT_EQ(init(c.name.c_str(), c.flags), c.status);
    EXPECT_TRUE(dirs_are(c.dir, c.dir));
    EXPECT_EQ(PlatInitRefCount, c.status == KC_OK ? 1 : 0);
    EXPECT_EQ(PlatInitFlags, c.flags) << "the flags stay merged on failure too";
  }
}

// The marker along PATH, and a NULL name, which searches the current
// folder and then PATH but has no fallback.
TEST_F(Startup, MarkerAlongPathAndNullName) {
  std::string bin = subdir(tmp_, "bin"), lib = subdir(tmp_, "lib"), data = subdir(tmp_, "data");
  std::string prog = program(bin, "prog");
  touch(lib + "npagra.dll");
  write_file(lib + "kvmover.ini", kvmover(data));
  std::string nowhere = tmp_.path("nowhere");
  set_env("PATH", join_path({nowhere, lib, empty_}).c_str());
  EXPECT_EQ(init(prog.c_str(), KC_INIT_HOST), KC_OK);
  EXPECT_TRUE(dirs_are(lib, lib));

  reset_platform();
  EXPECT_EQ(init(prog.c_str(), KC_INIT_KVMOVER), KC_OK);
  EXPECT_TRUE(dirs_are(data, data));

  reset_platform();
  EXPECT_EQ(init(nullptr, KC_INIT_HOST), KC_OK);
  EXPECT_TRUE(dirs_are(lib, lib));

  // Nothing anywhere: the last element tried stands as the directory.
  fs::remove(lib + "npagra.dll");
  reset_platform();
  EXPECT_EQ(init(nullptr, KC_INIT_HOST), KC_OK);
  EXPECT_TRUE(dirs_are(empty_, empty_));
  reset_platform();
  EXPECT_EQ(init(nullptr, 0), KC_ERR_INI_OPEN) << "no kvmover.ini in " << empty_;
  EXPECT_TRUE(dirs_are("", ""));

  // The marker in the current folder.
  touch(work_ + "npagra.dll");
  reset_platform();
  EXPECT_EQ(init(nullptr, KC_INIT_HOST), KC_OK);
  EXPECT_TRUE(dirs_are(real_dir(work_), real_dir(work_)));
}

// Every transition of the count, including more shut-downs than start-ups.
TEST_F(Startup, TerminationWithoutInit) {
  set_env("PATH", empty_.c_str());
  std::string app = subdir(tmp_, "app");
  std::string prog = program(app, "prog");
  touch(app + "npagra.dll");
  EXPECT_EQ(KCPlatTerm(), KC_ERR_PLAT_DIR);
  EXPECT_EQ(PlatInitRefCount, -1);
  EXPECT_EQ(init(prog.c_str(), 1), KC_OK);  // the full start-up: count 0
  EXPECT_EQ(PlatInitRefCount, 0);
  EXPECT_EQ(KCPlatTerm(), KC_ERR_PLAT_DIR);  // -1 again, nothing released
  EXPECT_EQ(PlatInitRefCount, -1);
  EXPECT_TRUE(dirs_are(real_dir(app), real_dir(app)));
  EXPECT_NE(KCPlatGetIntlFormat(), nullptr);
  EXPECT_EQ(PlatInitFlags, 1u);

  EXPECT_EQ(init(prog.c_str(), 0), KC_OK);  // 0
  EXPECT_EQ(init(prog.c_str(), 0), KC_OK);  // 1
  EXPECT_EQ(PlatInitRefCount, 1);
  EXPECT_EQ(KCPlatTerm(), KC_OK);
  EXPECT_EQ(PlatInitRefCount, 0);
  EXPECT_TRUE(dirs_are("", real_dir(app)));
  EXPECT_EQ(KCPlatGetIntlFormat(), nullptr);
}

// The last shut-down releases the host library and forgets its entry
// points; the next start-up works everything out afresh.
TEST_F(Startup, FullCycleReloadsTheHostLibrary) {
  set_env("PATH", empty_.c_str());
  HostLibrary host;
  ASSERT_TRUE(host.loaded());
  EnvGuard intl("NPAGRA_INTL", "16,2,5,AM,PM,$,.,;,/,:");
  EnvGuard value("NPAGRA_ENV_ZEPTKey", "from-host");
  std::string app = subdir(tmp_, "app"), app2 = subdir(tmp_, "app2");
  std::string prog = program(app, "prog"), prog2 = program(app2, "prog");
  touch(app + "npagra.dll");
  touch(app2 + "npagra.dll");

  ASSERT_EQ(init(prog.c_str(), KC_INIT_HOST), KC_OK);
  int32_t zone = 0;
  EXPECT_EQ(KCPlatGetTimeZone(&zone, nullptr), KC_OK);
  EXPECT_EQ(zone, -5);
  char buf[256];
  EXPECT_EQ(KCINIGetString("Any", "Key", buf, nullptr), KC_OK);
  EXPECT_STREQ(buf, "from-host");
  EXPECT_NE(PagraLibHandle, (KCLIBRARY)0);
  EXPECT_NE(OSGetEnvStrProc, nullptr);
  EXPECT_NE(OSGetIntlSetProc, nullptr);

  ASSERT_EQ(KCPlatTerm(), KC_OK);
  EXPECT_EQ(PagraLibHandle, (KCLIBRARY)0);
  EXPECT_EQ(OSGetEnvStrProc, nullptr);
  EXPECT_EQ(OSGetIntlSetProc, nullptr);
  EXPECT_EQ(KCPlatGetIntlFormat(), nullptr);
  EXPECT_EQ(PlatInitFlags, 0u);
  EXPECT_TRUE(dirs_are("", real_dir(app)));
  EXPECT_EQ(KCINIGetString("Any", "Key", buf, nullptr), KC_ERR_INI_MISSING);

  set_env("NPAGRA_INTL", "16,2,-7,AM,PM,$,.,;,/,:");
  ASSERT_EQ(init(prog2.c_str(), KC_INIT_HOST), KC_OK);
  EXPECT_TRUE(dirs_are(real_dir(app2), real_dir(app2)));
  EXPECT_NE(PagraLibHandle, (KCLIBRARY)0);
  EXPECT_NE(OSGetIntlSetProc, nullptr);
  EXPECT_EQ(KCPlatGetTimeZone(&zone, nullptr), KC_OK);
  EXPECT_EQ(zone, 7);
  EXPECT_EQ(KCINIGetString("Any", "Key", buf, nullptr), KC_OK);
  EXPECT_STREQ(buf, "from-host");
  EXPECT_EQ(KCPlatTerm(), KC_OK);
}

// Reads without a file name: the host first with flag 1, kvmover.ini of
// the INI directory with flag 2.
TEST_F(Startup, ReadsWithoutAFileName) {
  set_env("PATH", empty_.c_str());
  HostLibrary host;
  ASSERT_TRUE(host.loaded());
  std::string app = subdir(tmp_, "app"), data = subdir(tmp_, "data");
  std::string prog = program(app, "prog");
  write_file(app + "kvmover.ini", kvmover(data) + crlf({"[Sec]", "Key=from-app"}));
  write_file(data + "kvmover.ini", crlf({"[Sec]", "Key=from-data"}));
  struct Case {
    uint32_t flags;
    const char *host_value;  // NPAGRA_ENV_ZEPTKey, or none
    uint32_t status;
    const char *value;
  };
  const Case cases[] = {
      {KC_INIT_KVMOVER, "from-host", KC_OK, "from-data"},  // configured folder's kvmover.ini
      {KC_INIT_KVMOVER | KC_INIT_HOST, "from-host", KC_OK, "from-host"},
      {KC_INIT_KVMOVER | KC_INIT_HOST, nullptr, KC_OK, "from-app"},  // the folder found, as is
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    SCOPED_TRACE(::testing::Message() << "case " << i);
    reset_platform();
    EnvGuard v("NPAGRA_ENV_ZEPTKey", cases[i].host_value);
    ASSERT_EQ(init(prog.c_str(), cases[i].flags), KC_OK);
    char buf[256];
    memset(buf, 0x5A, sizeof buf);
    EXPECT_EQ(KCINIGetString("Sec", "Key", buf, nullptr), cases[i].status);
    EXPECT_STREQ(buf, cases[i].value);
  }
}

// Names and folders beyond the buffers: refused or passed over, never
// written past (the sanitizers watch the native build).
TEST_F(Startup, LongNamesAndFolders) {
  std::string lib = subdir(tmp_, "lib");
  set_env("PATH", empty_.c_str());
  for (size_t len : {259u, 260u, 261u, 300u, 1000u}) {
    SCOPED_TRACE(::testing::Message() << "name of " << len);
    reset_platform();
    std::string name = work_ + std::string(len - work_.size(), 'n');
    EXPECT_EQ(init(name.c_str(), 0), KC_ERR_INI_OPEN);
    EXPECT_TRUE(dirs_are("", ""));
  }
  // The marker along PATH still counts for a name that does not fit.
  touch(lib + "npagra.dll");
  set_env("PATH", lib.c_str());
  reset_platform();
  EXPECT_EQ(init(std::string(400, 'n').c_str(), KC_INIT_HOST), KC_OK);
  EXPECT_TRUE(dirs_are(lib, lib));
  set_env("PATH", empty_.c_str());

  // A folder that fits but leaves no room for the marker's name: the
  // program's folder is taken instead.
  std::string deep = tmp_.dir();
  while (deep.size() + 11 < 240) deep += "d234567890" + std::string(1, SEP);
  deep += std::string(251 - deep.size(), 'f') + SEP;  // 252 with the separator
  std::error_code ec;
  fs::create_directories(deep, ec);
  if (ec) GTEST_SKIP() << "cannot make a folder of " << deep.size() << " characters here";
  std::string prog = program(deep, "pp");
  touch(deep + "npagra.dll");
  reset_platform();
  EXPECT_EQ(init(prog.c_str(), 0), KC_OK);
  EXPECT_TRUE(dirs_are(real_dir(deep), real_dir(deep)));

  // A current folder over 256 characters cannot be read: nothing is
  // worked out from it, and it stays the current folder.
  if (kWindows) return;  // no current folder beyond MAX_PATH there
  std::string deeper = deep + std::string(20, 'e') + SEP;
  fs::create_directories(deeper);
  program(deeper, "q");
  touch(deeper + "npagra.dll");
  fs::current_path(deeper);
  set_env("PATH", tmp_.path("nowhere").c_str());
  reset_platform();
  EXPECT_EQ(init("q", KC_INIT_HOST), KC_ERR_INI_OPEN);
  EXPECT_EQ(init("", KC_INIT_HOST), KC_ERR_INI_OPEN);
  EXPECT_TRUE(dirs_are("", ""));
}

}  // namespace
}  // namespace nzt

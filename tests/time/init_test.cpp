// Platform start-up and shut-down with real folders: the marker file beside
// the program, along PATH, the program's own folder, kvmover.ini, the
// reference count, and reads without a file name through the start-up flags.
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

std::string kvmover(const std::string &dir) { return crlf({"[Configuration]", "Directory=" + dir}); }

std::string path_list(const std::vector<std::string> &dirs) {
  std::string s;
  for (const auto &d : dirs) s += (s.empty() ? "" : std::string(1, LISTSEP)) + d;
  return s;
}

::testing::AssertionResult dirs_are(const std::string &exe, const std::string &other) {
  if (exe == KCFileExeDir() && other == KCFilePipeDir() && other == KCFileIniDir())
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "exe \"" << KCFileExeDir() << "\" pipe \"" << KCFilePipeDir() << "\" ini \""
                                       << KCFileIniDir() << "\", want \"" << exe << "\" / \"" << other << "\"";
}

// Each test runs in an empty current folder with PATH naming an empty
// folder, so that nothing is found by accident; both are put back.
class Startup : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    saved_cwd_ = fs::current_path();
    work_ = dir("work");
    empty_ = dir("empty");
    fs::current_path(work_);
    set_env("PATH", empty_.c_str());
  }
  void TearDown() override {
    fs::current_path(saved_cwd_);
    PlatformTest::TearDown();
  }
  std::string dir(const std::string &name) {
    fs::create_directories(tmp_.path(name));
    return tmp_.path(name) + SEP;
  }
  // The program: "stem.exe" on Windows, "stem" here, named without suffix.
  static std::string program(const std::string &dir, const std::string &stem) {
    write_file(dir + stem + OS_EXE_SUFFIX, "program");
    return dir + stem;
  }
  // Starts, and checks that the current folder is the same afterwards.
  uint32_t init(const char *name, uint32_t flags) {
    fs::path before = fs::current_path();
    uint32_t st = KCPlatInit(name, flags);
    EXPECT_EQ(fs::current_path(), before) << "the current folder moved";
    return st;
  }

  TempDir tmp_;
  std::string work_, empty_;
  EnvGuard path_{"PATH"};
  fs::path saved_cwd_;
};

TEST_F(Startup, MarkerBesideTheProgram) {
  std::string app = dir("app"), prog = program(app, "prog");
  touch(app + "npagra.dll");
  const struct {
    std::string name, cwd;
  } cases[] = {
      {prog, work_},                                    // absolute
      {std::string("app") + SEP + "prog", tmp_.dir()},  // relative folder, made absolute
      {"prog", app},                                    // bare, in the current folder
      {prog + OS_EXE_SUFFIX, work_},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    reset_platform();
    fs::current_path(c.cwd);
    EXPECT_EQ(init(c.name.c_str(), KC_INIT_HOST), KC_OK);
    EXPECT_TRUE(dirs_are(real_dir(app), real_dir(app)));
    EXPECT_EQ(PlatInitRefCount, 1);
    EXPECT_NE(KCPlatGetIntlFormat(), nullptr);
  }
}

// Directory= of [Configuration] in kvmover.ini beside the marker.
TEST_F(Startup, ConfiguredDirectory) {
  std::string app = dir("app"), prog = program(app, "prog"), data = dir("data");
  touch(app + "npagra.dll");
  std::string missing = tmp_.path("missing"), file = tmp_.path("file");
  touch(file);
  const struct {
    bool has_ini;
    std::string ini;
    uint32_t status;
    std::string exe, other;
  } cases[] = {
      {true, kvmover(data.substr(0, data.size() - 1)), KC_OK, data, data},  // the separator added
      {true, kvmover(data), KC_OK, data, data},                             // and not doubled
      {true, kvmover(missing), KC_ERR_PLAT_DIR, missing + SEP, missing + SEP},
      {true, kvmover(file), KC_ERR_PLAT_DIR, file + SEP, file + SEP},
      {true, kvmover(""), KC_ERR_INI_MISSING, "", ""},
      {true, crlf({"[Other]", "Directory=" + data}), KC_ERR_INI_MISSING, "", ""},
      {false, "", KC_ERR_INI_OPEN, "", ""},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    const auto &c = cases[i];
    SCOPED_TRACE(::testing::Message() << "case " << i);
    reset_platform();
    fs::remove(app + "kvmover.ini");
    if (c.has_ini) write_file(app + "kvmover.ini", c.ini);
    EXPECT_EQ(init(prog.c_str(), 4), c.status);
    EXPECT_TRUE(dirs_are(c.exe, c.other));
    EXPECT_EQ(PlatInitRefCount, c.status == KC_OK ? 1 : 0);
    EXPECT_EQ(PlatInitFlags, 4u) << "the flags stay merged on failure too";
  }
  // The state a 541 leaves: the next start-up returns 0 at once, with the
  // count raised, the flags merged and kvmover.ini not read again.
  reset_platform();
  write_file(app + "kvmover.ini", kvmover(missing));
  ASSERT_EQ(init(prog.c_str(), 4), KC_ERR_PLAT_DIR);
  fs::remove(app + "kvmover.ini");
  EXPECT_EQ(init("elsewhere", 8), KC_OK);
  EXPECT_EQ(PlatInitRefCount, 1);
  EXPECT_EQ(PlatInitFlags, 12u);
  EXPECT_TRUE(dirs_are(missing + SEP, missing + SEP));
  EXPECT_EQ(KCPlatTerm(), KC_OK);
  EXPECT_TRUE(dirs_are("", missing + SEP));
}

TEST_F(Startup, SecondInitMergesFlagsAndCounts) {
  std::string app = dir("app"), other = dir("other");
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
  EXPECT_EQ(PlatInitFlags, 3u);
  EXPECT_EQ(KCPlatGetIntlFormat(), fmt);
  EXPECT_TRUE(dirs_are(real_dir(app), real_dir(app)));
  EXPECT_EQ(KCPlatTerm(), KC_OK);
  EXPECT_EQ(PlatInitRefCount, 0);
  EXPECT_EQ(PlatInitFlags, 0u);
  EXPECT_EQ(KCPlatGetIntlFormat(), nullptr);
  EXPECT_TRUE(dirs_are("", real_dir(app)));
}

// The marker nowhere: the program's own folder, by its path or along PATH
// under its name exactly as given; kvmover.ini is not read on this way.
TEST_F(Startup, FallbackToTheProgramsFolder) {
  std::string bin = dir("bin"), prog = program(bin, "prog");
  write_file(bin + "kvmover.ini", kvmover(tmp_.path("missing")));
  touch(bin + "exact");
  touch(bin + "onlyexe.exe");
  set_env("PATH", path_list({tmp_.path("nowhere"), empty_, bin}).c_str());
  const struct {
    std::string name;
    uint32_t flags, status;
    std::string dir;
  } cases[] = {
      {prog, 0, KC_OK, real_dir(bin)},
      {prog, KC_INIT_HOST, KC_OK, real_dir(bin)},
      {"exact", 0, KC_OK, bin},                 // along PATH, as PATH spells it
      {"onlyexe", 0, KC_ERR_INI_OPEN, ""},      // no ".exe" added along PATH
      {"ghost", KC_INIT_HOST, KC_ERR_INI_OPEN, ""},
      {"", 0, KC_OK, empty_},                   // the first element that is a folder
  };
  for (const auto &c : cases) {
    SCOPED_TRACE("\"" + c.name + "\"");
    reset_platform();
    EXPECT_EQ(init(c.name.c_str(), c.flags), c.status);
    EXPECT_TRUE(dirs_are(c.dir, c.dir));
    EXPECT_EQ(PlatInitRefCount, c.status == KC_OK ? 1 : 0);
  }
}

// The marker along PATH; a NULL name searches the current folder, then
// PATH, and has no fallback: the last element tried stands.
TEST_F(Startup, MarkerAlongPathAndNullName) {
  std::string bin = dir("bin"), lib = dir("lib"), data = dir("data"), prog = program(bin, "prog");
  touch(lib + "npagra.dll");
  write_file(lib + "kvmover.ini", kvmover(data));
  set_env("PATH", path_list({tmp_.path("nowhere"), lib, empty_}).c_str());
  EXPECT_EQ(init(prog.c_str(), KC_INIT_HOST), KC_OK);
  EXPECT_TRUE(dirs_are(lib, lib));
  reset_platform();
  EXPECT_EQ(init(prog.c_str(), KC_INIT_KVMOVER), KC_OK);  // then its Directory
  EXPECT_TRUE(dirs_are(data, data));
  reset_platform();
  EXPECT_EQ(init(nullptr, KC_INIT_HOST), KC_OK);
  EXPECT_TRUE(dirs_are(lib, lib));
  fs::remove(lib + "npagra.dll");
  reset_platform();
  EXPECT_EQ(init(nullptr, KC_INIT_HOST), KC_OK);
  EXPECT_TRUE(dirs_are(empty_, empty_));
  reset_platform();
  EXPECT_EQ(init(nullptr, 0), KC_ERR_INI_OPEN) << "no kvmover.ini in " << empty_;
  EXPECT_TRUE(dirs_are("", ""));
  touch(work_ + "npagra.dll");
  reset_platform();
  EXPECT_EQ(init(nullptr, KC_INIT_HOST), KC_OK);
  EXPECT_TRUE(dirs_are(real_dir(work_), real_dir(work_)));
}

// More shut-downs than start-ups: the count goes negative and the
// releasing shut-down comes only after as many more start-ups.
TEST_F(Startup, TerminationWithoutInit) {
  std::string app = dir("app"), prog = program(app, "prog");
  touch(app + "npagra.dll");
  EXPECT_EQ(KCPlatTerm(), KC_ERR_PLAT_DIR);
  EXPECT_EQ(PlatInitRefCount, -1);
  EXPECT_EQ(init(prog.c_str(), 1), KC_OK);  // the full start-up, count 0
  EXPECT_EQ(KCPlatTerm(), KC_ERR_PLAT_DIR);  // -1 again, nothing released
  EXPECT_EQ(PlatInitRefCount, -1);
  EXPECT_TRUE(dirs_are(real_dir(app), real_dir(app)));
  EXPECT_NE(KCPlatGetIntlFormat(), nullptr);
  EXPECT_EQ(init(prog.c_str(), 0), KC_OK);
  EXPECT_EQ(init(prog.c_str(), 0), KC_OK);
  EXPECT_EQ(KCPlatTerm(), KC_OK);
  EXPECT_EQ(PlatInitRefCount, 0);
  EXPECT_TRUE(dirs_are("", real_dir(app)));
  EXPECT_EQ(KCPlatGetIntlFormat(), nullptr);
}

// The last shut-down releases the host library and forgets its entry
// points; the next start-up works everything out afresh.
TEST_F(Startup, FullCycleReloadsTheHostLibrary) {
  HostLibrary host;
  ASSERT_TRUE(host.loaded());
  EnvGuard intl("NPAGRA_INTL", "16,2,5,AM,PM,$,.,;,/,:");
  EnvGuard value("NPAGRA_ENV_ZEPTKey", "from-host");
  std::string app = dir("app"), app2 = dir("app2");
  std::string prog = program(app, "prog"), prog2 = program(app2, "prog");
  touch(app + "npagra.dll");
  touch(app2 + "npagra.dll");
  char buf[256];
  int32_t zone = 0;
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    const std::string &p = round ? prog2 : prog;
    ASSERT_EQ(init(p.c_str(), KC_INIT_HOST), KC_OK);
    EXPECT_TRUE(dirs_are(real_dir(round ? app2 : app), real_dir(round ? app2 : app)));
    EXPECT_EQ(KCPlatGetTimeZone(&zone, nullptr), KC_OK);
    EXPECT_EQ(zone, round ? 7 : -5);
    EXPECT_EQ(KCINIGetString("Any", "Key", buf, nullptr), KC_OK);
    EXPECT_STREQ(buf, "from-host");
    EXPECT_TRUE(PagraLibHandle && OSGetEnvStrProc && OSGetIntlSetProc);

    ASSERT_EQ(KCPlatTerm(), KC_OK);
    EXPECT_FALSE(PagraLibHandle || OSGetEnvStrProc || OSGetIntlSetProc);
    EXPECT_EQ(KCPlatGetIntlFormat(), nullptr);
    EXPECT_EQ(PlatInitFlags, 0u);
    EXPECT_STREQ(KCFileExeDir(), "");
    EXPECT_EQ(KCINIGetString("Any", "Key", buf, nullptr), KC_ERR_INI_MISSING);
    set_env("NPAGRA_INTL", "16,2,-7,AM,PM,$,.,;,/,:");
  }
}

// Reads without a file name: the host first with flag 1, kvmover.ini of
// the INI directory with flag 2.
TEST_F(Startup, ReadsWithoutAFileName) {
  HostLibrary host;
  ASSERT_TRUE(host.loaded());
  std::string app = dir("app"), data = dir("data"), prog = program(app, "prog");
  write_file(app + "kvmover.ini", kvmover(data) + crlf({"[Sec]", "Key=from-app"}));
  write_file(data + "kvmover.ini", crlf({"[Sec]", "Key=from-data"}));
  const struct {
    uint32_t flags;
    const char *host_value;  // NPAGRA_ENV_ZEPTKey, or unset
    const char *want;
  } cases[] = {
      {KC_INIT_KVMOVER, "from-host", "from-data"},  // the configured folder's kvmover.ini
      {KC_INIT_KVMOVER | KC_INIT_HOST, "from-host", "from-host"},
      {KC_INIT_KVMOVER | KC_INIT_HOST, nullptr, "from-app"},  // the folder found, as is
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.want);
    reset_platform();
    EnvGuard v("NPAGRA_ENV_ZEPTKey", c.host_value);
    ASSERT_EQ(init(prog.c_str(), c.flags), KC_OK);
    char buf[256];
    memset(buf, 0x5A, sizeof buf);
    EXPECT_EQ(KCINIGetString("Sec", "Key", buf, nullptr), KC_OK);
    EXPECT_STREQ(buf, c.want);
  }
}

// Names and folders beyond the buffers: refused or passed over, never
// written past (the sanitizers watch the native build).
TEST_F(Startup, LongNamesAndFolders) {
  for (size_t len : {260u, 261u, 1000u}) {
    reset_platform();
    std::string name = work_ + std::string(len - work_.size(), 'n');
    EXPECT_EQ(init(name.c_str(), 0), KC_ERR_INI_OPEN) << len;
    EXPECT_TRUE(dirs_are("", ""));
  }
  // The marker along PATH still counts for a name that does not fit.
  std::string lib = dir("lib");
  touch(lib + "npagra.dll");
  set_env("PATH", lib.c_str());
  reset_platform();
  EXPECT_EQ(init(std::string(400, 'n').c_str(), KC_INIT_HOST), KC_OK);
  EXPECT_TRUE(dirs_are(lib, lib));
  set_env("PATH", tmp_.path("nowhere").c_str());

  // A folder of 252 characters leaves no room for the marker's name:
  // the program's folder is taken instead.
  std::string deep = tmp_.dir();
  while (deep.size() + 11 < 240) deep += "d234567890" + std::string(1, SEP);
  deep += std::string(251 - deep.size(), 'f') + SEP;
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
  reset_platform();
  EXPECT_EQ(init("q", KC_INIT_HOST), KC_ERR_INI_OPEN);
  EXPECT_EQ(init("", KC_INIT_HOST), KC_ERR_INI_OPEN);
  EXPECT_TRUE(dirs_are("", ""));
}

}  // namespace
}  // namespace nzt

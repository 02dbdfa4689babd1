// Where the INI store looks: bare names and the INI directory, temporary
// names, deletion, and reads without a file name (the host library and
// kvmover.ini).
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "os.h"
#include "plat_int.h"
#include "testsupport.h"

using nzt::crlf;
using nzt::EnvGuard;
using nzt::file_exists;
using nzt::read_file;
using nzt::TempDir;
using nzt::write_file;

namespace {

const char kSentinel = '\x5A';

// The statics the store shares with start-up, cleared around each test.
class IniStatics : public ::testing::Test {
 protected:
  void SetUp() override { reset(); }
  void TearDown() override { reset(); }
  static void reset() {
    if (PagraLibHandle) KCLibraryFree(PagraLibHandle);
    PagraLibHandle = 0;
    OSGetEnvStrProc = nullptr;
    PlatInitFlags = 0;
    szIniDirectory[0] = '\0';
  }
  static void set_ini_dir(const std::string &dir) { snprintf(szIniDirectory, sizeof szIniDirectory, "%s", dir.c_str()); }
};

std::vector<std::string> names_in(const std::string &dir) {
  std::vector<std::string> names;
  for (const auto &e : nzt::fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

using IniNames = IniStatics;

TEST_F(IniNames, BareNamesLieInTheIniDirectory) {
  TempDir t;
  set_ini_dir(t.dir());
  EXPECT_EQ(KCINISetString("S", "E", "v", "bare.ini"), 0u);
  EXPECT_EQ(read_file(t.path("bare.ini")), crlf({"[S]", "E=v"}));
  char buf[KC_INI_LINE_MAX];
  EXPECT_EQ(KCINIGetString("S", "E", buf, "bare.ini"), 0u);
  EXPECT_STREQ(buf, "v");

  // "/" is the separator only where the host says so: on Windows
  // "sub/x.ini" is a bare name and lies in the INI directory.
  nzt::fs::create_directory(t.path("sub"));
  ASSERT_TRUE(write_file(t.path("sub/x.ini"), crlf({"[S]", "E=sub"})));
  EXPECT_EQ(KCINIGetString("S", "E", buf, "sub/x.ini"), nzt::kWindows ? 0u : KC_ERR_INI_OPEN);
  EXPECT_EQ(KCINIGetString("S", "E", buf, t.path("sub/x.ini").c_str()), 0u);
  EXPECT_STREQ(buf, "sub");

  // A bare name that does not fit with the directory is refused.
  std::string huge(KC_INI_PATH_MAX, 'n');
  EXPECT_EQ(KCINIGetString("S", "E", buf, huge.c_str()), KC_ERR_INI_OPEN);
  EXPECT_EQ(KCINISetString("S", "E", "v", huge.c_str()), KC_ERR_INI_CREATE);
}

// The temporary file's name is seen by keeping it: the replace and the
// clean-up after it are made to fail.
std::string kept_temporary(const std::string &ini, const std::string &dir_to_look) {
  std::vector<std::string> before = names_in(dir_to_look);
  os_fault_arm(OS_OP_REPLACE, 1);
  os_fault_arm(OS_OP_REMOVE, 1);
  uint32_t st = KCINISetString("S", "E", "new", ini.c_str());
  os_fault_arm(OS_OP_REPLACE, 0);
  os_fault_arm(OS_OP_REMOVE, 0);
  EXPECT_EQ(st, KC_ERR_INI_OPEN);
  std::vector<std::string> after = names_in(dir_to_look), added;
  std::set_difference(after.begin(), after.end(), before.begin(), before.end(), std::back_inserter(added));
  return added.size() == 1 ? added[0] : "(" + std::to_string(added.size()) + " new files)";
}

TEST_F(IniNames, TemporaryNames) {
  TempDir t;
  std::string ini = t.path("pagra.ini");
  ASSERT_TRUE(write_file(ini, crlf({"[S]", "E=old"})));
  // A name of ours, in the file's own folder, no longer than the file's.
  std::string first = kept_temporary(ini, t.dir());
  EXPECT_TRUE(kc_tmp_is_ours(first.c_str())) << first;
  EXPECT_EQ(read_file(t.path(first)), crlf({"[S]", "E=new"}));
  EXPECT_EQ(read_file(ini), crlf({"[S]", "E=old"}));
  // Another file's is another name, and the first is not touched.
  std::string other = kept_temporary(t.path("other.ini"), t.dir());
  EXPECT_TRUE(kc_tmp_is_ours(other.c_str())) << other;
  EXPECT_NE(first, other);
  EXPECT_EQ(read_file(t.path(first)), crlf({"[S]", "E=new"}));
  // The file's own name, whatever the spelling where names ignore case:
  // the next writer meets what the failed one left, held by no process,
  // and removes it.
  std::string spelled = nzt::kWindows ? t.path("PAGRA.INI") : ini;
  EXPECT_EQ(KCINISetString("S", "E", "newer", spelled.c_str()), 0u);
  EXPECT_EQ(read_file(ini), crlf({"[S]", "E=newer"}));
  EXPECT_EQ(names_in(t.dir()), (std::vector<std::string>{"pagra.ini", other}));
  nzt::fs::create_directory(t.path("srv.2"));
  std::string in_folder = kept_temporary(t.path("srv.2/config"), t.path("srv.2"));
  EXPECT_TRUE(kc_tmp_is_ours(in_folder.c_str())) << in_folder;
}

TEST_F(IniNames, TemporaryNameThatDoesNotFit) {
  if (nzt::kWindows) GTEST_SKIP() << "the ANSI file calls refuse such a path before a candidate is formed (535)";
  TempDir t;
  // Paths of 1023 characters fit the store. The temporary name (8
  // characters) fits beside pagra.ini, but not beside a shorter name.
  // Folders that do not exist keep them short enough for every file
  // system; the INI file counts as missing, and its folder cannot be made.
  std::string dir = t.dir();
  while (dir.size() < KC_INI_PATH_MAX - 1 - 20) dir += std::string("d") + nzt::SEP;
  const struct {
    const char *ext;
    uint32_t status;
  } cases[] = {{"p.ini", KC_ERR_INI_TMPNAME}, {"a.ini", KC_ERR_INI_TMPNAME}, {"pagra.ini", KC_ERR_INI_CREATE}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.ext);
    std::string path = dir + std::string(KC_INI_PATH_MAX - 1 - strlen(c.ext) - dir.size(), 'p');
    path.resize(KC_INI_PATH_MAX - 1 - strlen(c.ext));
    path += c.ext;
    if (std::string(c.ext) != "pagra.ini") path[path.size() - strlen(c.ext) - 1] = nzt::SEP;  // a short file name
    ASSERT_EQ(path.size(), (size_t)KC_INI_PATH_MAX - 1);
    EXPECT_EQ(KCINISetString("S", "E", "v", path.c_str()), c.status);
  }
  EXPECT_EQ(names_in(t.dir()).size(), 0u);
}

TEST_F(IniNames, Delete) {
  TempDir t;
  set_ini_dir(t.dir());
  ASSERT_TRUE(write_file(t.path("bare.ini"), "x"));
  ASSERT_TRUE(write_file(t.path("full.ini"), "x"));
  EXPECT_EQ(KCINIDelete("bare.ini"), 1u);
  EXPECT_FALSE(file_exists(t.path("bare.ini")));
  EXPECT_EQ(KCINIDelete("bare.ini"), 0u);
  EXPECT_EQ(KCINIDelete(t.path("full.ini").c_str()), 1u);
  EXPECT_EQ(KCINIDelete(t.path("full.ini").c_str()), 0u);
  EXPECT_EQ(KCINIDelete(nullptr), 0u);
  // A folder is not deleted.
  nzt::fs::create_directory(t.path("dir.ini"));
  EXPECT_EQ(KCINIDelete("dir.ini"), 0u);
  EXPECT_TRUE(nzt::fs::is_directory(t.path("dir.ini")));
}

TEST_F(IniNames, DeleteRefusesPathsBeyondTheBuffer) {
  if (nzt::kWindows) GTEST_SKIP() << "the ANSI file calls cannot make a file beyond 260 characters";
  TempDir t;
  std::string dir = t.dir();
  while (dir.size() < KC_PATH_MAX) {
    dir += std::string(40, 'd') + nzt::SEP;
    nzt::fs::create_directory(dir);
  }
  std::string path = dir + "x.ini";
  ASSERT_TRUE(write_file(path, "x"));
  EXPECT_EQ(KCINIDelete(path.c_str()), 0u);
  EXPECT_TRUE(file_exists(path));
}

/* ---- Reads without a file name ---- */

using IniHostRoad = IniStatics;

struct HostRead {
  uint32_t status;
  std::string value;
  bool tail_untouched; // from byte 80 on (the host's bound), or all of it
};

HostRead host_read(const char *section, const char *entry, size_t untouched_from = 80) {
  char buf[KC_INI_LINE_MAX];
  memset(buf, kSentinel, sizeof buf);
  HostRead r;
  r.status = KCINIGetString(section, entry, buf, nullptr);
  r.value = buf[0] == kSentinel ? "(untouched)" : std::string(buf, strnlen(buf, sizeof buf));
  r.tail_untouched = std::all_of(buf + untouched_from, buf + sizeof buf, [](char c) { return c == kSentinel; });
  return r;
}

TEST_F(IniHostRoad, NoFlagsNoSource) {
  HostRead r = host_read("Configuration", "Directory", 0);
  EXPECT_EQ(r.status, KC_ERR_INI_MISSING);
  EXPECT_TRUE(r.tail_untouched);
}

TEST_F(IniHostRoad, KvmoverIniByFlag2) {
  TempDir t;
  set_ini_dir(t.dir());
  PlatInitFlags = KC_INIT_KVMOVER;
  EXPECT_EQ(host_read("Configuration", "Directory").status, KC_ERR_INI_OPEN);
  ASSERT_TRUE(write_file(t.path("kvmover.ini"), crlf({"[Configuration]", "Directory=C:\\kv"})));
  HostRead r = host_read("Configuration", "Directory");
  EXPECT_EQ(r.status, 0u);
  EXPECT_EQ(r.value, "C:\\kv");
  EXPECT_EQ(host_read("Configuration", "Absent").status, KC_ERR_INI_MISSING);
  EXPECT_EQ(KCINIGetString("Configuration", "Directory", nullptr, nullptr), 0u);
}

TEST_F(IniHostRoad, HostLibraryAnswersFirst) {
  TempDir t;
  set_ini_dir(t.dir());
  ASSERT_TRUE(write_file(t.path("kvmover.ini"), crlf({"[Configuration]", "Directory=kv", "Only=kv-only"})));
  PagraLibHandle = KCLibraryLoad(nzt::hostlib_path().c_str(), KC_LIB_QUIET);
  ASSERT_NE(PagraLibHandle, 0u) << nzt::hostlib_path();
  EnvGuard host("NPAGRA_ENV_ZEPTDirectory", "from-host");
  EnvGuard absent("NPAGRA_ENV_ZEPTOnly");
  std::string long_value(100, 'h');
  EnvGuard longer("NPAGRA_ENV_ZEPTLong", long_value.c_str());

  PlatInitFlags = KC_INIT_HOST;
  HostRead r = host_read("AnySection", "Directory");
  EXPECT_EQ(r.status, 0u);
  EXPECT_EQ(r.value, "from-host");
  EXPECT_TRUE(r.tail_untouched);
  EXPECT_NE(OSGetEnvStrProc, nullptr);
  EXPECT_EQ(KCINIGetString("AnySection", "Directory", nullptr, nullptr), 0u);
  // The host is given 80 bytes.
  r = host_read("AnySection", "Long");
  EXPECT_EQ(r.status, 0u);
  EXPECT_EQ(r.value, long_value.substr(0, 79));
  EXPECT_TRUE(r.tail_untouched);
  // Not found by the host, and no kvmover.ini by flag.
  r = host_read("Configuration", "Only");
  EXPECT_EQ(r.status, KC_ERR_INI_MISSING);
  EXPECT_EQ(r.value, "");

  PlatInitFlags = KC_INIT_HOST | KC_INIT_KVMOVER;
  EXPECT_EQ(host_read("Configuration", "Directory").value, "from-host");
  r = host_read("Configuration", "Only");
  EXPECT_EQ(r.status, 0u);
  EXPECT_EQ(r.value, "kv-only");
  // A listing cannot come from the host: kvmover.ini lists it.
  char buf[KC_INI_LIST_ASSUMED];
  EXPECT_EQ(KCINIGetString("Configuration", nullptr, buf, nullptr), 0u);
  EXPECT_STREQ(buf, "Directory=kv");
}

TEST_F(IniHostRoad, HostEntryNamesBeyond251AreNotAsked) {
  PagraLibHandle = KCLibraryLoad(nzt::hostlib_path().c_str(), KC_LIB_QUIET);
  ASSERT_NE(PagraLibHandle, 0u);
  PlatInitFlags = KC_INIT_HOST;
  std::string e251(251, 'e'), e252(252, 'e');
  EnvGuard g1(("NPAGRA_ENV_ZEPT" + e251).c_str(), "251");
  EnvGuard g2(("NPAGRA_ENV_ZEPT" + e252).c_str(), "252");
  HostRead r = host_read("S", e251.c_str());
  EXPECT_EQ(r.status, 0u);
  EXPECT_EQ(r.value, "251");
  r = host_read("S", e252.c_str(), 0);
  EXPECT_EQ(r.status, KC_ERR_INI_MISSING);
}

TEST_F(IniHostRoad, MissingLibraryIsQuietAndTriedAgain) {
  PlatInitFlags = KC_INIT_HOST;
  EXPECT_EQ(host_read("S", "Directory").status, KC_ERR_INI_MISSING);
  EXPECT_EQ(PagraLibHandle, 0u);
  EXPECT_EQ(OSGetEnvStrProc, nullptr);
  // Once the library is there, the next read finds it.
  PagraLibHandle = KCLibraryLoad(nzt::hostlib_path().c_str(), KC_LIB_QUIET);
  ASSERT_NE(PagraLibHandle, 0u);
  EnvGuard host("NPAGRA_ENV_ZEPTDirectory", "later");
  EXPECT_EQ(host_read("S", "Directory").value, "later");
}

// The store loads npagra.dll by its plain name. The loader's search is
// fixed when a program starts (LD_LIBRARY_PATH) or follows PATH
// (Windows), so this test runs itself again as a child with the host
// library's folder on that list.
TEST_F(IniHostRoad, LoadsTheHostLibraryByItsPlainName) {
  if (getenv("NZT_INI_HOST_CHILD")) {
    PlatInitFlags = KC_INIT_HOST;
    HostRead r = host_read("S", "Directory");
    EXPECT_EQ(r.status, 0u);
    EXPECT_EQ(r.value, "from-the-child");
    EXPECT_NE(PagraLibHandle, 0u);
    return;
  }
  std::string hostdir = nzt::build_dir() + "hostlib";
  const char *search_var = nzt::kWindows ? "PATH" : "LD_LIBRARY_PATH";
  const char *old = getenv(search_var);
  std::string search = hostdir + (old && *old ? std::string(1, nzt::LISTSEP) + old : "");
  std::string self = nzt::build_dir() + "ini_tests" + (nzt::kWindows ? ".exe" : "");
  std::map<std::string, std::string> env = {
      {"NZT_INI_HOST_CHILD", "1"},
      {"GTEST_FILTER", "IniHostRoad.LoadsTheHostLibraryByItsPlainName"},
      {"NPAGRA_ENV_ZEPTDirectory", "from-the-child"},
      {search_var, search},
  };
  nzt::RunResult rr = nzt::run_program(self, self, "", "", env, 120000);
  EXPECT_EQ(rr.exit_code, 0) << rr.out << rr.err;
  EXPECT_NE(rr.out.find("[  PASSED  ] 1 test."), std::string::npos) << rr.out;
}

}  // namespace

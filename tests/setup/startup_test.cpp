// Start-up and host discovery: the installer's folder and mode from the
// program's name, and the proposals for the host's folders.
#include <gtest/gtest.h>

#include <ctype.h>
#include <string.h>

#include "btsetup.h"
#include "hosttree.h"
#include "testsupport.h"

using namespace nzt;

namespace {

// A path as the host compares it: Windows ignores letter case (and the
// installer lower-cases the name it was started by).
std::string host_case(std::string s) {
  if (kWindows)
    for (char &c : s) c = (char)tolower((unsigned char)c);
  return s;
}

// The current directory, as the program's seam reads it.
std::string cwd() { return fs::current_path().string() + SEP; }

struct CwdGuard {
  fs::path saved = fs::current_path();
  ~CwdGuard() { fs::current_path(saved); }
};

struct Init {
  uint32_t status = 99;
  uint32_t uninst = 7;
  std::string delvan_dir;
  std::string name_after;
  std::string out;
};

// BTInit on a fresh state, its printing captured.
Init run_init(const std::string &name, const char *proposal = "") {
  gInstDir[0] = '\0';
  gUninst = 0;
  Init r;
  char buf[BT_PATH_MAX];
  snprintf(buf, sizeof buf, "%s", name.c_str());
  char *argv[] = {buf, nullptr};
  char delvan_dir[BT_PATH_MAX];
  snprintf(delvan_dir, sizeof delvan_dir, "%s", proposal);
  r.uninst = 7;
  testing::internal::CaptureStdout();
  r.status = BTInit(argv, delvan_dir, &r.uninst);
  r.out = testing::internal::GetCapturedStdout();
  r.delvan_dir = delvan_dir;
  r.name_after = buf;
  return r;
}

}  // namespace

TEST(BTInit, ModeAndFolderFromTheProgramsName) {
  TempDir t;
  CwdGuard guard;
  fs::create_directories(t.path("pkg"));
  fs::create_directories(t.path("x.exe.d"));
  fs::create_directories(t.path("nzeptrmv.exe.d"));
  fs::create_directories(t.path("elsewhere"));
  fs::current_path(t.path("elsewhere"));
  EnvGuard path("PATH", t.path("no-host").c_str());
  const std::string elsewhere = cwd();

  struct Case {
    std::string name;
    std::string inst_dir;
    uint32_t uninst;
  } cases[] = {
      {t.path("pkg/nzeptins.exe"), t.path("pkg/"), 7},
      {t.path("pkg/NZEPTRMV"), t.path("pkg/"), 1},
      {std::string("..") + SEP + "pkg" + SEP + "nzeptins", t.path("pkg/"), 7},
      // ".exe" in the folder part: nothing appended, so no removal mode.
      {t.path("x.exe.d/nzeptrmv"), t.path("x.exe.d/"), 7},
      // "nzeptrmv.exe" anywhere selects removal mode.
      {t.path("nzeptrmv.exe.d/setup"), t.path("nzeptrmv.exe.d/"), 1},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    const Case &c = cases[i];
    SCOPED_TRACE(testing::Message() << "case " << i << ": " << c.name);
    Init r = run_init(c.name, "proposal");
    EXPECT_EQ(0u, r.status);
    EXPECT_EQ("", r.out);
    EXPECT_EQ(host_case(c.inst_dir), host_case(gInstDir));
    EXPECT_EQ(c.uninst, r.uninst);
    EXPECT_EQ(c.uninst == 1 ? 1u : 0u, gUninst);
    // In removal mode the host program folder is the remover's own.
    EXPECT_EQ(host_case(c.uninst == 1 ? c.inst_dir : std::string("proposal")), host_case(r.delvan_dir));
    EXPECT_EQ(elsewhere, cwd()) << "the current directory moved";
  }
}

TEST(BTInit, LowerCasesTheNameInPlace) {
  TempDir t;
  fs::create_directories(t.path("pkg"));
  std::string name = t.path("pkg/") + "NZeptIns.EXE";
  Init r = run_init(name);
  std::string lowered = name;
  for (char &c : lowered)
    if (c >= 'A' && c <= 'Z') c = (char)(c - 'A' + 'a');
  EXPECT_EQ(lowered, r.name_after);
  EXPECT_EQ(0u, r.status) << "the folder comes from the name as started";
}

TEST(BTInit, ABareNameMeansTheRunningProgramsFolder) {
  // Started through the search path from another folder, a bare name says
  // nothing of where the program is: its own path does.
  TempDir t;
  CwdGuard guard;
  fs::current_path(t.dir());
  Init r = run_init("NZEPTRMV");
  EXPECT_EQ(0u, r.status);
  EXPECT_EQ(build_dir(), gInstDir);
  EXPECT_EQ(1u, r.uninst);
  EXPECT_EQ(build_dir(), r.delvan_dir);
}

TEST(BTInit, AFolderThatCannotBeEnteredIsAnInitializationError) {
  TempDir t;
  Init r = run_init(t.path("missing/nzeptins.exe"), "proposal");
  EXPECT_EQ(1u, r.status);
  EXPECT_EQ("Initialization error:  Be sure you have full access\n"
            "to the directory you are installing or removing ZEPT from.\n\n",
            r.out);
  EXPECT_EQ(7u, r.uninst);
  EXPECT_EQ("proposal", r.delvan_dir);
  EXPECT_EQ(0u, gUninst);
}

TEST(BTInit, OverlongNamesAreRefusedNotOverrun) {
  std::string name(300, 'a');
  gInstDir[0] = '\0';
  char *argv[] = {&name[0], nullptr};
  char delvan_dir[BT_PATH_MAX] = "kept";
  uint32_t uninst = 0;
  testing::internal::CaptureStdout();
  EXPECT_EQ(1u, BTInit(argv, delvan_dir, &uninst));
  testing::internal::GetCapturedStdout();
  EXPECT_STREQ("kept", delvan_dir);
}

TEST(BTInit, ProposesTheFolderOfPagraExeAlongPath) {
  TempDir t;
  fs::create_directories(t.path("pkg"));
  fs::create_directories(t.path("host"));
  write_file(t.path("host/pagra.exe"), "host");
  std::string list = t.path("empty") + LISTSEP + LISTSEP + t.path("host") + LISTSEP;
  EnvGuard path("PATH", list.c_str());
  Init r = run_init(t.path("pkg/nzeptins.exe"));
  EXPECT_EQ(0u, r.status);
  EXPECT_EQ(t.path("host/"), r.delvan_dir);
  EXPECT_EQ(7u, r.uninst);
}

TEST(DirsepTerm, AddsOneSeparatorOnlyWhenMissing) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {"x", std::string("x") + SEP},
      {std::string("x") + SEP, std::string("x") + SEP},
      {std::string("x") + SEP + SEP, std::string("x") + SEP + SEP},
      {"", ""},
      // Only the host's separator counts.
      {kWindows ? "c:/x/" : "c:\\x\\", std::string(kWindows ? "c:/x/" : "c:\\x\\") + SEP},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    SCOPED_TRACE(testing::Message() << "case " << i);
    char buf[BT_PATH_MAX];
    memset(buf, '#', sizeof buf);
    snprintf(buf, sizeof buf, "%s", cases[i].in.c_str());
    dirsep_term(buf);
    EXPECT_EQ(cases[i].out, buf);
    EXPECT_EQ('#', buf[cases[i].out.size() + 1]) << "wrote past the new terminator";
  }
}

TEST(BTIsZeptInstalled, TheTaskMustBeAWholeItemOfServerTasks) {
  TempDir t;
  std::string ini = t.path("pagra.ini");
  struct Case {
    const char *file;  // nullptr: no file at all
    uint32_t installed;
  } cases[] = {
      {"[Pagra]\r\nServerTasks=Replica,Router,ZEPT\r\n", 1},
      {"[Pagra]\r\nServerTasks=ZEPT\r\n", 1},
      {"[Pagra]\r\nServerTasks=Router, ZEPT ,Replica\r\n", 1},
      {"[Pagra]\r\nServerTasks=Replica,zept\r\n", 0},
      {"[Pagra]\r\nServerTasks=XZEPTY\r\n", 0},
      {"[Pagra]\r\nServerTasks=ZEPTX,AZEPT\r\n", 0},
      {"[Pagra]\r\nServerTasks=\r\n", 0},
      {"[Pagra]\r\nOther=ZEPT\r\n", 0},
      {"[Other]\r\nServerTasks=ZEPT\r\n", 0},
      {nullptr, 0},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    SCOPED_TRACE(testing::Message() << "case " << i);
    fs::remove(ini);
    if (cases[i].file) write_file(ini, cases[i].file);
    EXPECT_EQ(cases[i].installed, BTIsZeptInstalled(ini.c_str()));
  }
}

TEST(BTGetDelvanDataDir, DirectoryOfPagraWithASeparator) {
  TempDir t;
  std::string ini = t.path("pagra.ini");
  const std::string dir = std::string("d:") + SEP + "hostdata";
  struct Case {
    std::string file;
    uint32_t status;
    std::string data_dir;
  } cases[] = {
      {"[Pagra]\r\nDirectory=" + dir + "\r\n", 0, dir + SEP},
      {"[Pagra]\r\nDirectory=" + dir + SEP + "\r\n", 0, dir + SEP},
      {"[Pagra]\r\nDirectory=rel\r\n", 0, std::string("rel") + SEP},
      {"[Pagra]\r\nOther=x\r\n", 534, "default"},
      {"[Pagra]\r\nDirectory=\r\n", 534, "default"},
      // 260 characters leave no room for the separator: refused, not cut,
      // and reported as the store reports a value too long for its buffer.
      {"[Pagra]\r\nDirectory=" + std::string(260, 'd') + "\r\n", 534, "default"},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    SCOPED_TRACE(testing::Message() << "case " << i);
    write_file(ini, cases[i].file);
    char data_dir[BT_PATH_MAX] = "default";
    EXPECT_EQ(cases[i].status, BTGetDelvanDataDir(ini.c_str(), data_dir));
    EXPECT_EQ(cases[i].data_dir, data_dir);
  }
  char data_dir[BT_PATH_MAX] = "default";
  EXPECT_EQ(535u, BTGetDelvanDataDir(t.path("missing.ini").c_str(), data_dir));
  EXPECT_STREQ("default", data_dir);
}

TEST(BTGetDelvanIniFileDir, PathThenProgramFolderThenItsDataSubfolder) {
  TempDir t;
  fs::create_directories(t.path("host/data"));
  fs::create_directories(t.path("onpath"));
  const std::string host = t.path("host/");
  EnvGuard path("PATH", t.path("onpath").c_str());
  char ini_dir[BT_PATH_MAX];

  // Nowhere: the caller's default stays.
  snprintf(ini_dir, sizeof ini_dir, "default");
  EXPECT_EQ(0u, BTGetDelvanIniFileDir("pagra.ini", host.c_str(), ini_dir));
  EXPECT_STREQ("default", ini_dir);

  // Only in the data subfolder.
  write_file(t.path("host/data/pagra.ini"), "[Pagra]\r\n");
  EXPECT_EQ(0u, BTGetDelvanIniFileDir("pagra.ini", host.c_str(), ini_dir));
  EXPECT_EQ(t.path("host/data/"), ini_dir);

  // In the program folder: that wins over data, also when the folder is
  // given without its separator.
  write_file(t.path("host/pagra.ini"), "[Pagra]\r\n");
  EXPECT_EQ(0u, BTGetDelvanIniFileDir("pagra.ini", host.c_str(), ini_dir));
  EXPECT_EQ(host, ini_dir);
  snprintf(ini_dir, sizeof ini_dir, "default");
  EXPECT_EQ(0u, BTGetDelvanIniFileDir("pagra.ini", host.substr(0, host.size() - 1).c_str(), ini_dir));
  EXPECT_EQ(host, ini_dir);

  // Along PATH: that wins over both.
  write_file(t.path("onpath/pagra.ini"), "[Pagra]\r\n");
  EXPECT_EQ(0u, BTGetDelvanIniFileDir("pagra.ini", host.c_str(), ini_dir));
  EXPECT_EQ(t.path("onpath/"), ini_dir);

  // No program folder: only PATH is asked.
  fs::remove(t.path("onpath/pagra.ini"));
  snprintf(ini_dir, sizeof ini_dir, "default");
  EXPECT_EQ(0u, BTGetDelvanIniFileDir("pagra.ini", "", ini_dir));
  EXPECT_STREQ("default", ini_dir);
}

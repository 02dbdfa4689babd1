// Deferred self-removal: the interpreters' command lines, run for real on
// files moved aside in folders with awkward names, and the returns of the
// hand-over when it cannot be made sure. The hand-over of a real removal
// run is checked end to end.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "btsetup.h"
#include "kcsys.h"
#include "os.h"
#include "testsupport.h"

#ifdef _WIN32
#include <windows.h>
#include <process.h>

#include <thread>
#endif

namespace {

const char kPing[] = "\"C:\\sys\\ping.exe\" -n 2 127.0.0.1 >nul 2>nul";

// The cmd form for remover R and library L.
std::string cmd_for(const std::string &r, const std::string &l) {
  std::string t = "(for /l %i in (1,1,30) do (@if exist \"{R}\" del /f/q \"{R}\" 2>nul & if exist \"{R}\" " +
                  std::string(kPing) + ")) & if exist \"{R}\" (del /f/q \"{R}\")" +
                  (l.empty() ? "" : " else (del /f/q \"{L}\")");
  for (size_t at; (at = t.find("{R}")) != std::string::npos;) t.replace(at, 3, r);
  for (size_t at; (at = t.find("{L}")) != std::string::npos;) t.replace(at, 3, l);
  return t;
}

TEST(CleanupCommand, CmdNamesEachFileInItsFolderAndPingByItsFullPath) {
  struct Case {
    const char *remover, *library;
    bool ok;
  } cases[] = {
      {"~nzab123", "~nzcd456", true},
      {"~nz00000", "", true},
      {"a&b x^y (x86)", "a)&echo pwned&(b", true},
      {"100%", "~nz66666", false},
      {"~nz77777", "a\"b", false},
      {"line\nbreak", "", false},
      {"", "~nzaaaaa", false},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    SCOPED_TRACE(i);
    char cmd[BT_CLEANUP_CMD_MAX];
    memset(cmd, '#', sizeof cmd);
    ASSERT_EQ(cases[i].ok, bt_cleanup_cmd_command("C:\\sys\\", cases[i].remover, cases[i].library, cmd, sizeof cmd));
    EXPECT_EQ(cases[i].ok ? cmd_for(cases[i].remover, cases[i].library) : "", std::string(cmd));
  }
  // Exactly big enough, or refused whole.
  std::string r = std::string(250, 'a') + "~nzbbbbb", want = cmd_for(r, r);
  char cmd[BT_CLEANUP_CMD_MAX + 1];
  EXPECT_EQ(1, bt_cleanup_cmd_command("C:\\sys\\", r.c_str(), r.c_str(), cmd, want.size() + 1));
  EXPECT_EQ(want, cmd);
  memset(cmd, '#', sizeof cmd);
  EXPECT_EQ(0, bt_cleanup_cmd_command("C:\\sys\\", r.c_str(), r.c_str(), cmd, want.size()));
  EXPECT_STREQ("", cmd);
  EXPECT_EQ('#', cmd[want.size()]);
}

TEST(CleanupCommand, ShQuotesEachFileAsOneWord) {
  struct Case {
    const char *remover, *library, *want;
  } cases[] = {
      {"/opt/delvan/~nzab123", "/opt/delvan/~nzcd456", "exec /bin/rm -f -- '/opt/delvan/~nzab123' '/opt/delvan/~nzcd456'"},
      {"/opt/my host/~nz00000", "", "exec /bin/rm -f -- '/opt/my host/~nz00000'"},
      {"/o'neil/~nz1", "/a&b;$(x)`y`\"%z\"/~nz2", "exec /bin/rm -f -- '/o'\\''neil/~nz1' '/a&b;$(x)`y`\"%z\"/~nz2'"},
      {"-dash/~nz3", "/line\nbreak/~nz4", "exec /bin/rm -f -- '-dash/~nz3' '/line\nbreak/~nz4'"},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    SCOPED_TRACE(i);
    char cmd[BT_CLEANUP_CMD_MAX];
    ASSERT_EQ(1, bt_cleanup_sh_command(cases[i].remover, cases[i].library, cmd, sizeof cmd));
    EXPECT_STREQ(cases[i].want, cmd);
  }
  char cmd[BT_CLEANUP_CMD_MAX];
  EXPECT_EQ(0, bt_cleanup_sh_command("", "/x", cmd, sizeof cmd));
  EXPECT_EQ(0, bt_cleanup_sh_command(std::string(BT_CLEANUP_CMD_MAX, '\'').c_str(), "", cmd, sizeof cmd));
  EXPECT_STREQ("", cmd);
  // Exactly big enough, or refused whole.
  std::string want = "exec /bin/rm -f -- '~nzab123' 'it'\\''s'";
  EXPECT_EQ(1, bt_cleanup_sh_command("~nzab123", "it's", cmd, want.size() + 1));
  EXPECT_EQ(want, cmd);
  memset(cmd, '#', sizeof cmd);
  EXPECT_EQ(0, bt_cleanup_sh_command("~nzab123", "it's", cmd, want.size()));
  EXPECT_STREQ("", cmd);
  EXPECT_EQ('#', cmd[want.size()]);
}

// Runs the host's interpreter in dir on the command for the two moved
// files there, as BTCleanup hands it over but waiting for it; its exit
// status.
int run_interpreter(const std::string &dir, const std::string &remover, const std::string &library) {
  char cmd[BT_CLEANUP_CMD_MAX], sysdir[KC_PATH_MAX];
  const char *prog = nzt::kWindows ? getenv("COMSPEC") : "/bin/sh";
  if (!prog) return -1;
  std::string r = remover.substr(dir.size()), l = library.substr(dir.size());
  int ok = nzt::kWindows ? kc_system_dir(sysdir) && bt_cleanup_cmd_command(sysdir, r.c_str(), l.c_str(), cmd, sizeof cmd)
                         : bt_cleanup_sh_command(r.c_str(), l.c_str(), cmd, sizeof cmd);
  if (!ok) return -1;
  const char *cmd_argv[] = {prog, "/D", "/V:OFF", "/C", cmd, nullptr};
  const char *sh_argv[] = {prog, "-c", cmd, nullptr};
  int status = -1;
  if (os_spawn(prog, nzt::kWindows ? cmd_argv : sh_argv, dir.c_str(), 1, &status) != 0) return -1;
  return status;
}

// The remover's two files moved aside in dir: their new names.
struct Moved {
  std::string remover, library;
};
Moved move_both(const std::string &dir) {
  char r[KC_PATH_MAX], l[KC_PATH_MAX];
  intptr_t hr, hl;
  EXPECT_EQ(0, kc_move_aside((dir + "nzeptrmv.exe").c_str(), r, &hr));
  EXPECT_EQ(0, kc_move_aside((dir + "kccmn10.dll").c_str(), l, &hl));
  kc_release(hr);
  kc_release(hl);
  return Moved{r, l};
}

// A program the command would pick up from the host folder or the search
// path if it called any by bare name: each makes the folder "pwned".
void plant_programs(const std::string &dir) {
  if (nzt::kWindows) {
    for (const char *name : {"ping.bat", "ping.cmd", "del.bat"}) nzt::write_file(dir + name, "@mkdir pwned\r\n");
  } else {
    for (const char *name : {"rm", "sleep"}) {
      nzt::write_file(dir + name, "#!/bin/sh\nmkdir pwned\n");
      nzt::fs::permissions(dir + name, nzt::fs::perms::owner_all);
    }
  }
}

TEST(CleanupCommand, TheInterpreterDeletesOnlyTheMovedFiles) {
  nzt::TempDir tmp;
  // Each name that broke out of its quotes would make the folder "pwned".
  const char *names[] = {"plain", "with blank", "a&b", "x^y", "(x86) dir", "a)&mkdir pwned&(b", "o'neil",
                         "x$(mkdir pwned)`mkdir pwned`y", "a' ; mkdir pwned ; '", "a!b!c", "100%", "%PATH%"};
  for (size_t i = 0; i < sizeof names / sizeof names[0]; ++i) {
    SCOPED_TRACE(i);
    std::string dir = tmp.path(names[i]) + nzt::SEP;
    ASSERT_TRUE(nzt::fs::create_directory(tmp.path(names[i])));
    for (const char *f : {"nzeptrmv.exe", "kccmn10.dll", "other.dll"}) ASSERT_TRUE(nzt::write_file(dir + f, "x"));
    plant_programs(dir);
    Moved m = move_both(dir);
    // A later install takes both names before the interpreter runs: the
    // interpreter, however late, never reaches its files.
    ASSERT_TRUE(nzt::write_file(dir + "nzeptrmv.exe", "new"));
    ASSERT_TRUE(nzt::write_file(dir + "kccmn10.dll", "new"));
    nzt::EnvGuard path("PATH", (dir + nzt::LISTSEP + getenv("PATH")).c_str());
    EXPECT_EQ(0, run_interpreter(dir, m.remover, m.library));
    EXPECT_FALSE(nzt::file_exists(m.remover));
    EXPECT_FALSE(nzt::file_exists(m.library));
    EXPECT_EQ("new", nzt::read_file(dir + "nzeptrmv.exe"));
    EXPECT_EQ("new", nzt::read_file(dir + "kccmn10.dll"));
    EXPECT_TRUE(nzt::file_exists(dir + "other.dll"));
    EXPECT_FALSE(nzt::file_exists(tmp.path("pwned")));
    EXPECT_FALSE(nzt::file_exists(dir + "pwned"));
  }
}

TEST(CleanupCommand, TheRemoverIsDeletedOnceItIsLetGo) {
#ifdef _WIN32
  nzt::TempDir tmp;
  ASSERT_TRUE(nzt::write_file(tmp.path("nzeptrmv.exe"), "x"));
  ASSERT_TRUE(nzt::write_file(tmp.path("kccmn10.dll"), "x"));
  Moved m = move_both(tmp.dir());
  // Held open without delete sharing, as the ending program's image is,
  // for a few of the interpreter's retries, each of which waits with the
  // system's ping: one planted in the current folder never runs.
  plant_programs(tmp.dir());
  HANDLE h = CreateFileA(m.remover.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  std::thread release([h] {
    Sleep(2500);
    CloseHandle(h);
  });
  int rc = run_interpreter(tmp.dir(), m.remover, m.library);
  release.join();
  EXPECT_EQ(0, rc);
  EXPECT_FALSE(nzt::file_exists(m.remover));
  EXPECT_FALSE(nzt::file_exists(m.library));
  EXPECT_FALSE(nzt::file_exists(tmp.path("pwned")));
#else
  GTEST_SKIP() << "a file in use can be deleted on Linux: there is nothing to wait for";
#endif
}

// The hand-over could not be made sure: the two files are back under
// their names, the administrator is told, and the status says so.
std::string by_hand(const std::string &dir) {
  return "\nThe remover could not delete its last two files.\nPlease delete them by hand:\n   " + dir +
         "nzeptrmv.exe\n   " + dir + "kccmn10.dll\n";
}

TEST(CleanupReturns, WhenTheHandOverCannotBeMadeSure) {
  nzt::TempDir tmp;
  struct Case {
    const char *what;
    std::string prog;
    bool posix_only;
  } cases[] = {
      {"no interpreter there", tmp.path("no-such-interpreter") + OS_EXE_SUFFIX, false},
      {"an interpreter that fails", "/bin/false", true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    if (c.posix_only && nzt::kWindows) continue;  // the Windows remover ends before its interpreter does
    ASSERT_TRUE(nzt::write_file(tmp.dir() + "nzeptrmv.exe", "r"));
    ASSERT_TRUE(nzt::write_file(tmp.dir() + "kccmn10.dll", "l"));
    testing::internal::CaptureStdout();
    EXPECT_EQ(5320u, bt_cleanup_start(c.prog.c_str(), nzt::kWindows, tmp.dir().c_str()));
    EXPECT_EQ(by_hand(tmp.dir()), testing::internal::GetCapturedStdout());
    EXPECT_EQ("r", nzt::read_file(tmp.dir() + "nzeptrmv.exe"));
    EXPECT_EQ("l", nzt::read_file(tmp.dir() + "kccmn10.dll"));
  }
  // Refused before any interpreter is looked for.
  testing::internal::CaptureStdout();
  EXPECT_EQ(5320u, BTCleanup(""));
  EXPECT_EQ(by_hand(""), testing::internal::GetCapturedStdout());
}

// COMSPEC is used only when it names an existing program by its absolute
// path; otherwise the system folder's interpreter deletes the files. A
// relative name would be looked for from the current folder, the host
// folder, where anyone able to write there may have put a "cmd.exe".
TEST(CleanupReturns, AComspecThatIsNoAbsoluteProgramGivesWayToTheSystemsInterpreter) {
  if (!nzt::kWindows) GTEST_SKIP() << "the Linux port runs /bin/sh; COMSPEC plays no part";
  nzt::TempDir tmp;
  const std::string dir = tmp.dir();
  // Started instead, this copy of the installer would leave both files.
  nzt::fs::copy_file(nzt::build_dir() + "nzeptins.exe", dir + "cmd.exe");
  auto files = [&] { return std::distance(nzt::fs::directory_iterator(dir), nzt::fs::directory_iterator()); };
  std::string cwd = nzt::fs::current_path().string();
  nzt::fs::current_path(dir);
  std::string values[] = {"", "cmd.exe", tmp.path("no-such-cmd.exe"), tmp.path(std::string(300, 'c') + ".exe")};
  for (const std::string &v : values) {
    SCOPED_TRACE(v);
    ASSERT_TRUE(nzt::write_file(dir + "nzeptrmv.exe", "r"));
    ASSERT_TRUE(nzt::write_file(dir + "kccmn10.dll", "l"));
    nzt::EnvGuard g("COMSPEC", v.empty() ? nullptr : v.c_str());
    testing::internal::CaptureStdout();
    EXPECT_EQ(0u, BTCleanup(dir.c_str()));
    EXPECT_EQ("", testing::internal::GetCapturedStdout());
    for (int i = 0; i < 100 && files() > 1; ++i) os_sleep_ms(100);
    EXPECT_EQ(1, files()) << "the moved files were not deleted";
  }
  nzt::fs::current_path(cwd);
}

}  // namespace

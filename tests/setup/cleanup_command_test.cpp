// Deferred self-removal: the interpreters' command lines, run for real in
// folders with awkward names, and the returns of BTCleanup when the
// interpreter cannot be started. The hand-over of a real removal run is
// checked end to end.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "btsetup.h"
#include "testsupport.h"

#ifdef _WIN32
#include <windows.h>
#include <process.h>

#include <thread>
#else
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

// The cmd form for the folder D (ending in a backslash): every file by its
// full path.
std::string cmd_for(const std::string &d) {
  std::string t =
      "cd /d \"{D}\" && ((for /l %i in (1,1,30) do (@if exist \"{D}nzeptrmv.exe\" del /f/q \"{D}nzeptrmv.exe\" 2>nul & "
      "if exist \"{D}nzeptrmv.exe\" ping -n 2 127.0.0.1 >nul)) & if exist \"{D}nzeptrmv.exe\" (del /f/q "
      "\"{D}nzeptrmv.exe\") else (del /f/q \"{D}kccmn10.dll\"))";
  for (size_t at; (at = t.find("{D}")) != std::string::npos;) t.replace(at, 3, d);
  return t;
}
const std::string kShTail =
    " && { n=0; while [ -e nzeptrmv.exe ] && [ $n -lt 30 ]; do rm -f nzeptrmv.exe 2>/dev/null || sleep 1; "
    "n=$((n+1)); done; if [ -e nzeptrmv.exe ]; then rm -f nzeptrmv.exe; else rm -f kccmn10.dll; fi; }";

TEST(CleanupCommand, CmdQuotesTheFolderAndChangesDrive) {
  char cmd[BT_CLEANUP_CMD_MAX];
  ASSERT_EQ(1, bt_cleanup_cmd_command("c:\\host\\", cmd, sizeof cmd));
  EXPECT_STREQ(
      "cd /d \"c:\\host\\\" && ((for /l %i in (1,1,30) do (@if exist \"c:\\host\\nzeptrmv.exe\" del /f/q "
      "\"c:\\host\\nzeptrmv.exe\" 2>nul & if exist \"c:\\host\\nzeptrmv.exe\" ping -n 2 127.0.0.1 >nul)) & if exist "
      "\"c:\\host\\nzeptrmv.exe\" (del /f/q \"c:\\host\\nzeptrmv.exe\") else (del /f/q \"c:\\host\\kccmn10.dll\"))",
      cmd);
  struct Case {
    const char *dir;
    const char *as_used; // with its one trailing backslash
  } cases[] = {{"C:\\Program Files\\Delvan\\", "C:\\Program Files\\Delvan\\"},
               {"d:\\a&b\\", "d:\\a&b\\"},
               {"d:\\x^y\\", "d:\\x^y\\"},
               {"d:\\(x86) dir\\", "d:\\(x86) dir\\"},
               {"e:\\a)&echo pwned&(b\\", "e:\\a)&echo pwned&(b\\"},
               {"\\\\srv\\share\\host\\", "\\\\srv\\share\\host\\"},
               {"c:\\no\\end", "c:\\no\\end\\"},
               {"c:", "c:\\"}};
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    SCOPED_TRACE(i);
    ASSERT_EQ(1, bt_cleanup_cmd_command(cases[i].dir, cmd, sizeof cmd));
    EXPECT_EQ(cmd_for(cases[i].as_used), cmd);
  }
}

TEST(CleanupCommand, CmdRefusesWhatCannotBeQuoted) {
  const char *bad[] = {"c:\\a\"b\\", "c:\\100%\\", "c:\\%PATH%\\", "c:\\line\nbreak\\", "c:\\cr\rx\\", "c:\\t\tab\\", ""};
  for (size_t i = 0; i < sizeof bad / sizeof bad[0]; ++i) {
    SCOPED_TRACE(i);
    char cmd[BT_CLEANUP_CMD_MAX];
    memset(cmd, '#', sizeof cmd);
    EXPECT_EQ(0, bt_cleanup_cmd_command(bad[i], cmd, sizeof cmd));
    EXPECT_EQ('\0', cmd[0]);
  }
  char cmd[8] = "#######";
  EXPECT_EQ(0, bt_cleanup_cmd_command(nullptr, cmd, sizeof cmd));
  EXPECT_STREQ("", cmd);
}

TEST(CleanupCommand, ShQuotesTheFolderAsOneWord) {
  struct Case {
    const char *dir;
    const char *quoted;
  } cases[] = {
      {"/opt/delvan/", "'/opt/delvan/'"},
      {"/opt/my host/", "'/opt/my host/'"},
      {"/o'neil/", "'/o'\\''neil/'"},
      {"/a&b;$(x)`y`\"%z\"/", "'/a&b;$(x)`y`\"%z\"/'"},
      {"/line\nbreak/", "'/line\nbreak/'"},
      {"-dash/", "'-dash/'"},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    SCOPED_TRACE(i);
    char cmd[BT_CLEANUP_CMD_MAX];
    ASSERT_EQ(1, bt_cleanup_sh_command(cases[i].dir, cmd, sizeof cmd));
    EXPECT_EQ(std::string("cd -- ") + cases[i].quoted + kShTail, cmd);
  }
  char cmd[8] = "#######";
  EXPECT_EQ(0, bt_cleanup_sh_command("", cmd, sizeof cmd));
  EXPECT_STREQ("", cmd);
}

TEST(CleanupCommand, TheCommandFitsExactlyOrIsRefused) {
  // A folder of 260 characters, quotes doubled in size on the shell side.
  std::string dir(259, 'a');
  dir += '\\';
  std::string want = cmd_for(dir);
  struct Case {
    size_t size;
    int ok;
  } cases[] = {{BT_CLEANUP_CMD_MAX, 1}, {want.size() + 1, 1}, {want.size(), 0}, {1, 0}};
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    SCOPED_TRACE(i);
    char cmd[BT_CLEANUP_CMD_MAX + 1];
    memset(cmd, '#', sizeof cmd);
    EXPECT_EQ(cases[i].ok, bt_cleanup_cmd_command(dir.c_str(), cmd, cases[i].size));
    EXPECT_EQ(cases[i].ok ? want : "", std::string(cmd));
    EXPECT_EQ('#', cmd[cases[i].size]); // nothing beyond the given size
  }
  char big[BT_CLEANUP_CMD_MAX];
  EXPECT_EQ(0, bt_cleanup_cmd_command(std::string(300, 'a').c_str(), big, sizeof big)); // longer than a path
  std::string quotes(260, '\'');
  char cmd[BT_CLEANUP_CMD_MAX];
  ASSERT_EQ(1, bt_cleanup_sh_command(quotes.c_str(), cmd, sizeof cmd));
  EXPECT_EQ(6 + 2 + 4 * 260 + kShTail.size(), strlen(cmd));
  EXPECT_EQ(0, bt_cleanup_sh_command(std::string(BT_CLEANUP_CMD_MAX, 'a').c_str(), cmd, sizeof cmd));
}

// Runs the host's interpreter on the command for dir, as BTCleanup hands
// it over but waiting for it; its exit status.
int run_interpreter(const std::string &dir) {
  char cmd[BT_CLEANUP_CMD_MAX];
#ifdef _WIN32
  if (!bt_cleanup_cmd_command(dir.c_str(), cmd, sizeof cmd)) return -1;
  const char *comspec = getenv("COMSPEC");
  if (!comspec) return -1;
  // _spawnv joins the arguments as _execv does.
  const char *argv[] = {comspec, "/D", "/V:OFF", "/C", cmd, nullptr};
  return (int)_spawnv(_P_WAIT, comspec, argv);
#else
  if (!bt_cleanup_sh_command(dir.c_str(), cmd, sizeof cmd)) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    execl("/bin/sh", "/bin/sh", "-c", cmd, (char *)nullptr);
    _exit(127);
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
}

TEST(CleanupCommand, TheInterpreterDeletesTheTwoFilesInAwkwardFolders) {
  nzt::TempDir tmp;
  // Each name that broke out of its quotes would make the folder "pwned".
  const char *names[] = {"plain", "with blank", "a&b", "x^y", "(x86) dir", "a)&mkdir pwned&(b",
                         "o'neil", "x$(mkdir pwned)`mkdir pwned`y", "a' ; mkdir pwned ; '", "a!b!c"};
  for (size_t i = 0; i < sizeof names / sizeof names[0]; ++i) {
    SCOPED_TRACE(i);
    std::string dir = tmp.path(names[i]) + nzt::SEP;
    ASSERT_TRUE(nzt::fs::create_directory(tmp.path(names[i])));
    for (const char *f : {"nzeptrmv.exe", "kccmn10.dll", "other.dll"}) ASSERT_TRUE(nzt::write_file(dir + f, "x"));
    // The test's own folder is not the target: the command must go there.
    ASSERT_TRUE(nzt::write_file(tmp.path("kccmn10.dll"), "bystander"));
    EXPECT_EQ(0, run_interpreter(dir));
    EXPECT_FALSE(nzt::file_exists(dir + "nzeptrmv.exe"));
    EXPECT_FALSE(nzt::file_exists(dir + "kccmn10.dll"));
    EXPECT_TRUE(nzt::file_exists(dir + "other.dll"));
    EXPECT_EQ("bystander", nzt::read_file(tmp.path("kccmn10.dll")));
    EXPECT_FALSE(nzt::file_exists(tmp.path("pwned")));
    EXPECT_FALSE(nzt::file_exists(dir + "pwned"));
  }
}

TEST(CleanupCommand, AMissingFolderDeletesNothing) {
  nzt::TempDir tmp;
  ASSERT_TRUE(nzt::write_file(tmp.path("nzeptrmv.exe"), "x"));
  ASSERT_TRUE(nzt::write_file(tmp.path("kccmn10.dll"), "x"));
  // The current folder holds the two names; cd fails, nothing else runs.
  std::string cwd = nzt::fs::current_path().string();
  nzt::fs::current_path(tmp.dir());
  // Some interpreters go on after the failed cd; the full file names keep
  // them away from the current folder all the same.
  (void)run_interpreter(tmp.path("no-such-folder") + nzt::SEP);
  nzt::fs::current_path(cwd);
  EXPECT_TRUE(nzt::file_exists(tmp.path("nzeptrmv.exe")));
  EXPECT_TRUE(nzt::file_exists(tmp.path("kccmn10.dll")));
}

TEST(CleanupCommand, TheRemoverIsDeletedOnceItIsLetGo) {
#ifdef _WIN32
  nzt::TempDir tmp;
  const std::string remover = tmp.path("nzeptrmv.exe");
  ASSERT_TRUE(nzt::write_file(remover, "x"));
  ASSERT_TRUE(nzt::write_file(tmp.path("kccmn10.dll"), "x"));
  // Held open without delete sharing, as the ending program's image is,
  // for a few of the interpreter's retries.
  HANDLE h = CreateFileA(remover.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  std::thread release([h] {
    Sleep(2500);
    CloseHandle(h);
  });
  int rc = run_interpreter(tmp.dir());
  release.join();
  EXPECT_EQ(0, rc);
  EXPECT_FALSE(nzt::file_exists(remover));
  EXPECT_FALSE(nzt::file_exists(tmp.path("kccmn10.dll")));
#else
  GTEST_SKIP() << "a file in use can be deleted on Linux: there is nothing to wait for";
#endif
}

// BTCleanup returns only when it cannot hand over; each case here is one
// where it must not, so the test program goes on.
// The call must refuse: it says which files are left and returns 5320.
std::string cleanup_output(uint32_t (*call)(const std::string &), const std::string &dir) {
  testing::internal::CaptureStdout();
  EXPECT_EQ(5320u, call(dir));
  return testing::internal::GetCapturedStdout();
}

std::string by_hand(const std::string &dir) {
  return "\nThe remover could not delete its last two files.\nPlease delete them by hand:\n   " + dir +
         "nzeptrmv.exe\n   " + dir + "kccmn10.dll\n";
}

TEST(CleanupReturns, WhenTheInterpreterIsMissing) {
  nzt::TempDir tmp;
  std::string missing = tmp.path("no-such-interpreter") + (nzt::kWindows ? ".exe" : "");
  testing::internal::CaptureStdout();
  EXPECT_EQ(5320u, bt_cleanup_start(missing.c_str(), nzt::kWindows, tmp.dir().c_str()));
  EXPECT_EQ(by_hand(tmp.dir()), testing::internal::GetCapturedStdout());
}

TEST(CleanupReturns, WhenTheFolderIsRefused) {
  // Refused before any interpreter is looked for: no hand-over happens.
  std::string out = cleanup_output([](const std::string &d) { return BTCleanup(d.c_str()); }, "");
  EXPECT_EQ(by_hand(""), out);
  if (!nzt::kWindows) return; // the shell takes every other folder name
  const char *bad[] = {"c:\\100%\\", "c:\\a\"b\\", "c:\\two\nlines\\"};
  for (size_t i = 0; i < sizeof bad / sizeof bad[0]; ++i) {
    SCOPED_TRACE(i);
    out = cleanup_output([](const std::string &d) { return BTCleanup(d.c_str()); }, bad[i]);
    EXPECT_EQ(by_hand(bad[i]), out);
  }
}

TEST(CleanupReturns, WhenComspecIsMissingTooLongOrNoProgram) {
  if (!nzt::kWindows) GTEST_SKIP() << "the Linux port runs /bin/sh; COMSPEC plays no part";
  nzt::TempDir tmp;
  const std::string dir = tmp.dir();
  auto call = [](const std::string &d) { return BTCleanup(d.c_str()); };
  {
    nzt::EnvGuard g("COMSPEC", nullptr);
    EXPECT_EQ(by_hand(dir), cleanup_output(call, dir));
  }
  {
    nzt::EnvGuard g("COMSPEC", tmp.path("no-such-cmd.exe").c_str());
    EXPECT_EQ(by_hand(dir), cleanup_output(call, dir));
  }
  {
    // Longer than a path: refused, not cut to its first 260 characters.
    std::string long_comspec = tmp.path(std::string(300, 'c') + ".exe");
    nzt::EnvGuard g("COMSPEC", long_comspec.c_str());
    EXPECT_EQ(by_hand(dir), cleanup_output(call, dir));
  }
}

}  // namespace

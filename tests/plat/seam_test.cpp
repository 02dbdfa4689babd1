// The seam's contract where the areas above do not show it whole:
// environment entries and replacing the process.
#include <errno.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <functional>
#include <string>

#include "os.h"
#include "plat_int.h"
#include "testsupport.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

using namespace nzt;

TEST(SeamEnv, EntriesWithoutNameAreRefused) {
  static char no_name[] = "=value";
  static char no_equals[] = "NZT_NO_EQUALS";
  EXPECT_EQ(os_putenv(no_name), -1);
  EXPECT_EQ(os_putenv(no_equals), -1);
  EXPECT_EQ(getenv("NZT_NO_EQUALS"), nullptr);
}

// ---- One failure, one number ----
// A folder where a file should be, and a file where a folder should be,
// give the numbers the Windows runtime gives: EACCES and ENOENT.
TEST(SeamErrors, FoldersAndFilesInTheWrongPlace) {
  TempDir t;
  ASSERT_TRUE(write_file(t.path("file"), "x"));
  ASSERT_TRUE(write_file(t.path("other"), "y"));
  fs::create_directory(t.path("folder"));
  const std::string folder = t.path("folder"), under = t.path("file/x");
  os_filestat st;
  struct Case {
    const char *what;
    std::function<int(os_fd *)> call;
    int want;
  } cases[] = {
      {"open a folder", [&](os_fd *fd) { return os_open_read(folder.c_str(), fd); }, EACCES},
      {"create over a folder", [&](os_fd *fd) { return os_create_trunc(folder.c_str(), fd); }, EACCES},
      {"remove a folder", [&](os_fd *) { return os_remove(folder.c_str()); }, EACCES},
      {"replace a folder",
       [&](os_fd *fd) {
         int e = os_create_excl(t.path("new").c_str(), fd);
         return e ? e : os_fd_rename(*fd, t.path("new").c_str(), folder.c_str(), 1);
       },
       EACCES},
      {"open under a file", [&](os_fd *fd) { return os_open_read(under.c_str(), fd); }, ENOENT},
      {"create under a file", [&](os_fd *fd) { return os_create_trunc(under.c_str(), fd); }, ENOENT},
      {"create anew under a file", [&](os_fd *fd) { return os_create_excl(under.c_str(), fd); }, ENOENT},
      {"access under a file", [&](os_fd *) { return os_access(under.c_str(), OS_F_OK); }, ENOENT},
      {"stat under a file", [&](os_fd *) { return os_stat(under.c_str(), &st); }, ENOENT},
      {"remove under a file", [&](os_fd *) { return os_remove(under.c_str()); }, ENOENT},
      {"folder under a file", [&](os_fd *) { return os_mkdir(under.c_str()); }, ENOENT},
      {"enter a file", [&](os_fd *) { return os_chdir(t.path("file").c_str()); }, ENOENT},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    os_fd fd = OS_BADFD;
    int e = c.call(&fd);
    if (fd != OS_BADFD) (void)os_close(fd);
    EXPECT_EQ(e, c.want) << strerror(e);
  }
  EXPECT_TRUE(fs::is_directory(folder));
  EXPECT_EQ(read_file(t.path("other")), "y");
}

// ---- Starting a program ----
// The test program starts a second copy of itself, with NZT_SPAWN_MARK
// set, whose only test writes a mark; the first does not wait for it.

namespace {

std::string self_path() {
  char buf[4096];
  return os_self_path(buf, sizeof buf) == 0 ? std::string(buf) : std::string();
}

}  // namespace

TEST(SeamSpawn, ChildWritesMark) {
  const char *mark = getenv("NZT_SPAWN_MARK");
  if (!mark) GTEST_SKIP() << "runs only as the started program";
  std::string tmp = std::string(mark) + ".tmp";
  ASSERT_TRUE(write_file(tmp, "started"));
  fs::rename(tmp, mark); // the mark appears whole
}

TEST(SeamSpawn, StartsAProgramThatOutlivesTheCall) {
  if (getenv("NZT_SPAWN_MARK")) GTEST_SKIP() << "inside the started program";
  std::string self = self_path();
  ASSERT_FALSE(self.empty());
  TempDir t;
  std::string mark = t.path("mark");
  EnvGuard env("NZT_SPAWN_MARK", mark.c_str());
  // On Windows the arguments are joined with blanks: a path with a blank
  // is quoted by the caller.
  std::string arg0 = kWindows ? "\"" + self + "\"" : self;
  const char *argv[] = {arg0.c_str(), "--gtest_filter=SeamSpawn.ChildWritesMark", NULL};
  ASSERT_EQ(0, os_spawn(self.c_str(), argv, nullptr, 0, nullptr));
  for (int i = 0; i < 600 && !file_exists(mark); ++i) os_sleep_ms(50);
  EXPECT_EQ(read_file(mark), "started");
}

TEST(SeamSpawn, MissingProgramIsReported) {
  TempDir t;
  std::string prog = t.path("absent") + OS_EXE_SUFFIX;
  const char *argv[] = {prog.c_str(), NULL};
  EXPECT_EQ(os_spawn(prog.c_str(), argv, nullptr, 0, nullptr), ENOENT);
}

// The started program keeps no handle of this process's: a pipe a caller
// reads to its end (a deployment engine's) ends when this process lets go
// of it, however long the program runs, and nothing it prints reaches
// this process's output.
TEST(SeamSpawn, TheProgramKeepsNoHandleOfThisOne) {
  const char *prog = kWindows ? getenv("COMSPEC") : "/bin/sh";
  ASSERT_NE(nullptr, prog);
  const char *argv[] = {prog, kWindows ? "/C" : "-c",
                        kWindows ? "echo handed-over & ping -n 6 127.0.0.1 >nul" : "echo handed-over; sleep 5", NULL};
#ifdef _WIN32
  SECURITY_ATTRIBUTES sa = {sizeof sa, NULL, TRUE};  // inheritable, as a caller's pipe is
  HANDLE rd, wr;
  ASSERT_TRUE(CreatePipe(&rd, &wr, &sa, 0));
#else
  int fds[2];
  ASSERT_EQ(0, pipe(fds));  // no close-on-exec, as a caller's pipe is
#endif
  testing::internal::CaptureStdout();
  ASSERT_EQ(0, os_spawn(prog, argv, nullptr, 0, nullptr));
  EXPECT_EQ("", testing::internal::GetCapturedStdout());
  auto start = std::chrono::steady_clock::now();
  char c;
#ifdef _WIN32
  CloseHandle(wr);
  DWORD got = 0;
  EXPECT_FALSE(ReadFile(rd, &c, 1, &got, NULL));  // the end of the pipe, at once
  CloseHandle(rd);
#else
  close(fds[1]);
  EXPECT_EQ(0, read(fds[0], &c, 1));
  close(fds[0]);
#endif
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3)) << "the pipe stayed open for the program";
}

// A name of ours drawn again is not taken twice: the file there stays as
// it was, and the new file gets a fresh name.
TEST(TmpNames, ATakenNameIsDrawnAgain) {
  TempDir t;
  const std::string beside = t.path("pagra.ini");
  char taken[KC_PATH_MAX], got[KC_PATH_MAX];
  kc_tmp_seed(12345);
  ASSERT_TRUE(kc_tmp_path(taken, sizeof taken, beside.c_str()));
  ASSERT_TRUE(write_file(taken, "another run's"));
  kc_tmp_seed(12345);
  intptr_t fd;
  ASSERT_EQ(0, kc_tmp_create(beside.c_str(), got, sizeof got, &fd));
  EXPECT_STRNE(taken, got);
  EXPECT_EQ("another run's", read_file(taken));
  EXPECT_EQ(0, os_fd_delete(fd, got));
}

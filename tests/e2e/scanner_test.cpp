// A scanner at work in the host and data folders: virus scanners and
// indexers on Windows open each new file for a moment, sharing no
// deletion. holder.exe (tests/holder/holder.c) does so for 100 to 300 ms,
// the installer's own temporary files too.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hosttree.h"
#include "testsupport.h"

#ifdef _WIN32
#include <windows.h>
#endif

using namespace nzt;

namespace {

#ifdef _WIN32
// holder.exe watching the host and data folders of t, from its start
// until the object goes; seen() stops it and tells each new file it saw:
// its name and the time it held it, "-" for one gone before it could.
class Scanner {
 public:
  Scanner(const HostTree &t, unsigned seed) : log_(t.tmp.path("scanner.log")) {
    std::string cmd = "\"" + build_dir() + "holder.exe\" \"" + log_ + "\" " + std::to_string(seed) + " " +
                      std::to_string(GetCurrentProcessId());
    for (const std::string &dir : {t.host, t.data}) cmd += " \"" + dir.substr(0, dir.size() - 1) + "\"";
    STARTUPINFOA si;
    ZeroMemory(&si, sizeof si);
    si.cb = sizeof si;
    std::vector<char> line(cmd.begin(), cmd.end());
    line.push_back('\0');
    if (!CreateProcessA(NULL, line.data(), NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi_)) return;
    CloseHandle(pi_.hThread);
    // Ready once it has seen what the folders hold before the runs.
    for (int i = 0; i < 1000 && !file_exists(log_); ++i) Sleep(10);
  }
  ~Scanner() { stop(); }
  bool started() const { return pi_.hProcess != NULL && file_exists(log_); }
  std::vector<std::pair<std::string, std::string>> seen() {
    stop();
    std::vector<std::pair<std::string, std::string>> files;
    std::string all = read_file(log_);
    for (size_t at = 0, nl; (nl = all.find('\n', at)) != std::string::npos; at = nl + 1) {
      size_t blank = all.find(' ', at);
      files.emplace_back(all.substr(at, blank - at), all.substr(blank + 1, nl - blank - 1));
    }
    return files;
  }

 private:
  void stop() {
    if (!pi_.hProcess) return;
    write_file(log_ + ".stop", "");
    if (WaitForSingleObject(pi_.hProcess, 10000) != WAIT_OBJECT_0) TerminateProcess(pi_.hProcess, 1);
    CloseHandle(pi_.hProcess);
    pi_.hProcess = NULL;
  }
  std::string log_;
  PROCESS_INFORMATION pi_ = {};
};
#endif

}  // namespace

// Installs, upgrades and removals with the scanner at work end as they do
// without it: status 0, every file in place or gone. A file it holds
// when a run replaces it is waited for; a run that waited without end
// would be killed at 60 s and fail its status.
TEST(WithAScanner, InstallsUpgradesAndRemovalsEndAsWithout) {
#ifndef _WIN32
  GTEST_SKIP() << "on Linux an open file stops no rename or deletion: scanners that hold files are Windows'";
#else
  HostTree t;
  clear_registered_qsx(t);
  std::vector<std::pair<std::string, std::string>> seen;
  {
    Scanner scanner(t, 1);
    ASSERT_TRUE(scanner.started());
    for (int round = 0; round < 3; ++round) {
      SCOPED_TRACE("round " + std::to_string(round));
      t.set_version("earlier ");
      RunResult r = t.install(kInstallAllDefaults);
      EXPECT_EQ(0, r.exit_code) << r.out;
      EXPECT_EQ("earlier", t.version());
      EXPECT_EQ(t.host + "nqsxkc.dll", registered_qsx(t));
      t.set_version("new ");
      r = t.upgrade();
      EXPECT_EQ(0, r.exit_code) << r.out;
      EXPECT_EQ("new", t.version());
      r = t.remove(kRemoveAllDefaults);
      EXPECT_EQ(0, r.exit_code) << r.out;
      EXPECT_EQ(t.ini_before, read_file(t.ini_path()));
      EXPECT_EQ("", registered_qsx(t));
      // The remover's last two files go after it has ended.
      for (int i = 0; i < 300 && t.snapshot().size() > 2; ++i) Sleep(100);
      std::vector<std::string> left;
      for (const auto &f : t.snapshot()) left.push_back(f.first);
      EXPECT_EQ((std::vector<std::string>{t.host + "pagra.exe", t.host + "pagra.ini"}), left);
      if (HasFailure()) break;  // the rounds after it would start from what it left
    }
    seen = scanner.seen();
  }
  clear_registered_qsx(t);
  // It held the package's files at least once, and saw temporary ones.
  size_t held = 0, temporaries = 0;
  for (const auto &f : seen) {
    held += f.second != "-";
    temporaries += f.first.compare(0, 3, "~nz") == 0;
  }
  EXPECT_GE(held, 21u);
  EXPECT_GT(temporaries, 0u);
#endif
}

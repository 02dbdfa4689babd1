// Install and removal runs end to end: the real program copies the
// package into a sample host, registers the module and edits pagra.ini;
// the remover started from the host folder takes it all away again.
#include <gtest/gtest.h>

#include <errno.h>
#include <string.h>

#include <chrono>
#include <thread>

#include "btsetup.h"
#include "hosttree.h"

using namespace nzt;

namespace {

const char kInstallAllDefaults[] = "Y\n\n\n\n\n1\n\n";
const char kRemoveAllDefaults[] = "Y\n\n\n\n1\n\n";

std::string replace_once(std::string s, const std::string &from, const std::string &to) {
  size_t at = s.find(from);
  if (at != std::string::npos) s.replace(at, from.size(), to);
  return s;
}

// pagra.ini as the install leaves it: both lists gain their item, every
// other byte as it was.
std::string ini_installed(const HostTree &t) {
  std::string s = replace_once(t.ini_before, "Sched\r\n", "Sched,ZEPT\r\n");
  return replace_once(s, "nqsxmail.dll\r\n", "nqsxmail.dll,nzeptext.dll\r\n");
}

::testing::AssertionResult package_in_place(const HostTree &t) {
  for (const BTFileNameStrings &row : Files) {
    std::string got = read_file(t.host + row.dest);
    std::string want = std::string(row.src) == "nzeptins.exe" ? read_file(program_path()) : HostTree::sample_content(row.src);
    if (got != want) return ::testing::AssertionFailure() << row.dest << " is not the package's file";
  }
  for (const BTFileNameStrings &row : PTFPSF_Files)
    if (read_file(t.data + row.dest) != HostTree::sample_content(row.src))
      return ::testing::AssertionFailure() << row.dest << " is not in the data folder";
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult package_gone(const HostTree &t) {
  for (const BTFileNameStrings &row : Files)
    if (file_exists(t.host + row.dest)) return ::testing::AssertionFailure() << row.dest << " is still there";
  for (const BTFileNameStrings &row : PTFPSF_Files)
    if (file_exists(t.data + row.dest)) return ::testing::AssertionFailure() << row.dest << " is still there";
  return ::testing::AssertionSuccess();
}

// The interpreter deletes the last two files after the remover ended; on
// Windows it may still be at work when the remover's process is gone.
bool wait_until_gone(const std::string &path, int seconds) {
  for (int i = 0; i < seconds * 10; ++i) {
    if (!file_exists(path)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return !file_exists(path);
}

// The system's own registry tool (reg.exe under Wine) asked for QSXKC.
RunResult reg_query_qsx(const HostTree &t) {
  return run_program("C:\\windows\\system32\\reg.exe",
                     {"reg", "query", "HKLM\\Software\\Korvan\\Components\\MirelangExtensions\\2.0", "/v", "QSXKC"},
                     "", t.tmp.dir());
}

class InstallRun : public ::testing::Test {
 protected:
  void TearDown() override {
    if (tree_) clear_registered_qsx(*tree_);
  }
  HostTree &tree(const std::string &host_name = "host") {
    tree_.reset(new HostTree(host_name));
    clear_registered_qsx(*tree_);
    return *tree_;
  }
  std::unique_ptr<HostTree> tree_;
};

}  // namespace

TEST_F(InstallRun, InstallsThenTheRemoverTakesEverythingAway) {
  for (const char *host_name : {"host", "my host & co"}) {
    SCOPED_TRACE(host_name);
    HostTree &t = tree(host_name);

    RunResult r = t.install(kInstallAllDefaults);
    EXPECT_EQ(0, r.exit_code) << r.out;
    if (std::string(host_name) == "host") {
      EXPECT_TRUE(matches_golden("install-complete.txt", t.normalize(r.out)));
    }
    EXPECT_TRUE(package_in_place(t));
    EXPECT_EQ(ini_installed(t), read_file(t.ini_path()));
    EXPECT_EQ(t.host + "nqsxkc.dll", registered_qsx(t));

    r = t.remove(kRemoveAllDefaults);
    EXPECT_EQ(0, r.exit_code) << r.out;
    EXPECT_TRUE(wait_until_gone(t.host + "nzeptrmv.exe", 30)) << r.out << r.err;
    EXPECT_TRUE(wait_until_gone(t.host + "kccmn10.dll", 10));
    if (std::string(host_name) == "host") {
      EXPECT_TRUE(matches_golden("removal-complete.txt", t.normalize(r.out)));
    }
    EXPECT_TRUE(package_gone(t));
    EXPECT_EQ(t.ini_before, read_file(t.ini_path()));
    EXPECT_EQ("", registered_qsx(t));
    if (kWindows) {
      EXPECT_NE(0, reg_query_qsx(t).exit_code) << "reg.exe still finds QSXKC";
    }
    EXPECT_TRUE(file_exists(t.host + "pagra.exe"));
  }
}

TEST_F(InstallRun, TheSystemsOwnRegistryToolSeesTheValue) {
  if (!kWindows) GTEST_SKIP() << "the native store is a folder tree, checked through the store itself";
  HostTree &t = tree();
  ASSERT_EQ(0, t.install(kInstallAllDefaults).exit_code);
  RunResult query = reg_query_qsx(t);
  EXPECT_EQ(0, query.exit_code);
  EXPECT_NE(std::string::npos, query.out.find("REG_SZ")) << query.out;
  EXPECT_NE(std::string::npos, query.out.find(t.host + "nqsxkc.dll")) << query.out;
}

TEST_F(InstallRun, InstallingTwiceLeavesTheListsAsTheFirstInstallDid) {
  HostTree &t = tree();
  ASSERT_EQ(0, t.install(kInstallAllDefaults).exit_code);
  // The second run finds the installation: 2 installs over it.
  RunResult r = t.install("Y\n\n\n\n\n2\n1\n\n");
  EXPECT_EQ(0, r.exit_code) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("An existing Delvan Enterprise Tramontelo Server has been detected."));
  EXPECT_EQ(ini_installed(t), read_file(t.ini_path()));
  EXPECT_TRUE(package_in_place(t));
}

TEST_F(InstallRun, RemovalChosenFromAnInstallRunDeletesAllFilesAndEndsNormally) {
  HostTree &t = tree();
  ASSERT_EQ(0, t.install(kInstallAllDefaults).exit_code);
  RunResult r = t.install("Y\n\n\n\n\n1\n1\n\n");
  EXPECT_EQ(0, r.exit_code) << r.out;
  // Not in removal mode: no second Enter, and the remover itself goes too.
  EXPECT_TRUE(package_gone(t));
  EXPECT_EQ(t.ini_before, read_file(t.ini_path()));
  EXPECT_EQ("", registered_qsx(t));
  std::string out = t.normalize(r.out);
  const std::string tail = "\nDelvan Enterprise Tramontelo Server UN-install is now complete.\n\nHit Enter to Finish......\n";
  ASSERT_GE(out.size(), tail.size());
  EXPECT_EQ(tail, out.substr(out.size() - tail.size()));
}

TEST_F(InstallRun, AFailedCopyHaltsBeforeTheRegistryAndTheConfiguration) {
  HostTree &t = tree();
  std::string missing_dir = t.tmp.path("no-such-host");
  RunResult r = t.install("Y\n" + missing_dir + "\n\n" + t.host + "\n\n1\n\n");
  EXPECT_EQ(3, r.exit_code) << r.out;
  EXPECT_TRUE(matches_golden("install-copy-failed.txt", t.normalize(r.out)));
  EXPECT_EQ(t.ini_before, read_file(t.ini_path()));
  EXPECT_EQ("", registered_qsx(t));
}

TEST_F(InstallRun, AConfigurationThatCannotBeWrittenIsReportedAndTheRunGoesOn) {
  HostTree &t = tree();
  // The file's folder does not exist: pagra.ini cannot be made there.
  std::string missing_ini_dir = t.tmp.path("no-such-folder");
  RunResult r = t.install("Y\n\n\n" + missing_ini_dir + "\n" + t.data + "\n1\n\n");
  EXPECT_EQ(4, r.exit_code) << r.out;
  EXPECT_TRUE(matches_golden("install-config-failed.txt", t.normalize(r.out)));
  EXPECT_TRUE(package_in_place(t));
  EXPECT_EQ(t.host + "nqsxkc.dll", registered_qsx(t));
}

TEST_F(InstallRun, AListHoldingANulByteIsNotEditedAndTheFailureIsReported) {
  HostTree &t = tree();
  // What follows the NUL would be lost to a string: the list is left alone.
  static const char kTasks[] = "ServerTasks=Replica\0X,Router,Update,AMgr,Adminp,Sched";
  const std::string tasks(kTasks, sizeof kTasks - 1);
  std::string ini = replace_once(t.ini_before, "ServerTasks=Replica,Router,Update,AMgr,Adminp,Sched", tasks);
  write_file(t.ini_path(), ini);
  t.ini_before = ini;
  RunResult r = t.install(kInstallAllDefaults);
  EXPECT_EQ(4, r.exit_code) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("An error has occurred in setting up the Delvan ini file!")) << r.out;
  EXPECT_EQ(replace_once(ini, "nqsxmail.dll\r\n", "nqsxmail.dll,nzeptext.dll\r\n"), read_file(t.ini_path()));
}

TEST_F(InstallRun, AConfigurationFileStartingWithAByteOrderMarkIsEditedInItsSection) {
  HostTree &t = tree();
  // Drop the comment line so that the header is the first line, after the mark.
  std::string ini = "\xEF\xBB\xBF" + t.ini_before.substr(t.ini_before.find("[Pagra]"));
  write_file(t.ini_path(), ini);
  t.ini_before = ini;
  RunResult r = t.install(kInstallAllDefaults);
  EXPECT_EQ(0, r.exit_code) << r.out;
  // The data folder was proposed from the section, and both lists edited in it.
  EXPECT_NE(std::string::npos, t.normalize(r.out).find("   Delvan data directory\n   ==> {tmp}/data/\n")) << r.out;
  EXPECT_EQ(ini_installed(t), read_file(t.ini_path()));
  r = t.remove(kRemoveAllDefaults);
  EXPECT_EQ(0, r.exit_code) << r.out;
  EXPECT_EQ(ini, read_file(t.ini_path()));
}

TEST_F(InstallRun, InstallingFromTheHostFolderItselfMakesTheRemoverAndCopiesTheDataFiles) {
  HostTree &t = tree();
  for (const auto &e : fs::directory_iterator(t.dist)) fs::copy_file(e.path(), t.host + e.path().filename().string());
  // The host folder spelt "<host>/." : the decision does not hang on the spelling.
  std::string dot_host = t.host + "." + SEP;
  for (const std::string &folder : {t.host, dot_host}) {
    SCOPED_TRACE(folder);
    fs::remove(t.host + "nzeptrmv.exe");
    fs::remove(t.data + "zeptadm.ptf");
    fs::remove(t.data + "zeptdoc.psf");
    write_file(t.ini_path(), t.ini_before);
    RunResult r = run_program(t.host + "nzeptins.exe", t.host + "nzeptins.exe", "Y\n" + folder + "\n\n\n\n1\n\n",
                              t.host, t.env());
    EXPECT_EQ(0, r.exit_code) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("Congratualations")) << r.out;
    EXPECT_EQ(read_file(program_path()), read_file(t.host + "nzeptrmv.exe"));
    EXPECT_EQ(HostTree::sample_content("zeptadm.ptf"), read_file(t.data + "zeptadm.ptf"));
    EXPECT_EQ(HostTree::sample_content("nzept.exe"), read_file(t.host + "nzept.exe"));
  }
}

TEST_F(InstallRun, AnUpgradeThatFailsPartWayKeepsTheEarlierFile) {
  if (kWindows) GTEST_SKIP() << "a file-size limit is the POSIX way to fail a write part-way";
  HostTree &t = tree();
  ASSERT_EQ(0, t.install(kInstallAllDefaults).exit_code);
  // The new kccsn13.tlb (copied first) is larger than the limit allows: the
  // write fails part-way and the process goes on to report it.
  write_file(t.dist + "kccsn13.tlb", std::string(4 << 20, 'n'));
  RunResult r = run_program("/bin/sh", {"/bin/sh", "-c", "ulimit -f 2048; exec \"$0\"", t.dist + "nzeptins.exe"},
                            "Y\n\n\n\n\n2\n1\n\n", t.dist, t.env());
  EXPECT_EQ(3, r.exit_code) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("Error writing file " + t.host + "kccsn13.tlb: " + strerror(EFBIG))) << r.out;
  EXPECT_EQ(HostTree::sample_content("kccsn13.tlb"), read_file(t.host + "kccsn13.tlb"));
  EXPECT_FALSE(file_exists(t.host + "kccsn13.tlb.nztmp"));
}

TEST_F(InstallRun, RemovalModeEndsWithTheStatusOfWhatFailed) {
  struct Case {
    const char *what;
    void (*before)(const HostTree &t);
    int status;
  } cases[] = {
      {"the registry value was already gone", [](const HostTree &t) { clear_registered_qsx(t); }, 4},
      {"a data file was already gone", [](const HostTree &t) { fs::remove(t.data + "zeptdoc.psf"); }, 5},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    HostTree &t = tree();
    ASSERT_EQ(0, t.install(kInstallAllDefaults).exit_code);
    c.before(t);
    RunResult r = t.remove(kRemoveAllDefaults);
    EXPECT_EQ(c.status, r.exit_code) << r.out;
    // The interpreter still deletes the last two files once the remover has ended.
    EXPECT_TRUE(wait_until_gone(t.host + "nzeptrmv.exe", 30)) << r.out << r.err;
    EXPECT_TRUE(wait_until_gone(t.host + "kccmn10.dll", 10));
  }
}

TEST_F(InstallRun, ARemovalThatFindsFilesMissingSaysSo) {
  HostTree &t = tree();
  ASSERT_EQ(0, t.install(kInstallAllDefaults).exit_code);
  fs::remove(t.data + "zeptdoc.psf");
  RunResult r = t.install("Y\n\n\n\n\n1\n1\n\n");
  EXPECT_EQ(5, r.exit_code) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("Some files may have been missing or in use."));
  EXPECT_TRUE(package_gone(t));
}

TEST_F(InstallRun, WithoutAnInterpreterTheRemoverSaysWhatIsLeftAndEnds) {
  if (!kWindows) GTEST_SKIP() << "the Linux port hands over to /bin/sh, which needs no variable";
  HostTree &t = tree();
  ASSERT_EQ(0, t.install(kInstallAllDefaults).exit_code);
  std::map<std::string, std::string> env = t.env();
  env["COMSPEC"] = "";  // removed from the remover's environment
  RunResult r = run_program(t.host + "nzeptrmv.exe", t.host + "nzeptrmv.exe", kRemoveAllDefaults, t.host, env);
  // Two program files are left: the removal is incomplete, as the status says.
  EXPECT_EQ(5, r.exit_code);
  std::string out = t.normalize(r.out);
  const std::string tail =
      "\nDelvan Enterprise Tramontelo Server UN-install is now complete.\n\nHit Enter to Finish......\n"
      "\nThe remover could not delete its last two files.\nPlease delete them by hand:\n"
      "   {tmp}/host/nzeptrmv.exe\n   {tmp}/host/kccmn10.dll\n";
  ASSERT_GE(out.size(), tail.size());
  EXPECT_EQ(tail, out.substr(out.size() - tail.size()));
  EXPECT_TRUE(file_exists(t.host + "nzeptrmv.exe"));
  EXPECT_TRUE(file_exists(t.host + "kccmn10.dll"));
  EXPECT_FALSE(file_exists(t.host + "nzept.exe"));
}

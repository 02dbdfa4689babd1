// The package's manifest: copying the 21 files into a host and removing
// them, file by file, with the marks and messages the console shows.
#include <gtest/gtest.h>

#include <ctype.h>
#include <string.h>

#include "btsetup.h"
#include "hosttree.h"
#include "os.h"
#include "testsupport.h"

using namespace nzt;

namespace {

// A distribution with sample files (no real program needed here) and an
// empty host; the installer "runs" from the distribution.
struct Package {
  TempDir t;
  std::string dist = t.path("dist/"), host = t.path("host/"), data = t.path("data/");
  Package() {
    fs::create_directories(dist);
    fs::create_directories(host);
    fs::create_directories(data);
    for (const BTFileNameStrings &row : Files) write_file(dist + row.src, HostTree::sample_content(row.src));
    for (const BTFileNameStrings &row : PTFPSF_Files) write_file(dist + row.src, HostTree::sample_content(row.src));
    snprintf(gInstDir, sizeof gInstDir, "%s", dist.c_str());
    gUninst = 0;
  }
  ~Package() {
    gInstDir[0] = '\0';
    gUninst = 0;
    os_fault_arm(OS_OP_READ, 0);
    os_fault_arm(OS_OP_WRITE, 0);
  }
};

struct Outcome {
  uint32_t status;
  std::string out;
};

Outcome install(const std::string &zept_dir, const std::string &data_dir) {
  char dir[BT_PATH_MAX];
  snprintf(dir, sizeof dir, "%s", zept_dir.c_str());
  testing::internal::CaptureStdout();
  uint32_t status = BTInstallProgramFiles(dir, data_dir.c_str());
  return {status, testing::internal::GetCapturedStdout()};
}

Outcome remove(const std::string &zept_dir, const std::string &data_dir) {
  char dir[BT_PATH_MAX];
  snprintf(dir, sizeof dir, "%s", zept_dir.c_str());
  testing::internal::CaptureStdout();
  uint32_t status = BTRemoveProgramFiles(dir, data_dir.c_str());
  return {status, testing::internal::GetCapturedStdout()};
}

std::string marks(const char *mark, int n) {
  std::string s;
  for (int i = 0; i < n; ++i) s += mark;
  return s;
}

int64_t mtime_of(const std::string &path) {
  os_filestat st;
  return os_stat(path.c_str(), &st) == 0 ? st.mtime : -1;
}

}  // namespace

TEST(Install, CopiesTheWholeManifestWithTimesAndWritable) {
  Package p;
  // The installer's own file, a read-only source and an empty one.
  write_file(p.dist + "nzeptins.exe", "the installer itself");
  make_read_only(p.dist + "nkcapi.dll", true);
  write_file(p.dist + "msvcirt.dll", "");
  os_set_times((p.dist + "nzept.exe").c_str(), 1000000000, 1000000000);

  Outcome r = install(p.host.substr(0, p.host.size() - 1), p.data);  // no trailing separator
  EXPECT_EQ(0u, r.status);
  EXPECT_EQ(marks("* ", 21) + "\n", r.out);
  for (const BTFileNameStrings &row : Files) {
    SCOPED_TRACE(row.dest);
    EXPECT_EQ(read_file(p.dist + row.src), read_file(p.host + row.dest));
    EXPECT_EQ(mtime_of(p.dist + row.src), mtime_of(p.host + row.dest));
    EXPECT_EQ(0, os_access((p.host + row.dest).c_str(), OS_W_OK)) << "the copy is read-only";
  }
  for (const BTFileNameStrings &row : PTFPSF_Files)
    EXPECT_EQ(read_file(p.dist + row.src), read_file(p.data + row.dest)) << row.dest;
  EXPECT_EQ("the installer itself", read_file(p.host + "nzeptrmv.exe"));
  EXPECT_EQ(1000000000, mtime_of(p.host + "nzept.exe"));
  EXPECT_EQ("", read_file(p.host + "msvcirt.dll"));
}

TEST(Install, ACopyKeepsTheSourcesPermissionAndAddsOnlyTheOwnersWrite) {
  if (kWindows) GTEST_SKIP() << "Windows files carry only the read-only attribute, checked above";
  Package p;
  const struct {
    const char *name;
    fs::perms source, copy;
  } cases[] = {
      {"nkcapi.dll", fs::perms(0644), fs::perms(0644)},
      {"nzept.exe", fs::perms(0755), fs::perms(0755)},
      {"kccmn10.dll", fs::perms(0444), fs::perms(0644)},  // read-only: the owner may write
      {"nkctest.exe", fs::perms(0500), fs::perms(0700)},
  };
  for (const auto &c : cases) fs::permissions(p.dist + c.name, c.source);
  ASSERT_EQ(0u, install(p.host, p.data).status);
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.copy, fs::status(p.host + c.name).permissions() & fs::perms::all) << "nothing opened to others";
  }
}

TEST(Install, ADistributionsOwnRemoverWinsOverTheInstaller) {
  Package p;
  write_file(p.dist + "nzeptins.exe", "installer");
  write_file(p.dist + "nzeptrmv.exe", "remover");
  EXPECT_EQ(0u, install(p.host, p.data).status);
  EXPECT_EQ("remover", read_file(p.host + "nzeptrmv.exe"));
}

TEST(Install, TheFirstFailedCopyHaltsWithItsMessageAndAnEmptyLine) {
  Package p;
  fs::remove(p.dist + "msvcrt40.dll");  // row 16: the third copied
  Outcome r = install(p.host, p.data);
  EXPECT_EQ(5318u, r.status);
  EXPECT_EQ("* * * \nError opening source file " + p.dist + "msvcrt40.dll: " + strerror(ENOENT) + "\n\n", r.out);
  EXPECT_TRUE(file_exists(p.host + "kccsn13.tlb"));
  EXPECT_TRUE(file_exists(p.host + "kccmn10.dll"));
  EXPECT_FALSE(file_exists(p.host + "nzept.exe"));
  EXPECT_FALSE(file_exists(p.data + "zeptdoc.psf"));
}

TEST(Install, AMissingDestinationFolderFailsTheFirstCopy) {
  Package p;
  std::string missing = p.t.path("missing/");
  Outcome r = install(missing, p.data);
  EXPECT_EQ(5318u, r.status);
  EXPECT_EQ("* \nError creating file " + missing + "kccsn13.tlb: " + strerror(ENOENT) + "\n\n", r.out);
}

TEST(Install, AReadOnlyDestinationFileIsNotOverwritten) {
  Package p;
  write_file(p.host + "kccmn10.dll", "the host's own");
  make_read_only(p.host + "kccmn10.dll", true);
  Outcome r = install(p.host, p.data);
  EXPECT_EQ(5318u, r.status);
  EXPECT_EQ("* * \nError creating file " + p.host + "kccmn10.dll: " + strerror(EACCES) + "\n\n", r.out);
  EXPECT_EQ("the host's own", read_file(p.host + "kccmn10.dll"));
}

TEST(Install, IntoTheDistributionItselfCopiesOnlyWhatIsNotThereAlready) {
  // However the folder is spelt, the rows whose destination is their source
  // are passed over; the remover is still made and the data files copied.
  const struct {
    const char *spelling;
    std::string (*folder)(Package &p);
  } cases[] = {
      {"as it is", [](Package &p) { return p.dist; }},
      {"in another letter case (Windows) or without its separator",
       [](Package &p) {
         std::string own = p.dist.substr(0, p.dist.size() - 1);
         if (kWindows)
           for (char &c : own) c = (char)toupper((unsigned char)c);
         return own;
       }},
      {"through its own '.'", [](Package &p) { return p.dist + "." + SEP; }},
      {"through a link (POSIX)",
       [](Package &p) {
         if (kWindows) return p.dist;  // making links needs a privilege on Windows
         fs::create_directory_symlink(p.dist, p.t.path("link"));
         return p.t.path("link/");
       }},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.spelling);
    Package p;
    Outcome r = install(c.folder(p), p.data);
    EXPECT_EQ(0u, r.status) << r.out;
    EXPECT_EQ(marks("* ", 21) + "\n", r.out);
    for (const BTFileNameStrings &row : Files)
      EXPECT_EQ(HostTree::sample_content(row.src), read_file(p.dist + row.src)) << row.src << " was changed";
    EXPECT_EQ(HostTree::sample_content("nzeptins.exe"), read_file(p.dist + "nzeptrmv.exe"));
    for (const BTFileNameStrings &row : PTFPSF_Files)
      EXPECT_EQ(HostTree::sample_content(row.src), read_file(p.data + row.dest)) << row.dest;
  }
}

TEST(CopyFile, ACopyOntoItsOwnSourceIsRefusedAndTheSourceKept) {
  Package p;
  // The source under another spelling of its folder: the text differs,
  // the file is the same.
  std::string src = p.dist + "kccsn13.tlb", same = p.dist + "." + SEP + "kccsn13.tlb";
  char err[BT_ERR_TEXT_MAX];
  EXPECT_EQ(5318, copyfile(src.c_str(), same.c_str(), err));
  EXPECT_EQ("Error creating file " + same + ": it is the source file itself", std::string(err));
  EXPECT_EQ(HostTree::sample_content("kccsn13.tlb"), read_file(src));
}

TEST(Install, OverlongPathsFailTheCopyWithoutOverrun) {
  Package p;
  // 255 characters of folder: no file name of the manifest fits after it.
  std::string deep = p.t.dir();
  while (deep.size() < 250) deep += std::string("d") + SEP;
  deep.resize(254);
  deep += SEP;
  Outcome r = install(deep, p.data);
  EXPECT_EQ(5318u, r.status);
  EXPECT_EQ(0u, r.out.find("* \nError creating file kccsn13.tlb: ")) << r.out;
  // A folder of 260 characters has no room for its separator.
  r = install(std::string(260, 'x'), p.data);
  EXPECT_EQ(5318u, r.status);
  EXPECT_LT(r.out.size(), (size_t)BT_ERR_TEXT_MAX + 4) << "the message is cut to its buffer";
}

TEST(CopyFile, AFailedCopyLeavesTheEarlierFileAsItWasAndNoTemporaryFile) {
  const struct {
    const char *what;
    os_op op;
    int nth;
    const char *message;  // with the destination, or the source for a read
    int error;
  } cases[] = {
      {"a read error in the middle of the file", OS_OP_READ, 3, "Error reading file", EIO},
      {"a full disk in the middle of the file", OS_OP_WRITE, 2, "Error writing file", ENOSPC},
      {"a disk that reports full only at the close", OS_OP_CLOSE, 2, "Error writing file", EIO},
      {"a flush that fails", OS_OP_FSYNC, 1, "Error writing file", EIO},
      {"a destination that cannot be replaced", OS_OP_REPLACE, 1, "Error creating file", EIO},
  };
  for (const auto &c : cases) {
    for (bool earlier : {true, false}) {
      SCOPED_TRACE(std::string(c.what) + (earlier ? ", upgrading" : ", a new file"));
      TempDir t;
      std::string src = t.path("big.bin"), dest = t.path("copy.bin");
      write_file(src, std::string(800000, 'z'));
      if (earlier) write_file(dest, "the earlier version");
      // A new file is written in place: no flush and no rename to fail.
      bool applies = (c.op != OS_OP_FSYNC && c.op != OS_OP_REPLACE) || earlier;
      char err[BT_ERR_TEXT_MAX];
      os_fault_arm(c.op, c.nth);
      int32_t status = copyfile(src.c_str(), dest.c_str(), err);
      os_fault_arm(c.op, 0);
      if (!applies) {
        EXPECT_EQ(0, status);
        continue;
      }
      EXPECT_EQ(5318, status);
      EXPECT_EQ(std::string(c.message) + " " + (c.op == OS_OP_READ ? src : dest) + ": " + strerror(c.error),
                std::string(err));
      if (earlier)
        EXPECT_EQ("the earlier version", read_file(dest));
      else
        EXPECT_FALSE(file_exists(dest));
      EXPECT_FALSE(file_exists(dest + ".nztmp"));
      EXPECT_EQ(std::string(800000, 'z'), read_file(src));
    }
  }
  // Without a message buffer the failure is still reported.
  TempDir t;
  write_file(t.path("s"), "x");
  os_fault_arm(OS_OP_WRITE, 1);
  EXPECT_EQ(5318, copyfile(t.path("s").c_str(), t.path("d").c_str(), nullptr));
  os_fault_arm(OS_OP_WRITE, 0);
}

TEST(CopyFile, ATemporaryFileLeftByAnInterruptedRunIsTakenOver) {
  TempDir t;
  std::string src = t.path("new.bin"), dest = t.path("copy.bin");
  write_file(src, "the new version");
  write_file(dest, "the earlier version");
  write_file(dest + ".nztmp", std::string(100000, 'p'));  // a killed run's partial copy
  char err[BT_ERR_TEXT_MAX];
  EXPECT_EQ(0, copyfile(src.c_str(), dest.c_str(), err)) << err;
  EXPECT_EQ("the new version", read_file(dest));
  EXPECT_FALSE(file_exists(dest + ".nztmp"));
}

TEST(CopyFile, MessagesAreCutToTheirBuffer) {
  TempDir t;
  std::string src = t.dir() + std::string(200, 's') + "-missing";
  char err[BT_ERR_TEXT_MAX + 16];
  memset(err, '#', sizeof err);
  EXPECT_EQ(5318, copyfile(src.c_str(), t.path("d").c_str(), err));
  EXPECT_EQ((size_t)BT_ERR_TEXT_MAX - 1, strlen(err));
  EXPECT_EQ('#', err[BT_ERR_TEXT_MAX]) << "wrote past the message buffer";
}

TEST(Remove, DeletesEveryRowAndCountsFailuresWithoutStopping) {
  Package p;
  ASSERT_EQ(0u, install(p.host, p.data).status);
  Outcome r = remove(p.host, p.data);
  EXPECT_EQ(0u, r.status);
  EXPECT_EQ(marks(" *", 21) + "\n", r.out);
  for (const BTFileNameStrings &row : Files) EXPECT_FALSE(file_exists(p.host + row.dest)) << row.dest;
  for (const BTFileNameStrings &row : PTFPSF_Files) EXPECT_FALSE(file_exists(p.data + row.dest)) << row.dest;
  // A second removal finds everything missing.
  r = remove(p.host, p.data);
  EXPECT_EQ(5320u, r.status);
  EXPECT_EQ(marks(" *", 21) + "\n", r.out);
}

TEST(Remove, RemovalModeSparesTheRemoverAndItsLibrary) {
  Package p;
  ASSERT_EQ(0u, install(p.host, p.data).status);
  gUninst = 1;
  Outcome r = remove(p.host.substr(0, p.host.size() - 1), p.data);
  EXPECT_EQ(0u, r.status);
  EXPECT_EQ(marks(" *", 21) + "\n", r.out);
  EXPECT_TRUE(file_exists(p.host + "nzeptrmv.exe"));
  EXPECT_TRUE(file_exists(p.host + "kccmn10.dll"));
  EXPECT_FALSE(file_exists(p.host + "nzept.exe"));
  EXPECT_FALSE(file_exists(p.data + "zeptadm.ptf"));
}

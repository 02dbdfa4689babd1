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

TEST(Install, IntoTheInstallersOwnFolderCopiesNothing) {
  Package p;
  std::string own = p.dist;
  if (kWindows)
    for (char &c : own) c = (char)toupper((unsigned char)c);  // another letter case
  Outcome r = install(own, p.data);
  EXPECT_EQ(0u, r.status);
  EXPECT_EQ("", r.out);
  EXPECT_FALSE(file_exists(p.data + "zeptadm.ptf"));
  EXPECT_FALSE(file_exists(p.dist + "nzeptrmv.exe"));
}

TEST(Install, ACopyOntoItsOwnSourceIsRefusedAndTheSourceKept) {
  Package p;
  // The distribution under another spelling: the text differs, the files
  // are the same.
  std::string same = p.dist + "." + SEP;
  Outcome r = install(same, p.data);
  EXPECT_EQ(5318u, r.status);
  EXPECT_EQ(0u, r.out.find("* \nError creating file " + same + "kccsn13.tlb: ")) << r.out;
  EXPECT_EQ(HostTree::sample_content("kccsn13.tlb"), read_file(p.dist + "kccsn13.tlb"));
}

TEST(Install, ACopyThroughALinkToItsSourceIsRefused) {
  if (kWindows) GTEST_SKIP() << "making links needs a privilege on Windows";
  Package p;
  fs::create_directory_symlink(p.dist, p.t.path("link"));
  std::string link = p.t.path("link/");
  Outcome r = install(link, p.data);
  EXPECT_EQ(5318u, r.status);
  EXPECT_EQ(0u, r.out.find("* \nError creating file " + link + "kccsn13.tlb: ")) << r.out;
  EXPECT_EQ(HostTree::sample_content("kccsn13.tlb"), read_file(p.dist + "kccsn13.tlb"));
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

TEST(CopyFile, AReadErrorFailsTheCopyAndLeavesNoPartialFile) {
  TempDir t;
  std::string src = t.path("big.bin"), dest = t.path("copy.bin");
  write_file(src, std::string(800000, 'z'));
  char err[BT_ERR_TEXT_MAX];
  os_fault_arm(OS_OP_READ, 3);  // in the middle of the file
  EXPECT_EQ(5318, copyfile(src.c_str(), dest.c_str(), err));
  os_fault_arm(OS_OP_READ, 0);
  EXPECT_EQ("Error reading file " + src + ": " + strerror(EIO), std::string(err));
  EXPECT_FALSE(file_exists(dest));
  EXPECT_EQ(std::string(800000, 'z'), read_file(src));
}

TEST(CopyFile, AWriteErrorFailsTheCopyAndLeavesNoPartialFile) {
  TempDir t;
  std::string src = t.path("big.bin"), dest = t.path("copy.bin");
  write_file(src, std::string(800000, 'z'));
  char err[BT_ERR_TEXT_MAX];
  os_fault_arm(OS_OP_WRITE, 2);
  EXPECT_EQ(5318, copyfile(src.c_str(), dest.c_str(), err));
  os_fault_arm(OS_OP_WRITE, 0);
  EXPECT_EQ("Error writing file " + dest + ": " + strerror(ENOSPC), std::string(err));
  EXPECT_FALSE(file_exists(dest));
  // Without a message buffer the failure is still reported.
  os_fault_arm(OS_OP_WRITE, 1);
  EXPECT_EQ(5318, copyfile(src.c_str(), dest.c_str(), nullptr));
  os_fault_arm(OS_OP_WRITE, 0);
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

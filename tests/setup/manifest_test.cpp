// The package's manifest: copying the 21 files into a host and removing
// them, file by file, with the marks and messages the console shows.
#include <gtest/gtest.h>

#include <ctype.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "btsetup.h"
#include "faultsim.h"
#include "hosttree.h"
#include "kcsys.h"
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
  // An earlier version of a package file.
  void earlier(const std::string &dir, const std::string &name) const {
    write_file(dir + name, "earlier " + name);
    os_set_times((dir + name).c_str(), 1000000000, 1000000000);
  }
  // The names in dir, sorted.
  std::vector<std::string> names(const std::string &dir) const {
    std::vector<std::string> v;
    for (const auto &e : fs::directory_iterator(dir)) v.push_back(e.path().filename().string());
    std::sort(v.begin(), v.end());
    return v;
  }
  // Files of ours in the host and data folders: temporaries and records.
  size_t ours() const {
    size_t n = 0;
    for (const std::string &dir : {host, data})
      for (const std::string &name : names(dir)) n += kc_tmp_is_ours(name.c_str()) || kc_record_is_ours(name.c_str());
    return n;
  }
};

struct Outcome {
  uint32_t status = 0;
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

TEST(Install, TheFirstFailedCopyHaltsWithItsMessageAndNothingInstalled) {
  Package p;
  fs::remove(p.dist + "msvcrt40.dll");  // row 16: the third copied
  Outcome r = install(p.host, p.data);
  EXPECT_EQ(5318u, r.status);
  EXPECT_EQ("* * * \nError opening source file " + p.dist + "msvcrt40.dll: " + strerror(ENOENT) + "\n\n", r.out);
  // The two files copied before it never went in place.
  EXPECT_EQ(std::vector<std::string>{}, p.names(p.host));
  EXPECT_EQ(std::vector<std::string>{}, p.names(p.data));
}

TEST(Install, AMissingDestinationFolderFailsTheFirstCopy) {
  Package p;
  std::string missing = p.t.path("missing/");
  Outcome r = install(missing, p.data);
  EXPECT_EQ(5318u, r.status);
  EXPECT_EQ("* \nError creating file " + missing + "kccsn13.tlb: " + strerror(ENOENT) + "\n\n", r.out);
}

// A failure of the set's record or of a folder's flush names what failed:
// the 22nd flush is the host's copy of the record, the 24th the host
// folder (after 21 new files and two copies).
TEST(Install, AFailedRecordOrFolderFlushNamesWhatFailed) {
  for (int nth : {22, 24}) {
    SCOPED_TRACE(nth);
    Package p;
    os_fault_arm(OS_OP_FSYNC, nth);
    Outcome r = install(p.host, p.data);
    os_fault_arm(OS_OP_FSYNC, 0);
    EXPECT_EQ(5318u, r.status);
    std::string named = r.out.substr(r.out.find(" file ", r.out.find("\nError ")) + 6);
    named = named.substr(0, named.find(": "));
    if (nth == 22) {
      EXPECT_EQ(p.host, named.substr(0, p.host.size()));
      EXPECT_TRUE(kc_record_is_ours(named.substr(p.host.size()).c_str())) << named;
    } else {
      EXPECT_EQ(p.host, named);
    }
    EXPECT_EQ(std::vector<std::string>{}, p.names(p.host));
  }
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

// Fault injection at every seam call of an upgrade's copy, and of a first
// install's: either every file is new, or every file is as it was, bytes
// and times (a first install: none there), and nothing of ours is left.
// A failure that was hit shows: the copy fails, or (a backup that could
// not go) something of ours stays for the next run, which removes it. A
// close after the flush changes nothing. A hard link refused makes the
// earlier file backed up as a copy: a rename failing last then proves the
// copy puts the file back whole.
TEST(Install, EveryFailurePointLeavesAllFilesNewOrAllAsTheyWere) {
  const os_op ops[] = {OS_OP_CREATE, OS_OP_WRITE, OS_OP_FSYNC, OS_OP_CLOSE, OS_OP_REPLACE,
                       OS_OP_REMOVE, OS_OP_READ,  OS_OP_LINK};
  int failures = 0;
  for (bool first : {false, true})
    for (os_op op : ops) {
      SCOPED_TRACE(first ? "a first install" : "an upgrade");
      std::unique_ptr<Package> p;
      Outcome r;
      nzt::fault_sweep(
          nzt::seam_fault(op),
          [&] {
            p.reset(); // before the next one takes gInstDir
            p = std::make_unique<Package>();
            for (const BTFileNameStrings &row : Files)
              if (!first) p->earlier(p->host, row.dest);
            for (const BTFileNameStrings &row : PTFPSF_Files)
              if (!first) p->earlier(p->data, row.dest);
          },
          [&] {
            if (op == OS_OP_LINK) os_fault_arm(OS_OP_REPLACE, 21);
            r = install(p->host, p->data);
            if (op == OS_OP_LINK) os_fault_arm(OS_OP_REPLACE, 0);
          },
          [&](int, bool hit) {
            bool all_new = true, all_old = true;
            size_t files = 0;
            for (const std::string &dir : {p->host, p->data})
              for (const std::string &name : p->names(dir)) {
                if (kc_tmp_is_ours(name.c_str()) || kc_record_is_ours(name.c_str())) continue;
                std::string bytes = read_file(dir + name);
                all_old = all_old && !first && bytes == "earlier " + name && mtime_of(dir + name) == 1000000000;
                all_new = all_new && bytes != "earlier " + name;
                ++files;
              }
            if (first && files == 0) all_old = true; // nothing there, as before
            EXPECT_TRUE(files == 21 || (first && files == 0)) << files;
            if (r.status == 0) {
              EXPECT_TRUE(all_new) << r.out;
              if (hit && op == OS_OP_REMOVE) {
                EXPECT_GT(p->ours(), 0u) << "a removal that failed left nothing";
              } else if (hit && !(first && (op == OS_OP_LINK || op == OS_OP_REMOVE))) {
                EXPECT_EQ(OS_OP_CLOSE, op) << "a failure that was hit changed nothing";
              }
            } else {
              ++failures;
              EXPECT_EQ(5318u, r.status);
              EXPECT_TRUE(all_old) << r.out;
              EXPECT_NE(std::string::npos, r.out.find("\nError ")) << r.out;
            }
            if (p->ours() > 0) install(p->host, p->data);
            EXPECT_EQ(0u, p->ours());
          });
    }
  EXPECT_GT(failures, 21 * 8) << "each file's creation, write, read and backup copy can fail";
}

// A rename that fails, and every rename after it, so that the files put in
// place cannot be taken back either: not a halt with everything as it was
// (5318) but 5319, each file not as it was named, and the record left for
// the next run, which takes every file back before it does anything else.
TEST(Install, APutBackThatFailsIsNamedAndSettledByTheNextRun) {
  Package p;
  for (const BTFileNameStrings &row : Files) p.earlier(p.host, row.dest);
  for (const BTFileNameStrings &row : PTFPSF_Files) p.earlier(p.data, row.dest);
  os_fault_arm(OS_OP_REPLACE, -8);
  Outcome r = install(p.host, p.data);
  os_fault_arm(OS_OP_REPLACE, 0);
  EXPECT_EQ(5319u, r.status) << r.out;
  ASSERT_EQ(7u, bt_left_count());
  for (size_t i = 0; i < 7; ++i) {
    std::string named = bt_left_file(i), name = Files[BT_FILES_COUNT - 1 - i].dest;
    EXPECT_EQ(p.host + name, named.substr(0, named.find(": "))) << named;
    EXPECT_NE("earlier " + name, read_file(p.host + name));
  }
  size_t records = 0;
  for (const std::string &dir : {p.host, p.data})
    for (const std::string &name : p.names(dir)) records += kc_record_is_ours(name.c_str());
  EXPECT_EQ(2u, records) << "a record in each folder of the set";
  // The next run halts (a source missing) after settling: all as it was.
  fs::rename(p.dist + "nedasql.kcx", p.t.path("away"));
  EXPECT_EQ(5318u, install(p.host, p.data).status);
  fs::rename(p.t.path("away"), p.dist + "nedasql.kcx");
  for (const BTFileNameStrings &row : Files) EXPECT_EQ("earlier " + std::string(row.dest), read_file(p.host + row.dest));
  for (const BTFileNameStrings &row : PTFPSF_Files) EXPECT_EQ("earlier " + std::string(row.dest), read_file(p.data + row.dest));
  EXPECT_EQ(0u, p.ours());
}

TEST(Install, WhatKilledRunsLeftGoesAndWhatARunningOneHoldsStays) {
  Package p;
  const char *stale[] = {"~nzaaaaa", "~nz00000"}, *not_ours[] = {"~nzABCDE", "~nzaaaa", "~nzaaaaaa", "x~nzaaaaa"};
  for (const std::string &dir : {p.host, p.data}) {
    for (const char *name : stale) write_file(dir + name, "left by a killed run");
    for (const char *name : not_ours) write_file(dir + name, "the host's");
  }
  // One held as its writer holds it: another run is still at work on it.
  os_fd held;
  ASSERT_EQ(0, os_create_excl((p.host + "~nzzzzzz").c_str(), &held));
  EXPECT_EQ(0u, install(p.host, p.data).status);
  for (const std::string &dir : {p.host, p.data}) {
    for (const char *name : stale) EXPECT_FALSE(file_exists(dir + name)) << name;
    for (const char *name : not_ours) EXPECT_EQ("the host's", read_file(dir + name)) << name;
  }
  EXPECT_TRUE(file_exists(p.host + "~nzzzzzz"));
  os_close(held);
  EXPECT_EQ(0u, remove(p.host, p.data).status);
  EXPECT_FALSE(file_exists(p.host + "~nzzzzzz")) << "a removal sweeps too";
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

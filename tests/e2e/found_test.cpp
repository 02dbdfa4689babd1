// What a run can find on disk named like its own records, against what
// it does with it: obeyed (the set recovered), left and named (never
// obeyed, never deleted), or the run refused with nothing changed. Each
// row lays out a host with the package installed, often an upgrade to it
// killed at its tenth rename (a mix of releases and a record in each
// folder), then plants what the row says and runs the real program.
#include <gtest/gtest.h>

#include <ctype.h>
#include <inttypes.h>
#include <stdio.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "btsetup.h"
#include "hosttree.h"
#include "kcsys.h"
#include "os.h"
#include "plat_lock.h"
#include "plat_names.h"
#include "testsupport.h"

using namespace nzt;

namespace {

enum Start { INSTALLED, KILLED };
enum Run { UPGRADE, HALTING_UPGRADE, REMOVAL };
enum Outcome {
  LEFT,     // named and left as it is; the run goes on and completes
  SETTLED,  // the set cut short recovered: all earlier or all new, no record left
  REFUSED,  // nothing changed: files, pagra.ini and the registry as they were
};

// A record as the installer writes it, its sum included.
std::string record_text(const std::string &body) {
  std::string t = "nzept-record 2\n" + body + "end\n";
  uint64_t h = 14695981039346656037ull;
  for (unsigned char c : t) h = (h ^ c) * 1099511628211ull;
  char sum[32];
  snprintf(sum, sizeof sum, "sum %016" PRIx64 "\n", h);
  return t + sum;
}

// The records (named like ours, and a record's text) in dir; with both,
// in the data folder too.
std::vector<std::string> records_in(const std::string &dir) {
  std::vector<std::string> v;
  for (const auto &e : fs::directory_iterator(dir)) {
    os_fileinfo fi;
    std::string path = e.path().string();
    if (kc_record_is_ours(e.path().filename().string().c_str()) && os_name_info(path.c_str(), &fi) == 0 &&
        fi.kind == OS_KIND_FILE && read_file(path).compare(0, 12, "nzept-record") == 0)
      v.push_back(path);
  }
  return v;
}
std::vector<std::string> records_in(const HostTree &t) {
  std::vector<std::string> v = records_in(t.host), d = records_in(t.data);
  v.insert(v.end(), d.begin(), d.end());
  return v;
}

void edit(const std::string &path, const std::string &from, const std::string &to) {
  std::string s = read_file(path);
  size_t at = s.find(from);
  ASSERT_NE(at, std::string::npos) << path;
  write_file(path, s.replace(at, from.size(), to));
}

// What a row holds while the run goes on, as another run would.
os_fd gHeld = OS_BADFD;

// Natively only: a Unix tool on the tree's files.
bool run_unix(const std::vector<std::string> &argv) { return run_program(argv[0], argv, "", "").exit_code == 0; }

// The files as they were, but for the run lock a killed run left, which
// the next run takes and lets go of.
::testing::AssertionResult same_files(const HostTree &t, Snapshot before, const Snapshot &after) {
  char lock[KC_LOCK_PATH_MAX];
  if (kc_lock_name(lock, sizeof lock, (t.host + "nzept.run").c_str(), 1) && !after.count(lock)) before.erase(lock);
  for (const auto &f : after)
    if (!before.count(f.first) || before.at(f.first) != f.second) return ::testing::AssertionFailure() << "changed: " << f.first;
  for (const auto &f : before)
    if (!after.count(f.first)) return ::testing::AssertionFailure() << "gone: " << f.first;
  return ::testing::AssertionSuccess();
}

struct Row {
  const char *what;
  Start start;
  bool under_wine;
  // Lays out what the row finds; returns the name the transcript must
  // name ("" none).
  std::function<std::string(HostTree &)> plant;
  Run run;
  int status;
  Outcome outcome;
};

const Row kRows[] = {
    {"a record naming the host's program (an earlier form)", INSTALLED, true,
     [](HostTree &t) {
       write_file(t.host + "~nzbbbbb", "x");
       write_file(t.host + "~nz-aaaa", "nzept-record 1\nfolder " + t.host + "\ncopy 0 ~nz-aaaa\nfile 0 - ~nzsssss pagra.exe\n"
                                        "file 0 - ~nzbbbbb nzept.exe\nend\n");
       return "~nz-aaaa";
     },
     UPGRADE, 0, LEFT},
    {"a whole record naming the host's program", INSTALLED, true,
     [](HostTree &t) {
       write_file(t.host + "~nzsssss", "x");
       write_file(t.host + "~nz-aaab", record_text("folder " + t.host + "\ncopy 0 ~nz-aaab\nfile 0 - - ~nzsssss 1.1.1.1 pagra.exe\n"));
       return "~nz-aaab";
     },
     UPGRADE, 0, LEFT},
    {"a whole record naming a folder it does not list", INSTALLED, true,
     [](HostTree &t) {
       write_file(t.host + "~nz-aaac", record_text("folder " + t.host + "\ncopy 0 ~nz-aaac\nfile 5 - - ~nzsssss 1.1.1.1 nzept.exe\n"));
       return "~nz-aaac";
     },
     UPGRADE, 0, LEFT},
    {"fifty files named like records", KILLED, true,
     [](HostTree &t) {
       for (int i = 0; i < 50; ++i)
         for (const std::string &dir : {t.host, t.data}) write_file(dir + "~nz-g0" + (i < 10 ? "0" : "") + std::to_string(i), "junk");
       return "and 92 more";
     },
     UPGRADE, 0, SETTLED},
    {"a record of another account's", KILLED, false,
     [](HostTree &t) {
       for (const std::string &r : records_in(t)) run_unix({"/bin/chown", "nobody", r});
       return records_in(t.host)[0].substr(t.host.size());
     },
     UPGRADE, 0, LEFT},
    {"a record others may write", KILLED, true,
     [](HostTree &t) {
       for (const std::string &r : records_in(t))
         if (!share_with_all(r)) return std::string("skip");
       return records_in(t.host)[0].substr(t.host.size());
     },
     UPGRADE, 0, LEFT},
    {"one copy edited, the other whole", KILLED, true,
     [](HostTree &t) {
       edit(records_in(t.host)[0], "nzept.exe", "nzepx.exe");
       return "";
     },
     HALTING_UPGRADE, 3, SETTLED},
    {"both copies edited", KILLED, true,
     [](HostTree &t) {
       for (const std::string &r : records_in(t)) edit(r, "\nend\n", "\nend \n");
       return "cannot be read whole";
     },
     UPGRADE, 7, REFUSED},
    {"both copies edited, a removal", KILLED, true,
     [](HostTree &t) {
       for (const std::string &r : records_in(t)) edit(r, "\nend\n", "\nend \n");
       return "Nothing was removed.";
     },
     REMOVAL, 5, REFUSED},
    {"one copy gone", KILLED, true,
     [](HostTree &t) {
       fs::remove(records_in(t.data)[0]);
       return "";
     },
     HALTING_UPGRADE, 3, SETTLED},
    {"an undo mark cut short", KILLED, true,
     [](HostTree &t) {
       for (const std::string &r : records_in(t)) write_file(r, read_file(r) + "und");
       return "";
     },
     HALTING_UPGRADE, 3, SETTLED},
    {"a pipe named like a record", INSTALLED, true,
     [](HostTree &t) { return make_fifo(t.host + "~nz-fifo") ? "~nz-fifo" : "skip"; }, UPGRADE, 0, LEFT},
    {"a folder named like a record", INSTALLED, true,
     [](HostTree &t) {
       fs::create_directory(t.host + "~nz-fold");
       return "~nz-fold";
     },
     UPGRADE, 0, LEFT},
    {"a link that leads nowhere", INSTALLED, false,
     [](HostTree &t) { return make_symlink(t.tmp.path("nowhere"), t.host + "~nz-dang") ? "~nz-dang" : "skip"; }, UPGRADE,
     0, LEFT},
    {"a link to the record, which stands elsewhere", KILLED, true,
     [](HostTree &t) {
       std::string r = records_in(t.host)[0], name = r.substr(t.host.size());
       fs::rename(r, t.tmp.path("elsewhere"));
       return make_symlink(t.tmp.path("elsewhere"), r) ? name : "skip";
     },
     HALTING_UPGRADE, 3, SETTLED},
    {"the data folder moved with its copy", KILLED, true,
     [](HostTree &t) {
       std::string moved = t.tmp.path("moved") + SEP;
       fs::rename(t.data, moved);
       edit(t.ini_path(), t.data.substr(0, t.data.size() - 1), moved.substr(0, moved.size() - 1));
       t.data = moved;
       return "";
     },
     HALTING_UPGRADE, 3, SETTLED},
    {"the data folder moved, its copy gone", KILLED, true,
     [](HostTree &t) {
       std::string moved = t.tmp.path("moved") + SEP, old = t.data.substr(0, t.data.size() - 1);
       fs::rename(t.data, moved);
       fs::remove(records_in(moved)[0]);
       edit(t.ini_path(), old, moved.substr(0, moved.size() - 1));
       t.data = moved;
       return "which needs the folder";
     },
     UPGRADE, 7, REFUSED},
    {"a record another run has locked", KILLED, true,
     [](HostTree &t) {
       EXPECT_EQ(0, os_open_locked(records_in(t.host)[0].c_str(), OS_LOCK_UPDATE, &gHeld));
       return "Another install or removal is running";
     },
     UPGRADE, 6, REFUSED},
    {"a record another run has locked, a removal", KILLED, true,
     [](HostTree &t) {
       EXPECT_EQ(0, os_open_locked(records_in(t.data)[0].c_str(), OS_LOCK_UPDATE, &gHeld));
       return "Another install or removal is running";
     },
     REMOVAL, 6, REFUSED},
    {"another account's file where the run keeps its lock", INSTALLED, false,
     [](HostTree &t) {
       char lock[KC_LOCK_PATH_MAX];
       kc_lock_name(lock, sizeof lock, (t.host + "nzept.run").c_str(), 1);
       write_file(lock, "");
       return give_away(lock) ? "not this installer's stands where it keeps its lock" : "skip";
     },
     UPGRADE, 6, REFUSED},
};

void PrintTo(const Row &row, std::ostream *os) { *os << row.what; }

class FoundOnDisk : public ::testing::TestWithParam<Row> {
 protected:
  void TearDown() override {
    if (gHeld != OS_BADFD) os_close(gHeld);
    gHeld = OS_BADFD;
    if (t_) clear_registered_qsx(*t_);
    if (t_) remove_fifo(t_->host + "~nz-fifo");
  }
  std::unique_ptr<HostTree> t_;
};

TEST_P(FoundOnDisk, IsObeyedOnlyWhenItIsOurs) {
  const Row &row = GetParam();
  if (kWindows && !row.under_wine) GTEST_SKIP() << "accounts and dangling links are the Linux file system's";
  if (!kWindows && row.start == KILLED &&
      run_program("/usr/bin/strace", {"strace", "-o", "/dev/null", "/bin/true"}, "", "").exit_code != 0)
    GTEST_SKIP() << "strace cannot trace here";
  t_.reset(new HostTree());
  HostTree &t = *t_;
  clear_registered_qsx(t);
  ASSERT_EQ(0, t.install(kInstallAllDefaults).exit_code);
  t.set_version("earlier ");
  ASSERT_EQ(0, t.upgrade().exit_code);
  t.set_version("new ");
  if (row.start == KILLED) {
    // The tenth of the 21 renames: a mix, and a record in each folder.
    ASSERT_EQ(137, t.killed_upgrade("rename", kWindows ? 21 + 21 + 2 + 2 + 10 : 10).exit_code);
    ASSERT_EQ("mixed", t.version());
    ASSERT_EQ(1u, records_in(t.host).size());
    ASSERT_EQ(1u, records_in(t.data).size());
  }
  std::string named = row.plant(t);
  if (named == "skip") GTEST_SKIP() << "nothing of that kind can be made here";
  Snapshot before = t.snapshot();
  std::string ini = read_file(t.ini_path()), qsx = registered_qsx(t);
  RunResult r = row.run == REMOVAL ? t.remove(kRemoveAllDefaults) : row.run == UPGRADE ? t.upgrade() : t.halting_upgrade();
  EXPECT_EQ(row.status, r.exit_code) << r.out;
  if (!named.empty()) {
    EXPECT_NE(std::string::npos, r.out.find(named)) << r.out;
  }
  if (row.outcome == LEFT) {
    EXPECT_NE(std::string::npos, r.out.find("Found and left as they are")) << r.out;
  }
  EXPECT_EQ("sample host program\n", read_file(t.host + "pagra.exe"));
  switch (row.outcome) {
    case LEFT:
      EXPECT_EQ("new", t.version());
      if (named.compare(0, 3, "~nz") == 0) {
        EXPECT_NE(OS_KIND_NONE, os_name_kind((t.host + named).c_str())) << "left as it stood";
      }
      break;
    case SETTLED: {
      std::string v = t.version();
      EXPECT_TRUE(v == "earlier" || v == "new") << v;
      EXPECT_EQ(std::vector<std::string>{}, records_in(t));
      break;
    }
    case REFUSED:
      EXPECT_TRUE(same_files(t, before, t.snapshot()));
      EXPECT_EQ(ini, read_file(t.ini_path()));
      EXPECT_EQ(qsx, registered_qsx(t));
      break;
  }
}

INSTANTIATE_TEST_SUITE_P(, FoundOnDisk, ::testing::ValuesIn(kRows), [](const ::testing::TestParamInfo<Row> &info) {
  std::string name;
  for (const char *p = info.param.what; *p; ++p)
    if (isalnum((unsigned char)*p)) name += *p;
  return name;
});

}  // namespace

// Host configuration edits: the QSXKC registry value and the package's
// items in ServerTasks and EXTMGR_ADDINS of pagra.ini. Every check reads
// the file's bytes on disk.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "btsetup.h"
#include "faultsim.h"
#include "os.h"
#include "plat.h"
#include "testsupport.h"

namespace {

using nzt::crlf;
using Lines = std::vector<std::string>;

// pagra.ini in a fresh folder. On Linux the registry store is a folder of
// the test; under Wine it is the prefix's registry, whose QSXKC is put
// back as it was.
class ConfigEdit : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!nzt::kWindows) {
      reg_root_ = std::make_unique<nzt::TempDir>();
      reg_env_ = std::make_unique<nzt::EnvGuard>("KC_REGISTRY_ROOT", reg_root_->dir().c_str());
    }
    had_qsx_ = KCRegistryGetString(BT_REG_SECTION, BT_REG_VALUE, old_qsx_, sizeof old_qsx_) == 0;
    ini_ = tmp_.path("pagra.ini");
  }
  void TearDown() override {
    if (had_qsx_)
      KCRegistrySetString(BT_REG_SECTION, BT_REG_VALUE, old_qsx_);
    else
      KCRegistryRemoveString(BT_REG_SECTION, BT_REG_VALUE);
    reg_env_.reset();
    reg_root_.reset();
  }
  std::string qsx() {
    char buf[512];
    return KCRegistryGetString(BT_REG_SECTION, BT_REG_VALUE, buf, sizeof buf) == 0 ? buf : "<none>";
  }

  nzt::TempDir tmp_;
  std::string ini_;
  std::unique_ptr<nzt::TempDir> reg_root_;
  std::unique_ptr<nzt::EnvGuard> reg_env_;
  bool had_qsx_ = false;
  char old_qsx_[512] = "";
};

// A file whose lines end in LF alone comes back byte for byte only when
// nothing was written: any change rewrites it with CR LF.
std::string lf(const Lines &lines) {
  std::string s;
  for (const auto &l : lines) s += l + "\n";
  return s;
}

struct EditCase {
  Lines before;
  Lines after; // empty: the file must be byte for byte as before
  uint32_t status;
};

void run_edit_table(const std::string &ini, const EditCase *cases, size_t n, uint32_t (*edit)(const char *)) {
  for (size_t i = 0; i < n; ++i) {
    SCOPED_TRACE(i);
    std::string before = lf(cases[i].before);
    ASSERT_TRUE(nzt::write_file(ini, before));
    EXPECT_EQ(cases[i].status, edit(ini.c_str()));
    EXPECT_EQ(cases[i].after.empty() ? before : crlf(cases[i].after), nzt::read_file(ini));
  }
}

TEST_F(ConfigEdit, InstallAddsEachItemUnlessItIsAWholeItemAlready) {
  const EditCase cases[] = {
      // Both entries missing: each is the item alone.
      {{"[Pagra]", "Directory=d"}, {"[Pagra]", "Directory=d", "EXTMGR_ADDINS=nzeptext.dll", "ServerTasks=ZEPT"}, 0},
      {{"[Pagra]", "EXTMGR_ADDINS=a.dll", "ServerTasks=Router,Replica"},
       {"[Pagra]", "EXTMGR_ADDINS=a.dll,nzeptext.dll", "ServerTasks=Router,Replica,ZEPT"},
       0},
      // Present already, blanks around an item included: nothing written.
      {{"[Pagra]", "EXTMGR_ADDINS=a.dll,nzeptext.dll", "ServerTasks=Router,ZEPT"}, {}, 0},
      {{"[Pagra]", "EXTMGR_ADDINS= nzeptext.dll ,b.dll", "ServerTasks=Router , ZEPT"}, {}, 0},
      // Inside another item, or in another case, it is not there.
      {{"[Pagra]", "EXTMGR_ADDINS=NZEPTEXT.DLL", "ServerTasks=XZEPTY"},
       {"[Pagra]", "EXTMGR_ADDINS=NZEPTEXT.DLL,nzeptext.dll", "ServerTasks=XZEPTY,ZEPT"},
       0},
      {{"[Pagra]", "EXTMGR_ADDINS=nzeptext.dllx", "ServerTasks=ZEPTX,zept"},
       {"[Pagra]", "EXTMGR_ADDINS=nzeptext.dllx,nzeptext.dll", "ServerTasks=ZEPTX,zept,ZEPT"},
       0},
      // Empty values read as missing.
      {{"[Pagra]", "EXTMGR_ADDINS=", "ServerTasks="}, {"[Pagra]", "EXTMGR_ADDINS=nzeptext.dll", "ServerTasks=ZEPT"}, 0},
      // Other sections are not the host's settings.
      {{"[Other]", "ServerTasks=ZEPT", "[Pagra]", "ServerTasks=ZEPT"},
       {"[Other]", "ServerTasks=ZEPT", "[Pagra]", "ServerTasks=ZEPT", "EXTMGR_ADDINS=nzeptext.dll"},
       0},
  };
  run_edit_table(ini_, cases, sizeof cases / sizeof cases[0], BTEditPagraIni);
}

TEST_F(ConfigEdit, RemovalCutsTheWholeItemAndOneComma) {
  const EditCase cases[] = {
      {{"[Pagra]", "EXTMGR_ADDINS=a.dll,nzeptext.dll,b.dll", "ServerTasks=Router,ZEPT,Replica"},
       {"[Pagra]", "EXTMGR_ADDINS=a.dll,b.dll", "ServerTasks=Router,Replica"},
       0},
      {{"[Pagra]", "EXTMGR_ADDINS=a.dll,nzeptext.dll", "ServerTasks=ZEPT,Router"},
       {"[Pagra]", "EXTMGR_ADDINS=a.dll", "ServerTasks=Router"},
       0},
      // The item alone: EXTMGR_ADDINS goes, ServerTasks stays empty.
      {{"[Pagra]", "EXTMGR_ADDINS=nzeptext.dll", "ServerTasks=ZEPT", "Directory=d"},
       {"[Pagra]", "ServerTasks=", "Directory=d"},
       0},
      {{"[Pagra]", "EXTMGR_ADDINS=nzeptext.dll,b.dll", "ServerTasks= ZEPT "},
       {"[Pagra]", "EXTMGR_ADDINS=b.dll", "ServerTasks="},
       0},
      // Blanks around the item go with it; neighbours stay whole.
      {{"[Pagra]", "EXTMGR_ADDINS=a.dll, nzeptext.dll", "ServerTasks=Router, ZEPT"},
       {"[Pagra]", "EXTMGR_ADDINS=a.dll", "ServerTasks=Router"},
       0},
      {{"[Pagra]", "EXTMGR_ADDINS=xnzeptext.dll,nzeptext.dll", "ServerTasks=ZEPTX,ZEPT"},
       {"[Pagra]", "EXTMGR_ADDINS=xnzeptext.dll", "ServerTasks=ZEPTX"},
       0},
      // First occurrence only.
      {{"[Pagra]", "EXTMGR_ADDINS=nzeptext.dll,nzeptext.dll", "ServerTasks=ZEPT,Router,ZEPT"},
       {"[Pagra]", "EXTMGR_ADDINS=nzeptext.dll", "ServerTasks=Router,ZEPT"},
       0},
      // Not a whole item anywhere: nothing written, and no failure.
      {{"[Pagra]", "EXTMGR_ADDINS=a.dll,b.dll", "ServerTasks=XZEPTY,ZEPTX"}, {}, 0},
      {{"[Pagra]", "EXTMGR_ADDINS=a.dll", "ServerTasks=Router,ZEPT"},
       {"[Pagra]", "EXTMGR_ADDINS=a.dll", "ServerTasks=Router"},
       0},
      // EXTMGR_ADDINS missing or empty: 5335 and ServerTasks untouched.
      {{"[Pagra]", "ServerTasks=Router,ZEPT"}, {}, BT_ERR_CONFIG},
      {{"[Pagra]", "EXTMGR_ADDINS=", "ServerTasks=Router,ZEPT"}, {}, BT_ERR_CONFIG},
      // ServerTasks missing: the first cut stands, the result is 5335.
      {{"[Pagra]", "EXTMGR_ADDINS=a.dll,nzeptext.dll"}, {"[Pagra]", "EXTMGR_ADDINS=a.dll"}, BT_ERR_CONFIG},
  };
  run_edit_table(ini_, cases, sizeof cases / sizeof cases[0], BTUndoPagraIni);
}

TEST_F(ConfigEdit, InstallTwiceChangesNothingTheSecondTime) {
  ASSERT_TRUE(nzt::write_file(ini_, crlf({"[Pagra]", "EXTMGR_ADDINS=a.dll", "ServerTasks=Router"})));
  ASSERT_EQ(0u, BTEditPagraIni(ini_.c_str()));
  std::string once = nzt::read_file(ini_);
  EXPECT_EQ(crlf({"[Pagra]", "EXTMGR_ADDINS=a.dll,nzeptext.dll", "ServerTasks=Router,ZEPT"}), once);
  ASSERT_EQ(0u, BTEditPagraIni(ini_.c_str()));
  EXPECT_EQ(once, nzt::read_file(ini_));
}

TEST_F(ConfigEdit, InstallThenRemovalRestoresTheLists) {
  struct Case {
    Lines before;
    Lines restored; // empty: exactly as before
  } cases[] = {
      {{"[Pagra]", "EXTMGR_ADDINS=a.dll,b.dll", "ServerTasks=Router,Replica", "Directory=d"}, {}},
      {{"[Pagra]", "EXTMGR_ADDINS= a.dll ", "ServerTasks=XZEPTY"}, {}},
      {{"[Pagra]", "Directory=d", "", "[Next]", "x=1"}, {"[Pagra]", "Directory=d", "ServerTasks=", "", "[Next]", "x=1"}},
      // The two exceptions: a missing ServerTasks stays, empty; an empty
      // EXTMGR_ADDINS goes.
      {{"[Pagra]", "EXTMGR_ADDINS=a.dll"}, {"[Pagra]", "EXTMGR_ADDINS=a.dll", "ServerTasks="}},
      {{"[Pagra]", "EXTMGR_ADDINS=", "ServerTasks=Router"}, {"[Pagra]", "ServerTasks=Router"}},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    SCOPED_TRACE(i);
    ASSERT_TRUE(nzt::write_file(ini_, crlf(cases[i].before)));
    ASSERT_EQ(0u, BTEditPagraIni(ini_.c_str()));
    ASSERT_EQ(0u, BTUndoPagraIni(ini_.c_str()));
    EXPECT_EQ(crlf(cases[i].restored.empty() ? cases[i].before : cases[i].restored), nzt::read_file(ini_));
  }
}

TEST_F(ConfigEdit, AMissingConfigurationFile) {
  // Install makes it with the section and both entries.
  ASSERT_EQ(0u, BTEditPagraIni(ini_.c_str()));
  EXPECT_EQ(crlf({"[Pagra]", "EXTMGR_ADDINS=nzeptext.dll", "ServerTasks=ZEPT"}), nzt::read_file(ini_));
  // Removal fails at the first read and makes nothing.
  std::string gone = tmp_.path("gone.ini");
  EXPECT_EQ(BT_ERR_CONFIG, BTUndoPagraIni(gone.c_str()));
  EXPECT_FALSE(nzt::file_exists(gone));
  // A file whose folder does not exist cannot be made.
  EXPECT_EQ(BT_ERR_CONFIG, BTEditPagraIni(tmp_.path("no-such/pagra.ini").c_str()));
  EXPECT_EQ(BT_ERR_CONFIG, BTEditPagraIni(nullptr));
  EXPECT_EQ(BT_ERR_CONFIG, BTUndoPagraIni(nullptr));
}

TEST_F(ConfigEdit, AListWithoutRoomForTheItemIsRefusedWhole) {
  // "EXTMGR_ADDINS=" + list + ",nzeptext.dll" must fit a line of 255.
  const size_t addins_room = 255 - 14 - 13, tasks_room = 255 - 12 - 5;
  struct Case {
    size_t addins_len, tasks_len;
    uint32_t status;
    bool addins_written, tasks_written;
  } cases[] = {
      {addins_room, tasks_room, 0, true, true},
      {addins_room + 1, 3, BT_ERR_CONFIG, false, false},
      {3, tasks_room + 1, BT_ERR_SERVERTASKS, true, false},
      // Longer than the reading buffer: refused, never written back cut.
      {300, 3, BT_ERR_CONFIG, false, false},
      {3, 300, BT_ERR_SERVERTASKS, true, false},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    SCOPED_TRACE(i);
    std::string addins(cases[i].addins_len, 'a'), tasks(cases[i].tasks_len, 't');
    ASSERT_TRUE(nzt::write_file(ini_, crlf({"[Pagra]", "EXTMGR_ADDINS=" + addins, "ServerTasks=" + tasks})));
    EXPECT_EQ(cases[i].status, BTEditPagraIni(ini_.c_str()));
    std::string a = "EXTMGR_ADDINS=" + addins + (cases[i].addins_written ? ",nzeptext.dll" : "");
    std::string t = "ServerTasks=" + tasks + (cases[i].tasks_written ? ",ZEPT" : "");
    EXPECT_EQ(crlf({"[Pagra]", a, t}), nzt::read_file(ini_));
  }
  // A removal that cannot read a list whole does not cut it either.
  std::string before = crlf({"[Pagra]", "EXTMGR_ADDINS=" + std::string(300, 'a') + ",nzeptext.dll", "ServerTasks=ZEPT"});
  ASSERT_TRUE(nzt::write_file(ini_, before));
  EXPECT_EQ(BT_ERR_CONFIG, BTUndoPagraIni(ini_.c_str()));
  EXPECT_EQ(before, nzt::read_file(ini_));
  before = crlf({"[Pagra]", "EXTMGR_ADDINS=nzeptext.dll", "ServerTasks=ZEPT," + std::string(300, 't')});
  ASSERT_TRUE(nzt::write_file(ini_, before));
  EXPECT_EQ(BT_ERR_CONFIG, BTUndoPagraIni(ini_.c_str()));
  EXPECT_EQ(crlf({"[Pagra]", "ServerTasks=ZEPT," + std::string(300, 't')}), nzt::read_file(ini_));
}

TEST_F(ConfigEdit, AFailedWriteStopsTheEditsInOrder) {
  const std::string before = crlf({"[Pagra]", "EXTMGR_ADDINS=a.dll", "ServerTasks=Router"});
  const std::string addins_done = crlf({"[Pagra]", "EXTMGR_ADDINS=a.dll,nzeptext.dll", "ServerTasks=Router"});
  // Both lists change in one rewrite: when it fails, neither has changed.
  ASSERT_TRUE(nzt::write_file(ini_, before));
  os_fault_arm(OS_OP_CREATE, 1);
  EXPECT_EQ(BT_ERR_CONFIG, BTEditPagraIni(ini_.c_str()));
  os_fault_arm(OS_OP_CREATE, 0);
  EXPECT_EQ(before, nzt::read_file(ini_));
  // EXTMGR_ADDINS needs nothing: a failed write is ServerTasks' alone.
  ASSERT_TRUE(nzt::write_file(ini_, addins_done));
  os_fault_arm(OS_OP_CREATE, 1);
  EXPECT_EQ(BT_ERR_SERVERTASKS, BTEditPagraIni(ini_.c_str()));
  os_fault_arm(OS_OP_CREATE, 0);
  EXPECT_EQ(addins_done, nzt::read_file(ini_));

  // The removal cuts both items in one rewrite too: both or neither, and
  // a single rewrite in all.
  const std::string installed = crlf({"[Pagra]", "EXTMGR_ADDINS=a.dll,nzeptext.dll", "ServerTasks=Router,ZEPT"});
  ASSERT_TRUE(nzt::write_file(ini_, installed));
  os_fault_arm(OS_OP_CREATE, 1);
  EXPECT_EQ(BT_ERR_CONFIG, BTUndoPagraIni(ini_.c_str()));
  os_fault_arm(OS_OP_CREATE, 0);
  EXPECT_EQ(installed, nzt::read_file(ini_));
  os_fault_arm(OS_OP_CREATE, 1000);
  EXPECT_EQ(0u, BTUndoPagraIni(ini_.c_str()));
  EXPECT_EQ(999, os_fault_left(OS_OP_CREATE));
  os_fault_arm(OS_OP_CREATE, 0);
  EXPECT_EQ(before, nzt::read_file(ini_));
}

// A configuration file that is there but cannot be read (the system
// refuses an open of it, any of the edit's) is never taken for a missing
// one: the edit fails, and no list of the host's gives way to the item
// alone (ServerTasks refused after EXTMGR_ADDINS was read: that one edit
// goes in, and 1 says ServerTasks did not).
TEST_F(ConfigEdit, AnUnreadableConfigurationFileIsKept) {
  const std::string before = crlf({"[Pagra]", "EXTMGR_ADDINS=a.dll", "ServerTasks=Router", "Directory=d"});
  ASSERT_TRUE(nzt::write_file(ini_, before));
  const std::string added = crlf({"[Pagra]", "EXTMGR_ADDINS=a.dll,nzeptext.dll", "ServerTasks=Router", "Directory=d"});
  uint32_t st = 0;
  int opens = nzt::fault_sweep(
      nzt::seam_fault(OS_OP_OPEN), [&] { ASSERT_TRUE(nzt::write_file(ini_, before)); },
      [&] { st = BTEditPagraIni(ini_.c_str()); },
      [&](int, bool hit) {
        EXPECT_EQ(hit, st != 0); // past the last open: the edit is done
        if (hit) {
          EXPECT_EQ(st == BT_ERR_SERVERTASKS ? added : before, nzt::read_file(ini_));
        }
      });
  EXPECT_GT(opens, 1);
}

TEST_F(ConfigEdit, RegisterWritesTheModulePathWithOneSeparator) {
  const std::string sep(1, nzt::SEP);
  const std::string dir = tmp_.dir(); // ends with the separator
  const std::string bare = dir.substr(0, dir.size() - 1);
  const char *dirs[] = {dir.c_str(), bare.c_str()};
  for (size_t i = 0; i < 2; ++i) {
    SCOPED_TRACE(i);
    ASSERT_EQ(0u, BTRegisterQSX(dirs[i]));
    EXPECT_EQ(bare + sep + "nqsxkc.dll", qsx());
  }
  EXPECT_EQ(0u, BTUnRegisterQSX());
  EXPECT_EQ("<none>", qsx());
  // Never registered: the removal fails.
  EXPECT_NE(0u, BTUnRegisterQSX());
}

TEST_F(ConfigEdit, AFolderTooLongForTheModuleNameIsRefused) {
  ASSERT_EQ(0u, KCRegistrySetString(BT_REG_SECTION, BT_REG_VALUE, "earlier"));
  // The value holds 260 characters at most: folder, separator, nqsxkc.dll.
  const std::string sep(1, nzt::SEP);
  struct Case {
    std::string dir;
    uint32_t status;
  } cases[] = {
      {std::string(249, 'd'), 0},
      {std::string(250, 'd'), KC_ERR_REG},
      {std::string(249, 'd') + sep, 0},
      {std::string(250, 'd') + sep, KC_ERR_REG},
      {std::string(300, 'd'), KC_ERR_REG},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(cases[i].status, BTRegisterQSX(cases[i].dir.c_str()));
    std::string base = cases[i].dir.back() == nzt::SEP ? cases[i].dir : cases[i].dir + sep;
    EXPECT_EQ(cases[i].status == 0 ? base + "nqsxkc.dll" : "earlier", qsx());
    ASSERT_EQ(0u, KCRegistrySetString(BT_REG_SECTION, BT_REG_VALUE, "earlier"));
  }
}

}  // namespace

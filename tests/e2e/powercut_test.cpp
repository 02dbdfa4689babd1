// A power cut at every call that changes the disk, in a first install, an
// upgrade, a removal (its hand-over too, natively), a change of pagra.ini
// and, natively, of the registry store: the disk keeps only what was
// flushed (powercut.h). After each cut: pagra.ini is whole, earlier or
// new; what the run reported done before the cut is there; and the next
// run leaves the package all earlier or all new, with nothing of ours
// behind. The run is a child of this program doing what the installer's
// console does, step by step, and saying each step done; the next run is
// the same steps in this process.
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <functional>
#include <memory>
#include <string>

#include "btsetup.h"
#include "faultsim.h"
#include "hosttree.h"
#include "kcsys.h"
#include "os.h"
#include "plat.h"
#include "powercut.h"
#include "testsupport.h"

using namespace nzt;

namespace {

enum CutRun { FIRST_INSTALL, UPGRADE, REMOVAL, INI_SET, REGISTRY_SET };
const char *const kRunNames[] = {"install", "upgrade", "removal", "ini", "registry"};

// What the installer's console does for a run, each step said done (to
// done, a file outside the host) when it reports so.
void run_steps(CutRun run, const std::string &host, const std::string &data, const std::string &ini, FILE *done) {
  char zept[BT_PATH_MAX];
  snprintf(zept, sizeof zept, "%s", host.c_str());
  auto say = [&](const char *step, uint32_t status) {
    if (status == 0 && done) {
      fprintf(done, "%s\n", step);
      fflush(done);
    }
  };
  switch (run) {
    case FIRST_INSTALL:
    case UPGRADE:
      say("files", BTInstallProgramFiles(zept, data.c_str()));
      say("registry", BTRegisterQSX(zept));
      say("ini", BTEditPagraIni(ini.c_str()));
      break;
    case REMOVAL: {
      char err[BT_ERR_TEXT_MAX];
      if (bt_recover_host(zept, data.c_str(), err) != 0) break;
      say("registry", BTUnRegisterQSX());
      say("ini", BTUndoPagraIni(ini.c_str()));
      say("files", BTRemoveProgramFiles(zept, data.c_str()));
      if (gUninst) say("handed", BTCleanup(zept));
      break;
    }
    case INI_SET:
      say("ini", KCINISetString("Pagra", "PowerCut", "new", ini.c_str()));
      break;
    case REGISTRY_SET:
      say("registry", KCRegistrySetString("PowerCut", "Value", "new"));
      break;
  }
}

// The child: NZT_CUT_AT, NZT_CUT_RUN, NZT_CUT_JOURNAL, NZT_CUT_DONE and
// the tree's folders.
TEST(PowerCut, Child) {
  const char *at = getenv("NZT_CUT_AT");
  if (!at) GTEST_SKIP() << "run only as the child of the power-cut sweep";
  snprintf(gInstDir, sizeof gInstDir, "%s", getenv("NZT_DIST"));
  gUninst = getenv("NZT_CUT_HANDOVER") != nullptr;
  FILE *done = fopen(getenv("NZT_CUT_DONE"), "w");
  os_power_cut(atoi(at), getenv("NZT_CUT_JOURNAL"));
  testing::internal::CaptureStdout();
  run_steps((CutRun)atoi(getenv("NZT_CUT_RUN")), getenv("NZT_HOST"), getenv("NZT_DATA"), getenv("NZT_INI"), done);
  testing::internal::GetCapturedStdout();
  os_power_cut(0, nullptr);
  if (done) fclose(done);
}

class PowerCutSweep : public ::testing::TestWithParam<CutRun> {
 protected:
  void TearDown() override {
    if (t_) clear_registered_qsx(*t_);
  }
  // The run's steps in this process, where a host run would recover first.
  void steps(CutRun run) {
    snprintf(gInstDir, sizeof gInstDir, "%s", t_->dist.c_str());
    gUninst = 0;
    EnvGuard root("KC_REGISTRY_ROOT", kWindows ? nullptr : t_->tmp.path("registry").c_str());
    testing::internal::CaptureStdout();
    run_steps(run, t_->host, t_->data, t_->ini_path(), nullptr);
    testing::internal::GetCapturedStdout();
  }
  std::string registry_value() {
    EnvGuard root("KC_REGISTRY_ROOT", t_->tmp.path("registry").c_str());
    char val[16] = "";
    return KCRegistryGetString("PowerCut", "Value", val, sizeof val) == 0 ? val : "";
  }
  std::unique_ptr<HostTree> t_;
};

// 1 when no file of the package is in place.
bool none_installed(const HostTree &t) {
  for (const BTFileNameStrings &row : Files)
    if (file_exists(t.host + row.dest)) return false;
  for (const BTFileNameStrings &row : PTFPSF_Files)
    if (file_exists(t.data + row.dest)) return false;
  return true;
}

TEST_P(PowerCutSweep, TheNextRunFindsTheHostWholeAndWhatWasReportedDone) {
  const CutRun run = GetParam();
  if (kWindows && run == REGISTRY_SET) GTEST_SKIP() << "the system's registry keeps its own writes";
  t_.reset(new HostTree());
  HostTree &t = *t_;
  clear_registered_qsx(t);
  const std::string journal = t.tmp.path("journal.txt"), done = t.tmp.path("done.txt");
  // Each cut meets: nothing installed (a first install); the earlier
  // release installed (an upgrade, a removal); an entry or value not yet
  // set (the stores).
  auto start = [&] {
    if (run == FIRST_INSTALL && !none_installed(t)) steps(REMOVAL);
    if (run == UPGRADE || run == REMOVAL) {
      t.set_version("earlier ");
      steps(UPGRADE);
    }
    if (run == INI_SET) (void)KCINIRemoveString("Pagra", "PowerCut", t.ini_path().c_str());
    if (run == REGISTRY_SET) {
      EnvGuard root("KC_REGISTRY_ROOT", t.tmp.path("registry").c_str());
      (void)KCRegistrySetString("PowerCut", "Value", "earlier");
    }
    t.set_version("new ");
  };
  start();
  const std::string ini_before = read_file(t.ini_path());
  steps(run); // what the run leaves uncut
  const std::string ini_after = read_file(t.ini_path());

  int at = 0;
  Fault cut{std::string("a power cut in the ") + kRunNames[run], [&](int n) { at = n; },
            [&] { return ("\n" + read_file(journal)).find("\nC\n") != std::string::npos; },
            1};
  int cuts = fault_sweep(
      cut, [&] { start(); },
      [&] {
        std::map<std::string, std::string> env = {{"NZT_CUT_AT", std::to_string(at)},
                                                  {"NZT_CUT_RUN", std::to_string(run)},
                                                  {"NZT_CUT_JOURNAL", journal},
                                                  {"NZT_CUT_DONE", done},
                                                  {"NZT_INI", t.ini_path()}};
        if (run == REMOVAL && !kWindows) env["NZT_CUT_HANDOVER"] = "1";
        (void)t.child_upgrade(env, "PowerCut.Child");
      },
      [&](int, bool) {
        // A run that was not cut meets the power cut just after it ends.
        ASSERT_TRUE(undo_unflushed(journal, at % 2 == 1)); // every other cut tears its write
        const std::string reported = read_file(done), ini = read_file(t.ini_path());
        // pagra.ini whole, earlier or new; new once reported so.
        EXPECT_TRUE(ini == ini_before || ini == ini_after) << ini;
        if (reported.find("ini\n") != std::string::npos) {
          EXPECT_EQ(ini_after, ini) << "reported done";
        }
        if (reported.find(run == REMOVAL && !kWindows ? "handed\n" : "files\n") != std::string::npos) {
          EXPECT_TRUE(run == REMOVAL ? none_installed(t) : t.version() == "new") << "reported done";
        }
        if (run == REGISTRY_SET) {
          std::string v = registry_value();
          EXPECT_TRUE(v == "earlier" || v == "new") << v;
          if (reported.find("registry\n") != std::string::npos) {
            EXPECT_EQ("new", v) << "reported done";
          }
          EnvGuard root("KC_REGISTRY_ROOT", t.tmp.path("registry").c_str());
          EXPECT_EQ(0u, KCRegistrySetString("PowerCut", "Value", "earlier")); // the next write sweeps
        }
        // The next run recovers first: all earlier or all new; once it has
        // run whole, nothing of ours is left.
        char err[BT_ERR_TEXT_MAX];
        EXPECT_EQ(0u, bt_recover_host(t.host.c_str(), t.data.c_str(), err)) << err;
        // (A removal cut short has deleted some files: the next removal
        // takes the rest.)
        std::string v = t.version();
        EXPECT_TRUE(v == "earlier" || v == "new" || run == REMOVAL || (run != UPGRADE && none_installed(t))) << v;
        steps(run);
        if (run == REMOVAL) {
          EXPECT_TRUE(none_installed(t));
        }
        EXPECT_EQ(std::vector<std::string>{}, t.ours());
      });
  RecordProperty("cuts", cuts);
  EXPECT_GE(cuts, 5) << "every call of the run was cut at";
}

INSTANTIATE_TEST_SUITE_P(, PowerCutSweep, ::testing::Values(FIRST_INSTALL, UPGRADE, REMOVAL, INI_SET, REGISTRY_SET),
                         [](const ::testing::TestParamInfo<CutRun> &info) { return std::string(kRunNames[info.param]); });

}  // namespace

// The administrator's unattended recipes (docs/administration.md): each answer file of scripts/unattended,
// as it stands, piped into the real program on a sample host, with the
// exit status and the result the guide promises.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "btsetup.h"
#include "hosttree.h"

using namespace nzt;

namespace {

enum State { kFresh, kInstalled };

bool installed(const HostTree &t) {
  return file_exists(t.host + "nzept.exe") && file_exists(t.data + "zeptadm.ptf") &&
         read_file(t.ini_path()).find("Sched,ZEPT\r\n") != std::string::npos && !registered_qsx(t).empty();
}

bool gone(const HostTree &t) {
  // The interpreter's last deletions: the remover, then its library.
  for (int i = 0; i < 300 && (file_exists(t.host + "nzeptrmv.exe") || file_exists(t.host + "kccmn10.dll")); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  for (const BTFileNameStrings &row : Files)
    if (file_exists(t.host + row.dest)) return false;
  return read_file(t.ini_path()) == t.ini_before && registered_qsx(t).empty();
}

}  // namespace

TEST(Unattended, EachAnswerFileDoesWhatTheReadmeSays) {
  struct Case {
    const char *file;
    State before;
    bool remover;  // run as nzeptrmv.exe from the host folder
    int status;
    State after;
  } cases[] = {
      {"install.txt", kFresh, false, 0, kInstalled},
      {"upgrade.txt", kInstalled, false, 0, kInstalled},
      {"remove.txt", kInstalled, true, 0, kFresh},
      {"remove-from-install.txt", kInstalled, false, 0, kFresh},
      // A second run is safe: the answers no longer fit the dialogue, the
      // run ends at the end of its input (2) and nothing is changed.
      {"install.txt", kInstalled, false, 2, kInstalled},
      {"upgrade.txt", kFresh, false, 2, kFresh},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.file) + (c.before == kFresh ? " on a fresh host" : " on an installed host"));
    HostTree t;
    clear_registered_qsx(t);
    if (c.before == kInstalled) {
      ASSERT_EQ(0, t.install(read_source("scripts/unattended/install.txt")).exit_code);
    }
    std::string answers = read_source("scripts/unattended/" + std::string(c.file));
    ASSERT_FALSE(answers.empty());
    std::string ini = read_file(t.ini_path());
    RunResult r = c.remover ? t.remove(answers) : t.install(answers);
    EXPECT_EQ(c.status, r.exit_code) << r.out;
    if (c.after == kInstalled) {
      EXPECT_TRUE(installed(t)) << r.out;
      if (c.status != 0) {
        EXPECT_EQ(ini, read_file(t.ini_path()));
      }
    } else {
      EXPECT_TRUE(gone(t)) << r.out;
    }
    clear_registered_qsx(t);
  }
}

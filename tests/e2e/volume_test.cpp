// One sequence of real runs on a volume of another file system:
// tests/fs/fs_matrix.sh makes and mounts each volume of its table and runs
// this test there with NZT_TEMP naming a folder on it, so that the
// distribution, the host and data folders and (natively) the registry
// store all lie on that file system.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <thread>

#include "faultsim.h"
#include "hosttree.h"
#include "testsupport.h"

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

using namespace nzt;

namespace {

// The names in the host and data folders, once the remover's interpreter
// has deleted its two files (on Windows it may still be at work when the
// remover has ended) or 30 seconds have passed.
std::vector<std::string> left_after_removal(const HostTree &t, size_t want) {
  std::vector<std::string> names;
  for (int i = 0; i < 300; ++i) {
    names.clear();
    for (const auto &f : t.snapshot()) names.push_back(f.first);
    if (names.size() <= want) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return names;
}

// Takes the volume's room but for about leave bytes, with a file at path:
// blocks kept without writing them where the file system can, written
// where it cannot (FUSE, and the Windows build).
void fill_volume(const std::string &path, uintmax_t leave) {
#ifndef _WIN32
  sync();  // btrfs counts what is still to be written only once it is
#endif
  std::error_code ec;
  fs::space_info space = fs::space(fs::path(path).parent_path(), ec);
  ASSERT_FALSE(ec) << ec.message();
  ASSERT_GT(space.available, leave);
  // Only a volume made for the test: never the build machine's own disk.
  ASSERT_LT(space.available, uintmax_t(1) << 30) << "too large a volume to fill";
  uintmax_t size = space.available - leave;
#ifndef _WIN32
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(fd, 0) << path;
  int kept = fallocate(fd, 0, 0, (off_t)size);
  close(fd);
  if (kept == 0) return;
#endif
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  const std::string block(1 << 20, 'f');
  for (uintmax_t done = 0; out && done < size; done += block.size())
    out.write(block.data(), (std::streamsize)std::min<uintmax_t>(block.size(), size - done));
}

}  // namespace

// A first install, an upgrade, the upgrade's commit killed at each rename,
// no room for the package, and a removal.
TEST(OnAVolume, InstallUpgradeKilledUpgradesNoRoomAndRemoval) {
  if (!getenv("NZT_TEMP")) GTEST_SKIP() << "run by tests/fs/fs_matrix.sh on each volume it mounts (NZT_TEMP names it)";
  HostTree t;
  clear_registered_qsx(t);
  struct Cleared {  // under Wine the value is the prefix's, for every test after this one
    const HostTree &t;
    ~Cleared() { clear_registered_qsx(t); }
  } cleared{t};

  t.set_version("earlier ");
  RunResult r = t.install(kInstallAllDefaults);
  ASSERT_EQ(0, r.exit_code) << r.out;
  EXPECT_EQ("earlier", t.version());
  EXPECT_EQ(t.host + "nqsxkc.dll", registered_qsx(t));
  EXPECT_NE(std::string::npos, read_file(t.ini_path()).find("Sched,ZEPT\r\n"));
  t.set_version("new ");
  r = t.upgrade();
  ASSERT_EQ(0, r.exit_code) << r.out;
  EXPECT_EQ("new", t.version());
  EXPECT_EQ(std::vector<std::string>{}, t.ours());

  // Killed at its n-th rename; the next run, one that halts (a source
  // missing), settles what it finds first, and a complete run leaves
  // nothing of ours. Each upgrade goes the other way from the last: one
  // run settles a kill, none has to undo it.
  std::string to;
  int at = 0;
  Fault kill{"killed at rename", [&](int n) { at = n; }, [&] { return r.exit_code == 137; }};
  int killed = fault_sweep(
      kill,
      [&] {
        to = t.version() == "new" ? "earlier" : "new";
        t.set_version(to + " ");
      },
      [&] {
        r = kWindows ? t.child_upgrade({{"NZT_KILL_AT", std::to_string(at)}, {"NZT_KILL_ON", "replace"}})
                     : t.killed_upgrade("rename", at);
      },
      [&](int, bool hit) {
        if (hit) {
          r = t.halting_upgrade();
          EXPECT_EQ(3, r.exit_code) << r.out;
          std::string v = t.version();
          ASSERT_TRUE(v == "earlier" || v == "new") << v << "\n" << r.out;
        } else {
          EXPECT_EQ(0, r.exit_code) << r.out << r.err;
          EXPECT_EQ(to, t.version());
          EXPECT_EQ(std::vector<std::string>{}, t.ours());
        }
      });
  if (HasFatalFailure()) return;  // a kill left unsettled: what follows would only repeat it
  EXPECT_GE(killed, 21);

  // A package file larger than the room left: the upgrade halts while
  // staging, every file as it was.
  const std::string large = t.dist + "kccsn13.tlb", filler = t.tmp.path("filler");
  write_file(large, std::string(8 << 20, 'n'));
  ASSERT_NO_FATAL_FAILURE(fill_volume(filler, 2 << 20));
  Snapshot before = t.snapshot();
  std::string ini = read_file(t.ini_path());
  r = t.upgrade();
  EXPECT_EQ(3, r.exit_code) << r.out;
  EXPECT_TRUE(before == t.snapshot());
  EXPECT_EQ(std::vector<std::string>{}, t.ours());
  EXPECT_EQ(ini, read_file(t.ini_path()));
  EXPECT_EQ(t.host + "nqsxkc.dll", registered_qsx(t));
  fs::remove(filler);
  fs::remove(large);

  r = t.remove(kRemoveAllDefaults);
  EXPECT_EQ(0, r.exit_code) << r.out;
  EXPECT_EQ((std::vector<std::string>{t.host + "pagra.exe", t.host + "pagra.ini"}), left_after_removal(t, 2));
  EXPECT_EQ(std::vector<std::string>{}, t.ours());
  EXPECT_EQ(t.ini_before, read_file(t.ini_path()));
  EXPECT_EQ("", registered_qsx(t));
}

// A sample host in a temporary folder, for runs of the real program:
//   <tmp>/dist/   the distribution: nzeptins.exe and the other 20 files
//   <tmp>/host/   the host program folder: pagra.exe and pagra.ini
//   <tmp>/data/   the host data folder, named by Directory= in pagra.ini
// pagra.ini is scripts/sample/pagra.ini, the demo's own sample.
#ifndef NZ_HOSTTREE_H
#define NZ_HOSTTREE_H

#include <map>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "testsupport.h"

namespace nzt {

// The answers of a first install, an upgrade and a removal by the remover,
// every proposal taken.
extern const char kInstallAllDefaults[];
extern const char kUpgradeAllDefaults[];
extern const char kRemoveAllDefaults[];

// The files of the host and data folders, each with its bytes and time.
typedef std::map<std::string, std::pair<std::string, int64_t>> Snapshot;

class HostTree {
 public:
  // host_name: the host program folder's name (blanks and '&' welcome).
  explicit HostTree(const std::string &host_name = "host");

  TempDir tmp;
  std::string dist, host, data;  // each with a trailing separator
  std::string ini_path() const { return host + "pagra.ini"; }
  std::string ini_before;        // pagra.ini's bytes as laid out

  // The environment of a run: the host folder on PATH, and on Linux the
  // registry store in the tree.
  std::map<std::string, std::string> env() const;
  // Runs program (a path in the tree) with argv[0] = its path, in cwd.
  RunResult run(const std::string &program, const std::string &input, const std::string &cwd) const;
  RunResult install(const std::string &input) const { return run(dist + "nzeptins.exe", input, dist); }
  RunResult remove(const std::string &input) const { return run(host + "nzeptrmv.exe", input, host); }
  RunResult upgrade() const { return install(kUpgradeAllDefaults); }
  // An upgrade that dies at its n-th step: natively the real program under
  // strace, killed at its n-th call of the system call named; under Wine a
  // child of the e2e test program (KilledUpgrade.Child), killed at its
  // n-th rename, deletion, hard link or flush. Ends 137 when it died.
  RunResult killed_upgrade(const std::string &call, int n) const;
  // A child of the e2e test program running the test child (by default
  // KilledUpgrade.Child, an upgrade) with env added (NZT_KILL_AT,
  // NZT_KILL_ON, NZT_FAIL_SYNC, ...) and the tree's folders.
  RunResult child_upgrade(const std::map<std::string, std::string> &env,
                          const std::string &child = "KilledUpgrade.Child") const;
  // An upgrade that halts before it puts anything in place (a source of
  // the distribution missing): what it finds is all it changes. Ends 3.
  RunResult halting_upgrade() const;

  // Gives every sample file of the distribution (not the installer) the
  // version v ("earlier ", "new "); version() tells the host's: "earlier"
  // or "new" when every package file installed has one, "mixed", or
  // "missing <name>".
  void set_version(const std::string &v) const;
  std::string version() const;
  Snapshot snapshot() const;
  // Our own files in the host and data folders (temporaries, backups,
  // locks, records) and, natively, in the registry store.
  std::vector<std::string> ours() const;

  // The transcript with this tree's folder written "{tmp}/", separators as
  // '/', and line ends as "\n", so one golden file serves both builds.
  std::string normalize(const std::string &out) const;
  // The sample content of a package file.
  static std::string sample_content(const std::string &name);
};

// The bytes of a file of the source tree, rel with '/' ("scripts/...").
std::string read_source(const std::string &rel);

// Compares text with tests/e2e/golden/<name>; NZT_REGENERATE=1 rewrites it.
::testing::AssertionResult matches_golden(const std::string &name, const std::string &text);

// The registry value the install writes (QSXKC), read through the store
// the program uses; "" when it is absent. The native store is found through
// the tree's KC_REGISTRY_ROOT.
std::string registered_qsx(const HostTree &tree);
void clear_registered_qsx(const HostTree &tree);

}  // namespace nzt

#endif

// The installed package as another product sees it. sdk_check.cmake
// installs the build into a fresh prefix, builds tests/sdk/caller against
// that prefix alone, and then runs this program under Wine with the two
// folders in NZT_SDK_PREFIX and NZT_SDK_CALLER.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <set>
#include <string>

#include "testsupport.h"

using namespace nzt;

namespace {

// A folder handed over by sdk_check.cmake, as a Unix path, in Wine's spelling.
std::string folder_from(const char *variable) {
  const char *p = getenv(variable);
  if (!p || p[0] != '/') return "";
  return host_path(std::string("Z:") + p + "/");
}

}  // namespace

TEST(InstalledPackage, HoldsTheProgramAndTheLibrarysPublicFilesOnly) {
  std::string prefix = folder_from("NZT_SDK_PREFIX");
  ASSERT_NE(prefix, "") << "run through ctest (tests/sdk/sdk_check.cmake sets NZT_SDK_PREFIX)";
  const std::set<std::string> want = {
      "bin/nzeptins.exe",
      "include/plat.h",
      "lib/libnzeptins.exe.a",
      "lib/nzeptins.def",
      "lib/cmake/nzept/nzeptConfig.cmake",
      "lib/cmake/nzept/nzeptConfigVersion.cmake",
  };
  std::set<std::string> got;
  for (const auto &e : fs::recursive_directory_iterator(prefix))
    if (e.is_regular_file()) got.insert(fs::relative(e.path(), prefix).generic_string());
  EXPECT_EQ(got, want);
}

TEST(InstalledPackage, ACallerBuiltAgainstItCallsTheLibrary) {
  std::string caller = folder_from("NZT_SDK_CALLER");
  ASSERT_NE(caller, "") << "run through ctest (tests/sdk/sdk_check.cmake sets NZT_SDK_CALLER)";
  RunResult r = run_program(caller + "caller.exe", "caller.exe", "", caller);
  // The caller prints a line per check and exits 0 only when all held.
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
}

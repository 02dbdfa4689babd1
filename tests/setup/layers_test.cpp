// The four layers call downward only, each through its own headers: the
// console, the installer actions, the platform library, the system seam.
// This reads the sources themselves and fails on an include that crosses.
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "testsupport.h"

using namespace nzt;

namespace {

// Headers through which a system is reached; only the seam may include them.
const std::set<std::string> kSystemHeaders = {"windows.h", "io.h",     "direct.h",    "process.h",  "unistd.h",
                                              "dirent.h",  "dlfcn.h",  "fcntl.h",     "sys/stat.h", "sys/utime.h",
                                              "utime.h",   "sys/wait.h", "signal.h", "spawn.h"};

struct Layer {
  const char *what;
  const char *folder;  // below the source tree
  const char *prefix;  // the files of the layer: names starting with it
  std::set<std::string> allowed;  // project headers it may include
  bool system_calls;              // may it include the system's headers
};

// The includes of one file: {"name", quoted}.
std::vector<std::pair<std::string, bool>> includes_of(const fs::path &file) {
  std::vector<std::pair<std::string, bool>> found;
  std::ifstream in(file);
  std::string line;
  while (std::getline(in, line)) {
    size_t p = line.find_first_not_of(" \t");
    if (p == std::string::npos || line.compare(p, 8, "#include") != 0) continue;
    size_t open = line.find_first_of("\"<", p + 8);
    if (open == std::string::npos) continue;
    size_t close = line.find(line[open] == '"' ? '"' : '>', open + 1);
    if (close == std::string::npos) continue;
    found.push_back({line.substr(open + 1, close - open - 1), line[open] == '"'});
  }
  return found;
}

}  // namespace

TEST(Layers, EachLayerIncludesOnlyItsOwnHeadersAndTheOnesBelow) {
  const std::string src = std::string(NZ_TEST_SOURCE_DIR) + "/src/";
  const Layer layers[] = {
      {"the console", "setup", "setupui", {"btsetup.h"}, false},
      {"the installer actions", "setup", "btsetup", {"btsetup.h", "btsetup_manifest.inc", "kcsys.h", "plat.h"}, false},
      {"the platform library", "plat", "plat", {"plat.h", "plat_int.h", "plat_blockio.h", "kcsys.h", "kcstr.h", "os.h"}, false},
      {"the text helpers", "plat", "kc", {"kcstr.h", "plat.h"}, false},
      {"the Windows seam", "plat/os_win32", "os_", {"os.h", "os_errno.h", "kcstr.h"}, true},
      {"the POSIX seam", "plat/os_posix", "os_", {"os.h", "os_errno.h", "kcstr.h"}, true},
      {"the seam's shared hooks", "plat", "os_", {"os.h", "plat.h"}, false},
  };
  for (const Layer &layer : layers) {
    SCOPED_TRACE(layer.what);
    int files = 0;
    for (const auto &entry : fs::directory_iterator(src + layer.folder)) {
      std::string name = entry.path().filename().string();
      if (!entry.is_regular_file() || name.rfind(layer.prefix, 0) != 0) continue;
      ++files;
      for (const auto &inc : includes_of(entry.path())) {
        if (inc.second) {
          EXPECT_TRUE(layer.allowed.count(inc.first)) << name << " includes \"" << inc.first << "\"";
        } else if (!layer.system_calls) {
          EXPECT_FALSE(kSystemHeaders.count(inc.first)) << name << " includes <" << inc.first << ">";
        }
      }
    }
    EXPECT_GT(files, 0) << "no files of this layer in " << layer.folder;
  }
}

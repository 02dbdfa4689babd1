// The four layers call downward only, each through its own headers: the
// console, the installer actions, the platform library, the system seam.
// This reads the sources themselves and fails on an include that crosses.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <functional>
#include <iterator>
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

// The text of a source file without its comments, strings and character
// constants, whose words name nothing the file calls.
std::string code_of(const fs::path &file) {
  std::ifstream in(file);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()), code;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text.compare(i, 2, "//") == 0) {
      i = text.find('\n', i);
      if (i == std::string::npos) break;
    } else if (text.compare(i, 2, "/*") == 0) {
      i = text.find("*/", i + 2);
      if (i == std::string::npos) break;
      ++i;
      continue;
    } else if (text[i] == '"' || text[i] == '\'') {
      char quote = text[i];
      for (++i; i < text.size() && text[i] != quote; ++i)
        if (text[i] == '\\') ++i;
      code += ' ';
      continue;
    }
    code += text[i];
  }
  return code;
}

bool word_char(char c) { return isalnum((unsigned char)c) || c == '_'; }

// The names a file defines for the others (functions and data at file
// scope, not static) and every name it uses.
void names_of(const std::string &code, std::set<std::string> &defines, std::set<std::string> &uses) {
  size_t start = 0;
  while (start < code.size()) {
    size_t end = code.find('\n', start);
    if (end == std::string::npos) end = code.size();
    std::string line = code.substr(start, end - start);
    start = end + 1;
    if (line.empty() || !isalpha((unsigned char)line[0]) || line.rfind("static", 0) == 0 ||
        line.rfind("extern", 0) == 0 || line.rfind("typedef", 0) == 0 || line.rfind("struct", 0) == 0 ||
        line.rfind("enum", 0) == 0 || line.rfind("namespace", 0) == 0 || line.rfind("using", 0) == 0)
      continue;
    // The defined name: the word before the first '(' (a function), '=',
    // '[' or ';' (data).
    size_t at = line.find_first_of("(=[;");
    if (at == std::string::npos) continue;
    size_t e = at;
    while (e > 0 && line[e - 1] == ' ') --e;
    size_t b = e;
    while (b > 0 && word_char(line[b - 1])) --b;
    if (b < e) defines.insert(line.substr(b, e - b));
  }
  for (size_t i = 0; i < code.size();) {
    if (!word_char(code[i])) {
      ++i;
      continue;
    }
    size_t j = i;
    while (j < code.size() && word_char(code[j])) ++j;
    uses.insert(code.substr(i, j - i));
    i = j;
  }
}

// A circle of calls between the files of one folder whose names start
// with prefix, as "a.cpp -> b.cpp -> a.cpp", or "" when there is none.
std::string circle_among(const fs::path &folder, const std::string &prefix) {
  std::vector<std::string> files;
  std::vector<std::set<std::string>> defines, uses;
  for (const auto &entry : fs::directory_iterator(folder)) {
    std::string name = entry.path().filename().string();
    if (!entry.is_regular_file() || name.rfind(prefix, 0) != 0 || entry.path().extension() != ".cpp") continue;
    files.push_back(name);
    defines.emplace_back();
    uses.emplace_back();
    names_of(code_of(entry.path()), defines.back(), uses.back());
  }
  const size_t n = files.size();
  std::vector<std::vector<size_t>> calls(n);
  for (size_t a = 0; a < n; ++a)
    for (size_t b = 0; b < n; ++b)
      // (Two files that define the same names are one build's choice of
      // two, not callers of each other.)
      if (a != b && std::any_of(defines[b].begin(), defines[b].end(),
                                [&](const std::string &d) { return uses[a].count(d) && !defines[a].count(d); }))
        calls[a].push_back(b);
  // Depth first; a file met again on the path closes a circle.
  std::vector<int> state(n, 0); // 0 not seen, 1 on the path, 2 done
  std::vector<size_t> path;
  std::string found;
  std::function<void(size_t)> visit = [&](size_t a) {
    state[a] = 1;
    path.push_back(a);
    for (size_t b : calls[a]) {
      if (!found.empty()) break;
      if (state[b] == 1) {
        for (size_t k = std::find(path.begin(), path.end(), b) - path.begin(); k < path.size(); ++k)
          found += files[path[k]] + " -> ";
        found += files[b];
      } else if (state[b] == 0) {
        visit(b);
      }
    }
    path.pop_back();
    state[a] = 2;
  };
  for (size_t a = 0; a < n && found.empty(); ++a)
    if (state[a] == 0) visit(a);
  return found;
}

}  // namespace

TEST(Layers, EachLayerIncludesOnlyItsOwnHeadersAndTheOnesBelow) {
  const std::string src = std::string(NZ_TEST_SOURCE_DIR) + "/src/";
  const Layer layers[] = {
      {"the console", "setup", "setupui", {"btsetup.h"}, false},
      {"the installer actions", "setup", "btsetup", {"btsetup.h", "btsetup_manifest.inc", "kcsys.h", "plat.h"}, false},
      {"the platform library",
       "plat",
       "plat",
       {"plat.h", "plat_int.h", "plat_blockio.h", "plat_lock.h", "plat_names.h", "plat_record.h", "kcsys.h", "kcstr.h", "os.h"},
       false},
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
    // Within the layer, too, calls go one way: no file reaches back into
    // one that reaches it.
    EXPECT_EQ("", circle_among(src + layer.folder, layer.prefix));
  }
}

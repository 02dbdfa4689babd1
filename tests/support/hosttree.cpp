// A sample host in a temporary folder; see hosttree.h.
#include "hosttree.h"

#include <ctype.h>
#include <stdlib.h>

#include "btsetup.h"
#include "plat.h"

namespace nzt {

// The source tree, in a spelling this build's runtime opens: under Wine
// the Linux root is drive Z:.
static std::string source_path(const std::string &rel) {
  std::string p = std::string(NZ_SOURCE_DIR) + "/" + rel;
#ifdef _WIN32
  if (!p.empty() && p[0] == '/') p = "Z:" + p;
#endif
  return host_path(p);
}

static std::string replace_all(std::string s, const std::string &from, const std::string &to) {
  for (size_t at = 0; (at = s.find(from, at)) != std::string::npos; at += to.size()) s.replace(at, from.size(), to);
  return s;
}

std::string read_source(const std::string &rel) { return read_file(source_path(rel)); }

std::string HostTree::sample_content(const std::string &name) { return "sample package file " + name + "\n"; }

HostTree::HostTree(const std::string &host_name) {
  dist = tmp.path("dist") + SEP;
  host = tmp.path(host_name) + SEP;
  data = tmp.path("data") + SEP;
  fs::create_directories(dist);
  fs::create_directories(host);
  fs::create_directories(data);

  // The distribution: the real program, and sample files for the rest.
  fs::copy_file(program_path(), dist + "nzeptins.exe", fs::copy_options::overwrite_existing);
  for (const BTFileNameStrings &row : Files)
    if (std::string(row.src) != "nzeptins.exe") write_file(dist + row.src, sample_content(row.src));
  for (const BTFileNameStrings &row : PTFPSF_Files) write_file(dist + row.src, sample_content(row.src));

  write_file(host + "pagra.exe", "sample host program\n");
  std::string data_dir = data.substr(0, data.size() - 1);  // as administrators write it: no separator
  ini_before = replace_all(read_file(source_path("scripts/sample/pagra.ini")), "@DATA@", data_dir);
  write_file(ini_path(), ini_before);
}

std::map<std::string, std::string> HostTree::env() const {
  std::map<std::string, std::string> e;
  const char *path = getenv("PATH");
  e["PATH"] = host.substr(0, host.size() - 1) + LISTSEP + (path ? path : "");
  if (!kWindows) e["KC_REGISTRY_ROOT"] = tmp.path("registry");
  return e;
}

RunResult HostTree::run(const std::string &program, const std::string &input, const std::string &cwd) const {
  return run_program(program, program, input, cwd, env());
}

// Windows names ignore case, and the installer lower-cases the name it
// was started by: there the tree's folder is found in any case.
static std::string host_fold(std::string s) {
  if (kWindows)
    for (char &c : s) c = (char)tolower((unsigned char)c);
  return s;
}

std::string HostTree::normalize(const std::string &out) const {
  const std::string in = replace_all(out, "\r\n", "\n"), folded = host_fold(in);
  const std::string root = host_fold(tmp.dir()), mark = std::string("{tmp}") + SEP;
  std::string s;
  size_t from = 0;
  for (size_t at; (at = folded.find(root, from)) != std::string::npos; from = at + root.size())
    s += in.substr(from, at - from) + mark;
  s += in.substr(from);
  if (SEP != '/') s = replace_all(s, std::string(1, SEP), "/");
  return s;
}

::testing::AssertionResult matches_golden(const std::string &name, const std::string &text) {
  std::string path = source_path("tests/e2e/golden/" + name);
  const char *regen = getenv("NZT_REGENERATE");
  if (regen && *regen == '1') {
    write_file(path, text);
    return ::testing::AssertionSuccess() << "regenerated " << path;
  }
  std::string want = read_file(path);
  if (want == text) return ::testing::AssertionSuccess();
  size_t at = 0;
  while (at < want.size() && at < text.size() && want[at] == text[at]) ++at;
  size_t from = at > 80 ? at - 80 : 0;
  return ::testing::AssertionFailure() << "transcript differs from " << name << " at byte " << at
                                       << "\n--- expected around there:\n" << want.substr(from, 200)
                                       << "\n--- got:\n" << text.substr(from, 200);
}

std::string registered_qsx(const HostTree &tree) {
  char val[BT_PATH_MAX] = "";
  EnvGuard root("KC_REGISTRY_ROOT", kWindows ? nullptr : tree.tmp.path("registry").c_str());
  if (KCRegistryGetString(BT_REG_SECTION, BT_REG_VALUE, val, sizeof val) != 0) return "";
  return val;
}

void clear_registered_qsx(const HostTree &tree) {
  EnvGuard root("KC_REGISTRY_ROOT", kWindows ? nullptr : tree.tmp.path("registry").c_str());
  (void)KCRegistryRemoveString(BT_REG_SECTION, BT_REG_VALUE);
}

}  // namespace nzt

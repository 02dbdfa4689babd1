// A sample host in a temporary folder; see hosttree.h.
#include "hosttree.h"

#include <ctype.h>
#include <stdlib.h>

#include "btsetup.h"
#include "kcsys.h"
#include "os.h"
#include "plat.h"

namespace nzt {

const char kInstallAllDefaults[] = "Y\n\n\n\n\n1\n\n";
const char kUpgradeAllDefaults[] = "Y\n\n\n\n\n2\n1\n\n";
const char kRemoveAllDefaults[] = "Y\n\n\n\n1\n\n";

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

RunResult HostTree::child_upgrade(const std::map<std::string, std::string> &more, const std::string &child) const {
  std::map<std::string, std::string> e = env();
  e.insert(more.begin(), more.end());
  e["NZT_DIST"] = dist, e["NZT_HOST"] = host, e["NZT_DATA"] = data;
  const std::string self = build_dir() + "e2e_tests" + (kWindows ? ".exe" : "");
  return run_program(self, std::vector<std::string>{self, "--gtest_filter=" + child}, "", dist, e);
}

RunResult HostTree::killed_upgrade(const std::string &call, int n) const {
  if (kWindows) return child_upgrade({{"NZT_KILL_AT", std::to_string(n)}});
  std::map<std::string, std::string> e = env();
  e["ASAN_OPTIONS"] = "detect_leaks=0"; // the leak check cannot work under a tracer
  return run_program("/usr/bin/strace", {"strace", "-f", "-o", "/dev/null", "-e", "trace=" + call, "-e",
                                         "inject=" + call + ":signal=SIGKILL:when=" + std::to_string(n), dist + "nzeptins.exe"},
                     kUpgradeAllDefaults, dist, e);
}

RunResult HostTree::halting_upgrade() const {
  fs::rename(dist + "nedasql.kcx", tmp.path("nedasql.kcx"));
  RunResult r = upgrade();
  fs::rename(tmp.path("nedasql.kcx"), dist + "nedasql.kcx");
  return r;
}

void HostTree::set_version(const std::string &v) const {
  for (const auto &e : fs::directory_iterator(dist))
    if (e.path().filename() != "nzeptins.exe") write_file(e.path().string(), v + e.path().filename().string());
}

std::string HostTree::version() const {
  // The remover is the same program in every version: it has none.
  std::string seen;
  for (const auto &e : fs::directory_iterator(dist)) {
    std::string name = e.path().filename().string(), dir = name == "zeptadm.ptf" || name == "zeptdoc.psf" ? data : host;
    if (name == "nzeptins.exe") continue;
    std::string got = read_file(dir + name);
    if (!file_exists(dir + name)) return "missing " + name;
    std::string v = got.substr(0, got.find(' ') + 1);
    if (!seen.empty() && v != seen) return "mixed";
    seen = v;
  }
  return seen == "earlier " ? "earlier" : seen == "new " ? "new" : "mixed";
}

Snapshot HostTree::snapshot() const {
  Snapshot s;
  for (const std::string &dir : {host, data})
    for (const auto &e : fs::directory_iterator(dir)) {
      // Only a regular file is read: a pipe would wait for a writer.
      std::string path = e.path().string();
      std::error_code ec;
      auto t = fs::last_write_time(e.path(), ec);
      bool file = fs::is_regular_file(fs::symlink_status(e.path(), ec)) && os_name_kind(path.c_str()) == OS_KIND_FILE;
      s[path] = {file ? read_file(path) : "(not a file)", ec ? -1 : (int64_t)t.time_since_epoch().count()};
    }
  return s;
}

std::vector<std::string> HostTree::ours() const {
  std::vector<std::string> v;
  auto add = [&](const fs::path &p) {
    std::string name = p.filename().string();
    if (kc_tmp_is_ours(name.c_str()) || kc_record_is_ours(name.c_str())) v.push_back(p.string());
  };
  for (const std::string &dir : {host, data})
    for (const auto &e : fs::directory_iterator(dir)) add(e.path());
  if (!kWindows && fs::exists(tmp.path("registry")))
    for (const auto &e : fs::recursive_directory_iterator(tmp.path("registry"))) add(e.path());
  return v;
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

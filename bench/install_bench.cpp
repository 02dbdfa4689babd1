// Benchmark: a whole scripted install, the real nzeptins.exe of this build
// folder run as a process with its answers on standard input, beside two
// programs started the same way in the same rounds:
//   - plain: the same system work done the plain way (install_plain.cpp:
//     CopyFileA, the profile calls and RegSetValueExA on Windows),
//   - floor: every byte read and written once in 1 MiB blocks
//     (install_floor.cpp),
// so that the start and end of a process count in all three. Each round
// gives each of the three a fresh host tree (host program folder with
// pagra.exe and pagra.ini, data folder), all copying from one distribution
// folder of about 30 MiB that holds the installer and the 20 other package
// files, and runs them in a rotating order. Every run is checked: status 0,
// and for the installer the closing message, the files, pagra.ini's bytes
// and the registry value; a round that fails stops the benchmark.
//
// The time of a run is taken by a blocking wait for the child's end
// (WaitForSingleObject, waitpid). A wait that polls would round it up to
// its polling steps: a wait with a timeout that sleeps 1, 2, 4 ... ms, at
// most 50 ms, reports 64, 114, 164 ms for runs of 50, 70, 120 ms.
//
//   install_bench [rounds] [--only program|plain|floor]... [--durable] [--keep]
//                 [--phases] [--inherit-output] [--child-env NAME=VALUE]...
//   --durable         plain and floor also flush every file they wrote and
//                     (Linux) each folder, keeping the installer's promise
//                     that what it reports done is on disk
//   --keep            leave the trees (in the temporary folder) for a look
//   --phases          per run on standard error: when the system created and
//                     ended the child (Windows), and the marks the children
//                     write with NZ_BENCH_MARKS=1 (bench_mark.h)
//   --inherit-output  the children write to this program's own standard
//                     output (a console, say) instead of a file; the
//                     transcript is then not checked
//   --child-env       set a variable for the children (WINEDEBUG=...)
// Under Wine, start it with cmake/wine-run.sh: the three children are then
// started by CreateProcess from this Windows program, standard input from
// a file, standard output and error to files.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bench_mark.h"
#include "btsetup.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char **environ;
#endif

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

#ifdef _WIN32
static const char SEP = '\\', LISTSEP = ';';
static const char *const EXE = ".exe";
#else
static const char SEP = '/', LISTSEP = ':';
static const char *const EXE = "";
#endif

// The answers of a first install accepting every proposal: continue, the
// four proposals, 1 (install now), and the final Enter.
static const char kAnswers[] = "Y\n\n\n\n\n1\n\n";
static const char *const kKinds[] = {"program", "plain", "floor"};
enum { PROGRAM, PLAIN, FLOOR, KINDS };

static std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

static bool write_file(const std::string &path, const std::string &bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), (std::streamsize)bytes.size());
  return (bool)out;
}

static void make_file(const std::string &path, size_t size, unsigned seed) {
  std::vector<char> buf(1 << 20);
  for (size_t i = 0; i < buf.size(); ++i) buf[i] = (char)((i * 2654435761u + seed) >> 13);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  for (size_t done = 0; done < size;) {
    size_t n = std::min(buf.size(), size - done);
    out.write(buf.data(), (std::streamsize)n);
    done += n;
  }
}

static std::string replace_once(std::string s, const std::string &from, const std::string &to) {
  size_t at = s.find(from);
  if (at != std::string::npos) s.replace(at, from.size(), to);
  return s;
}

static std::string self_dir() {
  char buf[4096];
#ifdef _WIN32
  DWORD n = GetModuleFileNameA(NULL, buf, sizeof buf);
  std::string self(buf, n < sizeof buf ? n : 0);
#else
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  std::string self(buf, n > 0 ? (size_t)n : 0);
#endif
  return self.substr(0, self.find_last_of(SEP) + 1);
}

static unsigned process_id() {
#ifdef _WIN32
  return (unsigned)GetCurrentProcessId();
#else
  return (unsigned)getpid();
#endif
}

// The sample host configuration, in a spelling this build opens (under
// Wine the Linux root is drive Z:).
static std::string sample_ini() {
  std::string p = std::string(NZ_SOURCE_DIR) + "/scripts/sample/pagra.ini";
#ifdef _WIN32
  p = "Z:" + p;
  std::replace(p.begin(), p.end(), '/', '\\');
#endif
  return read_file(p);
}

struct Copy {
  std::string src, dest; // dest relative to the run folder: "host/x" or "data/x"
  size_t size;
};

// One run's folder: <root>/r<round>-<kind>/ holding host/, data/ and, on
// Linux, the registry tree.
struct Run {
  std::string dir, host, data, ini, jobs;
};

struct Bench {
  std::string build, root, dist, answers, ini_template, path_before;
  std::vector<Copy> copies;
  size_t total = 0;
  std::vector<std::string> child_env;
  bool phases = false;
  bool inherit_out = false; // the children write to this program's own standard output
  bool durable = false;      // plain and floor flush what they wrote

  Run make_run(int round, int kind) const;
  double start(int kind, const Run &run, int *status) const;
  std::string check(int kind, const Run &run, int status) const;
};

Run Bench::make_run(int round, int kind) const {
  Run r;
  r.dir = root + "r" + std::to_string(round) + "-" + kKinds[kind] + SEP;
  r.host = r.dir + "host" + SEP;
  r.data = r.dir + "data" + SEP;
  r.ini = r.host + "pagra.ini";
  r.jobs = r.dir + "jobs.txt";
  fs::create_directories(r.host);
  fs::create_directories(r.data);
  write_file(r.host + "pagra.exe", "sample host program\n");
  write_file(r.ini, replace_once(ini_template, "@DATA@", r.data.substr(0, r.data.size() - 1)));
  // The plain program's and the floor's job list, in the installer's order.
  std::string jobs;
  for (const Copy &c : copies) {
    std::string dest = c.dest;
    std::replace(dest.begin(), dest.end(), '/', SEP);
    jobs += "C\t" + dist + c.src + "\t" + r.dir + dest + "\n";
  }
  jobs += std::string("I\t") + r.ini + "\t" BT_SECTION "\t" BT_ADDINS "\t" BT_ADDIN_ITEM "\n";
  jobs += std::string("I\t") + r.ini + "\t" BT_SECTION "\t" BT_SERVERTASKS "\t" BT_TASK_ITEM "\n";
#ifdef _WIN32
  jobs += "R\tSoftware\\Korvan\\Components\\" BT_REG_SECTION "\t" BT_REG_VALUE "\t" + r.host + BT_QSX_MODULE "\n";
  (void)KCRegistryRemoveString(BT_REG_SECTION, BT_REG_VALUE);
#else
  std::string key = BT_REG_SECTION;
  std::replace(key.begin(), key.end(), '\\', '/');
  jobs += "R\t" + r.dir + "registry/Software/Korvan/Components/" + key + "\t" BT_REG_VALUE "\t" + r.host +
          BT_QSX_MODULE "\n";
#endif
  write_file(r.jobs, jobs);
  return r;
}

// One line per run for --phases: the moments the system recorded the
// child's creation and end (Windows), and the child's own marks, in
// milliseconds from the start call; then the whole, as timed.
static void show_phases(int kind, unsigned long long us0, double created, double ended, double ms,
                        const std::string &err) {
  std::string line = std::string(kKinds[kind]) + ":";
  char buf[160];
  if (created >= 0) {
    snprintf(buf, sizeof buf, " created %.1f", (created - (double)us0) / 1000);
    line += buf;
  }
  std::istringstream marks(read_file(err));
  std::string word, label;
  unsigned long long at;
  while (marks >> word) {
    if (word != "MARK" || !(marks >> label >> at)) continue;
    snprintf(buf, sizeof buf, " %s %.1f", label.c_str(), ((double)at - (double)us0) / 1000);
    line += buf;
  }
  if (ended >= 0) {
    snprintf(buf, sizeof buf, " ended %.1f", (ended - (double)us0) / 1000);
    line += buf;
  }
  snprintf(buf, sizeof buf, " | woken %.1f", ms);
  fprintf(stderr, "%s%s\n", line.c_str(), buf);
}

// Starts one of the three with the answers on standard input, in the
// distribution folder, the run's host folder first on PATH; waits for its
// end. The milliseconds from the start to the end; *status its exit status
// (-1 when it could not be started).
double Bench::start(int kind, const Run &run, int *status) const {
  std::string prog =
      dist + (kind == PROGRAM ? std::string("nzeptins.exe") : std::string("install_") + kKinds[kind] + EXE);
  std::string out = run.dir + "stdout.txt", err = run.dir + "stderr.txt";
  std::string path = run.host.substr(0, run.host.size() - 1) + LISTSEP + path_before;
  *status = -1;
#ifdef _WIN32
  SECURITY_ATTRIBUTES sa = {sizeof sa, NULL, TRUE};
  HANDLE hin = CreateFileA(answers.c_str(), GENERIC_READ, FILE_SHARE_READ, &sa, OPEN_EXISTING, 0, NULL);
  HANDLE hout = CreateFileA(out.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &sa, CREATE_ALWAYS, 0, NULL);
  HANDLE herr = CreateFileA(err.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &sa, CREATE_ALWAYS, 0, NULL);
  SetEnvironmentVariableA("PATH", path.c_str());
  std::string cmd = "\"" + prog + "\"";
  if (kind != PROGRAM) cmd += " \"" + run.jobs + "\"" + (durable ? " --durable" : "");
  std::vector<char> cmdline(cmd.begin(), cmd.end());
  cmdline.push_back('\0');
  STARTUPINFOA si;
  memset(&si, 0, sizeof si);
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = hin;
  si.hStdOutput = inherit_out ? GetStdHandle(STD_OUTPUT_HANDLE) : hout;
  si.hStdError = inherit_out ? GetStdHandle(STD_ERROR_HANDLE) : herr;
  PROCESS_INFORMATION pi;
  double ms = 0;
  unsigned long long us0 = bench_now_us();
  Clock::time_point t0 = Clock::now();
  if (CreateProcessA(prog.c_str(), cmdline.data(), NULL, NULL, TRUE, 0, NULL, dist.c_str(), &si, &pi)) {
    WaitForSingleObject(pi.hProcess, INFINITE);
    ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    *status = (int)code;
    FILETIME c, e, k, u;
    // The system's record of the child's creation and end, in the marks' unit.
    auto us = [](FILETIME f) {
      return (double)((((uint64_t)f.dwHighDateTime << 32) | f.dwLowDateTime) / 10 - 11644473600000000ULL);
    };
    if (phases && GetProcessTimes(pi.hProcess, &c, &e, &k, &u)) show_phases(kind, us0, us(c), us(e), ms, err);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
  }
  SetEnvironmentVariableA("PATH", path_before.c_str());
  CloseHandle(hin);
  CloseHandle(hout);
  CloseHandle(herr);
  return ms;
#else
  std::vector<std::string> env = {"PATH=" + path, "KC_REGISTRY_ROOT=" + run.dir + "registry"};
  for (char **e = environ; *e; ++e)
    if (strncmp(*e, "PATH=", 5) != 0 && strncmp(*e, "KC_REGISTRY_ROOT=", 17) != 0) env.push_back(*e);
  env.insert(env.end(), child_env.begin(), child_env.end());
  std::vector<char *> envp;
  for (std::string &e : env) envp.push_back(&e[0]);
  envp.push_back(nullptr);
  std::string jobs = run.jobs, flag = "--durable";
  std::vector<char *> argv = {&prog[0]};
  if (kind != PROGRAM) argv.push_back(&jobs[0]);
  if (kind != PROGRAM && durable) argv.push_back(&flag[0]);
  argv.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, answers.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addchdir_np(&fa, dist.c_str());
  pid_t pid;
  unsigned long long us0 = bench_now_us();
  Clock::time_point t0 = Clock::now();
  int rc = posix_spawn(&pid, prog.c_str(), &fa, nullptr, argv.data(), envp.data());
  double ms = 0;
  if (rc == 0) {
    int ws = 0;
    while (waitpid(pid, &ws, 0) < 0) {
    }
    ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    *status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
    if (phases) show_phases(kind, us0, -1, -1, ms, err);
  }
  posix_spawn_file_actions_destroy(&fa);
  return ms;
#endif
}

// "" when the run did its whole job, else what is wrong.
std::string Bench::check(int kind, const Run &run, int status) const {
  if (status != 0) return "exit status " + std::to_string(status) + "; stderr: " + read_file(run.dir + "stderr.txt");
  for (const Copy &c : copies) {
    std::string dest = c.dest;
    std::replace(dest.begin(), dest.end(), '/', SEP);
    std::error_code ec;
    if (fs::file_size(run.dir + dest, ec) != c.size || ec) return dest + " missing or of the wrong size";
  }
  if (kind == FLOOR) return "";
  std::string ini = read_file(run.ini);
  if (ini.find("Sched,ZEPT") == std::string::npos || ini.find("nqsxmail.dll,nzeptext.dll") == std::string::npos)
    return "pagra.ini lacks the package's items";
  char val[BT_PATH_MAX] = "";
#ifndef _WIN32
  setenv("KC_REGISTRY_ROOT", (run.dir + "registry").c_str(), 1);
#endif
  if (KCRegistryGetString(BT_REG_SECTION, BT_REG_VALUE, val, sizeof val) != 0 || run.host + BT_QSX_MODULE != val)
    return std::string("registry value ") + BT_REG_VALUE + " is '" + val + "'";
  if (kind == PLAIN) return "";
  std::string before = replace_once(ini_template, "@DATA@", run.data.substr(0, run.data.size() - 1));
  std::string want = replace_once(replace_once(before, "Sched\r\n", "Sched,ZEPT\r\n"), "nqsxmail.dll\r\n",
                                  "nqsxmail.dll,nzeptext.dll\r\n");
  if (ini != want) return "pagra.ini is not as the install leaves it";
  if (!inherit_out && read_file(run.dir + "stdout.txt").find("Congratualations") == std::string::npos)
    return "the transcript lacks the closing message";
  return "";
}

static double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n == 0 ? 0 : n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

static void print_ratio(const char *name, const std::vector<double> &r) {
  if (r.empty()) return;
  printf("  %-15s %5.2f   (%.2f-%.2f)\n", name, median(r), *std::min_element(r.begin(), r.end()),
         *std::max_element(r.begin(), r.end()));
}

int main(int argc, char **argv) {
  int rounds = 9;
  bool keep = false, want[KINDS] = {false, false, false}, any_only = false;
  Bench b;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--keep") {
      keep = true;
    } else if (a == "--only" && i + 1 < argc) {
      std::string k = argv[++i];
      for (int j = 0; j < KINDS; ++j)
        if (k == kKinds[j]) want[j] = any_only = true;
    } else if (a == "--inherit-output") {
      b.inherit_out = true;
    } else if (a == "--durable") {
      b.durable = true;
    } else if (a == "--phases") {
      b.phases = true;
    } else if (a == "--child-env" && i + 1 < argc) {
      b.child_env.push_back(argv[++i]);
    } else if (a[0] != '-' && atoi(a.c_str()) > 0) {
      rounds = atoi(a.c_str());
    } else {
      fprintf(stderr,
              "usage: install_bench [rounds] [--only program|plain|floor]... [--durable] [--keep] [--child-env N=V]...\n");
      return 2;
    }
  }
  if (!any_only) std::fill(want, want + KINDS, true);
  if (b.phases) b.child_env.push_back("NZ_BENCH_MARKS=1");

  b.build = self_dir();
  b.root = (fs::temp_directory_path() /
            ("nz-install-bench-" + std::to_string((unsigned)time(nullptr)) + "-" + std::to_string(process_id())))
               .string() +
           SEP;
  b.dist = b.root + "dist" + SEP;
  b.answers = b.root + "answers.txt";
  b.ini_template = sample_ini();
  if (b.ini_template.empty()) {
    fprintf(stderr, "cannot read scripts/sample/pagra.ini\n");
    return 1;
  }
  const char *path = getenv("PATH");
  b.path_before = path ? path : "";
#ifdef _WIN32
  for (const std::string &e : b.child_env) {
    size_t eq = e.find('=');
    if (eq != std::string::npos) SetEnvironmentVariableA(e.substr(0, eq).c_str(), e.substr(eq + 1).c_str());
  }
#endif

  // The distribution: the installer itself, four large files and sixteen
  // small ones (as copy_bench has them), and the two data files.
  fs::create_directories(b.dist);
  write_file(b.answers, kAnswers);
  // The program is nzeptins.exe on Linux too.
  for (std::string name :
       {std::string("nzeptins.exe"), "install_plain" + std::string(EXE), "install_floor" + std::string(EXE)}) {
    std::error_code ec;
    fs::copy_file(b.build + name, b.dist + name, fs::copy_options::overwrite_existing, ec);
    if (ec) {
      fprintf(stderr, "cannot copy %s from %s: %s\n", name.c_str(), b.build.c_str(), ec.message().c_str());
      fs::remove_all(b.root, ec);
      return 1;
    }
  }
  int i = 0;
  for (const BTFileNameStrings &row : Files) {
    size_t size = (i == 0) ? 10u << 20 : (i == 5) ? 8u << 20 : (i == 11) ? 6u << 20 : (i == 17) ? 5u << 20 : 64u << 10;
    if (strcmp(row.src, "nzeptins.exe") == 0)
      size = (size_t)fs::file_size(b.dist + row.src);
    else
      make_file(b.dist + row.src, size, (unsigned)i);
    ++i;
    b.copies.push_back({row.src, std::string("host/") + row.dest, size});
  }
  for (const BTFileNameStrings &row : PTFPSF_Files) {
    make_file(b.dist + row.src, 256u << 10, (unsigned)i++);
    b.copies.push_back({row.src, std::string("data/") + row.dest, 256u << 10});
  }
  std::reverse(b.copies.begin(), b.copies.begin() + BT_FILES_COUNT); // the installer's order
  std::reverse(b.copies.begin() + BT_FILES_COUNT, b.copies.end());
  for (const Copy &c : b.copies) b.total += c.size;

  printf(
      "whole install: %u files, %.1f MiB, 2 list entries of pagra.ini, 1 registry value; %d rounds after 1 "
      "warm-up%s\n",
      (unsigned)b.copies.size(), b.total / 1048576.0, rounds,
      b.durable ? "; plain and floor flush what they wrote, as the installer does" : "");
  printf("%5s %9s %9s %9s | %10s %10s %11s\n", "round", "program", "plain", "floor", "prog/plain", "prog/floor",
         "plain/floor");

  std::vector<double> ms[KINDS], r_pp, r_pf, r_lf;
  for (int round = 0; round <= rounds; ++round) {
    double t[KINDS] = {0, 0, 0};
    for (int k = 0; k < KINDS; ++k) {
      int kind = (k + round) % KINDS; // each goes first, second and third in turn
      if (!want[kind]) continue;
      Run run = b.make_run(round, kind);
      int status;
      t[kind] = b.start(kind, run, &status);
      std::string wrong = b.check(kind, run, status);
      if (!wrong.empty()) {
        fprintf(stderr, "round %d, %s: %s (tree kept in %s)\n", round, kKinds[kind], wrong.c_str(), run.dir.c_str());
        return 3;
      }
      if (!keep) {
        std::error_code ec;
        fs::remove_all(run.dir, ec);
      }
    }
    if (round == 0) continue; // the warm-up: caches, the first start of each
    for (int k = 0; k < KINDS; ++k)
      if (want[k]) ms[k].push_back(t[k]);
    printf("%5d %9.1f %9.1f %9.1f |", round, t[PROGRAM], t[PLAIN], t[FLOOR]);
    if (want[PROGRAM] && want[PLAIN]) r_pp.push_back(t[PROGRAM] / t[PLAIN]);
    if (want[PROGRAM] && want[FLOOR]) r_pf.push_back(t[PROGRAM] / t[FLOOR]);
    if (want[PLAIN] && want[FLOOR]) r_lf.push_back(t[PLAIN] / t[FLOOR]);
    printf(" %10.2f %10.2f %11.2f\n", r_pp.empty() ? 0 : r_pp.back(), r_pf.empty() ? 0 : r_pf.back(),
           r_lf.empty() ? 0 : r_lf.back());
  }
  if (!keep) {
    std::error_code ec;
    fs::remove_all(b.root, ec);
  }

  printf("\nmilliseconds, median (min-max), every run checked:\n");
  for (int k = 0; k < KINDS; ++k)
    if (want[k])
      printf("  %-15s %7.1f (%.1f-%.1f)\n", kKinds[k], median(ms[k]), *std::min_element(ms[k].begin(), ms[k].end()),
             *std::max_element(ms[k].begin(), ms[k].end()));
  printf("median of the per-round ratios (range):\n");
  print_ratio("program/plain", r_pp);
  print_ratio("program/floor", r_pf);
  print_ratio("plain/floor", r_lf);
  return 0;
}

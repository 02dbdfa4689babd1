// Benchmark: setting and removing one entry of the INI store in generated
// host configuration files of 300, 10,000 and 100,000 lines, beside, in
// the same run and on the same file:
//   - the floor of a safe rewrite: copy the file in 1 MiB blocks, fsync, put it
//     in place by rename, fsync the folder (the seam's own calls),
//   - natively: crudini --set / --del (a process each),
//   - under Wine: the system's WritePrivateProfileStringA, in this process.
// The entry goes into [Pagra], which stands in the middle of the file, so
// that half the file is looked at line by line. Each time is the median
// of several runs on a warm cache, in milliseconds. Each ratio to the
// floor is the median of the runs' own ratios, each call beside the mean
// of the floor's runs just before and just after it: the disk's pace
// drifts from run to run, by more than the store differs from the floor.
//   ini_bench [runs] [folder]
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "os.h"
#include "plat.h"
#include "plat_int.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

static double ms_since(Clock::time_point t0) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

static double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

// A host configuration of about `lines` lines: sections of ten entries,
// comments, blank lines between sections, [Pagra] in the middle.
static std::string make_ini(size_t lines) {
  std::string s = "; Host server configuration\r\n; generated for the benchmark\r\n";
  size_t n = 2, sect = 0;
  bool pagra_done = false;
  char buf[160];
  while (n < lines) {
    if (!pagra_done && n >= lines / 2) {
      s += "[Pagra]\r\nDirectory=D:\\Delvan\\data\r\nServerTasks=Replica,Router,Update,AMgr,Adminp,HTTP\r\n"
           "EXTMGR_ADDINS=ext1.dll,ext2.dll\r\nLog=log.nsf\r\n\r\n";
      n += 6;
      pagra_done = true;
      continue;
    }
    snprintf(buf, sizeof buf, "[Section%05lu]\r\n", (unsigned long)sect);
    s += buf;
    ++n;
    if (sect % 3 == 0) {
      snprintf(buf, sizeof buf, ";settings of component %lu\r\n", (unsigned long)sect);
      s += buf;
      ++n;
    }
    for (int k = 0; k < 10 && n < lines; ++k, ++n) {
      snprintf(buf, sizeof buf, "Setting_%02d=value %lu.%d for the server, path C:\\Program Files\\x%lu\r\n", k,
               (unsigned long)sect, k, (unsigned long)sect);
      s += buf;
    }
    s += "\r\n";
    ++n;
    ++sect;
  }
  return s;
}

static bool write_all(const std::string &path, const std::string &bytes) {
  FILE *f = fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return fclose(f) == 0 && ok;
}

static std::string read_all(const std::string &path) {
  std::string s;
  FILE *f = fopen(path.c_str(), "rb");
  if (!f) return s;
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
  fclose(f);
  return s;
}

// The floor: the whole file through a fresh file, flushed, renamed over.
// *sync_ms receives the time of the flush alone.
static bool safe_rewrite(const std::string &path, const std::string &tmp, double *sync_ms) {
  static char buf[1 << 20]; // blocks of 1 MiB, as copy_bench's floor
  os_fd in, out;
  if (os_open_read(path.c_str(), &in) != 0) return false;
  if (os_create_excl(tmp.c_str(), &out) != 0) {
    os_close(in);
    return false;
  }
  int e = 0;
  bool ok = true;
  for (;;) {
    long got = os_read(in, buf, sizeof buf, &e);
    if (got <= 0) {
      ok = got == 0;
      break;
    }
    for (long done = 0; done < got;) {
      long put = os_write(out, buf + done, (size_t)(got - done), &e);
      if (put <= 0) return false;
      done += put;
    }
  }
  Clock::time_point t0 = Clock::now();
  ok = ok && os_fsync(out) == 0;
  *sync_ms = ms_since(t0);
  os_close(in);
  ok = ok && os_fd_rename(out, tmp.c_str(), path.c_str(), 1) == 0;
  ok = os_close(out) == 0 && ok;
  char dir[KC_PATH_MAX];
  return ok && kc_folder_of(path.c_str(), dir, sizeof dir) && os_sync_dir(dir) == 0;
}

struct Row {
  size_t lines = 0, bytes = 0;
  double set = 0, remove = 0, floor = 0, sync = 0, other_set = 0, other_remove = 0;
  double set_ratio = 0, remove_ratio = 0;
};

// The median of each store run's time over the mean of the floor's runs
// on either side of it (floor[2k], store[k], floor[2k+1] for the sets;
// floor[2k+1], store[k], floor[2k+2] for the removals).
static double paired_ratio(const std::vector<double> &store, const std::vector<double> &floor, size_t first) {
  std::vector<double> r;
  for (size_t k = 0; k < store.size(); ++k) {
    size_t before = 2 * k + first, after = before + 1 < floor.size() ? before + 1 : before;
    r.push_back(store[k] / ((floor[before] + floor[after]) / 2));
  }
  return median(r);
}

int main(int argc, char **argv) {
  int runs = argc > 1 ? atoi(argv[1]) : 15;
  if (runs < 1) runs = 1;
  fs::path dir = argc > 2 ? fs::path(argv[2]) : fs::temp_directory_path() / "nz-ini-bench";
  std::error_code ec;
  fs::create_directories(dir, ec);
  std::string path = (dir / "pagra.ini").string();
  std::string tmp = (dir / "floor.tmp").string();
#ifdef _WIN32
  const char *other = "WritePrivateProfileStringA";
  int other_runs = runs;
#else
  const char *other = "crudini";
  int other_runs = std::max(3, runs / 3); // a process start each
  if (system("crudini --version >/dev/null 2>&1") != 0) {
    fprintf(stderr, "crudini is not installed\n");
    return 1;
  }
#endif
  const char *value = "Replica,Router,Update,AMgr,Adminp,HTTP,ZEPT";

  std::vector<Row> rows;
  for (size_t lines : {(size_t)300, (size_t)10000, (size_t)100000}) {
    Row row;
    row.lines = lines;
    const std::string ini = make_ini(lines);
    row.bytes = ini.size();
    std::vector<double> set, rem, flo, syn, oset, orem;
    double sync_ms = 0;

    // The store and the floor take turns, so that both meet the same
    // state of the disk and the machine. A set then a removal gives back
    // the same bytes.
    if (!write_all(path, ini)) return 1;
    for (int r = 0; r < runs; ++r) {
      Clock::time_point t0 = Clock::now();
      if (!safe_rewrite(path, tmp, &sync_ms)) return 4;
      flo.push_back(ms_since(t0));
      syn.push_back(sync_ms);
      t0 = Clock::now();
      if (KCINISetString("Pagra", "ZeptBench", value, path.c_str()) != 0) return 2;
      set.push_back(ms_since(t0));
      t0 = Clock::now();
      if (!safe_rewrite(path, tmp, &sync_ms)) return 4;
      flo.push_back(ms_since(t0));
      syn.push_back(sync_ms);
      t0 = Clock::now();
      if (KCINIRemoveString("Pagra", "ZeptBench", path.c_str()) != 0) return 2;
      rem.push_back(ms_since(t0));
    }
    if (read_all(path) != ini) {
      fprintf(stderr, "the store did not give back the file\n");
      return 3;
    }

    if (!write_all(path, ini)) return 1;
    for (int r = 0; r < other_runs; ++r) {
#ifdef _WIN32
      Clock::time_point t0 = Clock::now();
      if (!WritePrivateProfileStringA("Pagra", "ZeptBench", value, path.c_str())) return 5;
      oset.push_back(ms_since(t0));
      t0 = Clock::now();
      if (!WritePrivateProfileStringA("Pagra", "ZeptBench", NULL, path.c_str())) return 5;
      orem.push_back(ms_since(t0));
#else
      std::string q = "'" + path + "'";
      Clock::time_point t0 = Clock::now();
      if (system(("crudini --set " + q + " Pagra ZeptBench " + value).c_str()) != 0) return 5;
      oset.push_back(ms_since(t0));
      t0 = Clock::now();
      if (system(("crudini --del " + q + " Pagra ZeptBench").c_str()) != 0) return 5;
      orem.push_back(ms_since(t0));
#endif
    }
    row.set = median(set);
    row.remove = median(rem);
    row.set_ratio = paired_ratio(set, flo, 0);
    row.remove_ratio = paired_ratio(rem, flo, 1);
    row.floor = median(flo);
    row.sync = median(syn);
    row.other_set = median(oset);
    row.other_remove = median(orem);
    rows.push_back(row);
  }
  fs::remove(path, ec);
  fs::remove(tmp, ec);
  fs::remove(dir, ec);

  printf("INI store, median of %d runs (%s: %d), milliseconds\n", runs, other, other_runs);
  printf("%8s %9s | %8s %8s | %8s %6s %6s %6s | %8s %8s %6s %6s\n", "lines", "bytes", "set", "remove", "floor",
         "(sync)", "set/fl", "rm/fl", "o.set", "o.remove", "set/o", "rm/o");
  for (const Row &r : rows)
    printf("%8lu %9lu | %8.3f %8.3f | %8.3f %6.3f %6.2f %6.2f | %8.3f %8.3f %6.2f %6.2f\n", (unsigned long)r.lines,
           (unsigned long)r.bytes, r.set, r.remove, r.floor, r.sync, r.set_ratio, r.remove_ratio, r.other_set,
           r.other_remove, r.set / r.other_set, r.remove / r.other_remove);
  printf("floor: copy in 1 MiB blocks, fsync, rename over, fsync the folder; (sync): the fsync alone;\n"
         "set/fl, rm/fl: median of each run over the floor's runs beside it; o.: %s\n", other);
  return 0;
}

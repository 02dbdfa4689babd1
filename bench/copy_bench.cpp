// Benchmark: installing the 21-file package (about 30 MB, a few files of 5
// to 10 MB) with BTInstallProgramFiles, as a first install and as an
// upgrade over the same files, beside in the same run
//   - the floor: reading and writing the same bytes in 1 MiB blocks,
//   - natively: `cp -p` of the same files,
//   - under Wine: the system's CopyFileA on the same files,
// each also followed by a flush of every file written (and of the two
// folders, natively), which the installer does before it reports done.
// Each is run several times on a warm cache; the median counts.
//   copy_bench [runs]
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "btsetup.h"
#include "os.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

static std::string sep_end(const fs::path &p) { return p.string() + OS_DIRSEP; }

static void make_file(const std::string &path, size_t size, unsigned seed) {
  std::vector<char> buf(1 << 20);
  for (size_t i = 0; i < buf.size(); ++i) buf[i] = (char)((i * 2654435761u + seed) >> 13);
  FILE *f = fopen(path.c_str(), "wb");
  for (size_t done = 0; done < size;) {
    size_t n = std::min(buf.size(), size - done);
    fwrite(buf.data(), 1, n, f);
    done += n;
  }
  fclose(f);
}

struct Job {
  std::string src, dest;
};

static double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

template <class F>
static double time_ms(F f) {
  auto t0 = Clock::now();
  f();
  return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

static void clear(const std::vector<Job> &jobs) {
  for (const Job &j : jobs) os_remove(j.dest.c_str());
}

// What a plain copy adds to be on disk: each file flushed, and (natively)
// each of the two folders. cp keeps the source's name (nzeptins.exe).
static void flush_all(const std::vector<Job> &jobs, const std::string &host, const std::string &data, bool cp_names) {
  for (const Job &j : jobs) {
    std::string dest = cp_names ? j.dest.substr(0, j.dest.rfind(OS_DIRSEP) + 1) + fs::path(j.src).filename().string() : j.dest;
#ifdef _WIN32
    HANDLE h = CreateFileA(dest.c_str(), GENERIC_WRITE, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (h == INVALID_HANDLE_VALUE || !FlushFileBuffers(h)) abort();
    CloseHandle(h);
#else
    int fd = open(dest.c_str(), O_WRONLY);
    if (fd < 0 || fsync(fd) != 0) abort();
    close(fd);
#endif
  }
  os_sync_dir(host.c_str());
  os_sync_dir(data.c_str());
}

// The floor: the same bytes read and written in 1 MiB blocks.
static void floor_copy(const std::vector<Job> &jobs) {
  static std::vector<char> buf(1 << 20);
  for (const Job &j : jobs) {
    os_fd in, out;
    int e;
    if (os_open_read(j.src.c_str(), &in) || os_create_trunc(j.dest.c_str(), &out)) abort();
    long n;
    while ((n = os_read(in, buf.data(), buf.size(), &e)) > 0)
      if (os_write(out, buf.data(), (size_t)n, &e) != n) abort();
    os_close(in);
    os_close(out);
  }
}

int main(int argc, char **argv) {
  int runs = argc > 1 ? atoi(argv[1]) : 7;
  fs::path root = fs::temp_directory_path() / ("copy-bench-" + std::to_string((unsigned)time(nullptr)));
  fs::create_directories(root / "dist");
  fs::create_directories(root / "host");
  fs::create_directories(root / "data");
  std::string dist = sep_end(root / "dist"), host = sep_end(root / "host"), data = sep_end(root / "data");

  // Four large files and seventeen small ones: about 30 MB in all.
  std::vector<Job> jobs;
  size_t total = 0;
  int i = 0;
  for (const BTFileNameStrings &row : Files) {
    size_t size = (i == 0) ? 10u << 20 : (i == 5) ? 8u << 20 : (i == 11) ? 6u << 20 : (i == 17) ? 5u << 20 : 64u << 10;
    make_file(dist + row.src, size, (unsigned)i++);
    jobs.push_back({dist + row.src, host + row.dest});
    total += size;
  }
  for (const BTFileNameStrings &row : PTFPSF_Files) {
    make_file(dist + row.src, 256u << 10, (unsigned)i++);
    jobs.push_back({dist + row.src, data + row.dest});
    total += 256u << 10;
  }
  snprintf(gInstDir, sizeof gInstDir, "%s", dist.c_str());

  // The installer's copy, as a first install and as an upgrade; each
  // other copy plain and flushed.
  auto install = [&] {
    char dir[BT_PATH_MAX];
    snprintf(dir, sizeof dir, "%s", host.c_str());
    if (BTInstallProgramFiles(dir, data.c_str()) != 0) abort();
  };
  auto system_copy = [&] {
#ifdef _WIN32
    for (const Job &j : jobs)
      if (!CopyFileA(j.src.c_str(), j.dest.c_str(), FALSE)) abort();
#else
    std::string cmd = "cp -p";
    for (const BTFileNameStrings &row : Files) cmd += " '" + dist + row.src + "'";
    cmd += " '" + host + "' && cp -p '" + dist + "zeptadm.ptf' '" + dist + "zeptdoc.psf' '" + data + "'";
    if (system(cmd.c_str()) != 0) abort();
#endif
  };
#ifdef _WIN32
  const bool kWindowsCopy = true;
#else
  const bool kWindowsCopy = false;
#endif
  enum { FIRST, UPGRADE, FLOOR, FLOOR_FLUSHED, SYSTEM, SYSTEM_FLUSHED, SYSTEM_OVER_FLUSHED, KINDS };
  std::vector<double> ms[KINDS];
  for (int r = 0; r < runs; ++r) {
    clear(jobs);
    ms[FLOOR].push_back(time_ms([&] { floor_copy(jobs); }));
    clear(jobs);
    ms[FLOOR_FLUSHED].push_back(time_ms([&] {
      floor_copy(jobs);
      flush_all(jobs, host, data, false);
    }));
    clear(jobs);
    ms[FIRST].push_back(time_ms(install));
    ms[UPGRADE].push_back(time_ms(install));
    clear(jobs);
    ms[SYSTEM].push_back(time_ms(system_copy));
    clear(jobs);
    ms[SYSTEM_FLUSHED].push_back(time_ms([&] {
      system_copy();
      flush_all(jobs, host, data, !kWindowsCopy);
    }));
    // Over the earlier files, as an upgrade finds them.
    ms[SYSTEM_OVER_FLUSHED].push_back(time_ms([&] {
      system_copy();
      flush_all(jobs, host, data, !kWindowsCopy);
    }));
  }
  fs::remove_all(root);
#ifdef _WIN32
  const char *sys = "CopyFileA";
#else
  const char *sys = "cp -p";
#endif
  double first = median(ms[FIRST]), upgrade = median(ms[UPGRADE]);
  printf("\npackage: 21 files, %.1f MB, %d runs (medians, ms; ratios: first install, upgrade)\n", total / 1048576.0, runs);
  printf("  BTInstallProgramFiles, first install  %8.1f\n", first);
  printf("  BTInstallProgramFiles, upgrade        %8.1f\n", upgrade);
  const struct {
    const char *what, *name;
    int kind;
  } rows[] = {{"read/write 1 MiB floor", "", FLOOR},
              {"floor, flushed", "", FLOOR_FLUSHED},
              {sys, "", SYSTEM},
              {sys, ", flushed", SYSTEM_FLUSHED},
              {sys, " over earlier files, flushed", SYSTEM_OVER_FLUSHED}};
  for (const auto &row : rows) {
    double x = median(ms[row.kind]);
    std::string label = std::string(row.what) + row.name;
    printf("  %-37s %8.1f   %.2f  %.2f\n", label.c_str(), x, first / x, upgrade / x);
  }
  return 0;
}

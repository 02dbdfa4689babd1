// Many callers at once on one INI file or one registry key: real writer
// processes (this program started again as a worker), a reader loop
// beside a writer, threads of one process, and writers that spell one
// registry key and its values each in their own letter case. Every change
// reported done is there afterwards, and no reader makes a writer fail.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "os.h"
#include "plat.h"
#include "testsupport.h"

using nzt::TempDir;

namespace {

typedef std::vector<std::string> Args;

// A worker's tally, printed as one line on its standard output.
struct Tally {
  int ok = 0, failed = 0;
  uint32_t last_failure = 0;
};

std::string tally_line(const Tally &t) {
  return "tally " + std::to_string(t.ok) + " " + std::to_string(t.failed) + " " + std::to_string(t.last_failure);
}

bool parse_tally(const std::string &out, Tally *t) {
  size_t at = out.find("tally ");
  unsigned long ok, failed, last;
  if (at == std::string::npos || sscanf(out.c_str() + at, "tally %lu %lu %lu", &ok, &failed, &last) != 3) return false;
  t->ok = (int)ok;
  t->failed = (int)failed;
  t->last_failure = (uint32_t)last;
  return true;
}

void count(Tally *t, uint32_t st) {
  if (st == 0) {
    t->ok++;
  } else {
    t->failed++;
    t->last_failure = st;
  }
}

// Workers start together: each waits for the gate file, so that the
// programs' start-up (slow under Wine) does not run them one after another.
void wait_for_gate(const std::string &gate) {
  for (int i = 0; i < 60000 && !nzt::file_exists(gate); ++i) os_sleep_ms(1);
}

// Jobs, each a name and its arguments:
//   ini-set FILE SECTION PREFIX COUNT  sets PREFIX0.. PREFIX(COUNT-1)
//   ini-read FILE SECTION ENTRY STOP   reads ENTRY until STOP exists
//   reg-set SECTION PREFIX COUNT VALUE sets PREFIX0.. to VALUE
Tally run_job(const Args &a) {
  Tally t;
  if (a[0] == "ini-set") {
    for (int i = 0; i < atoi(a[4].c_str()); ++i)
      count(&t, KCINISetString(a[2].c_str(), (a[3] + std::to_string(i)).c_str(), "v", a[1].c_str()));
  } else if (a[0] == "ini-read") {
    char buf[KC_INI_LINE_MAX];
    while (!nzt::file_exists(a[4])) count(&t, KCINIGetString(a[2].c_str(), a[3].c_str(), buf, a[1].c_str()));
  } else if (a[0] == "reg-set") {
    for (int i = 0; i < atoi(a[3].c_str()); ++i)
      count(&t, KCRegistrySetString(a[1].c_str(), (a[2] + std::to_string(i)).c_str(), a[4].c_str()));
  }
  return t;
}

// The worker's side: started with --gtest_also_run_disabled_tests, a
// filter for this test alone, then "--job", the gate file and the job.
TEST(AtOnceWorker, DISABLED_Run) {
  const std::vector<std::string> argv = ::testing::internal::GetArgvs();
  auto job = std::find(argv.begin(), argv.end(), "--job");
  ASSERT_TRUE(job != argv.end() && argv.end() - job >= 3) << "started without a job";
  wait_for_gate(job[1]);
  printf("%s\n", tally_line(run_job(Args(job + 2, argv.end()))).c_str());
}

std::string self_path() { return nzt::build_dir() + "ini_tests" + OS_EXE_SUFFIX; }

// Runs each job in a process of its own, all at once; the tallies in order.
std::vector<Tally> run_workers(const std::vector<Args> &jobs, const std::string &gate) {
  std::vector<nzt::RunResult> results(jobs.size());
  std::vector<std::thread> threads;
  for (size_t i = 0; i < jobs.size(); ++i)
    threads.emplace_back([&, i] {
      Args argv = {self_path(), "--gtest_also_run_disabled_tests", "--gtest_filter=AtOnceWorker.DISABLED_Run", "--job", gate};
      argv.insert(argv.end(), jobs[i].begin(), jobs[i].end());
      results[i] = nzt::run_program(self_path(), argv, "", "", {}, 120000);
    });
  os_sleep_ms(nzt::kWindows ? 1500 : 200); // the processes are up
  nzt::write_file(gate, "go");
  for (auto &t : threads) t.join();
  std::vector<Tally> tallies(jobs.size());
  for (size_t i = 0; i < jobs.size(); ++i)
    EXPECT_TRUE(parse_tally(results[i].out, &tallies[i])) << "worker " << i << " exit " << results[i].exit_code << ": "
                                                          << results[i].out << results[i].err;
  return tallies;
}

// The entries of the file as its lines say: "name=value" lines, by name.
std::map<std::string, int> entries_on_disk(const std::string &path) {
  std::map<std::string, int> seen;
  std::string bytes = nzt::read_file(path);
  for (size_t at = 0; at < bytes.size();) {
    size_t end = bytes.find('\n', at);
    std::string line = bytes.substr(at, end == std::string::npos ? std::string::npos : end - at);
    at = end == std::string::npos ? bytes.size() : end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t eq = line.find('=');
    if (eq != std::string::npos) seen[line.substr(0, eq)]++;
  }
  return seen;
}

// How many of the entries PREFIX0 .. PREFIX(n-1) the file holds once each.
int present(const std::map<std::string, int> &seen, const std::string &prefix, int n) {
  int found = 0;
  for (int i = 0; i < n; ++i) {
    auto it = seen.find(prefix + std::to_string(i));
    if (it != seen.end() && it->second == 1) ++found;
  }
  return found;
}

class AtOnce : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!nzt::kWindows) reg_env_ = std::make_unique<nzt::EnvGuard>("KC_REGISTRY_ROOT", (tmp_.dir() + "registry").c_str());
    ini_ = tmp_.path("pagra.ini");
    gate_ = tmp_.path("gate");
    stop_ = tmp_.path("stop");
    ASSERT_TRUE(nzt::write_file(ini_, nzt::crlf({"[Pagra]", "Directory=d"})));
  }
  TempDir tmp_;
  std::string ini_, gate_, stop_;
  std::unique_ptr<nzt::EnvGuard> reg_env_;
};

// N writer processes, each setting its own new entries of one section.
TEST_F(AtOnce, WriterProcessesLoseNoEntry) {
  const int writers = 3, each = nzt::kWindows ? 60 : 150;
  std::vector<Args> jobs;
  for (int w = 0; w < writers; ++w) jobs.push_back({"ini-set", ini_, "Pagra", "W" + std::to_string(w) + "-", std::to_string(each)});
  std::vector<Tally> tallies = run_workers(jobs, gate_);
  std::map<std::string, int> seen = entries_on_disk(ini_);
  for (int w = 0; w < writers; ++w) {
    SCOPED_TRACE("writer " + std::to_string(w));
    EXPECT_EQ(tallies[w].ok, each) << "failed " << tallies[w].failed << ", last status " << tallies[w].last_failure;
    EXPECT_EQ(present(seen, "W" + std::to_string(w) + "-", each), each);
  }
  EXPECT_EQ(seen["Directory"], 1);
}

// A reader loop of another process beside 200 sets: no set fails, and no
// read misses the entry that is there all along.
TEST_F(AtOnce, AReaderNeverMakesAWriterFail) {
  std::vector<Args> jobs = {{"ini-read", ini_, "Pagra", "Directory", stop_}};
  std::thread writer([&] {
    wait_for_gate(gate_);
    Tally t = run_job({"ini-set", ini_, "Pagra", "S", "200"});
    nzt::write_file(stop_, "stop");
    EXPECT_EQ(t.ok, 200) << "failed " << t.failed << ", last status " << t.last_failure;
  });
  std::vector<Tally> reader = run_workers(jobs, gate_);
  writer.join();
  EXPECT_GT(reader[0].ok, 0);
  EXPECT_EQ(reader[0].failed, 0) << "last status " << reader[0].last_failure;
  EXPECT_EQ(present(entries_on_disk(ini_), "S", 200), 200);
}

// Threads of one process take turns too; two files at once, each large
// enough for the block a process's writers share, which one takes.
TEST_F(AtOnce, ThreadsOfOneProcessLoseNoEntry) {
  const int threads = 4, each = 30;
  const std::string files[2] = {ini_, tmp_.path("other.ini")};
  std::string filler = "[Before]\r\n";
  for (int i = 0; i < 5000; ++i) filler += "Line" + std::to_string(i) + "=" + std::string(40, 'f') + "\r\n";
  for (const std::string &f : files) ASSERT_TRUE(nzt::write_file(f, filler + "[Pagra]\r\n"));
  std::vector<Tally> tallies(threads);
  std::vector<std::thread> pool;
  for (int k = 0; k < threads; ++k)
    pool.emplace_back([&, k] {
      wait_for_gate(gate_);
      tallies[k] = run_job({"ini-set", files[k % 2], "Pagra", "T" + std::to_string(k) + "-", std::to_string(each)});
    });
  nzt::write_file(gate_, "go");
  for (auto &t : pool) t.join();
  for (int k = 0; k < threads; ++k) {
    SCOPED_TRACE("thread " + std::to_string(k));
    std::string bytes = nzt::read_file(files[k % 2]);
    EXPECT_EQ(tallies[k].ok, each) << "last status " << tallies[k].last_failure;
    EXPECT_EQ(present(entries_on_disk(files[k % 2]), "T" + std::to_string(k) + "-", each), each);
    EXPECT_EQ(bytes.compare(0, filler.size(), filler), 0);
  }
}

// Writer processes that each make one new key and set its values, each
// spelling the key and the value names in its own letter case: one key,
// one value of each name, every value read back through every spelling.
TEST_F(AtOnce, RegistryWritersInEverySpelling) {
  const char *spellings[] = {"NewKey", "NEWKEY", "newkey"};
  const char *prefixes[] = {"val", "VAL", "Val"};
  const int writers = 3, each = 30;
  char tag[32];
  snprintf(tag, sizeof tag, "NzAtOnce-%08x", (unsigned)os_unique_seed());
  std::vector<Args> jobs;
  for (int w = 0; w < writers; ++w)
    jobs.push_back({"reg-set", std::string(tag) + "\\" + spellings[w], prefixes[w], std::to_string(each), prefixes[w]});
  std::vector<Tally> tallies = run_workers(jobs, gate_);
  for (int w = 0; w < writers; ++w) {
    SCOPED_TRACE("writer " + std::to_string(w));
    EXPECT_EQ(tallies[w].ok, each) << "last status " << tallies[w].last_failure;
  }
  // Read through every spelling, then removed through one: gone in all.
  for (int round = 0; round < 2; ++round)
    for (int w = 0; w < writers; ++w)
      for (int i = 0; i < each; ++i) {
        SCOPED_TRACE("round " + std::to_string(round) + ", spelling " + std::to_string(w) + ", value " + std::to_string(i));
        char buf[8];
        std::string sect = std::string(tag) + "\\" + spellings[w], name = prefixes[(w + 1) % writers] + std::to_string(i);
        EXPECT_EQ(KCRegistryGetString(sect.c_str(), name.c_str(), buf, sizeof buf), round ? KC_ERR_REG_NOVALUE : 0u);
        if (round == 0 && w == writers - 1) {
          EXPECT_EQ(KCRegistryRemoveString(sect.c_str(), name.c_str()), 0u);
        }
      }
  if (!nzt::kWindows) {
    size_t keys = 0, values = 0;
    for (const auto &e : nzt::fs::directory_iterator(tmp_.dir() + "registry/Software/Korvan/Components/" + tag)) {
      ++keys;
      for (const auto &v : nzt::fs::directory_iterator(e.path())) values += v.path().filename().string()[0] == '=';
    }
    EXPECT_EQ(keys, 1u);
    EXPECT_EQ(values, 0u);
  }
}

}  // namespace

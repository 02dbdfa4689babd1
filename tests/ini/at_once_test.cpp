// Many callers at once on one INI file or one registry key: real writer
// processes (this program started again as its own workers), a reader loop
// beside a writer, threads of one process, and writers that spell one
// registry key and its values each in their own letter case. Every change
// reported done is there afterwards, and no reader makes a writer fail.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "os.h"
#include "plat.h"
#include "testsupport.h"

namespace {

typedef std::vector<std::string> Args;
struct Tally {
  int ok = 0, failed = 0;
  unsigned last = 0; // the last failure's status
};

// Workers start together at the gate file: the programs' start-up (slow
// under Wine) would otherwise run them one after another.
void wait_for_gate(const std::string &gate) {
  for (int i = 0; i < 60000 && !nzt::file_exists(gate); ++i) os_sleep_ms(1);
}

// ini-set FILE SECTION PREFIX N: sets PREFIX0 .. PREFIX(N-1) to "v".
// ini-read FILE SECTION ENTRY STOP: reads ENTRY until STOP exists.
// reg-set SECTION PREFIX N VALUE: sets PREFIX0 .. PREFIX(N-1) to VALUE.
Tally run_job(const Args &a) {
  Tally t;
  for (int i = 0;; ++i) {
    uint32_t st;
    char buf[KC_INI_LINE_MAX];
    if (a[0] == "ini-read") {
      if (nzt::file_exists(a[4])) break;
      st = KCINIGetString(a[2].c_str(), a[3].c_str(), buf, a[1].c_str());
    } else if (a[0] == "ini-set") {
      if (i == atoi(a[4].c_str())) break;
      st = KCINISetString(a[2].c_str(), (a[3] + std::to_string(i)).c_str(), "v", a[1].c_str());
    } else {
      if (i == atoi(a[3].c_str())) break;
      st = KCRegistrySetString(a[1].c_str(), (a[2] + std::to_string(i)).c_str(), a[4].c_str());
    }
    if (st == 0) {
      t.ok++;
    } else {
      t.failed++;
      t.last = st;
    }
  }
  return t;
}

// The worker's side: this program started with this test alone, then
// "--job", the gate file and the job; its tally goes to standard output.
TEST(AtOnceWorker, DISABLED_Run) {
  const std::vector<std::string> argv = ::testing::internal::GetArgvs();
  auto job = std::find(argv.begin(), argv.end(), "--job");
  ASSERT_TRUE(job != argv.end() && argv.end() - job >= 3) << "started without a job";
  wait_for_gate(job[1]);
  Tally t = run_job(Args(job + 2, argv.end()));
  printf("tally %d %d %u\n", t.ok, t.failed, t.last);
}

// Runs each job in a process of its own, all at once; the tallies in order.
std::vector<Tally> run_workers(const std::vector<Args> &jobs, const std::string &gate) {
  const std::string self = nzt::build_dir() + "ini_tests" + OS_EXE_SUFFIX;
  std::vector<nzt::RunResult> results(jobs.size());
  std::vector<std::thread> threads;
  for (size_t i = 0; i < jobs.size(); ++i)
    threads.emplace_back([&, i] {
      Args argv = {self, "--gtest_also_run_disabled_tests", "--gtest_filter=AtOnceWorker.DISABLED_Run", "--job", gate};
      argv.insert(argv.end(), jobs[i].begin(), jobs[i].end());
      results[i] = nzt::run_program(self, argv, "", "", {}, 120000);
    });
  os_sleep_ms(nzt::kWindows ? 1500 : 200); // the processes are up
  nzt::write_file(gate, "go");
  for (auto &t : threads) t.join();
  std::vector<Tally> tallies(jobs.size());
  for (size_t i = 0; i < jobs.size(); ++i) {
    size_t at = results[i].out.find("tally ");
    EXPECT_TRUE(at != std::string::npos && sscanf(results[i].out.c_str() + at, "tally %d %d %u", &tallies[i].ok,
                                                  &tallies[i].failed, &tallies[i].last) == 3)
        << "worker " << i << " exit " << results[i].exit_code << ": " << results[i].out << results[i].err;
  }
  return tallies;
}

// How many of the entries PREFIX0 .. PREFIX(n-1) the file's bytes hold,
// each on exactly one line.
int kept(const std::string &path, const std::string &prefix, int n) {
  std::string bytes = "\n" + nzt::read_file(path);
  int found = 0;
  for (int i = 0; i < n; ++i) {
    std::string line = "\n" + prefix + std::to_string(i) + "=";
    size_t at = bytes.find(line);
    found += at != std::string::npos && bytes.find(line, at + 1) == std::string::npos;
  }
  return found;
}

::testing::AssertionResult all_done(const std::vector<Tally> &tallies, int each) {
  for (size_t w = 0; w < tallies.size(); ++w)
    if (tallies[w].ok != each)
      return ::testing::AssertionFailure() << "writer " << w << ": " << tallies[w].ok << " done, " << tallies[w].failed
                                           << " failed, the last with " << tallies[w].last;
  return ::testing::AssertionSuccess();
}

class AtOnce : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!nzt::kWindows) reg_env_ = std::make_unique<nzt::EnvGuard>("KC_REGISTRY_ROOT", tmp_.path("registry").c_str());
    ASSERT_TRUE(nzt::write_file(ini_, nzt::crlf({"[Pagra]", "Directory=d"})));
  }
  nzt::TempDir tmp_;
  std::string ini_ = tmp_.path("pagra.ini"), gate_ = tmp_.path("gate"), stop_ = tmp_.path("stop");
  std::unique_ptr<nzt::EnvGuard> reg_env_;
};

// Writer processes, each setting its own new entries of one section.
TEST_F(AtOnce, WriterProcessesLoseNoEntry) {
  const int each = nzt::kWindows ? 60 : 150;
  std::vector<Args> jobs;
  for (int w = 0; w < 3; ++w) jobs.push_back({"ini-set", ini_, "Pagra", "W" + std::to_string(w) + "-", std::to_string(each)});
  EXPECT_TRUE(all_done(run_workers(jobs, gate_), each));
  for (int w = 0; w < 3; ++w) EXPECT_EQ(kept(ini_, "W" + std::to_string(w) + "-", each), each) << "writer " << w;
  EXPECT_NE(nzt::read_file(ini_).find("\r\nDirectory=d\r\n"), std::string::npos);
}

// A reader loop of another process beside 200 sets: no set fails, and no
// read misses the entry that is there all along.
TEST_F(AtOnce, AReaderNeverMakesAWriterFail) {
  Tally writer;
  std::thread t([&] {
    wait_for_gate(gate_);
    writer = run_job({"ini-set", ini_, "Pagra", "S", "200"});
    nzt::write_file(stop_, "stop");
  });
  std::vector<Tally> reader = run_workers({{"ini-read", ini_, "Pagra", "Directory", stop_}}, gate_);
  t.join();
  EXPECT_TRUE(all_done({writer}, 200));
  EXPECT_GT(reader[0].ok, 0);
  EXPECT_EQ(reader[0].failed, 0) << "the last with " << reader[0].last;
  EXPECT_EQ(kept(ini_, "S", 200), 200);
}

// Threads of one process take turns too: two at each of two files, each
// large enough for the block a process's writers share, which one takes.
TEST_F(AtOnce, ThreadsOfOneProcessLoseNoEntry) {
  const std::string files[2] = {ini_, tmp_.path("other.ini")};
  std::string filler = "[Before]\r\n";
  for (int i = 0; i < 5000; ++i) filler += "Line" + std::to_string(i) + "=" + std::string(40, 'f') + "\r\n";
  for (const std::string &f : files) ASSERT_TRUE(nzt::write_file(f, filler + "[Pagra]\r\n"));
  std::vector<Tally> tallies(4);
  std::vector<std::thread> pool;
  for (int k = 0; k < 4; ++k)
    pool.emplace_back([&, k] {
      wait_for_gate(gate_);
      tallies[k] = run_job({"ini-set", files[k % 2], "Pagra", "T" + std::to_string(k) + "-", "30"});
    });
  nzt::write_file(gate_, "go");
  for (auto &t : pool) t.join();
  EXPECT_TRUE(all_done(tallies, 30));
  for (int k = 0; k < 4; ++k) {
    EXPECT_EQ(kept(files[k % 2], "T" + std::to_string(k) + "-", 30), 30) << "thread " << k;
    EXPECT_EQ(nzt::read_file(files[k % 2]).compare(0, filler.size(), filler), 0) << "thread " << k;
  }
}

// Writer processes that each make one new key and set its values, each
// spelling the key and the value names in its own letter case: every
// value reads back through every spelling, and a removal through one
// leaves none (one value of each name, in one key).
TEST_F(AtOnce, RegistryWritersInEverySpelling) {
  const char *keys[] = {"NewKey", "NEWKEY", "newkey"}, *names[] = {"val", "VAL", "Val"};
  const std::string tag = "NzAtOnce-" + std::to_string(os_unique_seed());
  std::vector<Args> jobs;
  for (int w = 0; w < 3; ++w) jobs.push_back({"reg-set", tag + "\\" + keys[w], names[w], "30", names[w]});
  EXPECT_TRUE(all_done(run_workers(jobs, gate_), 30));
  for (int round = 0; round < 2; ++round)
    for (int w = 0; w < 3; ++w)
      for (int i = 0; i < 30; ++i) {
        std::string sect = tag + "\\" + keys[w], name = names[(w + 1) % 3] + std::to_string(i);
        char buf[8];
        EXPECT_EQ(KCRegistryGetString(sect.c_str(), name.c_str(), buf, sizeof buf), round ? KC_ERR_REG_NOVALUE : 0u)
            << "round " << round << ", spelling " << w << ", value " << i;
        if (round == 0 && w == 2) KCRegistryRemoveString(sect.c_str(), name.c_str());
      }
  if (!nzt::kWindows) {
    std::vector<std::string> left;
    for (const auto &e : nzt::fs::recursive_directory_iterator(tmp_.path("registry/Software/Korvan/Components/" + tag)))
      left.push_back(e.path().filename().string());
    ASSERT_EQ(left.size(), 1u); // one folder, no value file
    EXPECT_TRUE(left[0] == keys[0] || left[0] == keys[1] || left[0] == keys[2]) << left[0];
  }
}

}  // namespace

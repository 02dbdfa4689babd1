// Benchmark: the listing's wildcard matcher on the patterns that made the
// recursive matcher exponential, beside a plain name and pattern.
//   pattern_bench [runs]
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "plat_int.h"

using Clock = std::chrono::steady_clock;

int main(int argc, char **argv) {
  int runs = argc > 1 ? atoi(argv[1]) : 21;
  struct Case {
    const char *what;
    std::string name, pattern;
  } cases[] = {
      {"16 stars against 40 characters", std::string(40, 'a'), std::string(16, '*') + "b"},
      {"200 characters of \"*a\" against 260", std::string(260, 'a'), [] {
         std::string p;
         while (p.size() < 199) p += "*a";
         return p.substr(0, 199) + "b";
       }()},
      {"a plain name and \"*.ini\"", "pagra.ini", "*.ini"},
  };
  for (const Case &c : cases) {
    std::vector<double> us;
    uint32_t answer = 0;
    for (int r = 0; r < runs; ++r) {
      auto t0 = Clock::now();
      for (int i = 0; i < 100; ++i) answer += PatternMatch(c.name.c_str(), c.pattern.c_str());
      us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count() / 100);
    }
    std::sort(us.begin(), us.end());
    printf("%-48s median %8.2f us  (range %.2f-%.2f)  matches %u\n", c.what, us[us.size() / 2], us.front(),
           us.back(), answer);
  }
  return 0;
}

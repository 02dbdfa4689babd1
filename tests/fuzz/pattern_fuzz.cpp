// libFuzzer target: the listing's wildcard matcher gives the answer of the
// recursive definition on every short name and pattern.
//
// The input is a name and a pattern separated by the first 0 byte; bytes
// are folded onto a small alphabet ('a', 'b', '*', '?', 'c') so that names
// and patterns meet often. Both stay short: the definition is exponential.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "plat_int.h"

namespace {

// The definition: '*' any run, '?' one character, case counting; a lone
// trailing '*' matches what is left, even nothing, and once the name is
// used up any other rest of the pattern fails.
int defined_match(const char *s, const char *p) {
  for (;;) {
    if (p[0] == '*' && p[1] == '\0') return 1;
    if (s[0] == '\0') return p[0] == '\0';
    if (p[0] == '*') {
      if (defined_match(s, p + 1)) return 1;
      ++s;
      continue;
    }
    if (p[0] != '?' && p[0] != s[0]) return 0;
    ++s;
    ++p;
  }
}

std::string folded(const uint8_t *data, size_t n) {
  static const char kAlphabet[] = "ab*?c";
  std::string s;
  for (size_t i = 0; i < n && s.size() < 14; ++i) s += kAlphabet[data[i] % 5];
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  size_t cut = 0;
  while (cut < size && data[cut] != 0) ++cut;
  std::string name = folded(data, cut);
  std::string pattern = cut < size ? folded(data + cut + 1, size - cut - 1) : std::string();
  if ((int)PatternMatch(name.c_str(), pattern.c_str()) != defined_match(name.c_str(), pattern.c_str())) {
    fprintf(stderr, "invariant broken: \"%s\" against \"%s\"\n", name.c_str(), pattern.c_str());
    abort();
  }
  return 0;
}

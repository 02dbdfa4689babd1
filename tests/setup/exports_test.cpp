// nzeptins.exe exports exactly the names of src/nzeptins.def, undecorated:
// read from the program's own PE export table.
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <set>
#include <sstream>

#include "testsupport.h"

using namespace nzt;

namespace {

uint32_t u32(const std::string &b, size_t at) {
  if (at + 4 > b.size()) return 0;
  return (uint32_t)(uint8_t)b[at] | (uint32_t)(uint8_t)b[at + 1] << 8 | (uint32_t)(uint8_t)b[at + 2] << 16 |
         (uint32_t)(uint8_t)b[at + 3] << 24;
}
uint16_t u16(const std::string &b, size_t at) {
  if (at + 2 > b.size()) return 0;
  return (uint16_t)((uint8_t)b[at] | (uint8_t)b[at + 1] << 8);
}

// The names of a PE32 image's export directory; empty when it has none.
std::set<std::string> pe_export_names(const std::string &img) {
  std::set<std::string> names;
  if (img.size() < 0x40 || img.compare(0, 2, "MZ") != 0) return names;
  size_t pe = u32(img, 0x3c);
  if (img.compare(pe, 4, std::string("PE\0\0", 4)) != 0) return names;
  size_t coff = pe + 4;
  uint16_t nsect = u16(img, coff + 2), optsize = u16(img, coff + 16);
  size_t opt = coff + 20;
  if (u16(img, opt) != 0x10b) return names;  // PE32, a 32-bit program
  uint32_t export_rva = u32(img, opt + 96);
  size_t sect = opt + optsize;
  auto offset_of = [&](uint32_t rva) -> size_t {
    for (uint16_t i = 0; i < nsect; ++i) {
      size_t s = sect + 40u * i;
      uint32_t va = u32(img, s + 12), size = u32(img, s + 8), raw = u32(img, s + 20);
      if (rva >= va && rva < va + size) return raw + (rva - va);
    }
    return 0;
  };
  size_t dir = offset_of(export_rva);
  if (!export_rva || !dir) return names;
  uint32_t count = u32(img, dir + 24);
  size_t table = offset_of(u32(img, dir + 32));
  for (uint32_t i = 0; i < count && table; ++i) {
    size_t at = offset_of(u32(img, table + 4u * i));
    if (at && at < img.size()) names.insert(std::string(img.c_str() + at));
  }
  return names;
}

std::set<std::string> def_names() {
  std::string p = std::string(NZ_TEST_SOURCE_DIR) + "/src/nzeptins.def";
  if (kWindows && p[0] == '/') p = "Z:" + p;
  std::istringstream in(read_file(host_path(p)));
  std::set<std::string> names;
  std::string line;
  bool exports = false;
  while (std::getline(in, line)) {
    line.erase(std::remove(line.begin(), line.end(), '\r'), line.end());
    std::istringstream words(line);
    std::string w;
    if (!(words >> w) || w[0] == ';') continue;
    if (w == "EXPORTS") {
      exports = true;
      continue;
    }
    if (exports) names.insert(w);
  }
  return names;
}

}  // namespace

TEST(Exports, TheProgramExportsExactlyTheListedNames) {
  if (!kWindows) GTEST_SKIP() << "the export table is the win32 program's";
  std::set<std::string> want = def_names();
  ASSERT_EQ(53u, want.size()) << "src/nzeptins.def lists the 11 BT and 42 KC names";
  std::set<std::string> got = pe_export_names(read_file(program_path()));
  for (const std::string &n : want) EXPECT_TRUE(got.count(n)) << "not exported: " << n;
  for (const std::string &n : got) EXPECT_TRUE(want.count(n)) << "exported but not listed: " << n;
}

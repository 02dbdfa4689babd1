// A power cut, from the journal of the run it cut (powercut.h).
#include "powercut.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <map>
#include <sstream>
#include <vector>

#include "testsupport.h"

namespace nzt {

namespace {

struct Entry {
  char kind;
  std::string a, b, kept;
  uint64_t size = 0;
  bool durable = false;
};

std::vector<std::string> split(const std::string &line) {
  std::vector<std::string> f;
  std::stringstream in(line);
  std::string part;
  while (std::getline(in, part, '\t')) f.push_back(part);
  return f;
}

// The folder a name stands in, without its trailing separators.
std::string folder_of(std::string path) {
  while (!path.empty() && (path.back() == '/' || path.back() == '\\')) path.pop_back();
  size_t at = path.find_last_of(kWindows ? "\\/" : "/");
  return at == std::string::npos ? "" : path.substr(0, at);
}

std::string bare(std::string dir) {
  while (dir.size() > 1 && (dir.back() == '/' || dir.back() == '\\')) dir.pop_back();
  return dir;
}

void read_journal(const std::string &journal, std::vector<Entry> &entries) {
  std::stringstream in(read_file(journal));
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> f = split(line);
    if (f.empty() || f[0].size() != 1) continue;
    Entry e;
    e.kind = f[0][0];
    if (f.size() > 1) e.a = f[1];
    if (e.kind == 'R' && f.size() > 3) e.b = f[2], e.kept = f[3];
    if (e.kind == 'X' && f.size() > 2) e.kept = f[2];
    if ((e.kind == 'O' || e.kind == 'F') && f.size() > 2) e.size = strtoull(f[2].c_str(), nullptr, 10);
    entries.push_back(e);
  }
}

}  // namespace

::testing::AssertionResult undo_unflushed(const std::string &journal, bool torn) {
  std::vector<Entry> entries;
  read_journal(journal, entries);
  if (entries.empty()) return ::testing::AssertionFailure() << "no journal at " << journal;
  // A change of names is on the disk once its folder was flushed after it.
  for (size_t i = 0; i < entries.size(); ++i) {
    Entry &e = entries[i];
    if (!strchr("NRXDE", e.kind)) continue;
    std::string dir = folder_of(e.kind == 'R' ? e.b : e.a);
    for (size_t j = i + 1; j < entries.size() && !e.durable; ++j)
      e.durable = entries[j].kind == 'S' && bare(entries[j].a) == dir;
  }
  // A file's bytes are on the disk up to its last flush: followed through
  // its renames to the name it has now.
  struct Bytes {
    uint64_t flushed = 0;
    bool written = false;
  };
  std::map<std::string, Bytes> files;
  for (const Entry &e : entries) {
    if (e.kind == 'N') files[e.a] = Bytes();
    if (e.kind == 'O' || e.kind == 'F') files[e.a] = Bytes{e.size, false};
    if (e.kind == 'W') files[e.a].written = true;
    if (e.kind == 'X') files.erase(e.a);
    if (e.kind == 'R' && files.count(e.a)) {
      files[e.b] = files[e.a];
      files.erase(e.a);
    }
  }
  std::error_code ec;
  for (const auto &f : files) {
    if (!f.second.written || !fs::is_regular_file(f.first, ec)) continue;
    uint64_t now = fs::file_size(f.first, ec), keep = f.second.flushed;
    if (torn && now > keep) keep += (now - keep) / 2;
    if (now > keep) fs::resize_file(f.first, keep, ec);
  }
  // The names, the last change first.
  for (size_t i = entries.size(); i-- > 0;) {
    const Entry &e = entries[i];
    if (e.durable) continue;
    if (e.kind == 'N' || e.kind == 'D') fs::remove(e.a, ec);
    if (e.kind == 'E') fs::create_directory(e.a, ec);
    if (e.kind == 'R') {
      if (fs::exists(fs::symlink_status(e.b, ec))) fs::rename(e.b, e.a, ec);
      if (e.kept != "-") fs::rename(e.kept, e.b, ec);
    }
    if (e.kind == 'X' && e.kept != "-") fs::rename(e.kept, e.a, ec);
  }
  for (const Entry &e : entries)
    if (!e.kept.empty() && e.kept != "-") fs::remove(e.kept, ec);
  return ::testing::AssertionSuccess();
}

}  // namespace nzt

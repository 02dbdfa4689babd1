// libFuzzer target for the INI store: a starting file and a list of
// operations on it, each checked against a plain model of the format.
//
// Input: the starting file's bytes up to the first NUL, then operations,
// each ended by a NUL; fields are split at '|':
//   s<section>|<entry>|<value>   set          r<section>|<entry>   remove
//   g<section>|<entry>           read         l<section>           list
//   m<k><section>|<e1>|<v1>|<e2>|<v2>  both in one rewrite (bit 0 of k:
//                                e1 removed, bit 1: e2 removed)
//   f<op><n>                     the n-th call of seam operation op fails
//                                during the next set or remove
//   d                            delete the file
// Checked after each step: the bytes on disk are those the model gives
// (so a removal of something absent leaves them identical, every other
// line keeps its text, and a Ctrl-Z and all after it stay behind the
// text), a read finds what the model finds (a set value reads back), a
// two-entry rewrite leaves the bytes of two rewrites in turn, a failed
// change leaves the file as it was, and no temporary file is left.
#include <dirent.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "kcsys.h"
#include "os.h"
#include "plat.h"

namespace {

const size_t kMaxOps = 24;

std::string g_dir, g_path;

void remove_dir() {
  unlink(g_path.c_str());
  rmdir(g_dir.c_str());
}

// NZ_FUZZ_DIR names the folder to work in; else one of our own on tmpfs
// where there is one (the store's fsync costs nothing there).
void setup_dir() {
  if (!g_dir.empty()) return;
  const char *given = getenv("NZ_FUZZ_DIR");
  if (given && *given) {
    g_dir = given;
  } else {
    const char *base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    char buf[128];
    snprintf(buf, sizeof buf, "%s/nzini-fuzz-%ld", base, (long)getpid());
    if (mkdir(buf, 0700) != 0) abort();
    g_dir = buf;
    atexit(remove_dir);
  }
  g_path = g_dir + "/f.ini";
}

std::string read_all(bool *exists) {
  FILE *f = fopen(g_path.c_str(), "rb");
  *exists = f != nullptr;
  std::string s;
  if (!f) return s;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
  fclose(f);
  return s;
}

void write_all(const std::string &s) {
  FILE *f = fopen(g_path.c_str(), "wb");
  if (!f) abort();
  fwrite(s.data(), 1, s.size(), f);
  fclose(f);
}

// Names in the folder other than the INI file: left-over temporaries.
int strays() {
  int n = 0;
  DIR *d = opendir(g_dir.c_str());
  if (!d) abort();
  while (struct dirent *e = readdir(d))
    if (strcmp(e->d_name, ".") && strcmp(e->d_name, "..") && strcmp(e->d_name, "f.ini")) ++n;
  closedir(d);
  return n;
}

/* ---- The model ---- */

struct Lines {
  std::vector<std::string> l;
  bool last_eol = false; // the last line had a line end
};

Lines decode(const std::string &raw) {
  Lines r;
  std::string s = raw.substr(0, raw.find('\x1A'));
  size_t at = 0;
  while (at < s.size()) {
    size_t lf = s.find('\n', at);
    if (lf == std::string::npos) {
      r.l.push_back(s.substr(at));
      r.last_eol = false;
      break;
    }
    std::string line = s.substr(at, lf - at);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    r.l.push_back(line);
    r.last_eol = true;
    at = lf + 1;
  }
  return r;
}

int fold(unsigned char c) { return (c >= 'a' && c <= 'z') ? c - 32 : c; }

bool fold_prefix(const std::string &line, const std::string &p) {
  if (line.size() < p.size()) return false;
  for (size_t i = 0; i < p.size(); ++i)
    if (fold(line[i]) != fold(p[i])) return false;
  return true;
}

bool holds(const std::string &line, const std::string &e) {
  return fold_prefix(line, e) && (line.size() == e.size() || line[e.size()] == '=');
}

long find_header(const Lines &d, const std::string &section) {
  const std::string bom = "\xEF\xBB\xBF";
  for (size_t i = 0; i < d.l.size(); ++i) {
    // A byte-order mark at the file's start is no part of the first line.
    bool marked = i == 0 && d.l[0].compare(0, bom.size(), bom) == 0;
    if (fold_prefix(marked ? d.l[0].substr(bom.size()) : d.l[i], "[" + section + "]")) return (long)i;
  }
  return -1;
}

bool breaks(const std::string &s) { return s.find('\n') != std::string::npos || s.find('\x1A') != std::string::npos; }

bool refused_change(const std::string &s, const std::string &e, const std::string *v) {
  return s.size() > 253 || e.size() > 254 || (!e.empty() && e[0] == '[') || breaks(s) || breaks(e) ||
         (v && (breaks(*v) || e.size() + 1 + v->size() > 255));
}

bool model_text(const Lines &d, const std::string &s, const std::string &e, const std::string *v, std::string *out);

// The file after a change; false when the file stays as it is.
bool model_change(bool exists, const std::string &raw, const std::string &s, const std::string &e,
                  const std::string *v, std::string *out) {
  const std::string eol = "\r\n";
  if (refused_change(s, e, v)) return false;
  if (!exists) {
    if (!v) return false;
    *out = "[" + s + "]" + eol + e + "=" + *v + eol;
    return true;
  }
  Lines d = decode(raw);
  // A Ctrl-Z and everything after it stay, as they are, behind the text.
  size_t z = raw.find('\x1A');
  const std::string tail = z == std::string::npos ? "" : raw.substr(z);
  bool changed = model_text(d, s, e, v, out);
  *out += tail;
  return changed;
}

// The text of a file after a change; false when nothing changes.
bool model_text(const Lines &d, const std::string &s, const std::string &e, const std::string *v, std::string *out) {
  const std::string eol = "\r\n";
  long h = find_header(d, s);
  out->clear();
  if (h < 0) {
    if (!v) return false;
    for (const auto &l : d.l) *out += l + eol;
    *out += eol + "[" + s + "]" + eol + e + "=" + *v + eol;
    return true;
  }
  for (long i = 0; i <= h; ++i) *out += d.l[i] + eol;
  auto rest = [&](size_t k) {
    for (size_t m = k; m < d.l.size(); ++m) *out += d.l[m] + ((m + 1 == d.l.size() && !d.last_eol) ? "" : eol);
  };
  size_t blanks = 0;
  for (size_t j = (size_t)h + 1;; ++j) {
    if (j == d.l.size()) {
      if (!v) return false;
      *out += e + "=" + *v + eol;
      for (; blanks; --blanks) *out += eol;
      return true;
    }
    const std::string &l = d.l[j];
    if (l.empty()) {
      ++blanks;
      continue;
    }
    if (l[0] == '[') {
      if (!v) return false;
      *out += e + "=" + *v + eol;
      for (; blanks; --blanks) *out += eol;
      *out += l + eol;
      rest(j + 1);
      return true;
    }
    for (; blanks; --blanks) *out += eol;
    if (holds(l, e)) {
      if (v) *out += e + "=" + *v + eol;
      rest(j + 1);
      return true;
    }
    *out += l + eol;
  }
}

// A read: 0 with the value, 534 or 535.
uint32_t model_read(bool exists, const std::string &raw, const std::string &s, const std::string &e,
                    std::string *value) {
  value->clear();
  if (s.size() > 253 || e.size() > 254) return KC_ERR_INI_MISSING;
  if (!exists) return KC_ERR_INI_OPEN;
  Lines d = decode(raw);
  long h = find_header(d, s);
  if (h < 0) return KC_ERR_INI_MISSING;
  for (size_t j = (size_t)h + 1; j < d.l.size(); ++j) {
    const std::string &l = d.l[j];
    if (!l.empty() && l[0] == '[') break;
    if (holds(l, e)) {
      *value = l.size() > e.size() ? l.substr(e.size() + 1) : "";
      return value->empty() ? KC_ERR_INI_MISSING : 0;
    }
  }
  return KC_ERR_INI_MISSING;
}

// A listing through the exported call: its 261 bytes, whole or nothing.
uint32_t model_list(bool exists, const std::string &raw, const std::string &s, std::vector<std::string> *list) {
  list->clear();
  if (s.size() > 253) return KC_ERR_INI_MISSING;
  if (!exists) return KC_ERR_INI_OPEN;
  Lines d = decode(raw);
  long h = find_header(d, s);
  if (h < 0) return KC_ERR_INI_MISSING;
  size_t used = 0;
  for (size_t j = (size_t)h + 1; j < d.l.size(); ++j) {
    const std::string &l = d.l[j];
    if (!l.empty() && l[0] == '[') break;
    if (l.empty() || l[0] == ';') continue;
    if (used + l.size() + 2 > KC_INI_LIST_ASSUMED) { // handed out whole or not at all
      list->clear();
      return KC_ERR_INI_MISSING;
    }
    list->push_back(l);
    used += l.size() + 1;
  }
  return list->empty() ? KC_ERR_INI_MISSING : 0;
}

void fail(const char *what) {
  fprintf(stderr, "invariant broken: %s\n", what);
  abort();
}

std::vector<std::string> split(const std::string &s, size_t parts) {
  std::vector<std::string> out;
  size_t at = 0;
  while (out.size() + 1 < parts) {
    size_t bar = s.find('|', at);
    if (bar == std::string::npos) break;
    out.push_back(s.substr(at, bar - at));
    at = bar + 1;
  }
  out.push_back(s.substr(at));
  while (out.size() < parts) out.push_back("");
  return out;
}

const os_op kFaultOps[] = {OS_OP_CREATE, OS_OP_WRITE, OS_OP_FSYNC, OS_OP_CLOSE, OS_OP_REPLACE, OS_OP_READ};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  setup_dir();
  std::string in((const char *)data, size);
  size_t nul = in.find('\0');
  std::string start = in.substr(0, nul);
  write_all(start);

  int fault = -1, fault_n = 0;
  size_t at = nul == std::string::npos ? in.size() : nul + 1;
  for (size_t ops = 0; at < in.size() && ops < kMaxOps; ++ops) {
    size_t end = in.find('\0', at);
    if (end == std::string::npos) end = in.size();
    std::string op = in.substr(at, end - at);
    at = end + 1;
    if (op.empty()) continue;
    bool exists;
    std::string before = read_all(&exists);
    char kind = op[0];
    std::string args = op.substr(1);

    if (kind == 's' || kind == 'r') {
      std::vector<std::string> f = split(args, kind == 's' ? 3 : 2);
      const std::string *v = kind == 's' ? &f[2] : nullptr;
      std::string want;
      bool changes = model_change(exists, before, f[0], f[1], v, &want);
      if (fault >= 0) os_fault_arm(kFaultOps[fault], fault_n);
      uint32_t st = v ? KCINISetString(f[0].c_str(), f[1].c_str(), v->c_str(), g_path.c_str())
                      : KCINIRemoveString(f[0].c_str(), f[1].c_str(), g_path.c_str());
      if (fault >= 0) os_fault_arm(kFaultOps[fault], 0);
      bool armed = fault >= 0;
      bool folder_flush = armed && kFaultOps[fault] == OS_OP_FSYNC;
      fault = -1;
      bool now_exists;
      std::string after = read_all(&now_exists);
      if (strays() != 0) fail("a temporary file was left");
      if (st != 0) {
        if (!armed && !refused_change(f[0], f[1], v)) fail("a change failed without a fault");
        if (refused_change(f[0], f[1], v) && st != KC_ERR_INI_MISSING) fail("a refusal gave another status");
        // The folder's flush after the rename failed: the new content
        // stands, but the change is not reported done.
        if (folder_flush && st == KC_ERR_INI_OPEN && changes && now_exists && after == want) continue;
        if (now_exists != exists || after != before) fail("a failed change touched the file");
        continue;
      }
      if (refused_change(f[0], f[1], v)) fail("a refused change succeeded");
      if (!changes) {
        if (now_exists != exists || after != before) fail("nothing to change, yet the bytes changed");
        continue;
      }
      if (!now_exists || after != want) fail("the bytes on disk are not the model's");
      if (v) {
        std::string got(8192, '\x5A');
        uint32_t rs = kc_ini_read_value(f[0].c_str(), f[1].c_str(), &got[0], got.size(), g_path.c_str());
        std::string mv;
        uint32_t ms = model_read(true, after, f[0], f[1], &mv);
        if (rs != ms || (rs == 0 && std::string(got.c_str()) != mv)) fail("read after set differs from the model");
        // A set value reads back, unless it is empty or the name is
        // shadowed by a blank line holding the empty name.
        if (!v->empty() && !f[1].empty() && (rs != 0 || mv != *v)) fail("a set value does not read back");
      }
    } else if (kind == 'g') {
      std::vector<std::string> f = split(args, 2);
      std::string mv;
      uint32_t ms = model_read(exists, before, f[0], f[1], &mv);
      // Report only: nothing is handed out, so a long value counts.
      if (KCINIGetString(f[0].c_str(), f[1].c_str(), nullptr, g_path.c_str()) != ms)
        fail("a report-only read differs from the model");
      char buf[KC_INI_LINE_MAX + 32];
      memset(buf, 0x5A, sizeof buf);
      uint32_t rs = KCINIGetString(f[0].c_str(), f[1].c_str(), buf, g_path.c_str());
      for (size_t i = KC_INI_LINE_MAX; i < sizeof buf; ++i)
        if ((unsigned char)buf[i] != 0x5A) fail("a read wrote beyond its buffer");
      if (mv.size() >= KC_INI_LINE_MAX) { // never handed out cut
        ms = KC_ERR_INI_MISSING;
        mv.clear();
      }
      if (rs != ms || std::string(buf) != mv) fail("a read differs from the model");
    } else if (kind == 'l') {
      std::vector<std::string> want;
      uint32_t ms = model_list(exists, before, args, &want);
      char buf[KC_INI_LIST_ASSUMED + 32];
      memset(buf, 0x5A, sizeof buf);
      uint32_t rs = KCINIGetString(args.c_str(), nullptr, buf, g_path.c_str());
      for (size_t i = KC_INI_LIST_ASSUMED; i < sizeof buf; ++i)
        if ((unsigned char)buf[i] != 0x5A) fail("a listing wrote beyond its buffer");
      std::vector<std::string> got;
      for (size_t i = 0; rs == 0 && i < KC_INI_LIST_ASSUMED && buf[i];) {
        got.push_back(buf + i);
        i += got.back().size() + 1;
      }
      if (rs != ms || got != want) fail("a listing differs from the model");
    } else if (kind == 'm' && !args.empty()) {
      std::vector<std::string> f = split(args.substr(1), 5);
      const char *entries[] = {f[1].c_str(), f[3].c_str()};
      const char *values[] = {(args[0] & 1) ? nullptr : f[2].c_str(), (args[0] & 2) ? nullptr : f[4].c_str()};
      std::string v1 = f[2], v3 = f[4];
      // Entries that read as one another ("a" and "a=b"), or one that the
      // format refuses, make no pair: the store refuses the set.
      if (holds(f[1], f[3]) || holds(f[3], f[1])) {
        if (kc_ini_set_values(f[0].c_str(), 2, entries, values, g_path.c_str()) != KC_ERR_INI_MISSING)
          fail("a pair of entries that read as one another was taken");
        continue;
      }
      if (refused_change(f[0], f[1], values[0] ? &v1 : nullptr) || refused_change(f[0], f[3], values[1] ? &v3 : nullptr))
        continue;
      uint32_t s1 = KCINISetString(f[0].c_str(), entries[0], values[0], g_path.c_str());
      uint32_t s2 = KCINISetString(f[0].c_str(), entries[1], values[1], g_path.c_str());
      bool turn_exists;
      std::string in_turn = read_all(&turn_exists);
      if (exists)
        write_all(before);
      else
        unlink(g_path.c_str());
      uint32_t st = kc_ini_set_values(f[0].c_str(), 2, entries, values, g_path.c_str());
      bool now_exists;
      std::string after = read_all(&now_exists);
      if (strays() != 0) fail("a temporary file was left");
      if (s1 != 0 || s2 != 0 || st != 0) fail("a change failed without a fault");
      if (now_exists != turn_exists || after != in_turn) fail("a rewrite of two entries differs from two in turn");
    } else if (kind == 'f' && args.size() >= 2) {
      fault = (unsigned char)args[0] % (int)(sizeof kFaultOps / sizeof kFaultOps[0]);
      fault_n = (unsigned char)args[1] % 8 + 1;
    } else if (kind == 'd') {
      uint32_t r = KCINIDelete(g_path.c_str());
      if (r != (exists ? 1u : 0u)) fail("delete result");
      bool still;
      read_all(&still);
      if (still) fail("the file survived its deletion");
    }
  }
  return 0;
}

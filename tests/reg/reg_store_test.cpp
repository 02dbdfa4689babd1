// The registry string store (KCRegistrySetString, KCRegistryGetString,
// KCRegistryRemoveString) against the real registry under Wine and the
// file-backed store on Linux. What a call stored is checked through the
// seam's own registry calls (type and bytes), and on Linux also on disk.
#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "faultsim.h"
#include "os.h"
#include "plat.h"
#include "plat_int.h"
#include "plat_lock.h"
#include "testsupport.h"

namespace {

const std::string kComponents = "Software\\Korvan\\Components\\";
constexpr uint32_t kRegExpandSz = 2;
constexpr uint32_t kRegBinary = 3;
constexpr uint32_t kRegDword = 4;

std::string unique_tag() {
  std::random_device rd;
  auto t = std::chrono::steady_clock::now().time_since_epoch().count();
  char buf[64];
  snprintf(buf, sizeof buf, "NzRegTest-%08x%08x", (unsigned)rd(), (unsigned)(t & 0xffffffff));
  return buf;
}

struct Raw {
  long rc = -1;
  uint32_t type = 0;
  std::string bytes;
};

// The value as the registry holds it, read through the seam.
Raw raw_get(const std::string &subkey, const char *name) {
  Raw r;
  kc_regkey k;
  r.rc = kc_regkey_open_read(subkey.c_str(), &k);
  if (r.rc != OS_REG_SUCCESS) return r;
  r.rc = kc_regkey_query_type(&k, name, &r.type);
  if (r.rc == OS_REG_SUCCESS) {
    char buf[4096];
    uint32_t n = sizeof buf;
    r.rc = kc_regkey_query(&k, name, nullptr, buf, &n);
    if (r.rc == OS_REG_SUCCESS) r.bytes.assign(buf, n);
  }
  kc_regkey_close(&k);
  return r;
}

long raw_set(const std::string &subkey, const char *name, uint32_t type, const std::string &bytes) {
  kc_regkey k;
  long rc = kc_regkey_create(subkey.c_str(), &k);
  if (rc != OS_REG_SUCCESS) return rc;
  rc = kc_regkey_set(&k, name, type, bytes.data(), (uint32_t)bytes.size());
  kc_regkey_close(&k);
  return rc;
}

bool key_exists(const std::string &subkey) {
  kc_regkey k;
  if (kc_regkey_open_read(subkey.c_str(), &k) != OS_REG_SUCCESS) return false;
  kc_regkey_close(&k);
  return true;
}

std::string str0(const std::string &s) { return std::string(s.c_str(), s.size() + 1); }

// Each test works below a key of its own. On Linux the store's root is a
// fresh folder; under Wine the registry is the prefix's real one, so every
// value a test makes is deleted again afterwards.
class RegStore : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!nzt::kWindows) {
      root_ = std::make_unique<nzt::TempDir>();
      env_ = std::make_unique<nzt::EnvGuard>("KC_REGISTRY_ROOT", root_->dir().c_str());
    }
    tag_ = unique_tag();
  }
  void TearDown() override {
    for (const auto &m : made_) {
      kc_regkey k;
      if (kc_regkey_open_read(m.first.c_str(), &k) != OS_REG_SUCCESS) continue;
      kc_regkey_close(&k);
      if (kc_regkey_create(m.first.c_str(), &k) != OS_REG_SUCCESS) continue;
      kc_regkey_delete_value(&k, m.second.c_str());
      kc_regkey_close(&k);
    }
    env_.reset();
    root_.reset();
  }
  // A section of this test below the components key, and its key path.
  std::string section(const std::string &rest = "") const { return rest.empty() ? tag_ : tag_ + "\\" + rest; }
  std::string subkey(const std::string &sect) const { return kComponents + sect; }
  void made(const std::string &sub, const std::string &name) { made_.emplace_back(sub, name); }
  // Linux only: the folder of a key path in the store.
  std::string folder(const std::string &sub) const {
    std::string p = root_->dir();
    for (char c : sub) p += c == '\\' ? '/' : c;
    return p + "/";
  }

  std::string tag_;
  std::unique_ptr<nzt::TempDir> root_;
  std::unique_ptr<nzt::EnvGuard> env_;
  std::vector<std::pair<std::string, std::string>> made_;
};

TEST_F(RegStore, SetMakesTheKeyPathAndAPlainStringWithItsNul) {
  std::string sect = section("Deep\\Er");
  std::string sub = subkey(sect);
  made(sub, "Val");
  ASSERT_FALSE(key_exists(subkey(section())));
  ASSERT_EQ(0u, KCRegistrySetString(sect.c_str(), "Val", "c:\\host\\nqsxkc.dll"));
  Raw r = raw_get(sub, "Val");
  ASSERT_EQ(OS_REG_SUCCESS, r.rc);
  EXPECT_EQ(OS_REG_SZ, r.type);
  EXPECT_EQ(str0("c:\\host\\nqsxkc.dll"), r.bytes); // strlen + 1 bytes
  if (!nzt::kWindows) {
    EXPECT_EQ(std::string("kcreg 1\n") + str0("c:\\host\\nqsxkc.dll"), nzt::read_file(folder(sub) + "=Val"));
  }
  // A second write replaces the value, and a shorter one leaves no tail.
  ASSERT_EQ(0u, KCRegistrySetString(sect.c_str(), "Val", "ab"));
  EXPECT_EQ(str0("ab"), raw_get(sub, "Val").bytes);
}

TEST_F(RegStore, AnExistingValueKeepsItsType) {
  struct Case {
    uint32_t type;
    std::string before;
  } cases[] = {
      {kRegExpandSz, str0("%SystemRoot%\\old")},
      {kRegDword, std::string("\x01\x00\x00\x00", 4)},
      {kRegBinary, std::string("\xff\x00\x10", 3)},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    SCOPED_TRACE(i);
    std::string sect = section();
    std::string name = "Typed" + std::to_string(i);
    made(subkey(sect), name);
    ASSERT_EQ(OS_REG_SUCCESS, raw_set(subkey(sect), name.c_str(), cases[i].type, cases[i].before));
    ASSERT_EQ(0u, KCRegistrySetString(sect.c_str(), name.c_str(), "%TEMP%\\new"));
    Raw r = raw_get(subkey(sect), name.c_str());
    ASSERT_EQ(OS_REG_SUCCESS, r.rc);
    EXPECT_EQ(cases[i].type, r.type);
    EXPECT_EQ(str0("%TEMP%\\new"), r.bytes);
  }
}

TEST_F(RegStore, EmptyOrNullValueDeletesAndRemoveDeletes) {
  const char *empty = "";
  const char *vals[] = {nullptr, empty};
  std::string sect = section();
  for (size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    made(subkey(sect), "Gone");
    ASSERT_EQ(0u, KCRegistrySetString(sect.c_str(), "Gone", "x"));
    uint32_t st = i < 2 ? KCRegistrySetString(sect.c_str(), "Gone", vals[i]) : KCRegistryRemoveString(sect.c_str(), "Gone");
    EXPECT_EQ(0u, st);
    EXPECT_EQ(OS_REG_FILE_NOT_FOUND, raw_get(subkey(sect), "Gone").rc);
    char buf[8] = "sentin";
    EXPECT_EQ(KC_ERR_REG_NOVALUE, KCRegistryGetString(sect.c_str(), "Gone", buf, sizeof buf));
    EXPECT_STREQ("", buf);
    // Deleting it again finds nothing: an ordinary failure.
    EXPECT_EQ(KC_ERR_REG, KCRegistryRemoveString(sect.c_str(), "Gone"));
  }
  EXPECT_TRUE(key_exists(subkey(sect))); // the key itself stays
}

TEST_F(RegStore, RemovingAMissingValueFailsButMakesTheKeyPath) {
  std::string sect = section("Fresh\\Path");
  ASSERT_FALSE(key_exists(subkey(sect)));
  EXPECT_EQ(KC_ERR_REG, KCRegistryRemoveString(sect.c_str(), "Never"));
  EXPECT_TRUE(key_exists(subkey(sect)));
}

TEST_F(RegStore, ReadsReportTheirFailuresWithAnEmptyBuffer) {
  std::string sect = section();
  made(subkey(sect), "Here");
  ASSERT_EQ(0u, KCRegistrySetString(sect.c_str(), "Here", "value"));
  struct Case {
    std::string section;
    const char *name;
    uint32_t status;
  } cases[] = {
      {section("NoSuchKey"), "Here", KC_ERR_REG_KEY},
      {sect, "Missing", KC_ERR_REG_NOVALUE},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    SCOPED_TRACE(i);
    char buf[16];
    memset(buf, '#', sizeof buf);
    EXPECT_EQ(cases[i].status, KCRegistryGetString(cases[i].section.c_str(), cases[i].name, buf, sizeof buf));
    EXPECT_EQ('\0', buf[0]);
    EXPECT_EQ(std::string(15, '#'), std::string(buf + 1, 15));
  }
  EXPECT_FALSE(key_exists(subkey(section("NoSuchKey")))); // a read makes nothing
}

TEST_F(RegStore, ReadIntoLargeExactAndShortBuffers) {
  std::string sect = section();
  made(subkey(sect), "Sized");
  const std::string value = "c:\\delvan\\nqsxkc.dll";
  ASSERT_EQ(0u, KCRegistrySetString(sect.c_str(), "Sized", value.c_str()));
  const uint32_t exact = (uint32_t)value.size() + 1;
  struct Case {
    uint32_t length;
    uint32_t status;
  } cases[] = {{exact + 20, 0}, {exact, 0}, {exact - 1, KC_ERR_REG}, {1, KC_ERR_REG}};
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    SCOPED_TRACE(i);
    char buf[64];
    memset(buf, '#', sizeof buf);
    ASSERT_EQ(cases[i].status, KCRegistryGetString(sect.c_str(), "Sized", buf, cases[i].length));
    if (cases[i].status == 0) {
      EXPECT_EQ(str0(value), std::string(buf, exact));
      // Nothing past the stored bytes is touched.
      EXPECT_EQ(std::string(sizeof buf - exact, '#'), std::string(buf + exact, sizeof buf - exact));
    } else {
      EXPECT_EQ('\0', buf[0]);
      // Beyond Length the buffer is never touched.
      EXPECT_EQ(std::string(sizeof buf - cases[i].length, '#'),
                std::string(buf + cases[i].length, sizeof buf - cases[i].length));
    }
  }
}

TEST_F(RegStore, AValueWithoutNulComesBackTerminatedOrIsRefused) {
  std::string sect = section();
  made(subkey(sect), "Bare");
  ASSERT_EQ(OS_REG_SUCCESS, raw_set(subkey(sect), "Bare", OS_REG_SZ, "abc"));
  struct Case {
    uint32_t length;
    uint32_t status;
    const char *want;
  } cases[] = {{8, 0, "abc"}, {4, 0, "abc"}, {3, KC_ERR_REG, ""}};
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    SCOPED_TRACE(i);
    char buf[8];
    memset(buf, '#', sizeof buf);
    EXPECT_EQ(cases[i].status, KCRegistryGetString(sect.c_str(), "Bare", buf, cases[i].length));
    EXPECT_STREQ(cases[i].want, buf);
    EXPECT_EQ(std::string(4, '#'), std::string(buf + 4, 4));
  }
  // An empty value of no bytes at all reads as "".
  ASSERT_EQ(OS_REG_SUCCESS, raw_set(subkey(sect), "Bare", kRegBinary, ""));
  char buf[4] = "xyz";
  EXPECT_EQ(0u, KCRegistryGetString(sect.c_str(), "Bare", buf, sizeof buf));
  EXPECT_STREQ("", buf);
  // Values of other types come as stored, in a buffer just their size.
  const struct {
    uint32_t type;
    std::string bytes;
  } others[] = {{4 /* REG_DWORD */, std::string("\x2A\x00\x00\x01", 4)}, {kRegBinary, "\x01\x02\x03"}};
  for (const auto &o : others) {
    SCOPED_TRACE(o.type);
    ASSERT_EQ(OS_REG_SUCCESS, raw_set(subkey(sect), "Bare", o.type, o.bytes));
    char got[8];
    memset(got, '#', sizeof got);
    EXPECT_EQ(0u, KCRegistryGetString(sect.c_str(), "Bare", got, (uint32_t)o.bytes.size()));
    EXPECT_EQ(o.bytes + std::string(sizeof got - o.bytes.size(), '#'), std::string(got, sizeof got));
  }
}

TEST_F(RegStore, SectionWithLeadingBackslashIsBelowTheRoot) {
  // \Software\Other names HKEY_LOCAL_MACHINE\Software\Other itself; the
  // value name is this run's own, as the key is shared.
  made("Software\\Other", tag_);
  ASSERT_EQ(0u, KCRegistrySetString("\\Software\\Other", tag_.c_str(), "other"));
  Raw r = raw_get("Software\\Other", tag_.c_str());
  ASSERT_EQ(OS_REG_SUCCESS, r.rc);
  EXPECT_EQ(str0("other"), r.bytes);
  EXPECT_EQ(OS_REG_FILE_NOT_FOUND, raw_get(kComponents + "Software\\Other", tag_.c_str()).rc);
  char buf[16];
  EXPECT_EQ(0u, KCRegistryGetString("\\Software\\Other", tag_.c_str(), buf, sizeof buf));
  EXPECT_STREQ("other", buf);
  EXPECT_EQ(0u, KCRegistryRemoveString("\\Software\\Other", tag_.c_str()));

  // The installer's own section lands below the components key.
  std::string sect = section("MirelangExtensions\\2.0");
  made(subkey(sect), "QSXKC");
  ASSERT_EQ(0u, KCRegistrySetString(sect.c_str(), "QSXKC", "q"));
  EXPECT_EQ(OS_REG_SUCCESS, raw_get("Software\\Korvan\\Components\\" + tag_ + "\\MirelangExtensions\\2.0", "QSXKC").rc);
}

// A section whose composed key path is exactly total characters long,
// starting with the component lead, in pieces a registry key name takes.
std::string section_of_length(const std::string &tag, char lead, size_t total) {
  std::string s = tag;
  size_t have = kComponents.size() + s.size();
  while (have < total) {
    size_t piece = total - have - 1;
    if (piece > 200) piece = 200;
    s += "\\" + std::string(piece, s == tag ? lead : 'k');
    have = kComponents.size() + s.size();
  }
  return s;
}

TEST_F(RegStore, AKeyPathOver511CharactersIsRefused) {
  std::string fits = section_of_length(tag_, 'p', KC_REG_PATH_MAX - 1);
  ASSERT_EQ((size_t)KC_REG_PATH_MAX - 1, kComponents.size() + fits.size());
  made(subkey(fits), "Long");
  char buf[8];
  uint32_t st = KCRegistrySetString(fits.c_str(), "Long", "ok");
  if (nzt::kWindows && st == KC_ERR_REG_KEY) {
    // The system's ANSI registry calls under Wine take key paths of at
    // most 260 characters; the store passed the path on, the system said no.
    EXPECT_EQ(KC_ERR_REG_KEY, KCRegistryGetString(fits.c_str(), "Long", buf, sizeof buf));
  } else {
    EXPECT_EQ(0u, st);
    EXPECT_EQ(0u, KCRegistryGetString(fits.c_str(), "Long", buf, sizeof buf));
    EXPECT_STREQ("ok", buf);
    EXPECT_EQ(0u, KCRegistryRemoveString(fits.c_str(), "Long"));
  }

  std::string over = section_of_length(tag_, 'q', KC_REG_PATH_MAX);
  ASSERT_EQ((size_t)KC_REG_PATH_MAX, kComponents.size() + over.size());
  EXPECT_EQ(KC_ERR_REG_KEY, KCRegistrySetString(over.c_str(), "Long", "no"));
  EXPECT_EQ(KC_ERR_REG_KEY, KCRegistryRemoveString(over.c_str(), "Long"));
  memset(buf, '#', sizeof buf);
  EXPECT_EQ(KC_ERR_REG_KEY, KCRegistryGetString(over.c_str(), "Long", buf, sizeof buf));
  EXPECT_EQ('\0', buf[0]);
  // Refused whole: not even the first key of the path was made.
  EXPECT_FALSE(key_exists(subkey(tag_ + "\\" + std::string(200, 'q'))));
  // With the leading '\' the components prefix is not counted.
  std::string root_over = "\\" + std::string(KC_REG_PATH_MAX, 'r');
  EXPECT_EQ(KC_ERR_REG_KEY, KCRegistrySetString(root_over.c_str(), "Long", "no"));
}

TEST_F(RegStore, NamesIgnoreLetterCase) {
  std::string sect = section("CaseKey");
  made(subkey(sect), "QsxKc");
  ASSERT_EQ(0u, KCRegistrySetString(sect.c_str(), "QsxKc", "first"));
  std::string other_case = tag_ + "\\CASEKEY";
  ASSERT_EQ(0u, KCRegistrySetString(other_case.c_str(), "QSXKC", "second"));
  char buf[16];
  ASSERT_EQ(0u, KCRegistryGetString(sect.c_str(), "qsxkc", buf, sizeof buf));
  EXPECT_STREQ("second", buf);
  // One value, not two: one removal leaves none.
  EXPECT_EQ(0u, KCRegistryRemoveString(sect.c_str(), "qSxKc"));
  EXPECT_EQ(KC_ERR_REG_NOVALUE, KCRegistryGetString(sect.c_str(), "QsxKc", buf, sizeof buf));
}

TEST_F(RegStore, ValueNamesOfAnyCharactersRoundTrip) {
  const char *names[] = {"a/b", "..", ".", "x y%20", "=lead", "~tilde", "back\\slash", "", "\xe9t\xe9"};
  std::string sect = section();
  for (size_t i = 0; i < sizeof names / sizeof names[0]; ++i) {
    SCOPED_TRACE(i);
    made(subkey(sect), names[i]);
    std::string v = "v" + std::to_string(i);
    ASSERT_EQ(0u, KCRegistrySetString(sect.c_str(), names[i], v.c_str()));
  }
  for (size_t i = 0; i < sizeof names / sizeof names[0]; ++i) {
    SCOPED_TRACE(i);
    char buf[8];
    ASSERT_EQ(0u, KCRegistryGetString(sect.c_str(), names[i], buf, sizeof buf));
    EXPECT_EQ("v" + std::to_string(i), buf);
  }
  if (!nzt::kWindows) {
    // Every value is one plain file in the key's folder, and nothing else.
    size_t files = 0;
    for (const auto &e : nzt::fs::directory_iterator(folder(subkey(sect)))) {
      EXPECT_TRUE(e.is_regular_file()) << e.path();
      EXPECT_EQ('=', e.path().filename().string()[0]) << e.path();
      ++files;
    }
    EXPECT_EQ(sizeof names / sizeof names[0], files);
  }
}

TEST_F(RegStore, KeyComponentsThatWouldLeaveTheStoreAreRefused) {
  if (nzt::kWindows) GTEST_SKIP() << "the system's registry takes these names; only the file store refuses them";
  const char *bad[] = {"..", ".", "a/b", "x\\..\\..\\..", "=v", "two\\\\seps", "\\"};
  for (size_t i = 0; i < sizeof bad / sizeof bad[0]; ++i) {
    SCOPED_TRACE(i);
    std::string sect = tag_ + "\\" + bad[i];
    EXPECT_EQ(KC_ERR_REG_KEY, KCRegistrySetString(sect.c_str(), "V", "x"));
    char buf[4];
    EXPECT_EQ(KC_ERR_REG_KEY, KCRegistryGetString(sect.c_str(), "V", buf, sizeof buf));
  }
  // Nothing at all was made below the test's key.
  EXPECT_FALSE(key_exists(subkey(section())));
}

TEST_F(RegStore, RefusedAccessGives544) {
  if (nzt::kWindows) GTEST_SKIP() << "access rights of the system's registry are not set up by this suite";
  std::string sect = section();
  ASSERT_EQ(0u, KCRegistrySetString(sect.c_str(), "Locked", "old"));
  std::string dir = folder(subkey(sect));
  // A value file without read permission refuses reads.
  nzt::fs::permissions(dir + "=Locked", nzt::fs::perms::none);
  char buf[8];
  EXPECT_EQ(KC_ERR_REG_ACCESS, KCRegistryGetString(sect.c_str(), "Locked", buf, sizeof buf));
  nzt::fs::permissions(dir + "=Locked", nzt::fs::perms::owner_read | nzt::fs::perms::owner_write);
  // A key folder without write permission refuses writes and deletes.
  nzt::fs::permissions(dir, nzt::fs::perms::owner_read | nzt::fs::perms::owner_exec);
  EXPECT_EQ(KC_ERR_REG_ACCESS, KCRegistrySetString(sect.c_str(), "Locked", "new"));
  EXPECT_EQ(KC_ERR_REG_ACCESS, KCRegistryRemoveString(sect.c_str(), "Locked"));
  nzt::fs::permissions(dir, nzt::fs::perms::owner_all);
  EXPECT_EQ(0u, KCRegistryGetString(sect.c_str(), "Locked", buf, sizeof buf));
  EXPECT_STREQ("old", buf);
}

TEST_F(RegStore, AFailedWriteLeavesTheOldValueAndNoTemporaryFile) {
  if (nzt::kWindows) GTEST_SKIP() << "the fault switch reaches the file store only";
  std::string sect = section();
  ASSERT_EQ(0u, KCRegistrySetString(sect.c_str(), "Kept", "old value"));
  const std::string dir = folder(subkey(sect));
  const std::string before = nzt::read_file(dir + "=Kept");
  // (A close after the flush and the rename changes nothing on disk.)
  const os_op ops[] = {OS_OP_CREATE, OS_OP_WRITE, OS_OP_FSYNC, OS_OP_REPLACE};
  for (size_t i = 0; i < sizeof ops / sizeof ops[0]; ++i) {
    SCOPED_TRACE(i);
    os_fault_arm(ops[i], 1);
    EXPECT_EQ(KC_ERR_REG, KCRegistrySetString(sect.c_str(), "Kept", "a new and longer value"));
    os_fault_arm(ops[i], 0);
    EXPECT_EQ(before, nzt::read_file(dir + "=Kept"));
    size_t entries = 0;
    for (const auto &e : nzt::fs::directory_iterator(dir)) {
      (void)e;
      ++entries;
    }
    EXPECT_EQ(1u, entries);
  }
  os_fault_arm(OS_OP_REMOVE, 1);
  EXPECT_EQ(KC_ERR_REG, KCRegistryRemoveString(sect.c_str(), "Kept"));
  os_fault_arm(OS_OP_REMOVE, 0);
  EXPECT_EQ(before, nzt::read_file(dir + "=Kept"));
  // A killed writer's temporary file goes with the next write; one that a
  // writer still holds stays.
  ASSERT_TRUE(nzt::write_file(dir + "~nz11111", "kcreg 1\npart"));
  os_fd held;
  ASSERT_EQ(0, os_create_excl((dir + "~nz22222").c_str(), &held));
  EXPECT_EQ(0u, KCRegistrySetString(sect.c_str(), "Kept", "new"));
  EXPECT_FALSE(nzt::file_exists(dir + "~nz11111"));
  EXPECT_TRUE(nzt::file_exists(dir + "~nz22222"));
  os_close(held);
  EXPECT_EQ(0u, KCRegistryRemoveString(sect.c_str(), "Kept"));
  EXPECT_FALSE(nzt::file_exists(dir + "~nz22222"));
}

TEST_F(RegStore, ADamagedValueFileIsAFailureNotData) {
  if (nzt::kWindows) GTEST_SKIP() << "the file store's own format";
  std::string sect = section();
  ASSERT_EQ(0u, KCRegistrySetString(sect.c_str(), "Damaged", "x"));
  const char *bodies[] = {"", "kcreg\n", "kcreg 1", "kcreg x\nabc", "kcreg 99999999999\nabc", "KCREG 1\nabc"};
  for (size_t i = 0; i < sizeof bodies / sizeof bodies[0]; ++i) {
    SCOPED_TRACE(i);
    ASSERT_TRUE(nzt::write_file(folder(subkey(sect)) + "=Damaged", bodies[i]));
    char buf[8] = "#######";
    EXPECT_EQ(KC_ERR_REG, KCRegistryGetString(sect.c_str(), "Damaged", buf, sizeof buf));
    EXPECT_STREQ("", buf);
    // A write does not guess the type of a value it cannot read.
    EXPECT_EQ(KC_ERR_REG, KCRegistrySetString(sect.c_str(), "Damaged", "y"));
    EXPECT_EQ(std::string(bodies[i]), nzt::read_file(folder(subkey(sect)) + "=Damaged"));
  }
}

TEST_F(RegStore, TheStoreRootComesFromTheEnvironment) {
  if (nzt::kWindows) GTEST_SKIP() << "the file store's root";
  nzt::TempDir other;
  {
    nzt::EnvGuard g("KC_REGISTRY_ROOT", (other.dir() + "nested/root").c_str());
    ASSERT_EQ(0u, KCRegistrySetString("\\Software\\Other", "V", "v"));
  }
  EXPECT_EQ(std::string("kcreg 1\nv", 10), nzt::read_file(other.dir() + "nested/root/Software/Other/=V"));
  // The test's own root saw nothing of it.
  EXPECT_FALSE(nzt::file_exists(root_->dir() + "Software"));
}

// Value and key names about the longest a key's name may be: every value
// name is stored and found in any spelling (the file store keeps one too
// long for a file name under a digest of it); a key's name over 255
// characters is refused on every system.
TEST_F(RegStore, NamesOf255To257Characters) {
  const struct {
    bool key;
    size_t length;
    char letter;
    uint32_t status;
  } cases[] = {
      {false, 254, 'v', 0}, {false, 255, 'v', 0}, {false, 256, 'v', 0}, {false, 257, 'v', 0},
      {false, 100, '\xe9', 0}, // 300 bytes once written %XX
      {true, 255, 'k', 0},     {true, 256, 'k', KC_ERR_REG_KEY}, {true, 257, 'k', KC_ERR_REG_KEY},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    SCOPED_TRACE(i);
    std::string name(cases[i].length, cases[i].letter), sect = section();
    if (cases[i].key) {
      // Below the root, so that the whole path stays within what Wine's
      // ANSI calls take; the run's own tag starts it.
      sect = "\\" + tag_ + name.substr(tag_.size());
      name = "V";
    }
    std::string upper = name;
    for (char &c : upper) c = (char)toupper((unsigned char)c);
    made(cases[i].key ? sect.substr(1) : subkey(sect), name);
    EXPECT_EQ(KCRegistrySetString(sect.c_str(), name.c_str(), "x"), cases[i].status);
    char buf[4];
    EXPECT_EQ(KCRegistryGetString(sect.c_str(), upper.c_str(), buf, sizeof buf),
              cases[i].status ? cases[i].status : 0u);
    EXPECT_EQ(KCRegistryRemoveString(sect.c_str(), upper.c_str()), cases[i].status);
    if (!cases[i].status) {
      EXPECT_EQ(KCRegistryGetString(sect.c_str(), name.c_str(), buf, sizeof buf), KC_ERR_REG_NOVALUE);
    }
  }
  std::string huge(KC_REG_VALUE_NAME_MAX + 1, 'h');
  EXPECT_EQ(KCRegistrySetString(section().c_str(), huge.c_str(), "x"), KC_ERR_REG);
}

// The file store puts what it makes on disk before it reports done: each
// new folder is flushed in its parent, the value file and then its key's
// folder. Each flush that fails is reported, and the call after it makes
// and flushes again what was not on disk (a value it set is set again).
TEST_F(RegStore, EveryNewFolderIsFlushedInItsParent) {
  if (nzt::kWindows) GTEST_SKIP() << "the file store's folders";
  const std::string sect = section("A\\B");
  // The root's last folder, Software, Korvan, Components, the tag, A and B.
  const int new_folders = 7, flushes = new_folders + 2;
  std::unique_ptr<nzt::TempDir> root;
  std::unique_ptr<nzt::EnvGuard> env;
  uint32_t st = 0;
  int failed = nzt::fault_sweep(
      nzt::seam_fault(OS_OP_FSYNC),
      [&] {
        env.reset();
        root = std::make_unique<nzt::TempDir>();
        env = std::make_unique<nzt::EnvGuard>("KC_REGISTRY_ROOT", (root->dir() + "reg").c_str());
      },
      [&] { st = KCRegistrySetString(sect.c_str(), "V", "x"); },
      [&](int n, bool hit) {
        EXPECT_EQ(st, !hit ? 0u : n <= new_folders ? KC_ERR_REG_KEY : KC_ERR_REG);
        if (hit) {
          os_fault_arm(OS_OP_FSYNC, 1000);
          EXPECT_EQ(KCRegistrySetString(sect.c_str(), "V", "x"), 0u);
          EXPECT_EQ(1000 - os_fault_left(OS_OP_FSYNC), std::max(flushes - n + 1, 2));
          os_fault_arm(OS_OP_FSYNC, 0);
        }
        char buf[4];
        EXPECT_EQ(KCRegistryGetString(sect.c_str(), "V", buf, sizeof buf), 0u);
      });
  EXPECT_EQ(failed, flushes);
}

// A writer that keeps a value's or a new key's lock past the wait: the
// change gives 546 and leaves the value as it was. Every spelling meets
// the one lock.
TEST_F(RegStore, ALockHeldByAnotherWriter) {
  if (nzt::kWindows) GTEST_SKIP() << "the system's registry orders its writers itself";
  std::string sect = section();
  ASSERT_EQ(0u, KCRegistrySetString(sect.c_str(), "Held", "old"));
  const std::string dir = folder(subkey(sect));
  char value_lock[KC_LOCK_PATH_MAX], key_lock[KC_LOCK_PATH_MAX];
  ASSERT_TRUE(kc_lock_name(value_lock, sizeof value_lock, (dir + "=HELD").c_str(), 1));
  ASSERT_TRUE(kc_lock_name(key_lock, sizeof key_lock, (dir + "below").c_str(), 1));
  os_fd held[2];
  ASSERT_EQ(0, os_create_excl(value_lock, &held[0]));
  ASSERT_EQ(0, os_create_excl(key_lock, &held[1]));
  const unsigned wait = kc_lock_wait_ms;
  kc_lock_wait_ms = 100;
  EXPECT_EQ(KC_ERR_BUSY, KCRegistrySetString(sect.c_str(), "Held", "new"));
  EXPECT_EQ(KC_ERR_BUSY, KCRegistryRemoveString(sect.c_str(), "hELD"));
  EXPECT_EQ(KC_ERR_BUSY, KCRegistrySetString(section("Below").c_str(), "V", "new")); // a key made in it
  kc_lock_wait_ms = wait;
  for (os_fd f : held) os_close(f);
  char buf[8];
  EXPECT_EQ(0u, KCRegistryGetString(sect.c_str(), "Held", buf, sizeof buf));
  EXPECT_STREQ("old", buf);
  // Another account's file under a lock's name is never taken for ours,
  // nor deleted.
  if (nzt::give_away(value_lock)) {
    kc_lock_wait_ms = 100;
    EXPECT_EQ(KC_ERR_BUSY, KCRegistrySetString(sect.c_str(), "Held", "new"));
    kc_lock_wait_ms = wait;
    EXPECT_TRUE(nzt::file_exists(value_lock));
    nzt::fs::remove(value_lock);
  }
  // The locks nobody holds any more are what killed writers left: taken.
  EXPECT_EQ(0u, KCRegistrySetString(section("Below").c_str(), "V", "new"));
  EXPECT_EQ(0u, KCRegistryRemoveString(sect.c_str(), "Held"));
}

}  // namespace

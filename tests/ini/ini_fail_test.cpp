// A change that fails leaves the INI file byte for byte as it was and no
// temporary file behind; one that succeeds is whole. Failures come from
// the seam's fault switch and, where the system allows, from real limits.
#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "os.h"
#include "plat.h"
#include "faultsim.h"
#include "plat_lock.h"
#include "testsupport.h"

#ifdef _WIN32
#include <windows.h>
#include <sddl.h>
#else
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>
#endif

using nzt::crlf;
using nzt::file_holds;
using nzt::read_file;
using nzt::TempDir;
using nzt::write_file;

namespace {

std::vector<std::string> names_in(const std::string &dir) {
  std::vector<std::string> names;
  for (const auto &e : nzt::fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// A file of several read and write blocks, the changed section in the
// middle, LF line ends so that the rewrite differs from the original.
std::string big_ini() {
  std::string s;
  for (int i = 0; i < 3000; ++i) s += "[Before" + std::to_string(i) + "]\nKey=" + std::string(20, 'b') + "\n";
  s += "[Pagra]\nServerTasks=HTTP,SMTP\nDirectory=/srv/data\n\n";
  for (int i = 0; i < 3000; ++i) s += "[After" + std::to_string(i) + "]\nKey=" + std::string(20, 'a') + "\n";
  return s;
}

std::string lf_to_crlf(const std::string &s) {
  std::string out;
  for (char c : s) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

struct Change {
  const char *name;
  const char *entry, *value;
  bool file_exists;
};

const Change kChanges[] = {
    {"set new entry", "EXTMGR_ADDINS", "nzeptext.dll", true},
    {"replace entry", "ServerTasks", "HTTP,SMTP,ZEPT", true},
    {"remove entry", "Directory", nullptr, true},
    {"make missing file", "ServerTasks", "ZEPT", false},
};

std::string expected_after(const Change &c, const std::string &before) {
  if (!c.file_exists) return crlf({"[Pagra]", std::string(c.entry) + "=" + c.value});
  std::string s = lf_to_crlf(before);
  const std::string anchor = "ServerTasks=HTTP,SMTP\r\n";
  size_t at = s.find(anchor);
  if (std::string(c.entry) == "EXTMGR_ADDINS") {
    size_t end = s.find("Directory=/srv/data\r\n") + strlen("Directory=/srv/data\r\n");
    s.insert(end, "EXTMGR_ADDINS=nzeptext.dll\r\n");
  } else if (c.value) {
    s.replace(at, anchor.size(), "ServerTasks=" + std::string(c.value) + "\r\n");
  } else {
    s.erase(s.find("Directory=/srv/data\r\n"), strlen("Directory=/srv/data\r\n"));
  }
  return s;
}

struct Fault {
  os_op op;
  const char *name;
  uint32_t status;
};

// (The new file is closed only once it is flushed and in place: a close
// that fails then changes nothing on disk.)
const Fault kFaults[] = {
    {OS_OP_CREATE, "create", KC_ERR_INI_CREATE}, {OS_OP_WRITE, "write", KC_ERR_INI_MISSING},
    {OS_OP_FSYNC, "fsync", KC_ERR_INI_MISSING},  {OS_OP_REPLACE, "replace", KC_ERR_INI_OPEN},
    {OS_OP_READ, "read", KC_ERR_INI_OPEN},
};

// Every change, with the n-th call of every seam operation failing: either
// the whole change or the old file, with the operation's status.
TEST(IniFailure, NthSeamCallFails) {
  TempDir t;
  std::string ini = t.path("pagra.ini");
  const std::string before = big_ini();
  for (const Change &c : kChanges) {
    const std::string after = expected_after(c, before);
    for (const Fault &f : kFaults) {
      SCOPED_TRACE(std::string(c.name) + ", " + f.name);
      uint32_t st = 0;
      int failures = 0;
      nzt::fault_sweep(
          nzt::seam_fault(f.op),
          [&] {
            std::error_code ec;
            nzt::fs::remove(ini, ec);
            if (c.file_exists) {
              ASSERT_TRUE(write_file(ini, before));
            }
          },
          [&] { st = KCINISetString("Pagra", c.entry, c.value, ini.c_str()); },
          [&](int, bool hit) {
            EXPECT_EQ(hit, st != 0) << "every failure that was hit is reported";
            if (st == 0) {
              EXPECT_TRUE(file_holds(ini, after));
            } else if (f.op == OS_OP_FSYNC && st == KC_ERR_INI_OPEN) {
              // The folder's flush after the rename: the change stands,
              // but is not reported done.
              ++failures;
              EXPECT_TRUE(file_holds(ini, after));
            } else {
              ++failures;
              EXPECT_EQ(st, f.status);
              if (c.file_exists)
                EXPECT_TRUE(file_holds(ini, before));
              else
                EXPECT_FALSE(nzt::file_exists(ini));
            }
            bool in_place = st == 0 || (f.op == OS_OP_FSYNC && st == KC_ERR_INI_OPEN);
            EXPECT_EQ(names_in(t.dir()), c.file_exists || in_place ? std::vector<std::string>{"pagra.ini"}
                                                                     : std::vector<std::string>{});
          });
      // Each operation is reached by each change that writes (a missing
      // file is not read).
      if (!(f.op == OS_OP_READ && !c.file_exists)) {
        EXPECT_GT(failures, 0);
      }
    }
  }
}

// A read that fails on the way to the entry reports 535 and hands out
// nothing; one that gets there before the fault reads the value.
TEST(IniFailure, ReadFailsPartWay) {
  TempDir t;
  std::string ini = t.path("pagra.ini");
  ASSERT_TRUE(write_file(ini, big_ini()));
  char buf[KC_INI_LINE_MAX];
  uint32_t st = 0;
  int failures = nzt::fault_sweep(
      nzt::seam_fault(OS_OP_READ), [&] { memset(buf, 'x', sizeof buf); },
      [&] { st = KCINIGetString("Pagra", "ServerTasks", buf, ini.c_str()); },
      [&](int, bool hit) {
        EXPECT_EQ(st, hit ? KC_ERR_INI_OPEN : 0u);
        EXPECT_STREQ(buf, hit ? "" : "HTTP,SMTP");
      });
  EXPECT_GT(failures, 1); // the entry lies beyond the first block
}

// A real limit: the file size a process may write. The new file outgrows
// it part-way.
TEST(IniFailure, FileSizeLimitReached) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows has no per-process file size limit";
#else
  TempDir t;
  std::string ini = t.path("pagra.ini");
  const std::string before = big_ini();
  ASSERT_TRUE(write_file(ini, before));
  struct rlimit old;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  void (*old_handler)(int) = signal(SIGXFSZ, SIG_IGN); // a failed write, not a killed process
  struct rlimit low = old;
  low.rlim_cur = before.size() / 2;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &low), 0);
  uint32_t st = KCINISetString("Pagra", "ServerTasks", "ZEPT", ini.c_str());
  uint32_t st_new = KCINISetString("Pagra", "ServerTasks", "ZEPT", t.path("new.ini").c_str());
  setrlimit(RLIMIT_FSIZE, &old);
  signal(SIGXFSZ, old_handler);
  EXPECT_EQ(st, KC_ERR_INI_MISSING);
  EXPECT_EQ(st_new, 0u); // a small file stays within the limit
  EXPECT_TRUE(file_holds(ini, before));
  EXPECT_EQ(names_in(t.dir()), (std::vector<std::string>{"new.ini", "pagra.ini"}));
#endif
}

// A folder on the way that is missing, or that is a file: the INI file is
// missing, on both builds alike.
TEST(IniFailure, MissingFolder) {
  for (const char *folder : {"no-such-folder", "a-file"}) {
    SCOPED_TRACE(folder);
    TempDir t;
    ASSERT_TRUE(write_file(t.path("a-file"), "x"));
    std::string missing = t.path(std::string(folder) + "/pagra.ini");
    EXPECT_EQ(KCINISetString("Pagra", "E", "v", missing.c_str()), KC_ERR_INI_CREATE);
    EXPECT_EQ(KCINIRemoveString("Pagra", "E", missing.c_str()), 0u);
    EXPECT_EQ(KCINIGetString("Pagra", "E", nullptr, missing.c_str()), KC_ERR_INI_OPEN);
    EXPECT_EQ(names_in(t.dir()), std::vector<std::string>{"a-file"});
    EXPECT_EQ(read_file(t.path("a-file")), "x");
  }
}

TEST(IniFailure, UnwritableFolder) {
#ifdef _WIN32
  GTEST_SKIP() << "a folder's read-only attribute does not stop file creation on Windows";
#else
  if (geteuid() == 0) GTEST_SKIP() << "root creates files in any folder";
  TempDir t;
  nzt::fs::create_directory(t.path("ro"));
  std::string ini = t.path("ro/pagra.ini");
  const std::string before = crlf({"[Pagra]", "E=old"});
  ASSERT_TRUE(write_file(ini, before));
  chmod(t.path("ro").c_str(), 0555);
  uint32_t st = KCINISetString("Pagra", "E", "new", ini.c_str());
  chmod(t.path("ro").c_str(), 0755);
  EXPECT_EQ(st, KC_ERR_INI_CREATE);
  EXPECT_TRUE(file_holds(ini, before));
  EXPECT_EQ(names_in(t.path("ro")), std::vector<std::string>{"pagra.ini"});
#endif
}

// A read-only file, and one with a second name (a hard link, which a new
// file in its place would part from it), are not changed, on both builds:
// a change that would write is refused, and removing what is not there
// gives 0 as for any file.
TEST(IniFailure, ReadOnlyOrHardLinkedFileStays) {
  const std::string before = crlf({"[Pagra]", "E=old"});
  struct Case {
    const char *section, *entry, *value;
    uint32_t status;
  } cases[] = {
      {"Pagra", "E", "new", KC_ERR_INI_OPEN},
      {"Pagra", "E", nullptr, KC_ERR_INI_OPEN},
      {"Pagra", "Absent", nullptr, 0},
      {"Absent", "E", nullptr, 0},
  };
  for (bool hard_link : {false, true}) {
    TempDir t;
    std::string ini = t.path("pagra.ini"), other = t.path("other.ini");
    ASSERT_TRUE(write_file(ini, before));
    if (hard_link)
      nzt::fs::create_hard_link(ini, other);
    else
      nzt::make_read_only(ini, true);
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
      SCOPED_TRACE(std::string(hard_link ? "hard link, case " : "read-only, case ") + std::to_string(i));
      EXPECT_EQ(KCINISetString(cases[i].section, cases[i].entry, cases[i].value, ini.c_str()), cases[i].status);
      EXPECT_TRUE(file_holds(ini, before));
      if (hard_link) {
        EXPECT_EQ(read_file(other), before);
      }
    }
    nzt::make_read_only(ini, false);
    std::vector<std::string> names = {"pagra.ini"};
    if (hard_link) names.insert(names.begin(), "other.ini");
    EXPECT_EQ(names_in(t.dir()), names);
  }
}

// The seam's replace itself refuses a read-only target and leaves both
// files as they were.
TEST(IniFailure, ReplaceRefusesReadOnlyTarget) {
  TempDir t;
  std::string from = t.path("new.tmp"), to = t.path("pagra.ini");
  os_fd fd;
  int e = 0;
  ASSERT_EQ(0, os_create_excl(from.c_str(), &fd));
  ASSERT_EQ(3, os_write(fd, "new", 3, &e));
  ASSERT_TRUE(write_file(to, "old"));
  nzt::make_read_only(to, true);
  EXPECT_EQ(os_fd_rename(fd, from.c_str(), to.c_str(), 1), EACCES);
  nzt::make_read_only(to, false);
  EXPECT_EQ(read_file(to), "old");
  EXPECT_TRUE(nzt::file_exists(from)); // held: its bytes are read once it is in place
  EXPECT_EQ(os_fd_rename(fd, from.c_str(), to.c_str(), 1), 0);
  os_close(fd);
  EXPECT_EQ(read_file(to), "new");
  EXPECT_FALSE(nzt::file_exists(from));
}

// The replaced file keeps what the host set on it; what cannot be kept is
// a refusal that leaves the file as it was (the seam's OS_OP_KEEP fault
// shows the access list is taken along even where it cannot be read back).
::testing::AssertionResult refused_when_not_kept(const std::string &ini, const std::string &dir) {
  const std::string before = read_file(ini);
  os_fault_arm(OS_OP_KEEP, 1);
  uint32_t st = KCINISetString("Pagra", "E", "other", ini.c_str());
  os_fault_arm(OS_OP_KEEP, 0);
  if (st != KC_ERR_INI_CREATE) return ::testing::AssertionFailure() << "status " << st;
  if (read_file(ini) != before) return ::testing::AssertionFailure() << "the file changed";
  if (names_in(dir) != std::vector<std::string>{"pagra.ini"}) return ::testing::AssertionFailure() << "a file was left";
  return ::testing::AssertionSuccess();
}

#ifdef _WIN32
std::string dacl_of(const std::string &path) {
  char buf[4096];
  DWORD need = 0;
  if (!GetFileSecurityA(path.c_str(), DACL_SECURITY_INFORMATION, buf, sizeof buf, &need)) return "";
  char *text = nullptr;
  if (!ConvertSecurityDescriptorToStringSecurityDescriptorA(buf, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text,
                                                            nullptr))
    return "";
  std::string s = text;
  LocalFree(text);
  return s;
}

TEST(IniFailure, WhatTheHostSetOnTheFileIsKept) {
  TempDir t;
  std::string ini = t.path("pagra.ini");
  ASSERT_TRUE(write_file(ini, crlf({"[Pagra]", "E=old"})));
  const DWORD set = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;
  ASSERT_TRUE(SetFileAttributesA(ini.c_str(), set));
  // An access list set by hand: protected, full access for everyone only.
  PSECURITY_DESCRIPTOR sd = nullptr;
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA("D:P(A;;FA;;;WD)", SDDL_REVISION_1, &sd, nullptr));
  bool has_acl = SetFileSecurityA(ini.c_str(), DACL_SECURITY_INFORMATION, sd);
  LocalFree(sd);
  std::string acl_before = dacl_of(ini);
  EXPECT_EQ(KCINISetString("Pagra", "E", "new", ini.c_str()), 0u);
  EXPECT_EQ(read_file(ini), crlf({"[Pagra]", "E=new"}));
  EXPECT_EQ(GetFileAttributesA(ini.c_str()) & set, set) << "attributes dropped";
  EXPECT_TRUE(refused_when_not_kept(ini, t.dir()));
  if (!has_acl || acl_before != "D:P(A;;FA;;;WD)") GTEST_SKIP() << "this file system keeps no access lists";
  EXPECT_EQ(dacl_of(ini), acl_before);
}
#else
TEST(IniFailure, WhatTheHostSetOnTheFileIsKept) {
  TempDir t;
  std::string ini = t.path("pagra.ini");
  for (mode_t mode : {0600, 0640, 0664, 0604}) {
    SCOPED_TRACE(mode);
    ASSERT_TRUE(write_file(ini, crlf({"[Pagra]", "E=old"})));
    chmod(ini.c_str(), mode);
    EXPECT_EQ(KCINISetString("Pagra", "E", "new", ini.c_str()), 0u);
    struct stat st;
    ASSERT_EQ(stat(ini.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, mode);
  }
  // A new file gets the mode of any file the process makes (its temporary
  // file, meanwhile, its owner's alone).
  mode_t mask = umask(027);
  nzt::fs::remove(ini);
  EXPECT_EQ(KCINISetString("Pagra", "E", "new", ini.c_str()), 0u);
  umask(mask);
  struct stat made;
  ASSERT_EQ(stat(ini.c_str(), &made), 0);
  EXPECT_EQ(made.st_mode & 07777, 0640u);
  // The host's own account keeps its configuration (only root can give it).
  if (geteuid() == 0) {
    ASSERT_TRUE(write_file(ini, crlf({"[Pagra]", "E=old"})));
    ASSERT_EQ(chown(ini.c_str(), 65534, 65534), 0);
    chmod(ini.c_str(), 0600);
    EXPECT_EQ(KCINISetString("Pagra", "E", "new", ini.c_str()), 0u);
    struct stat st;
    ASSERT_EQ(stat(ini.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 65534u);
    EXPECT_EQ(st.st_gid, 65534u);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
  }
  // Every extended attribute, and the access list among them: user nobody
  // rw, the group r, the mask rw. Without the list the group would get
  // the mask's rw, and nobody would lose access.
  const uint32_t none = 0xFFFFFFFFu;
  const struct {
    uint16_t tag, perm;
    uint32_t id;
  } acl[] = {{0x01, 6, none}, {0x02, 6, 65534}, {0x04, 4, none}, {0x10, 6, none}, {0x20, 0, none}};
  std::string acl_bytes(4, '\0');
  acl_bytes[0] = 2; // the format's version
  for (const auto &e : acl) acl_bytes.append((const char *)&e, sizeof e);
  ASSERT_TRUE(write_file(ini, crlf({"[Pagra]", "E=old"})));
  if (setxattr(ini.c_str(), "user.nzt.origin", "host", 4, 0) != 0 ||
      setxattr(ini.c_str(), "system.posix_acl_access", acl_bytes.data(), acl_bytes.size(), 0) != 0)
    GTEST_SKIP() << "this file system keeps no extended attributes or access lists";
  struct stat before;
  ASSERT_EQ(stat(ini.c_str(), &before), 0);
  EXPECT_EQ(KCINISetString("Pagra", "E", "new", ini.c_str()), 0u);
  EXPECT_EQ(read_file(ini), crlf({"[Pagra]", "E=new"}));
  char buf[256];
  ssize_t n = getxattr(ini.c_str(), "system.posix_acl_access", buf, sizeof buf);
  EXPECT_EQ(std::string(buf, n > 0 ? (size_t)n : 0), acl_bytes);
  n = getxattr(ini.c_str(), "user.nzt.origin", buf, sizeof buf);
  EXPECT_EQ(std::string(buf, n > 0 ? (size_t)n : 0), "host");
  struct stat after;
  ASSERT_EQ(stat(ini.c_str(), &after), 0);
  EXPECT_EQ(after.st_mode, before.st_mode);
  EXPECT_TRUE(refused_when_not_kept(ini, t.dir()));
}
#endif

// A file reached through a symbolic link is changed where it lies, the
// link kept, the temporary file beside the file. A link that leads nowhere
// is not replaced by a file, and nothing is removed through it.
#ifdef _WIN32
// The final path of the file that path opens ("" when none opens).
std::string final_path(const std::string &path) {
  HANDLE h = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS, NULL);
  if (h == INVALID_HANDLE_VALUE) return "";
  char buf[1024];
  DWORD n = GetFinalPathNameByHandleA(h, buf, sizeof buf, FILE_NAME_OPENED | VOLUME_NAME_DOS);
  CloseHandle(h);
  return n > 0 && n < sizeof buf ? buf : "";
}

bool make_link(const std::string &to, const std::string &link) {
  return CreateSymbolicLinkA(link.c_str(), to.c_str(), SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE) &&
         GetFileAttributesA(link.c_str()) != INVALID_FILE_ATTRIBUTES;
}
bool is_link_to(const std::string &link, const std::string &target) {
  return final_path(link) != "" && final_path(link) == final_path(target);
}
#else
bool make_link(const std::string &to, const std::string &link) { return symlink(to.c_str(), link.c_str()) == 0; }
bool is_link_to(const std::string &link, const std::string &target) {
  return nzt::fs::is_symlink(link) && nzt::fs::equivalent(link, target);
}
#endif

TEST(IniFailure, AFileThroughALinkChangesWhereItLies) {
  TempDir t;
  std::string dir = t.dir();
  nzt::fs::create_directories(t.path("conf"));
  nzt::fs::create_directories(t.path("host"));
  bool system_link = make_link(nzt::host_path("../conf/pagra.ini"), t.path("host/pagra.ini"));
#ifdef NZ_LINK_DIR
  // Wine makes no link itself; it sees the target of a Unix link (made by
  // the build) through the final path of the opened file.
  if (!system_link) dir = nzt::host_path(std::string("Z:") + NZ_LINK_DIR + "/");
#endif
  if (!system_link && dir == t.dir()) GTEST_SKIP() << "this system makes no symbolic link here";
  std::string target = dir + nzt::host_path("conf/pagra.ini"), link = dir + nzt::host_path("host/pagra.ini");
  ASSERT_TRUE(write_file(target, crlf({"[Pagra]", "E=old"})));
  ASSERT_TRUE(is_link_to(link, target));
  EXPECT_EQ(KCINISetString("Pagra", "E", "new", link.c_str()), 0u);
  EXPECT_EQ(read_file(target), crlf({"[Pagra]", "E=new"}));
  EXPECT_TRUE(is_link_to(link, target));
  EXPECT_EQ(names_in(dir + "conf"), std::vector<std::string>{"pagra.ini"});
  EXPECT_EQ(names_in(dir + "host"), std::vector<std::string>{"pagra.ini"});
  if (!system_link) return; // Wine shows no link that leads nowhere: the name is free
  std::string dangling = t.path("host/other.ini");
  ASSERT_TRUE(make_link(nzt::host_path("../conf/missing.ini"), dangling));
  EXPECT_EQ(KCINISetString("Pagra", "E", "new", dangling.c_str()), KC_ERR_INI_OPEN);
  EXPECT_EQ(KCINIRemoveString("Pagra", "E", dangling.c_str()), 0u);
  EXPECT_FALSE(nzt::file_exists(t.path("conf/missing.ini")));
  // A link that leads in a circle leads nowhere either.
  std::string loop = t.path("host/loop.ini");
  ASSERT_TRUE(make_link(loop, loop));
  EXPECT_EQ(KCINISetString("Pagra", "E", "new", loop.c_str()), KC_ERR_INI_OPEN);
  EXPECT_EQ(KCINIRemoveString("Pagra", "E", loop.c_str()), 0u);
  EXPECT_EQ(names_in(t.path("host")), (std::vector<std::string>{"loop.ini", "other.ini", "pagra.ini"}));
}

// The lock file of pagra.ini in t: left by a set whose replace and
// clean-up fail ("" when that leaves no one file).
std::string lock_of(const TempDir &t, const std::string &ini) {
  std::vector<std::string> before = names_in(t.dir());
  os_fault_arm(OS_OP_REPLACE, 1);
  os_fault_arm(OS_OP_REMOVE, 1);
  uint32_t st = KCINISetString("Pagra", "E", "left", ini.c_str());
  os_fault_arm(OS_OP_REPLACE, 0);
  os_fault_arm(OS_OP_REMOVE, 0);
  std::vector<std::string> after = names_in(t.dir()), added;
  std::set_difference(after.begin(), after.end(), before.begin(), before.end(), std::back_inserter(added));
  return st == KC_ERR_INI_OPEN && added.size() == 1 ? t.path(added[0]) : "";
}

// What stands under the file's lock file name: a writer at work (a locked
// file), a folder, or what a killed writer left. A removal of what is
// absent needs no lock; a change waits for a locked file or a folder, gives 546
// when the wait runs out, and touches neither. A file no process holds,
// or a link (as a name: what it leads to stays), is removed, and the
// change then goes in.
TEST(IniFailure, WhatStandsUnderTheLockName) {
  enum Kind { HELD, FOLDER, LINK, DANGLING, LEFT, FOREIGN } kinds[] = {HELD, FOLDER, LINK, DANGLING, LEFT, FOREIGN};
  const std::string before = crlf({"[Pagra]", "E=old"});
  const unsigned wait = kc_lock_wait_ms;
  kc_lock_wait_ms = 200;
  for (Kind kind : kinds) {
    SCOPED_TRACE("kind " + std::to_string(kind));
    TempDir t;
    std::string ini = t.path("pagra.ini");
    ASSERT_TRUE(write_file(ini, before));
    std::string lock = lock_of(t, ini);
    ASSERT_NE(lock, "");
    ASSERT_TRUE(write_file(t.path("victim"), "victim"));
    os_fd held = OS_BADFD;
    if (kind == HELD) {
      ASSERT_EQ(os_open_locked(lock.c_str(), 0, &held), 0);
    }
    // Another account's file under the name is never taken for a lock of
    // ours, nor deleted.
    if (kind == FOREIGN && !nzt::give_away(lock)) continue;
    if (kind != HELD && kind != LEFT && kind != FOREIGN) nzt::fs::remove(lock);
    if (kind == FOLDER) nzt::fs::create_directory(lock);
    // Under Wine a Unix link that leads nowhere is seen nowhere.
    if (kind == DANGLING && nzt::kWindows) continue;
    if ((kind == LINK || kind == DANGLING) && !nzt::make_symlink(t.path(kind == LINK ? "victim" : "nowhere"), lock))
      continue;
    std::vector<std::string> names = names_in(t.dir());
    EXPECT_EQ(KCINIRemoveString("Pagra", "Absent", ini.c_str()), 0u);
    bool goes = kind == LEFT || kind == LINK || kind == DANGLING;
    EXPECT_EQ(KCINISetString("Pagra", "E", "new", ini.c_str()), goes ? 0u : KC_ERR_BUSY);
    EXPECT_EQ(read_file(ini), goes ? crlf({"[Pagra]", "E=new"}) : before);
    EXPECT_EQ(read_file(t.path("victim")), "victim");
    EXPECT_FALSE(nzt::file_exists(t.path("nowhere")));
    if (goes) names.erase(std::remove(names.begin(), names.end(), lock.substr(t.dir().size())), names.end());
    EXPECT_EQ(names_in(t.dir()), names);
    if (held != OS_BADFD) {
      os_close(held);
      EXPECT_EQ(KCINISetString("Pagra", "E", "new", ini.c_str()), 0u); // its writer has gone
      EXPECT_EQ(names_in(t.dir()), (std::vector<std::string>{"pagra.ini", "victim"}));
    }
  }
  kc_lock_wait_ms = wait;
}

// Only regular files are read or changed: a device, a pipe, a link to
// one is refused at once (535), whatever the call, and stays as it is.
TEST(IniFailure, OnlyRegularFilesAreRead) {
  TempDir t;
  std::vector<std::string> kinds;
#ifdef _WIN32
  kinds.push_back("NUL"); // the null device, wherever it is named
  kinds.push_back(t.path("nul"));
#else
  ASSERT_EQ(mkfifo(t.path("fifo").c_str(), 0644), 0);
  kinds.push_back(t.path("fifo"));
  ASSERT_TRUE(make_link(t.path("fifo"), t.path("to-fifo")));
  kinds.push_back(t.path("to-fifo"));
  if (geteuid() == 0 && mknod(t.path("null").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0) {
    kinds.push_back(t.path("null"));
    ASSERT_TRUE(make_link(t.path("null"), t.path("to-null")));
    kinds.push_back(t.path("to-null"));
  }
#endif
  std::vector<std::string> names = names_in(t.dir());
  for (size_t i = 0; i < kinds.size(); ++i) {
    SCOPED_TRACE(kinds[i]);
    char buf[KC_INI_LINE_MAX];
    EXPECT_EQ(KCINIGetString("Pagra", "E", buf, kinds[i].c_str()), KC_ERR_INI_OPEN);
    EXPECT_EQ(KCINISetString("Pagra", "E", "v", kinds[i].c_str()), KC_ERR_INI_OPEN);
    EXPECT_EQ(KCINIRemoveString("Pagra", "E", kinds[i].c_str()), KC_ERR_INI_OPEN);
  }
  EXPECT_EQ(names_in(t.dir()), names);
#ifndef _WIN32
  struct stat st;
  EXPECT_TRUE(stat(t.path("fifo").c_str(), &st) == 0 && S_ISFIFO(st.st_mode));
  if (kinds.size() > 2) {
    EXPECT_TRUE(stat(t.path("null").c_str(), &st) == 0 && S_ISCHR(st.st_mode));
  }
#endif
}

// A file that is there but cannot be read is not taken for a missing one
// and overwritten.
TEST(IniFailure, UnreadableFileIsNotReplaced) {
  TempDir t;
  std::string ini = t.path("pagra.ini");
  nzt::fs::create_directory(ini); // a folder under the INI file's name
  EXPECT_EQ(KCINISetString("Pagra", "E", "v", ini.c_str()), KC_ERR_INI_OPEN);
  EXPECT_TRUE(nzt::fs::is_directory(ini));
  char buf[KC_INI_LINE_MAX];
  EXPECT_EQ(KCINIGetString("Pagra", "E", buf, ini.c_str()), KC_ERR_INI_OPEN);
  EXPECT_EQ(names_in(t.dir()), std::vector<std::string>{"pagra.ini"});
  // A file its reader may not read (refused by the system at the open).
  std::string refused = t.path("refused.ini");
  ASSERT_TRUE(write_file(refused, crlf({"[Pagra]", "E=old"})));
  const char *values[] = {"new", nullptr};
  for (const char *v : values) {
    SCOPED_TRACE(v ? "set" : "remove");
    os_fault_arm(OS_OP_OPEN, 1);
    EXPECT_EQ(KCINISetString("Pagra", "E", v, refused.c_str()), KC_ERR_INI_OPEN);
    os_fault_arm(OS_OP_OPEN, 0);
    EXPECT_EQ(read_file(refused), crlf({"[Pagra]", "E=old"}));
  }
#ifdef _WIN32
  // Held open without sharing by another program (the running host).
  std::string held = t.path("held.ini");
  ASSERT_TRUE(write_file(held, crlf({"[Pagra]", "E=old"})));
  HANDLE h = CreateFileA(held.c_str(), GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  uint32_t st = KCINISetString("Pagra", "E", "new", held.c_str());
  CloseHandle(h);
  EXPECT_EQ(st, KC_ERR_INI_OPEN);
  EXPECT_EQ(read_file(held), crlf({"[Pagra]", "E=old"}));
#endif
}

}  // namespace

// Another program's view of nzeptins.exe: linked against its import library
// only (no platform library of its own), it calls KC functions that the
// loader resolves from the executable's export table at start.
//
// Before it calls more than self-contained functions it finishes loading
// the executable itself (exe_loader.h).
#include <gtest/gtest.h>
#include <string.h>
#include <windows.h>

#include <string>

#include "every_export.h"
#include "exe_loader.h"
#include "plat.h"

namespace {

HMODULE exe_module() { return GetModuleHandleA("nzeptins.exe"); }

// True when p lies inside the executable's image.
bool in_exe_image(const void *p) { return exe_loader::in_image(exe_module(), p); }

TEST(ImportLibrary, NamesResolveToTheExecutablesExports) {
  HMODULE exe = exe_module();
  ASSERT_NE(exe, nullptr) << "nzeptins.exe is not loaded into this process";
  ASSERT_NE(exe, GetModuleHandleA(nullptr)) << "this program is not nzeptins.exe";
  const struct {
    const char *name;
    void *imported;
  } names[] = {
      {"KCCmpVerStr", (void *)&KCCmpVerStr},   {"KCPlatGetTimeZone", (void *)&KCPlatGetTimeZone},
      {"KCPlatInit", (void *)&KCPlatInit},     {"KCMemAlloc", (void *)&KCMemAlloc},
      {"KCFileExeDir", (void *)&KCFileExeDir}, {"BTInit", nullptr},
  };
  for (const auto &n : names) {
    SCOPED_TRACE(n.name);
    void *exported = (void *)GetProcAddress(exe, n.name);
    EXPECT_TRUE(in_exe_image(exported));
    if (n.imported) {
      EXPECT_EQ(exported, n.imported);
    }
  }
  // Self-contained: callable before anything else is done.
  EXPECT_EQ(KCCmpVerStr("4.10", "4.9"), -1);
  EXPECT_EQ(KCCmpVerStr("2.0.1", "2.0"), 0);
}

TEST(ImportLibrary, CallsIntoTheExecutable) {
  ASSERT_TRUE(exe_loader::finish_loading(exe_module()));

  char *p = (char *)KCMemCalloc(16);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(memcmp(p, "\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0", 16), 0);
  KCMemFree(p);

  // The executable's statics, as a fresh process has them.
  EXPECT_EQ(KCPlatGetIntlFormat(), nullptr);
  int32_t zone = 5;
  EXPECT_EQ(KCPlatGetTimeZone(&zone, nullptr), KC_ERR_NO_INTL);
  EXPECT_EQ(zone, 0);
  for (char *dir : {KCFileExeDir(), KCFilePipeDir(), KCFileIniDir()}) {
    EXPECT_STREQ(dir, "");
    EXPECT_TRUE(in_exe_image(dir));
  }

  // Start-up for nzeptins.exe itself: no npagra.dll beside it or along
  // PATH, so the platform directory is the executable's own folder.
  char self[KC_PATH_MAX];
  DWORD n = GetModuleFileNameA(exe_module(), self, sizeof self);
  ASSERT_TRUE(n > 0 && n < sizeof self);
  std::string folder(self, strrchr(self, '\\') + 1);
  char saved_path[4096];
  DWORD had_path = GetEnvironmentVariableA("PATH", saved_path, sizeof saved_path);
  ASSERT_LT(had_path, sizeof saved_path);
  SetEnvironmentVariableA("PATH", "");
  _putenv("PATH=");
  uint32_t st = KCPlatInit(self, KC_INIT_HOST);
  if (had_path) {
    SetEnvironmentVariableA("PATH", saved_path);
    _putenv((std::string("PATH=") + saved_path).c_str());
  }
  ASSERT_EQ(st, KC_OK);
  EXPECT_STREQ(KCFileExeDir(), folder.c_str());
  ASSERT_NE(KCPlatGetIntlFormat(), nullptr);
  EXPECT_EQ(strlen(KCPlatGetIntlFormat()->kcAMString), (size_t)KCPlatGetIntlFormat()->kcAMStringLen);
  KCDATETIMEPARTS parts;
  memset(&parts, 0x5A, sizeof parts);
  EXPECT_EQ(KCPlatGetDatetime(&parts), KC_OK);
  EXPECT_GE(parts.kcMonth, 1);
  EXPECT_LE(parts.kcMonth, 12);
  EXPECT_EQ(KCPlatTerm(), KC_OK);
  EXPECT_STREQ(KCFileExeDir(), "");
  EXPECT_STREQ(KCFileIniDir(), folder.c_str());
  EXPECT_EQ(KCPlatTerm(), KC_ERR_PLAT_DIR);
}

// Every export works with the stack at 4, 8 or 12 bytes past a 16-byte
// boundary, as another compiler's caller may leave it.
TEST(ImportLibrary, EveryExportTakesTheStackAtAnyFourByteAlignment) {
  ASSERT_TRUE(exe_loader::finish_loading(exe_module()));
  char tmp[MAX_PATH];
  DWORD n = GetTempPathA(sizeof tmp, tmp);
  ASSERT_TRUE(n > 0 && n < sizeof tmp);
  every_export::check_all(tmp, [](bool ok, const std::string &what) { EXPECT_TRUE(ok) << what; });
}

}  // namespace

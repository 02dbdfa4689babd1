// Another program's view of nzeptins.exe: linked against its import library
// only (no platform library of its own), it calls KC functions that the
// loader resolves from the executable's export table at start.
//
// An executable loaded as a dependency of another program is not made
// ready to run: the system binds none of its own imports (as with
// DONT_RESOLVE_DLL_REFERENCES) and runs none of its start-up, and Wine does
// not relocate it either. A program that calls more than self-contained
// functions must finish that loading itself, as finish_loading does below.
// Modules loaded into nzeptins.exe's own process need nothing of the kind.
#include <gtest/gtest.h>
#include <string.h>
#include <windows.h>

#include <string>

#include "plat.h"

namespace {

HMODULE exe_module() { return GetModuleHandleA("nzeptins.exe"); }

const IMAGE_NT_HEADERS *headers(HMODULE m) {
  const unsigned char *base = (const unsigned char *)m;
  return (const IMAGE_NT_HEADERS *)(base + ((const IMAGE_DOS_HEADER *)base)->e_lfanew);
}

// True when p lies inside the executable's image.
bool in_exe_image(const void *p) {
  const unsigned char *base = (const unsigned char *)exe_module();
  const unsigned char *q = (const unsigned char *)p;
  return q >= base && q < base + headers(exe_module())->OptionalHeader.SizeOfImage;
}

// Applies the base relocations (when the image was mapped away from its
// preferred base without them) and binds the imports.
bool finish_loading(HMODULE exe) {
  unsigned char *base = (unsigned char *)exe;
  const IMAGE_OPTIONAL_HEADER &opt = headers(exe)->OptionalHeader;
  DWORD old;
  if (!VirtualProtect(base, opt.SizeOfImage, PAGE_EXECUTE_READWRITE, &old)) return false;

  // KCFileExeDir touches nothing but its static: it shows whether the
  // code's addresses were relocated.
  if (!in_exe_image(KCFileExeDir())) {
    DWORD delta = (DWORD)(base - (unsigned char *)opt.ImageBase);
    const IMAGE_DATA_DIRECTORY &rd = opt.DataDirectory[IMAGE_DIRECTORY_ENTRY_BASERELOC];
    unsigned char *p = base + rd.VirtualAddress, *end = p + rd.Size;
    while (p < end) {
      const IMAGE_BASE_RELOCATION *blk = (const IMAGE_BASE_RELOCATION *)p;
      if (blk->SizeOfBlock < sizeof *blk) break;
      const WORD *e = (const WORD *)(blk + 1);
      size_t n = (blk->SizeOfBlock - sizeof *blk) / sizeof(WORD);
      for (size_t i = 0; i < n; ++i)
        if ((e[i] >> 12) == IMAGE_REL_BASED_HIGHLOW) *(DWORD *)(base + blk->VirtualAddress + (e[i] & 0xFFF)) += delta;
      p += blk->SizeOfBlock;
    }
  }

  const IMAGE_DATA_DIRECTORY &id = opt.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  for (const IMAGE_IMPORT_DESCRIPTOR *d = (const IMAGE_IMPORT_DESCRIPTOR *)(base + id.VirtualAddress); d->Name; ++d) {
    HMODULE lib = LoadLibraryA((const char *)base + d->Name);
    if (!lib) return false;
    const IMAGE_THUNK_DATA *names =
        (const IMAGE_THUNK_DATA *)(base + (d->OriginalFirstThunk ? d->OriginalFirstThunk : d->FirstThunk));
    IMAGE_THUNK_DATA *iat = (IMAGE_THUNK_DATA *)(base + d->FirstThunk);
    for (; names->u1.AddressOfData; ++names, ++iat) {
      FARPROC f = IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)
                      ? GetProcAddress(lib, (LPCSTR)(uintptr_t)IMAGE_ORDINAL(names->u1.Ordinal))
                      : GetProcAddress(lib, (const char *)((const IMAGE_IMPORT_BY_NAME *)(base + names->u1.AddressOfData))->Name);
      if (!f) return false;
      iat->u1.Function = (uintptr_t)f;
    }
  }
  return true;
}

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
  ASSERT_TRUE(finish_loading(exe_module()));

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

}  // namespace

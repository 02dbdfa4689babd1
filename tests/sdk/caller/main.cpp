// A program of another product, built against the installed package alone
// and run with nzeptins.exe beside it. One line per check; exit status 0
// only when every check held.
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include "every_export.h"
#include "exe_loader.h"
#include "plat.h"

#ifndef KC_IMPORT
#error "nzept::kc defines KC_IMPORT, so that plat.h declares the functions dllimport"
#endif

static int failures = 0;

static void check(bool ok, const char *what) {
  printf("%s %s\n", ok ? "ok" : "FAILED", what);
  if (!ok) ++failures;
}

int main() {
  HMODULE exe = GetModuleHandleA("nzeptins.exe");
  check(exe != NULL && exe != GetModuleHandleA(NULL), "nzeptins.exe is loaded as a library");
  if (!exe) return 1;
  // Declared dllimport, a function's address is the export's own, not a
  // stub in this program.
  check((void *)&KCCmpVerStr == (void *)GetProcAddress(exe, "KCCmpVerStr"), "KCCmpVerStr is the export itself");
  check(KCCmpVerStr("4.10", "4.9") == -1 && KCCmpVerStr("4.6", "4.5") == 1,
        "KCCmpVerStr compares decimal fractions");

  check(exe_loader::finish_loading(exe), "nzeptins.exe finished loading");
  if (failures) return 1;

  char *block = (char *)KCMemAlloc(64);
  check(block != NULL, "KCMemAlloc");
  if (block) {
    memset(block, 'x', 64);
    KCMemFree(block);
  }

  char dir[MAX_PATH], ini[MAX_PATH];
  DWORD n = GetTempPathA(sizeof dir, dir);
  bool have_file = n > 0 && n < sizeof dir && GetTempFileNameA(dir, "kci", 0, ini) != 0;
  check(have_file, "a temporary INI file");
  if (have_file) {
    char value[KC_INI_LINE_MAX];
    memset(value, 0x5A, sizeof value);
    check(KCINISetString("Caller", "Greeting", "hello there", ini) == KC_OK, "KCINISetString");
    check(KCINIGetString("caller", "GREETING", value, ini) == KC_OK && strcmp(value, "hello there") == 0,
          "KCINIGetString reads the value back");
    check(KCINIDelete(ini) == 1, "KCINIDelete");
    DeleteFileA(ini);  // when KCINIDelete did not
  }

  // Every export, with the stack as another compiler's caller may leave it.
  if (n > 0 && n < sizeof dir)
    every_export::check_all(dir, [](bool ok, const std::string &what) { check(ok, what.c_str()); });
  return failures == 0 ? 0 : 1;
}

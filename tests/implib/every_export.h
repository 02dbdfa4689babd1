// Every function nzeptins.exe exports, called as a program of another
// compiler may call it: with the stack at 0, 4, 8 and 12 bytes past a
// 16-byte boundary. The i386 Windows convention promises only 4-byte
// alignment, and code that keeps vectors on a stack it takes for 16-byte
// aligned faults on the others. Each call's answer must be the one the
// aligned call gives.
//
// Shared by tests/implib (the build's import library) and tests/sdk/caller
// (the installed package); include it in one source file of a program (it
// defines the calling routine), after finishing the executable's loading.
#ifndef NZ_EVERY_EXPORT_H
#define NZ_EVERY_EXPORT_H

#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include <filesystem>
#include <string>
#include <type_traits>

#include "plat.h"

// The installer actions, which plat.h does not declare.
extern "C" {
__declspec(dllimport) uint32_t BTInit(char **argv, char *delvan_dir, uint32_t *uninst);
__declspec(dllimport) uint32_t BTIsZeptInstalled(const char *ini_path);
__declspec(dllimport) uint32_t BTGetDelvanIniFileDir(const char *ini_file, const char *delvan_dir, char *ini_dir);
__declspec(dllimport) uint32_t BTGetDelvanDataDir(const char *ini_path, char *data_dir);
__declspec(dllimport) uint32_t BTInstallProgramFiles(char *zept_dir, const char *data_dir);
__declspec(dllimport) uint32_t BTRemoveProgramFiles(char *zept_dir, const char *data_dir);
__declspec(dllimport) uint32_t BTRegisterQSX(const char *delvan_dir);
__declspec(dllimport) uint32_t BTUnRegisterQSX(void);
__declspec(dllimport) uint32_t BTEditPagraIni(const char *ini_path);
__declspec(dllimport) uint32_t BTUndoPagraIni(const char *ini_path);
__declspec(dllimport) uint32_t BTCleanup(const char *zept_dir);

// Calls fn with count 32-bit arguments from args, the stack pointer at the
// call misalign bytes past a 16-byte boundary; its 32-bit result.
uint32_t nz_call_misaligned(uint32_t misalign, const void *fn, uint32_t count, const uint32_t *args);
}

__asm__(
    ".text\n"
    ".globl _nz_call_misaligned\n"
    "_nz_call_misaligned:\n"
    "  pushl %ebp\n"
    "  movl %esp, %ebp\n"
    "  pushl %esi\n"
    "  movl 16(%ebp), %ecx\n"     // count
    "  movl 20(%ebp), %esi\n"     // args
    "  leal 0(,%ecx,4), %eax\n"
    "  movl %esp, %edx\n"
    "  subl %eax, %edx\n"
    "  subl $16, %edx\n"
    "  andl $-16, %edx\n"
    "  addl 8(%ebp), %edx\n"      // + misalign
    "  movl %edx, %esp\n"
    "1:\n"
    "  testl %ecx, %ecx\n"
    "  jz 2f\n"
    "  decl %ecx\n"
    "  movl (%esi,%ecx,4), %eax\n"
    "  movl %eax, (%esp,%ecx,4)\n"
    "  jmp 1b\n"
    "2:\n"
    "  call *12(%ebp)\n"
    "  leal -4(%ebp), %esp\n"
    "  popl %esi\n"
    "  popl %ebp\n"
    "  ret\n");

namespace every_export {

template <class T> uint32_t word(T v) {
  if constexpr (std::is_pointer_v<T> || std::is_null_pointer_v<T>)
    return (uint32_t)(uintptr_t)v;
  else
    return (uint32_t)v;
}

// fn(args...) with the stack misalign bytes off; the result as 32 bits.
template <class F, class... A> uint32_t call(uint32_t misalign, F *fn, A... args) {
  const uint32_t words[] = {word(args)..., 0};
  return nz_call_misaligned(misalign, (const void *)fn, (uint32_t)sizeof...(A), words);
}
template <class F, class... A> std::string status(uint32_t m, F *fn, A... args) {
  return std::to_string((int32_t)call(m, fn, args...));
}

inline bool put(const std::string &path, const char *bytes) {
  FILE *f = fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = fputs(bytes, f) >= 0;
  return fclose(f) == 0 && ok;
}

// Calls every export at each misalignment in a fresh folder under dir
// (ending with a separator); report(ok, what) for each of them.
template <class Report> void check_all(const std::string &dir, Report report) {
  const std::string w = dir + "nzt-align-" + std::to_string(GetCurrentProcessId()) + "\\";
  std::error_code ec;
  std::filesystem::remove_all(w, ec);
  std::filesystem::create_directories(w + "zept", ec);
  const std::string ini = w + "m.ini", pagra = w + "pagra.ini";
  char buf[KC_PATH_MAX * 2];
  KCFILE f = {nullptr};

  struct Row {
    const char *name;
    std::string (*run)(uint32_t m, const std::string &w, char *buf, KCFILE *f);
  };
#define NZ_ROW(name, ...) {name, [](uint32_t m, const std::string &w, char *buf, KCFILE *f) -> std::string __VA_ARGS__}
  static const Row rows[] = {
      NZ_ROW("KCMemAlloc", { void *p = (void *)call(m, &KCMemAlloc, 64); KCMemFree(p); return p ? "block" : "none"; }),
      NZ_ROW("KCMemCalloc", {
        char *p = (char *)call(m, &KCMemCalloc, 16);
        std::string got = p && memcmp(p, "\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0", 16) == 0 ? "zeroed" : "not";
        return KCMemFree(p), got;
      }),
      NZ_ROW("KCMemRealloc", {
        char *p = (char *)KCMemAlloc(4), *q = (char *)call(m, &KCMemRealloc, memcpy(p, "abc", 4), 4, 4096);
        std::string got = q ? q : "none";
        return KCMemFree(q ? q : p), got;
      }),
      NZ_ROW("KCMemFree", { return status(m, &KCMemFree, KCMemAlloc(8)), "freed"; }),
      NZ_ROW("KCLibraryLoad", {
        KCLIBRARY lib = call(m, &KCLibraryLoad, "kernel32.dll", KC_LIB_QUIET);
        return KCLibraryFree(lib), lib ? "loaded" : "not";
      }),
      NZ_ROW("KCLibraryFree", { return status(m, &KCLibraryFree, KCLibraryLoad("kernel32.dll", KC_LIB_QUIET)), "done"; }),
      NZ_ROW("KCLibraryLoadProc", {
        KCLIBRARY lib = KCLibraryLoad("kernel32.dll", KC_LIB_QUIET);
        uint32_t proc = call(m, &KCLibraryLoadProc, lib, "GetTickCount", 0);
        bool same = proc && proc == (uint32_t)(uintptr_t)GetProcAddress((HMODULE)lib, "GetTickCount");
        return KCLibraryFree(lib), same ? "found" : "not";
      }),
      NZ_ROW("KCFileGetDir", { return status(m, &KCFileGetDir, buf, KC_PATH_MAX) + buf; }),
      NZ_ROW("KCFileSetDir", { return KCFileGetDir(buf, KC_PATH_MAX), status(m, &KCFileSetDir, buf); }),
      NZ_ROW("KCFileExeDir", { return (const char *)call(m, &KCFileExeDir); }),
      NZ_ROW("KCFilePipeDir", { return (const char *)call(m, &KCFilePipeDir); }),
      NZ_ROW("KCFileIniDir", { return (const char *)call(m, &KCFileIniDir); }),
      NZ_ROW("KCFindPath", { return buf[0] = 0, status(m, &KCFindPath, "PATH", buf, "kernel32.dll", 0) + buf; }),
      NZ_ROW("KCPlatPutEnv", { return status(m, &KCPlatPutEnv, "NZT_ALIGN", "value"); }),
      NZ_ROW("KCPlatGetEnv", {
        uint32_t len = 64;
        return status(m, &KCPlatGetEnv, "NZT_ALIGN", buf, &len) + buf + std::to_string(len);
      }),
      NZ_ROW("KCINISetString", { return status(m, &KCINISetString, "S", "B", "set", (w + "m.ini").c_str()); }),
      NZ_ROW("KCINIGetString", { return status(m, &KCINIGetString, "S", "A", buf, (w + "m.ini").c_str()) + buf; }),
      NZ_ROW("KCINIRemoveString", { return status(m, &KCINIRemoveString, "S", "B", (w + "m.ini").c_str()); }),
      NZ_ROW("KCINIDelete", { return put(w + "gone.ini", "x"), status(m, &KCINIDelete, (w + "gone.ini").c_str()); }),
      NZ_ROW("KCRegistrySetString", { return status(m, &KCRegistrySetString, "NztAlign", "Value", "set"); }),
      NZ_ROW("KCRegistryGetString", { return status(m, &KCRegistryGetString, "NztAlign", "Value", buf, 64) + buf; }),
      NZ_ROW("KCRegistryRemoveString", {
        return KCRegistrySetString("NztAlign", "Value", "set"), status(m, &KCRegistryRemoveString, "NztAlign", "Value");
      }),
      NZ_ROW("KCFileOpen", {
        std::string st = status(m, &KCFileOpen, (w + "m.ini").c_str(), KCFILE_READ | KCFILE_BINARY, f);
        return st += f->File ? "open" : "none", KCFileClose(f), st;
      }),
      NZ_ROW("KCFileWrite", {
        KCFileOpen((w + "scratch.bin").c_str(), KCFILE_WRITE | KCFILE_CREATE | KCFILE_BINARY, f);
        std::string st = status(m, &KCFileWrite, f, 3, "abc");
        return KCFileClose(f), st;
      }),
      NZ_ROW("KCFileFlush", {
        KCFileOpen((w + "scratch.bin").c_str(), KCFILE_WRITE | KCFILE_CREATE | KCFILE_BINARY, f);
        KCFileWrite(f, 3, "abc");
        call(m, &KCFileFlush, f);
        std::string size = std::to_string(std::filesystem::file_size(w + "scratch.bin"));
        return KCFileClose(f), size;
      }),
      NZ_ROW("KCFileSeek", {
        KCFileOpen((w + "m.ini").c_str(), KCFILE_READ | KCFILE_BINARY, f);
        std::string st = status(m, &KCFileSeek, f, 3, 0) + status(m, &KCFileSeek, f, 1, 1);
        return KCFileClose(f), st;
      }),
      NZ_ROW("KCFileClose", {
        KCFileOpen((w + "m.ini").c_str(), KCFILE_READ | KCFILE_BINARY, f);
        return call(m, &KCFileClose, f), f->File ? "open" : "closed";
      }),
      NZ_ROW("KCFileRead", {
        KCFileOpen((w + "m.ini").c_str(), KCFILE_READ | KCFILE_BINARY, f);
        std::string st = status(m, &KCFileRead, f, 3, memset(buf, 0, 8)) + buf;
        return KCFileClose(f), st;
      }),
      NZ_ROW("KCFileExist", { return status(m, &KCFileExist, (w + "m.ini").c_str()); }),
      NZ_ROW("KCFileDelete", { return put(w + "gone.bin", "x"), status(m, &KCFileDelete, (w + "gone.bin").c_str()); }),
      NZ_ROW("KCFileListFirst", {
        void *list = nullptr;
        std::string st = status(m, &KCFileListFirst, w.c_str(), "m.*", buf, &list) + buf;
        return KCFileListClose(list), st;
      }),
      NZ_ROW("KCFileListNext", {
        void *list = nullptr;
        KCFileListFirst(w.c_str(), "m.*", buf, &list);
        std::string st = status(m, &KCFileListNext, buf, list);
        return KCFileListClose(list), st;
      }),
      NZ_ROW("KCFileListClose", {
        void *list = nullptr;
        return KCFileListFirst(w.c_str(), "*", buf, &list), status(m, &KCFileListClose, list);
      }),
      NZ_ROW("KCMkDir", { return status(m, &KCMkDir, (w + "made\\deeper").c_str()); }),
      NZ_ROW("KCPlatGetDatetime", {
        KCDATETIMEPARTS p;
        std::string st = status(m, &KCPlatGetDatetime, &p);
        return st + (p.kcMonth >= 1 && p.kcMonth <= 12 && p.kcWeekday >= 0 && p.kcWeekday <= 6 ? "sane" : "not");
      }),
      NZ_ROW("KCPlatSetIntlFormat", { return status(m, &KCPlatSetIntlFormat, nullptr); }),
      NZ_ROW("KCPlatGetIntlFormat", {
        KCINTLFORMAT *p = (KCINTLFORMAT *)call(m, &KCPlatGetIntlFormat);
        return p ? p->kcDecimalDelim : "none";
      }),
      NZ_ROW("KCPlatGetTimeZone", {
        int32_t zone = 7;
        uint32_t dst = 7;
        return status(m, &KCPlatGetTimeZone, &zone, &dst) + std::to_string(zone) + std::to_string(dst);
      }),
      NZ_ROW("KCCharInfo", {
        uint32_t cp = 0, country = 0;
        char lang[8] = "";
        return status(m, &KCCharInfo, &cp, &country, lang), std::to_string(cp) + std::to_string(country) + lang;
      }),
      NZ_ROW("KCCmpVerStr", {
        return status(m, &KCCmpVerStr, "4.10", "4.9e0") + status(m, &KCCmpVerStr, "2e1000000000", "1e1000000001");
      }),
      NZ_ROW("KCPlatInit", {
        std::string st = status(m, &KCPlatInit, (w + "nzeptins.exe").c_str(), KC_INIT_HOST);
        return KCPlatTerm(), st;
      }),
      NZ_ROW("KCPlatTerm", { return KCPlatInit((w + "nzeptins.exe").c_str(), KC_INIT_HOST), status(m, &KCPlatTerm); }),
      NZ_ROW("BTInit", {
        char self[MAX_PATH] = "";
        GetModuleFileNameA(GetModuleHandleA("nzeptins.exe"), self, sizeof self);
        char *argv[] = {self, nullptr};
        uint32_t uninst = 7;
        buf[0] = '\0';
        return status(m, &BTInit, argv, buf, &uninst) + self + buf + std::to_string(uninst);
      }),
      NZ_ROW("BTIsZeptInstalled", { return status(m, &BTIsZeptInstalled, (w + "pagra.ini").c_str()); }),
      NZ_ROW("BTGetDelvanIniFileDir", {
        return buf[0] = 0, status(m, &BTGetDelvanIniFileDir, "pagra.ini", w.c_str(), buf) + buf;
      }),
      NZ_ROW("BTGetDelvanDataDir", { return status(m, &BTGetDelvanDataDir, (w + "pagra.ini").c_str(), buf) + buf; }),
      NZ_ROW("BTEditPagraIni", { return status(m, &BTEditPagraIni, (w + "pagra.ini").c_str()); }),
      NZ_ROW("BTUndoPagraIni", {
        return BTEditPagraIni((w + "pagra.ini").c_str()), status(m, &BTUndoPagraIni, (w + "pagra.ini").c_str());
      }),
      // The zept folder in buf, where a separator may be added.
      NZ_ROW("BTInstallProgramFiles", {
        return snprintf(buf, KC_PATH_MAX, "%szept", w.c_str()), status(m, &BTInstallProgramFiles, buf, w.c_str());
      }),
      NZ_ROW("BTRemoveProgramFiles", {
        return snprintf(buf, KC_PATH_MAX, "%szept", w.c_str()), status(m, &BTRemoveProgramFiles, buf, w.c_str());
      }),
      // A folder too long for the module's name: refused before the registry.
      NZ_ROW("BTRegisterQSX", { return status(m, &BTRegisterQSX, std::string(KC_PATH_MAX - 4, 'd').c_str()); }),
      NZ_ROW("BTUnRegisterQSX", { return status(m, &BTUnRegisterQSX) != "0" ? "not there" : "removed"; }),
      // A folder the interpreter's command cannot quote: refused before it starts.
      NZ_ROW("BTCleanup", { return status(m, &BTCleanup, "C:\\a\"b"); }),
  };
#undef NZ_ROW
  // Files long enough that the scanner takes them 64 bytes at a time.
  std::string lines;
  for (int i = 0; i < 40; ++i) lines += "Setting" + std::to_string(i) + "=a value of the host's own\r\n";
  put(ini, ("[Before]\r\n" + lines + "[S]\r\nA=hello\r\n[After]\r\n" + lines).c_str());
  put(pagra, ("[Before]\r\n" + lines + "[Pagra]\r\nServerTasks=HTTP\r\nDirectory=C:\\data\r\n[After]\r\n" + lines).c_str());
  for (const Row &row : rows) {
    std::string aligned = row.run(0, w, buf, &f);
    std::string bad;
    for (uint32_t m : {4u, 8u, 12u}) {
      std::string got = row.run(m, w, buf, &f);
      if (got != aligned) bad += " at " + std::to_string(m) + ": \"" + got + "\"";
    }
    report(bad.empty(), std::string(row.name) + " at stack misalignments 4, 8, 12 as aligned (\"" + aligned + "\")" + bad);
  }
  KCFileClose(&f);
  std::filesystem::remove_all(w, ec);
}

}  // namespace every_export

#endif

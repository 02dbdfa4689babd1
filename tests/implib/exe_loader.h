// What a program linked against nzeptins.exe's import library does before
// it calls KC functions that are not self-contained.
//
// An executable loaded as a dependency of another program is not made
// ready to run: the system binds none of its own imports (as with
// DONT_RESOLVE_DLL_REFERENCES) and runs none of its start-up, and Wine does
// not relocate it either. finish_loading does that loading. Modules loaded
// into nzeptins.exe's own process need nothing of the kind.
//
// Shared by tests/implib (the build folder's import library) and
// tests/sdk/caller (the installed package).
#ifndef NZ_EXE_LOADER_H
#define NZ_EXE_LOADER_H

#include <stddef.h>
#include <stdint.h>
#include <windows.h>

#include "plat.h"

namespace exe_loader {

inline const IMAGE_NT_HEADERS *headers(HMODULE m) {
  const unsigned char *base = (const unsigned char *)m;
  return (const IMAGE_NT_HEADERS *)(base + ((const IMAGE_DOS_HEADER *)base)->e_lfanew);
}

// True when p lies inside module m's image.
inline bool in_image(HMODULE m, const void *p) {
  const unsigned char *base = (const unsigned char *)m;
  const unsigned char *q = (const unsigned char *)p;
  return q >= base && q < base + headers(m)->OptionalHeader.SizeOfImage;
}

// Applies the base relocations (when the image was mapped away from its
// preferred base without them) and binds the imports of exe, the loaded
// nzeptins.exe. False when a library or a name it imports is missing.
inline bool finish_loading(HMODULE exe) {
  unsigned char *base = (unsigned char *)exe;
  const IMAGE_OPTIONAL_HEADER &opt = headers(exe)->OptionalHeader;
  DWORD old;
  if (!VirtualProtect(base, opt.SizeOfImage, PAGE_EXECUTE_READWRITE, &old)) return false;

  // KCFileExeDir touches nothing but its static: it shows whether the
  // code's addresses were relocated.
  if (!in_image(exe, KCFileExeDir())) {
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

}  // namespace exe_loader

#endif

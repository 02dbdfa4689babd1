// Shared by the date, time and start-up tests: putting the platform layer
// back to "never started", and making the host library findable by its
// plain name.
#ifndef NZ_TIME_SUPPORT_H
#define NZ_TIME_SUPPORT_H

#include <gtest/gtest.h>

#include <string>

#include "os.h"
#include "plat_int.h"
#include "testsupport.h"

namespace nzt {

// Frees what the layer holds and clears its statics, whatever state a
// test left it in (the state table allows counts below zero).
inline void reset_platform() {
  KCMemFree(kcIntlFormat);
  kcIntlFormat = nullptr;
  if (PagraLibHandle) KCLibraryFree(PagraLibHandle);
  PagraLibHandle = 0;
  OSGetEnvStrProc = nullptr;
  OSGetIntlSetProc = nullptr;
  PlatInitRefCount = 0;
  PlatInitFlags = 0;
  szExeDirectory[0] = szPipeDirectory[0] = szIniDirectory[0] = '\0';
  os_pin_time(nullptr);
}

// Holds the test host library loaded by its full path while it lives. A
// load of the plain name "npagra.dll" then finds the module already in the
// process, on both builds: Windows matches loaded modules by their name,
// the POSIX loader by their SONAME (npagra.dll). This is how the tests
// make the host library present or absent without touching the loader's
// search path, which on POSIX is fixed when the process starts.
class HostLibrary {
 public:
  HostLibrary() : lib_(KCLibraryLoad(hostlib_path().c_str(), KC_LIB_QUIET)) {}
  ~HostLibrary() { KCLibraryFree(lib_); }
  HostLibrary(const HostLibrary &) = delete;
  HostLibrary &operator=(const HostLibrary &) = delete;
  bool loaded() const { return lib_ != 0; }

 private:
  KCLIBRARY lib_;
};

// True when nothing answers to the plain name: the absent-host cases
// rely on it.
inline bool host_library_absent() {
  KCLIBRARY h = KCLibraryLoad(KC_HOST_LIBRARY, KC_LIB_QUIET);
  if (h) KCLibraryFree(h);
  return h == 0;
}

// Every test starts and ends with the layer as a fresh process has it.
class PlatformTest : public ::testing::Test {
 protected:
  void SetUp() override { reset_platform(); }
  void TearDown() override { reset_platform(); }
};

}  // namespace nzt

#endif

// nzeptins.exe carries the version resource that inventory tools and the
// file's Properties page read, with the version stated in project() of
// CMakeLists.txt: read back through the system's version calls.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

#include "testsupport.h"

using namespace nzt;

TEST(VersionResource, NamesTheProgramAndCarriesTheProjectVersion) {
#ifndef _WIN32
  GTEST_SKIP() << "the version resource is part of the win32 program only";
#else
  unsigned v[4] = {0, 0, 0, 0};
  ASSERT_GE(sscanf(NZ_PROJECT_VERSION, "%u.%u.%u.%u", &v[0], &v[1], &v[2], &v[3]), 1);

  std::string exe = program_path();
  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeA(exe.c_str(), &ignored);
  ASSERT_GT(size, 0u) << "no version resource in " << exe << " (error " << GetLastError() << ")";
  std::vector<char> info(size);
  ASSERT_TRUE(GetFileVersionInfoA(exe.c_str(), 0, size, info.data()));

  // The numbers that tools compare: file and product version, both from project().
  VS_FIXEDFILEINFO *fixed = nullptr;
  UINT len = 0;
  ASSERT_TRUE(VerQueryValueA(info.data(), "\\", (void **)&fixed, &len));
  ASSERT_GE(len, sizeof *fixed);
  EXPECT_EQ(fixed->dwSignature, (DWORD)VS_FFI_SIGNATURE);
  EXPECT_EQ(fixed->dwFileVersionMS, (DWORD)MAKELONG(v[1], v[0]));
  EXPECT_EQ(fixed->dwFileVersionLS, (DWORD)MAKELONG(v[3], v[2]));
  EXPECT_EQ(fixed->dwProductVersionMS, fixed->dwFileVersionMS);
  EXPECT_EQ(fixed->dwProductVersionLS, fixed->dwFileVersionLS);
  EXPECT_EQ(fixed->dwFileType, (DWORD)VFT_APP);

  // The strings, looked up through the language and code page the
  // resource declares, as the Properties page does.
  struct {
    WORD language, code_page;
  } *translation = nullptr;
  ASSERT_TRUE(VerQueryValueA(info.data(), "\\VarFileInfo\\Translation", (void **)&translation, &len));
  ASSERT_GE(len, sizeof *translation);
  const struct {
    const char *name, *want;
  } strings[] = {
      {"ProductName", "Delvan Enterprise Tramontelo Services"},
      {"FileDescription", "ZEPT installer and uninstaller"},
      {"FileVersion", NZ_PROJECT_VERSION},
      {"ProductVersion", NZ_PROJECT_VERSION},
      {"OriginalFilename", "nzeptins.exe"},
      {"InternalName", "nzeptins.exe"},
  };
  for (size_t i = 0; i < sizeof strings / sizeof strings[0]; ++i) {
    SCOPED_TRACE(::testing::Message() << "#" << i << " " << strings[i].name);
    char key[80];
    snprintf(key, sizeof key, "\\StringFileInfo\\%04x%04x\\%s", translation->language, translation->code_page,
             strings[i].name);
    char *value = nullptr;
    ASSERT_TRUE(VerQueryValueA(info.data(), key, (void **)&value, &len));
    EXPECT_STREQ(value, strings[i].want);
  }
#endif
}

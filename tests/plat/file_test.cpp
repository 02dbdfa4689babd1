// Stream files by flag word, existence and deletion by name.
#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "plat_int.h"
#include "testsupport.h"

using namespace nzt;

TEST(FileOpen, NullRecord) { EXPECT_EQ(KCFileOpen("x", KCFILE_READ, nullptr), KC_ERR_NULL_ARG); }

// What each flag word does, seen on disk: on an existing file "hello" and
// on a missing one, with one write of "J" (and one read of 5 bytes where
// the file is readable from its start).
TEST(FileOpen, FlagTable) {
  struct Case {
    uint32_t flags;
    bool opens;           // a stream results on the existing file
    bool creates;         // ...and on the missing one
    const char *after;    // the existing file after writing "J"
    uint32_t read_start;  // bytes a read of 5 gets right after opening
  } cases[] = {
      {0x0, false, false, "hello", 0},  {0x1, true, false, "hello", 5},  {0x2, false, false, "hello", 0},
      {0x3, true, false, "Jello", 5},   {0x4, false, false, "hello", 0}, {0x5, false, false, "hello", 0},
      {0x6, true, true, "J", 0},        {0x7, true, true, "J", 0},       {0x8, false, false, "hello", 0},
      {0x9, false, false, "hello", 0},  {0xA, true, false, "Jello", 5},  {0xB, true, false, "Jello", 5},
      {0xC, false, false, "hello", 0},  {0xD, false, false, "hello", 0}, {0xE, true, true, "helloJ", 0},
      {0xF, true, true, "helloJ", 99},  // 99: the read position of "a+" is the runtime's
  };
  for (uint32_t bin = 0; bin <= KCFILE_BINARY; bin += KCFILE_BINARY) {
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
      const Case &c = cases[i];
      SCOPED_TRACE(::testing::Message() << "flags 0x" << std::hex << (c.flags | bin) << " higher bits 0x100");
      TempDir t;
      std::string have = t.path("have.txt"), miss = t.path("miss.txt");
      ASSERT_TRUE(write_file(have, "hello"));
      // Bits above 0x10 are ignored.
      uint32_t flags = c.flags | bin | 0x100u;
      KCFILE f;
      f.File = (FILE *)&f; // must be set to NULL or a stream
      uint32_t st = KCFileOpen(have.c_str(), flags, &f);
      EXPECT_EQ(st, 0u);
      EXPECT_EQ(f.File != nullptr, c.opens);
      if (f.File) {
        char buf[8] = {0};
        if (c.read_start != 99) {
          EXPECT_EQ(KCFileRead(&f, 5, buf), c.read_start);
        }
        KCFileSeek(&f, 1, 0); // a write after a read needs a positioning call
        bool writable = strcmp(c.after, "hello") != 0;
        EXPECT_EQ(KCFileWrite(&f, 1, "J"), writable ? 1u : 0u);
        KCFileClose(&f);
        EXPECT_EQ(f.File, nullptr);
      }
      EXPECT_EQ(read_file(have), c.after);

      st = KCFileOpen(miss.c_str(), flags, &f);
      EXPECT_EQ(st, c.creates ? 0u : (c.opens ? KC_ERR_FILE_OPEN : 0u));
      EXPECT_EQ(f.File != nullptr, c.creates);
      KCFileClose(&f);
      EXPECT_EQ(file_exists(miss), c.creates);
    }
  }
}

TEST(FileOpen, BinaryLetterMatters) {
  // Text streams translate line ends on Windows only; binary never does.
  TempDir t;
  std::string p = t.path("crlf.txt");
  ASSERT_TRUE(write_file(p, "a\r\nb"));
  const uint32_t flags[] = {KCFILE_READ, KCFILE_READ | KCFILE_BINARY};
  const uint32_t want[] = {kWindows ? 3u : 4u, 4u};
  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE(i);
    KCFILE f;
    ASSERT_EQ(KCFileOpen(p.c_str(), flags[i], &f), 0u);
    char buf[16];
    EXPECT_EQ(KCFileRead(&f, sizeof buf, buf), want[i]);
    KCFileClose(&f);
  }
  KCFILE f;
  ASSERT_EQ(KCFileOpen(p.c_str(), 0x1F, &f), 0u); // "a+b"
  EXPECT_EQ(KCFileWrite(&f, 2, "x\n"), 2u);
  KCFileClose(&f);
  EXPECT_EQ(read_file(p), "a\r\nbx\n");
}

TEST(FileRead, ShortAndEndOfFile) {
  TempDir t;
  std::string p = t.path("forty");
  ASSERT_TRUE(write_file(p, std::string(40, 'q')));
  KCFILE f;
  ASSERT_EQ(KCFileOpen(p.c_str(), KCFILE_READ | KCFILE_BINARY, &f), 0u);
  char buf[128];
  memset(buf, '#', sizeof buf);
  EXPECT_EQ(KCFileRead(&f, 100, buf), 40u);
  EXPECT_EQ(buf[39], 'q');
  EXPECT_EQ(buf[40], '#');
  EXPECT_EQ(KCFileRead(&f, 100, buf), 0u);
  KCFileClose(&f);
  KCFileClose(&f); // a second close finds nothing open
}

TEST(FileSeek, ByBase) {
  TempDir t;
  std::string p = t.path("digits");
  ASSERT_TRUE(write_file(p, "0123456789"));
  KCFILE f;
  ASSERT_EQ(KCFileOpen(p.c_str(), KCFILE_READ | KCFILE_BINARY, &f), 0u);
  struct Case {
    uint32_t base, count, pos;
    char next; // the byte read there ('\0': end of file)
  } cases[] = {
      {1, 3, 3, '3'},           {2, 1, 5, '5'},  // the read moved on to 4
      {2, 0xFFFFFFFFu, 5, '5'}, {3, 0, 10, 0},   // back one; the end: the length
      {3, 0xFFFFFFFEu, 8, '8'}, {0, 5, 0, '9'},  // Base 0 and 4: 0, no move
      {4, 1, 0, 0},             {1, 0xFFFFFFFFu, 10, 0}, // before the start: stays
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(KCFileSeek(&f, cases[i].base, cases[i].count), cases[i].pos);
    char c = 0;
    if (KCFileRead(&f, 1, &c) == 0) c = 0;
    EXPECT_EQ(c, cases[i].next);
  }
  KCFileClose(&f);
}

// Positions between 2 and 4 GiB come back exact; one beyond 32 bits is
// unknown, not cut (4 GiB + 10 would be told as 10).
TEST(FileSeek, LargePositionsExactOrUnknown) {
  TempDir t;
  std::string p = t.path("large");
  KCFILE f;
  ASSERT_EQ(KCFileOpen(p.c_str(), KCFILE_WRITE | KCFILE_CREATE | KCFILE_BINARY, &f), 0u);
  const int64_t gib = (int64_t)1 << 30;
  struct Case {
    int64_t end; // the file's size after a byte written just before it
    uint32_t base, count, pos;
  } cases[] = {
      {3 * gib + 5, 3, 0, 0xC0000005u},
      {3 * gib + 5, 2, 0xFFFFFFFBu, 0xC0000000u}, // five back from there
      {4 * gib - 1, 3, 0, 0xFFFFFFFFu},           // 0xFFFFFFFF itself tells nothing
      {4 * gib + 10, 3, 0, 0xFFFFFFFFu},
      {4 * gib + 10, 1, 10, 10},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    SCOPED_TRACE(i);
    // A sparse file: the byte before the end is the only one written.
#ifdef _WIN32
    ASSERT_EQ(0, _fseeki64(f.File, cases[i].end - 1, SEEK_SET));
#else
    ASSERT_EQ(0, fseeko(f.File, (off_t)(cases[i].end - 1), SEEK_SET));
#endif
    ASSERT_EQ(1u, KCFileWrite(&f, 1, "x"));
    EXPECT_EQ(KCFileSeek(&f, cases[i].base, cases[i].count), cases[i].pos);
  }
  KCFileClose(&f);
}

TEST(FileFlush, WritesReachTheDisk) {
  TempDir t;
  std::string p = t.path("flushed");
  KCFILE f;
  ASSERT_EQ(KCFileOpen(p.c_str(), KCFILE_WRITE | KCFILE_CREATE | KCFILE_BINARY, &f), 0u);
  EXPECT_EQ(KCFileWrite(&f, 3, "abc"), 3u);
  KCFileFlush(&f);
  EXPECT_EQ(read_file(p), "abc"); // before the close
  KCFileClose(&f);
}

TEST(FileExistDelete, FilesAndDirectories) {
  TempDir t;
  std::string dir = t.path("d"), file = t.path("f"), ro = t.path("ro");
  fs::create_directory(dir);
  ASSERT_TRUE(write_file(file, "x"));
  ASSERT_TRUE(write_file(ro, "x"));
  make_read_only(ro, true);
  EXPECT_EQ(KCFileExist(dir.c_str()), 1u);
  EXPECT_EQ(KCFileExist(file.c_str()), 1u);
  EXPECT_EQ(KCFileExist(t.path("none").c_str()), 0u);
  EXPECT_EQ(KCFileExist(""), 0u);
  EXPECT_EQ(KCFileDelete(dir.c_str()), 0u); // files only
  EXPECT_TRUE(fs::is_directory(dir));
  EXPECT_EQ(KCFileDelete(ro.c_str()), 0u); // read-only stays
  EXPECT_TRUE(file_exists(ro));
  EXPECT_EQ(KCFileDelete(file.c_str()), 1u);
  EXPECT_FALSE(file_exists(file));
  EXPECT_EQ(KCFileDelete(file.c_str()), 0u);
}

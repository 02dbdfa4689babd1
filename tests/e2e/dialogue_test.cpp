// The console dialogue, end to end: the real nzeptins.exe in a sample host,
// answers on standard input, the transcript compared with a golden file,
// the exit status and what the run left on disk.
#include <gtest/gtest.h>

#include "btsetup.h"
#include "hosttree.h"

using namespace nzt;

namespace {

// Exit statuses of the program (see setupui.cpp and docs/administration.md).
enum { kOk = 0, kStartup = 1, kEndOfInput = 2, kCopyFailed = 3, kConfigFailed = 4, kRemovalIncomplete = 5 };

// Nothing of the package is in the host, and pagra.ini is as laid out.
::testing::AssertionResult host_untouched(const HostTree &t) {
  for (const BTFileNameStrings &row : Files)
    if (file_exists(t.host + row.dest)) return ::testing::AssertionFailure() << row.dest << " was installed";
  for (const BTFileNameStrings &row : PTFPSF_Files)
    if (file_exists(t.data + row.dest)) return ::testing::AssertionFailure() << row.dest << " was installed";
  if (read_file(t.ini_path()) != t.ini_before) return ::testing::AssertionFailure() << "pagra.ini changed";
  return ::testing::AssertionSuccess();
}

// Lays the package out in the host as an install would, ServerTasks
// naming ZEPT, so that the program finds an existing installation.
void preinstall(HostTree &t) {
  std::string ini = t.ini_before;
  size_t at = ini.find("Sched\r\n");
  ini.insert(at + 5, ",ZEPT");
  write_file(t.ini_path(), ini);
  t.ini_before = ini;
}

}  // namespace

TEST(Dialogue, DecliningAtTheInstallBannerEndsTheRunWithStatusZero) {
  for (const char *answer : {"n\n", "N\n", "x\n", "\n"}) {
    SCOPED_TRACE(answer);
    HostTree t;
    RunResult r = t.install(answer);
    EXPECT_EQ(kOk, r.exit_code);
    EXPECT_TRUE(matches_golden("install-declined.txt", t.normalize(r.out)));
    EXPECT_TRUE(host_untouched(t));
  }
}

TEST(Dialogue, OnlyTheFirstCharacterOfTheAnswerDecidesAndOneMoreIsConsumed) {
  HostTree t;
  // "yes": 'y' decides, 'e' is consumed, and "s" is the next prompt's
  // answer: the program folder becomes "s" with its separator.
  RunResult r = t.install("yes\n\n\n\n3\n\n");
  EXPECT_EQ(kOk, r.exit_code);
  std::string out = t.normalize(r.out);
  EXPECT_NE(std::string::npos, out.find("   Delvan program directory\n   ==> s/\n")) << out;
  EXPECT_TRUE(host_untouched(t));
}

TEST(Dialogue, RemovalModeShowsItsBannerAndSkipsTheProgramFolderQuestion) {
  HostTree t;
  fs::copy_file(program_path(), t.host + "nzeptrmv.exe");
  // Declined at the banner.
  RunResult r = t.remove("n\n");
  EXPECT_EQ(kOk, r.exit_code);
  EXPECT_TRUE(matches_golden("removal-declined.txt", t.normalize(r.out)));
  // Walked to the confirmation screen and aborted: no program folder asked.
  r = t.remove("y\n\n\n\n3\n\n");
  EXPECT_EQ(kOk, r.exit_code);
  EXPECT_TRUE(matches_golden("removal-aborted.txt", t.normalize(r.out)));
  EXPECT_EQ(t.ini_before, read_file(t.ini_path()));
}

TEST(Dialogue, AnswersThatEndInAnAbort) {
  struct Case {
    const char *what, *golden;
    std::string (*input)(const HostTree &t);
  } cases[] = {
      {"proposals replaced: the program folder typed without its separator gains one; a data folder typed "
       "with a blank keeps the part before it",
       "install-replaced-aborted.txt",
       [](const HostTree &t) {
         return "Y\n" + t.host.substr(0, t.host.size() - 1) + "\n\n\n  " + t.tmp.path("other") + " data\n3\n\n";
       }},
      {"start over: another file name and data folder first, then the detected values are proposed again",
       "install-start-over.txt",
       [](const HostTree &t) {
         return "Y\n\nother.ini\n" + t.host + "\n" + t.tmp.path("x") + "\n2\n\n\n\n\n3\n\n";
       }},
      {"menu answers: 0, 4, an empty line and x are asked again; \" 2\" and \"2abc\" start over",
       "install-option-retries.txt",
       [](const HostTree &) { return std::string("Y\n\n\n\n\n0\n4\n\nx\n 2\n\n\n\n\n2abc\n\n\n\n\n3\n\n"); }},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    HostTree t;
    RunResult r = t.install(c.input(t));
    EXPECT_EQ(kOk, r.exit_code);
    EXPECT_TRUE(matches_golden(c.golden, t.normalize(r.out)));
    EXPECT_TRUE(host_untouched(t));
  }
}

TEST(Dialogue, ExistingInstallationMenu) {
  struct Case {
    const char *choice, *input, *golden;
  } cases[] = {
      {"3: quit", "Y\n\n\n\n\n3\n\n", "existing-quit.txt"},
      {"2: install over it, then abort at the confirmation", "Y\n\n\n\n\n2\n3\n\n", "existing-upgrade-aborted.txt"},
      // A removal from an install run: no self-removal, Enter asked by main.
      {"1: removal, then abort at the confirmation", "Y\n\n\n\n\n1\n3\n\n", "existing-remove-aborted.txt"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.choice);
    HostTree t;
    preinstall(t);
    RunResult r = t.install(c.input);
    EXPECT_EQ(kOk, r.exit_code);
    EXPECT_TRUE(matches_golden(c.golden, t.normalize(r.out)));
    EXPECT_TRUE(host_untouched(t));
  }
}

TEST(Dialogue, EndOfInputAtAnyPromptTerminatesWithoutActing) {
  struct Case {
    const char *name;
    const char *input;
  } cases[] = {
      {"at Continue", ""},
      {"at a proposal", "Y\n"},
      {"at the file name", "Y\n\n"},
      {"at the menu", "Y\n\n\n\n\n"},
      {"at the menu after a refused answer", "Y\n\n\n\n\n7\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    HostTree t;
    RunResult r = t.install(c.input);
    EXPECT_EQ(kEndOfInput, r.exit_code);
    std::string out = t.normalize(r.out);
    if (c.input[0])
      EXPECT_EQ("\n....Terminating\n", out.substr(out.size() - 17)) << out;
    else
      EXPECT_EQ("    Terminating.......", out.substr(out.size() - 22)) << out;
    EXPECT_TRUE(host_untouched(t));
  }
}

TEST(Dialogue, EndOfInputWhereAWordIsAwaited) {
  // No pagra.exe along PATH: the program folder has no proposal, so a word
  // is awaited; empty lines do not give one.
  HostTree t;
  fs::remove(t.host + "pagra.exe");
  RunResult r = t.install("Y\n\n\n");
  EXPECT_EQ(kEndOfInput, r.exit_code);
  EXPECT_TRUE(matches_golden("install-eof-awaiting-word.txt", t.normalize(r.out)));
  EXPECT_TRUE(host_untouched(t));
}

TEST(Dialogue, AnswersWithCrLfLineEndsGiveTheSameRunAsWithLineFeeds) {
  // No proposal for the program folder, so a word is read there; then
  // proposals kept, a refused menu answer, abort.
  HostTree t;
  fs::remove(t.host + "pagra.exe");
  const std::string lf = "Y\n" + t.host + "\n\n\n\n0\n3\n\n";
  std::string crlf_input;
  for (char c : lf) crlf_input += c == '\n' ? std::string("\r\n") : std::string(1, c);
  RunResult want = t.install(lf);
  RunResult got = t.install(crlf_input);
  EXPECT_EQ(kOk, want.exit_code);
  EXPECT_EQ(want.exit_code, got.exit_code);
  EXPECT_EQ(t.normalize(want.out), t.normalize(got.out));
  EXPECT_TRUE(host_untouched(t));
}

TEST(Dialogue, OverlongAnswersAreRefusedAndAskedForAgain) {
  HostTree t;
  // A program folder of 5,000 characters, then one of 260 without room for
  // its separator, with no proposal to fall back on; a menu line of 500.
  fs::remove(t.host + "pagra.exe");
  std::string input = "Y\n" + std::string(5000, 'a') + "\n" + std::string(260, 'b') + "\n" + t.host + "\n\n\n\n" +
                      std::string(500, '9') + "\n3\n\n";
  RunResult r = t.install(input);
  EXPECT_EQ(kOk, r.exit_code);
  EXPECT_TRUE(matches_golden("install-overlong-refused.txt", t.normalize(r.out)));
  EXPECT_TRUE(host_untouched(t));
}

TEST(Dialogue, AConfigurationPathTooLongToJoinIsRefusedAndNothingIsWritten) {
  HostTree t;
  // A folder that exists, with room for a short name but not for pagra.ini.
  std::string deep = t.tmp.dir();
  while (deep.size() < 240) deep += std::string("d") + SEP;
  deep += std::string(252 - deep.size() - 1, 'e') + SEP;
  ASSERT_EQ(252u, deep.size());
  fs::create_directories(deep);
  // Refused; asked again, the proposals kept; then aborted. The end of
  // input right after the refusal ends the run with its own status.
  std::string input = "Y\n\n\n" + deep + "\n\n\n\n3\n\n";
  RunResult r = t.install(input);
  EXPECT_EQ(kOk, r.exit_code);
  std::string out = t.normalize(r.out);
  const std::string refusal = "The path of pagra.ini in that directory would be longer than 260 characters.\n"
                              "Please enter the file name and its directory again.\n\n"
                              "Enter the name of your Delvan initialization file...\n";
  EXPECT_NE(std::string::npos, out.find(refusal)) << out;
  EXPECT_NE(std::string::npos, out.find("   Delvan ini file path\n   ==> {tmp}/host/pagra.ini\n")) << out;
  EXPECT_EQ(kEndOfInput, t.install("Y\n\n\n" + deep + "\n").exit_code);
  for (const auto &e : fs::directory_iterator(deep)) ADD_FAILURE() << "made " << e.path();
  EXPECT_TRUE(host_untouched(t));
}

TEST(Dialogue, StartingOverAgainAndAgainDoesNotGrowTheRun) {
  HostTree t;
  std::string input = "Y\n";
  for (int i = 0; i < 5000; ++i) input += "\n\n\n\n2\n";
  input += "\n\n\n\n3\n\n";
  RunResult r = t.install(input);
  EXPECT_EQ(kOk, r.exit_code) << r.err.substr(0, 2000);
  std::string out = t.normalize(r.out);
  const std::string screen = "   2 - Start over and change selections\n";
  size_t screens = 0;
  for (size_t at = 0; (at = out.find(screen, at)) != std::string::npos; at += screen.size()) ++screens;
  EXPECT_EQ(5001u, screens);
  EXPECT_EQ("\n....Terminating\n\nHit Enter to Finish......\n", out.substr(out.size() - 44));
  EXPECT_TRUE(host_untouched(t));
}

TEST(Dialogue, StartUpFailureWhenTheInstallersFolderCannotBeEntered) {
  HostTree t;
  std::string missing = t.tmp.path("no-such-folder") + SEP + "nzeptins.exe";
  RunResult r = run_program(t.dist + "nzeptins.exe", missing, "Y\n", t.dist, t.env());
  EXPECT_EQ(kStartup, r.exit_code);
  EXPECT_EQ("Initialization error:  Be sure you have full access\n"
            "to the directory you are installing or removing ZEPT from.\n\n",
            t.normalize(r.out));
}

// Answers as deploying tools write them: a UTF-8 byte-order mark is no
// part of the first answer, and UTF-16 with its mark is read as such; a
// character beyond ASCII there cannot be read, and ends the run with
// status 2 before anything is done.
TEST(Dialogue, AnswerFilesWithAByteOrderMark) {
  const std::string answers = "Y\n\n\n\n\n1\n\n";
  auto utf16 = [](const std::string &s, bool le) {
    std::string out = le ? "\xFF\xFE" : "\xFE\xFF";
    for (unsigned char c : s) out += le ? std::string{(char)c, '\0'} : std::string{'\0', (char)c};
    return out;
  };
  std::string umlaut = utf16("Y\n\npagr", true) + std::string("\xE4\x00", 2) + utf16(".ini\n\n\n1\n\n", true).substr(2);
  struct Case {
    const char *what;
    std::string input;
    int status;
  } cases[] = {
      {"plain", answers, kOk},
      {"UTF-8 with its mark", "\xEF\xBB\xBF" + answers, kOk},
      {"UTF-16, little end first", utf16(answers, true), kOk},
      {"UTF-16, big end first", utf16(answers, false), kOk},
      {"UTF-16 with a character beyond ASCII", umlaut, kEndOfInput},
  };
  std::string plain;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    HostTree t;
    clear_registered_qsx(t);
    RunResult r = t.install(c.input);
    EXPECT_EQ(c.status, r.exit_code) << r.out;
    std::string out = t.normalize(r.out);
    if (c.status == kOk) {
      EXPECT_TRUE(file_exists(t.host + "nzept.exe")) << out;
      if (plain.empty()) plain = out;
      EXPECT_EQ(plain, out);
    } else {
      EXPECT_NE(std::string::npos, out.find("\nThe answers hold a UTF-16 character other than ASCII, which cannot be read.\n"))
          << out;
      EXPECT_TRUE(host_untouched(t));
    }
    clear_registered_qsx(t);
  }
}

TEST(Dialogue, AnswersHoldingANulAreRefusedAndAskedForAgain) {
  HostTree t;
  // "<other>\0x" would install into <other> if cut at the NUL, and a lone
  // NUL would accept the proposal as Enter does.
  std::string input = "Y\n" + t.tmp.path("other") + std::string("\0x\n", 3) + "\n" + std::string("\0\n", 2) +
                      "\n\n\n" + std::string("1\0\n", 3) + "3\n\n";
  RunResult r = t.install(input);
  EXPECT_EQ(kOk, r.exit_code);
  std::string out = t.normalize(r.out);
  const std::string refused = "\nThat entry holds a NUL character and cannot be used.\n\n";
  size_t at = out.find(refused);
  EXPECT_NE(std::string::npos, at) << out;
  EXPECT_NE(std::string::npos, out.find(refused, at + 1)) << out;
  EXPECT_NE(std::string::npos, out.find("   Delvan program directory\n   ==> {tmp}/host/\n")) << out;
  EXPECT_NE(std::string::npos, out.find("Enter your choice(1-3): Enter your choice(1-3): ")) << "the menu line with a NUL is asked again";
  EXPECT_TRUE(host_untouched(t));
}

/*
 * setupui.cpp - the console front end of nzeptins.exe: banner, prompts,
 * menus, the install and removal sequences and every message the
 * administrator sees. It calls only the installer actions (btsetup.h).
 *
 * Answers may be piped in: that is the unattended mode, and the exit status
 * then tells a script what happened.
 *
 *   status  meaning
 *   0       the chosen install or removal completed, or the administrator
 *           declined, aborted or quit
 *   1       start-up failed (the installer's folder cannot be entered)
 *   2       standard input ended at a prompt; nothing further was done
 *   3       copying the program files failed; the install halted
 *   4       the registry value or the host configuration file could not be
 *           changed (the rest of the sequence went on)
 *   5       the removal could not delete every program file (also when
 *           the remover cannot hand its own two files over to the command
 *           interpreter)
 *   6       another install or removal was running on this host; nothing
 *           was done
 *   7       the install halted, and program files are not as they were
 *           (each is named); the next run recovers them first
 *
 * When more than one thing fails, the first failure of the run decides
 * the status (the registry value and pagra.ini come before the files in a
 * removal); the transcript names every one.
 *
 * A removal in removal mode ends by handing the remover and its library to
 * the command interpreter, which deletes them; the program ends with the
 * status of the table all the same.
 */
#include <ctype.h>
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "btsetup.h"

enum {
  NZ_EXIT_OK = 0,
  NZ_EXIT_STARTUP = 1,
  NZ_EXIT_EOF = 2,
  NZ_EXIT_COPY = 3,
  NZ_EXIT_CONFIG = 4,
  NZ_EXIT_REMOVAL = 5,
  NZ_EXIT_BUSY = 6,
  NZ_EXIT_LEFT = 7,
};

#define LONG_TITLE "Delvan Enterprise Tramontelo Services"
#define SERVER_TITLE "Delvan Enterprise Tramontelo Server"
#define OPTION_LINE_MAX 80

static uint32_t g_uninst;
static char g_delvan_dir[BT_PATH_MAX];
static int g_exit_status = NZ_EXIT_OK;

/* How the answers are written, told by their first bytes: plain bytes
 * (a UTF-8 byte-order mark dropped), or UTF-16 with its mark, of which
 * only ASCII can be taken as it is meant. */
enum { IN_UNKNOWN, IN_BYTES, IN_UTF16LE, IN_UTF16BE, IN_UNREADABLE };
static int g_in_form = IN_UNKNOWN;
static int g_ahead[3], g_ahead_len, g_ahead_pos; /* bytes read to tell the form */
#define NO_CHAR (-2)
static int g_back = NO_CHAR; /* a character read after a CR, to be read again */
static int g_nul_seen;       /* a NUL was read since the last answer began */


/* The first failure decides the exit status. */
static void note_failure(int status) {
  if (g_exit_status == NZ_EXIT_OK) g_exit_status = status;
}

/* Standard input ended at a prompt: nothing further is done. */
static void terminate_at_eof(void) {
  if (g_in_form == IN_UNREADABLE) printf("\nThe answers hold a UTF-16 character other than ASCII, which cannot be read.\n");
  printf("\n....Terminating\n");
  fflush(stdout);
  exit(NZ_EXIT_EOF);
}

static int next_byte(void) { return g_ahead_pos < g_ahead_len ? g_ahead[g_ahead_pos++] : getchar(); }

/* Reads the first bytes of the answers to tell their form; those that
 * are no mark are read again as answers. */
static void tell_form(void) {
  static const int utf8_mark[] = {0xEF, 0xBB, 0xBF};
  g_in_form = IN_BYTES;
  int c = getchar();
  g_ahead[g_ahead_len++] = c;
  if (c == 0xFF || c == 0xFE) {
    int d = getchar();
    if (c + d == 0xFF + 0xFE) { // FF FE or FE FF
      g_in_form = c == 0xFF ? IN_UTF16LE : IN_UTF16BE;
      g_ahead_len = 0;
      return;
    }
    g_ahead[g_ahead_len++] = d;
    return;
  }
  for (int i = 1; i < 3 && g_ahead[i - 1] == utf8_mark[i - 1]; ++i) g_ahead[g_ahead_len++] = getchar();
  if (g_ahead_len == 3 && g_ahead[2] == utf8_mark[2]) g_ahead_len = 0; // the mark is no part of an answer
}

/* One character as written: a byte, or a UTF-16 unit. A unit beyond ASCII
 * has no sure meaning here: it and all that follows read as the end. */
static int raw_char(void) {
  if (g_in_form == IN_UNKNOWN) tell_form();
  if (g_in_form == IN_BYTES) return next_byte();
  if (g_in_form == IN_UNREADABLE) return EOF;
  int a = next_byte(), b = next_byte();
  if (a == EOF || b == EOF) return EOF;
  int unit = g_in_form == IN_UTF16LE ? (a | b << 8) : (a << 8 | b);
  if (unit < 0x80) return unit;
  g_in_form = IN_UNREADABLE;
  return EOF;
}

/* One character of the answers. A CR LF line end counts as one line end,
 * as the Windows runtime's text mode reads it, so that an answer file
 * written with CR LF gives the same answers on both builds. */
static int read_char(void) {
  int c = g_back != NO_CHAR ? g_back : raw_char();
  g_back = NO_CHAR;
  if (c == '\r') {
    int next = raw_char();
    if (next == '\n') return '\n';
    if (next != EOF) g_back = next;
  }
  if (c == '\0') g_nul_seen = 1;
  return c;
}

/* Reads one whole line, keeping at most size-1 characters in buf (the rest
 * of a longer line is read and dropped, and *too_long set) and dropping
 * the line end. 0 when input ended before any character. */
static int read_line(char *buf, size_t size, int *too_long) {
  size_t n = 0;
  int c;
  int any = 0;
  *too_long = 0;
  while ((c = read_char()) != EOF) {
    any = 1;
    if (c == '\n') break;
    if (n + 1 < size)
      buf[n++] = (char)c;
    else
      *too_long = 1;
  }
  buf[n] = '\0';
  return any;
}

/* Takes one word, as scanf's "%s" does: c is its first character, already
 * read. The word goes into word (size bytes), *too_long set when it does
 * not fit. Returns the character that ended it (read, and not part of the
 * word), or EOF. */
static int take_word(int c, char *word, size_t size, int *too_long) {
  size_t n = 0;
  *too_long = 0;
  while (c != EOF && !isspace(c)) {
    if (n + 1 < size)
      word[n++] = (char)c;
    else
      *too_long = 1;
    c = read_char();
  }
  word[n] = '\0';
  return c;
}

/* Reads one line and takes its first blank-delimited word into word (size
 * bytes; "" when the line holds none); the rest of the line is dropped.
 * 0 when input ended before any character. */
static int read_line_word(char *word, size_t size, int *too_long) {
  int c = read_char();
  if (c == EOF) return 0;
  while (c != '\n' && c != EOF && isspace(c)) c = read_char();
  word[0] = '\0';
  *too_long = 0;
  if (c != '\n' && c != EOF) c = take_word(c, word, size, too_long);
  while (c != '\n' && c != EOF) c = read_char();
  return 1;
}

/* Reads one word as scanf's "%s" does: blanks and line ends are skipped
 * first, and the one character after the word is dropped. */
static void read_word(char *word, size_t size, int *too_long) {
  int c;
  do {
    c = read_char();
  } while (c != EOF && isspace(c));
  if (c == EOF) terminate_at_eof();
  (void)take_word(c, word, size, too_long);
}

#define TOO_LONG_TEXT "\nThat entry is too long to be used: a path holds at most %d characters.\n\n"
#define NUL_TEXT "\nThat entry holds a NUL character and cannot be used.\n\n"
#define TOO_LONG_DIR_TEXT "\nThat directory is too long for the package's files: a path holds at most %d characters.\n\n"

/* What a folder answer must hold room for. */
enum { FOR_NOTHING, FOR_PROGRAM_FILES, FOR_DATA_FILES };

/* Lets the administrator accept or replace the proposal in def (a
 * BT_PATH_MAX buffer). With IsPath the value ends in a separator; with
 * room_for the package's program or data files must fit in that folder.
 * An answer too long for the buffer or for the files, or holding a NUL,
 * is refused and asked for again: no answer is ever cut. */
static void get_input(char *def, unsigned long IsPath, int room_for) {
  for (;;) {
    char word[BT_PATH_MAX];
    int too_long = 0;
    g_nul_seen = 0;
    if (def[0]) {
      if (IsPath)
        printf("  OR just press ENTER to accept the value setup has detected.\n\n");
      else
        printf("  OR just press ENTER to accept the default value.\n\n");
      printf("  ==> ( %s ) ", def);
      fflush(stdout);
      if (!read_line_word(word, sizeof word, &too_long)) terminate_at_eof();
      if (!word[0] && !too_long && !g_nul_seen) { // Enter, or blanks only: the proposal stays
        if (IsPath) (void)dirsep_term(def);
        if (room_for == FOR_NOTHING || bt_dir_fits(def, room_for == FOR_DATA_FILES)) return;
        printf(TOO_LONG_DIR_TEXT, BT_PATH_MAX - 1);
        continue;
      }
    } else {
      fflush(stdout);
      read_word(word, sizeof word, &too_long);
    }
    if (g_nul_seen) {
      printf(NUL_TEXT);
      continue;
    }
    // A folder must keep room for its separator.
    if (too_long || (IsPath && !dirsep_term(word))) {
      printf(TOO_LONG_TEXT, BT_PATH_MAX - 1);
      continue;
    }
    if (room_for != FOR_NOTHING && !bt_dir_fits(word, room_for == FOR_DATA_FILES)) {
      printf(TOO_LONG_DIR_TEXT, BT_PATH_MAX - 1);
      continue;
    }
    memcpy(def, word, strlen(word) + 1);
    return;
  }
}

/* The number a line starts with, as "%d" reads it (blanks skipped, a sign,
 * digits; "2abc" is 2); old when the line starts with no number. A number
 * beyond int's range counts as 0, which no menu offers. */
static int scan_int(const char *line, int old) {
  char *end;
  errno = 0;
  long v = strtol(line, &end, 10);
  if (end == line) return old;
  if (errno == ERANGE || v < INT_MIN || v > INT_MAX) return 0;
  return (int)v;
}

/* A menu number between x and y; asks again until one is given. A line
 * too long for the buffer is no answer: its number is never read cut. */
static int get_option(int x, int y) {
  char in[OPTION_LINE_MAX];
  int option = 0;
  do {
    int too_long;
    memset(in, 0, sizeof in);
    printf("Enter your choice(1-3): ");
    fflush(stdout);
    g_nul_seen = 0;
    if (!read_line(in, sizeof in, &too_long)) terminate_at_eof();
    option = too_long || g_nul_seen ? 0 : scan_int(in, option);
  } while (option < x || option > y);
  return option;
}

static void logo(unsigned long uninstalling) {
  printf("\n\n");
  printf("     ***************************************\n");
  printf("     * Delvan Enterprise Tramontelo Server *\n");
  printf("     *                                     *\n");
  if (uninstalling) {
    printf("     *             UN-Install              *\n");
    printf("     ***************************************\n");
    printf("\nThis utility will remove %s\n", LONG_TITLE);
    printf("from your Delvan Server.\n\n");
    printf("It is strongly advised that you shut down your Delvan Server before\n");
    printf("continuing.  If not, some files may not be removed from your system.\n");
  } else {
    printf("     *               Install               *\n");
    printf("     ***************************************\n");
    printf("\nThis utility will install %s\n", LONG_TITLE);
    printf("onto your Delvan Server.\n\n");
    printf("Verify that your Delvan Server is shut down before continuing with ZEPT\n");
    printf("installation.  ZEPT will auto initialize and be ready for use after\n");
    printf("restarting Delvan.  Then, simply open the Tramontelo Server Administrator\n");
    printf("database to begin using %s!\n", LONG_TITLE);
  }
  printf("\nContinue? (Y/N)  ");
  fflush(stdout);
  int c = read_char();
  if (c != 'Y' && c != 'y') {
    printf("    Terminating.......");
    fflush(stdout);
    exit(c == EOF ? NZ_EXIT_EOF : NZ_EXIT_OK);
  }
  (void)read_char(); /* the end of the answer line */
  printf("\n\n");
}

/* Another run holds the host: this one changes nothing and waits for
 * nothing. */
static void report_busy(void) {
  note_failure(NZ_EXIT_BUSY);
  printf("\nAnother install or removal is running on this host.\n");
  printf("Nothing was changed; run this again once it has ended.\n");
}

/* One install, upgrade or removal per host at a time, from here to the
 * end of the run: 1 when this run has the host. */
static int take_host(const char *delvan_dir) {
  uint32_t locked = bt_lock_host(delvan_dir);
  if (locked == BT_ERR_LOCK_TAKEN) {
    note_failure(NZ_EXIT_BUSY);
    printf("\nSomething that is not this installer's stands where it keeps its lock:\n");
    printf("   %s\n", bt_lock_taken());
    printf("Nothing was changed; remove it, then run this again.\n");
  } else if (locked != 0) {
    report_busy();
  }
  return locked == 0;
}

/* What the run found named like the installer's own files and left as it
 * stands. */
static void report_found(void) {
  if (bt_found_count() == 0) return;
  printf("\nFound and left as they are, not this installer's to use:\n");
  for (size_t i = 0; i < bt_found_count(); ++i) printf("   %s\n", bt_found_entry(i));
  if (bt_found_more() > 0) printf("   and %lu more\n", (unsigned long)bt_found_more());
}

static void do_install(char *delvan_dir, char *data_dir, char *ini_path) {
  if (!take_host(delvan_dir)) return;
  printf("\nInstalling %s program files\n", SERVER_TITLE);
  printf("   to %s\n", delvan_dir);
  uint32_t copied = BTInstallProgramFiles(delvan_dir, data_dir);
  report_found();
  if (copied == BT_ERR_BUSY) {
    report_busy();
    return;
  }
  if (copied == BT_ERR_STALE) {
    note_failure(NZ_EXIT_LEFT);
    printf("\nAn install cut short before could not be settled, so this one has\n");
    printf("halted before it changed anything. See above for what to do.\n");
    return;
  }
  if (copied == BT_ERR_LEFT) {
    note_failure(NZ_EXIT_LEFT);
    printf("\nAn error has occurred installing the %s\n", SERVER_TITLE);
    printf("program files!  Installation has halted, and these files\n");
    printf("are not as they were:\n");
    for (size_t i = 0; i < bt_left_count(); ++i) printf("   %s\n", bt_left_file(i));
    printf("The next run of the installer or of the remover settles them first,\n");
    printf("all as they were or all new, before it changes anything else.\n");
    return;
  }
  if (copied != 0) {
    note_failure(NZ_EXIT_COPY);
    printf("\nAn error has occurred installing the %s\n", SERVER_TITLE);
    printf("program files!  Installation has halted.\n");
    printf("Verfify that the following is correct:\n");
    printf("   Delvan program directory\n   ==> %s\n", delvan_dir);
    printf("   **Do you have write permission to this directory?\n");
    printf("   **Is the Delvan Server Running?  If so, shut it down an re-try.\n");
    return;
  }

  printf("Registering %s QSX...\n", SERVER_TITLE);
  if (BTRegisterQSX(delvan_dir) != 0) {
    note_failure(NZ_EXIT_CONFIG);
    printf("\nAn error has occurred registering the QSX!\n");
    printf("The QSX may need to be registered manually to use it.\n");
    printf("Installation will continue.\n");
  }

  printf("Modifying Delvan file %s ...\n", ini_path);
  if (BTEditPagraIni(ini_path) != 0) {
    note_failure(NZ_EXIT_CONFIG);
    printf("\nAn error has occurred in setting up the Delvan ini file!\n");
    printf("You must make sure the following entries exist in this file:\n");
    printf("%s\n", ini_path);
    printf("   ServerTasks = %s\n", BT_TASK_ITEM);
    printf("   EXTMGR_ADDINS = %s\n", BT_ADDIN_ITEM);
    printf("\nInstallation has completed.  However you will need\n");
    printf("to add the above entries to your Delvan ini file to use\n");
    printf("%s\n", LONG_TITLE);
    printf("Restart your Delvan Server after this editing this file.\n");
    return;
  }

  printf("\nCongratualations...Installation is complete.\n");
  printf("\nRestart the Delvan Server now to activate\n");
  printf("%s!\n", LONG_TITLE);
}

static void do_removal(char *delvan_dir, char *data_dir, char *ini_path) {
  if (!take_host(delvan_dir)) return;
  // An install cut short is settled before anything is taken away; while
  // it cannot be, nothing is.
  char err[BT_ERR_TEXT_MAX];
  uint32_t settled = bt_recover_host(delvan_dir, data_dir, err);
  report_found();
  if (settled == BT_ERR_BUSY) {
    report_busy();
    return;
  }
  if (settled != 0) {
    note_failure(NZ_EXIT_REMOVAL);
    printf("\n%s\n", err);
    for (size_t i = 0; i < bt_left_count(); ++i) printf("   %s\n", bt_left_file(i));
    printf("Nothing was removed.\n");
    return;
  }
  printf("UnRegistering %s QSX...\n", LONG_TITLE);
  if (BTUnRegisterQSX() != 0) {
    note_failure(NZ_EXIT_CONFIG);
    printf("\nAn error has occurred un-registering the\n");
    printf("%s QSX!\n", SERVER_TITLE);
    printf("The QSX may need to be un-registered manually.\n");
    printf("UN-install will continue.\n");
  }

  printf("Restoring Delvan configuration file (%s) ...\n", ini_path);
  if (BTUndoPagraIni(ini_path) != 0) {
    note_failure(NZ_EXIT_CONFIG);
    printf("\nAn error has occurred in re-setting the Delvan ini file!\n");
    printf("The following entries should be removed from this file:\n");
    printf("%s\n", ini_path);
    printf("   %s = %s\n", BT_SERVERTASKS, BT_TASK_ITEM);
    printf("   %s = %s\n", BT_ADDINS, BT_ADDIN_ITEM);
    printf("UN-install will continue.\n");
  }

  printf("Removing %s files...\n", SERVER_TITLE);
  uint32_t removed = BTRemoveProgramFiles(delvan_dir, data_dir);
  if (removed == BT_ERR_BUSY) {
    report_busy();
    return;
  }
  if (removed != 0) {
    note_failure(NZ_EXIT_REMOVAL);
    printf("\nAn error has occurred removing some of the\n");
    printf("%s program files!\n", SERVER_TITLE);
    printf("Some files may have been missing or in use.\n");
    for (size_t i = 0; i < bt_left_count(); ++i) printf("   %s\n", bt_left_file(i));
  }

  printf("\n%s UN-install is now complete.\n", SERVER_TITLE);

  if (g_uninst) {
    printf("\nHit Enter to Finish......\n");
    fflush(stdout);
    (void)read_char();
    // The interpreter deletes the remover and its library once this
    // process has ended; when it cannot start, the two files are left to
    // delete by hand, as BTCleanup has said. Either way the run ends here.
    if (BTCleanup(g_delvan_dir) != 0) note_failure(NZ_EXIT_REMOVAL);
    fflush(stdout);
    exit(g_exit_status);
  }
}

/* What a confirmation screen leads to. */
enum { SEL_DONE, SEL_START_OVER };

static int confirm_install(char *delvan_dir, char *data_dir, char *ini_path) {
  printf("\n");
  printf("You have chosen to install %s.\n", LONG_TITLE);
  printf("Confirm the following selections and choose an option:\n\n");
  printf("   Delvan program directory\n   ==> %s\n", delvan_dir);
  printf("   Delvan ini file path\n   ==> %s\n", ini_path);
  printf("   Delvan data directory\n   ==> %s\n", data_dir);
  printf("\nAvailable options:\n");
  printf("   1 - Install now\n");
  printf("   2 - Start over and change selections\n");
  printf("   3 - Abort installation\n");
  char c = (char)get_option(1, 3);
  printf("\n\n");
  if (c == 1)
    do_install(delvan_dir, data_dir, ini_path);
  else if (c == 2)
    return SEL_START_OVER;
  else
    printf("\n....Terminating\n");
  return SEL_DONE;
}

static int confirm_removal(char *delvan_dir, char *data_dir, char *ini_path) {
  printf("\n");
  printf("You have chosen to UN-install %s.\n", LONG_TITLE);
  printf("Confirm the following selections and choose an option:\n\n");
  printf("   Delvan ini file path\n   ==> %s\n", ini_path);
  printf("   Delvan data directory\n   ==> %s\n", data_dir);
  printf("\nAvailable options:\n");
  printf("   1 - UNinstall now\n");
  printf("   2 - Start over and change selections\n");
  printf("   3 - Abort\n");
  char c = (char)get_option(1, 3);
  printf("\n\n");
  if (c == 1)
    do_removal(delvan_dir, data_dir, ini_path);
  else if (c == 2)
    return SEL_START_OVER;
  else
    printf("\n....Terminating\n");
  return SEL_DONE;
}

/* Asks for the configuration file's name and folder until their joined
 * path fits ini_path (BT_PATH_MAX bytes), and so does the file written
 * beside it while it changes: a path that does not fit is refused, never
 * cut into the name of another file. */
static void ask_ini_path(const char *delvan_dir, char *ini_file, char *ini_dir, char *ini_path) {
  for (;;) {
    printf("Enter the name of your Delvan initialization file...\n");
    memset(ini_file, 0, BT_PATH_MAX);
    memset(ini_dir, 0, BT_PATH_MAX);
    memcpy(ini_file, "pagra.ini", sizeof "pagra.ini");
    get_input(ini_file, 0, FOR_NOTHING);
    printf("\n\n");

    (void)BTGetDelvanIniFileDir(ini_file, delvan_dir, ini_dir);
    printf("Enter the full path to the directory containing the \n");
    printf("%s file...  \n", ini_file);
    get_input(ini_dir, 1, FOR_NOTHING);
    printf("\n\n");

    size_t dir_len = strlen(ini_dir), file_len = strlen(ini_file);
    if (bt_file_fits(ini_dir, ini_file)) {
      memcpy(ini_path, ini_dir, dir_len);
      memcpy(ini_path + dir_len, ini_file, file_len + 1);
      return;
    }
    if (dir_len + file_len < BT_PATH_MAX)
      printf("The file written beside %s while it changes would not fit that directory.\n", ini_file);
    else
      printf("The path of %s in that directory would be longer than %d characters.\n", ini_file, BT_PATH_MAX - 1);
    printf("Please enter the file name and its directory again.\n\n");
  }
}

/* One pass of the location prompts and the screens they lead to;
 * SEL_START_OVER when the administrator chose to start over. */
static int make_selections_once(void) {
  char ini_file[BT_PATH_MAX], ini_dir[BT_PATH_MAX], ini_path[BT_PATH_MAX];
  char delvan_dir[BT_PATH_MAX], data_dir[BT_PATH_MAX];
  memset(ini_path, 0, sizeof ini_path);
  memset(data_dir, 0, sizeof data_dir);
  // Every pass, a start over included, begins from the detected default.
  memcpy(delvan_dir, g_delvan_dir, sizeof delvan_dir);

  if (!g_uninst) {
    printf("Enter full path to Delvan program directory...\n");
    get_input(delvan_dir, 1, FOR_PROGRAM_FILES);
    printf("\n\n");
  }

  ask_ini_path(delvan_dir, ini_file, ini_dir, ini_path);
  (void)BTGetDelvanDataDir(ini_path, data_dir);
  printf("Enter full path to the Delvan data directory... \n");
  get_input(data_dir, 1, FOR_DATA_FILES);
  printf("\n\n");

  if (g_uninst) return confirm_removal(delvan_dir, data_dir, ini_path);

  if (BTIsZeptInstalled(ini_path)) {
    printf("\nAn existing %s has been detected.\n", SERVER_TITLE);
    printf("\nYour options are:\n");
    printf("  1 - REMOVE existing installation.\n");
    printf("  2 - INSTALL/UPGRADE with a new version.\n");
    printf("  3 - Do nothing, QUIT now.\n");
    char c = (char)get_option(1, 3);
    printf("\n\n");
    if (c == 1) return confirm_removal(delvan_dir, data_dir, ini_path);
    if (c == 2) return confirm_install(delvan_dir, data_dir, ini_path);
    printf("\n....Terminating\n");
    return SEL_DONE;
  }

  return confirm_install(delvan_dir, data_dir, ini_path);
}

/* The location prompts; "start over" runs them again, as often as it is
 * chosen, without the run growing deeper. */
static void make_selections(void) {
  while (make_selections_once() == SEL_START_OVER) {
  }
}

int main(int argc, char **argv) {
  (void)argc;
  // Whole blocks of output: on a Windows console an unbuffered stream
  // writes every printf through the console on its own, many times the
  // cost of the run's work. Every question flushes before it waits.
  static char out_buf[8192];
  setvbuf(stdout, out_buf, _IOFBF, sizeof out_buf);
  if (BTInit(argv, g_delvan_dir, &g_uninst) != 0) return NZ_EXIT_STARTUP;
  logo(g_uninst);
  make_selections();
  printf("\nHit Enter to Finish......\n");
  fflush(stdout);
  (void)read_char();
  return g_exit_status;
}

// Deferred self-removal: the last step of a removal by the remover, which
// cannot delete its own running program file.
//
// The remover first moves its program file and its library out of their
// names to our names beside them (a running program's file may be
// renamed), so the two names are free at once: a later install may take
// them while the interpreter has not yet run, and the interpreter, which
// deletes only the names of our own, can never reach its files. A name of
// ours is never given to another file while one stands under it.
//
// On Windows the remover's file can be deleted only once the remover has
// ended: the interpreter retries for a bounded time, with a wait (ping)
// that works whatever standard input is. Elsewhere a running program's
// file may be deleted, and the remover waits for the interpreter and ends
// with what it did. The interpreter runs in the host folder and is handed
// only the two names of our own, which hold no character any interpreter
// reads as special, whatever the folder's name holds. Every program the
// command calls is named by its full path, the interpreter itself too:
// nothing is picked up from the host folder or the search path. It keeps
// no handle of the remover's: a caller's pipe or log closes when the
// remover ends.
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "btsetup.h"
#include "kcsys.h"

#define BT_SHELL "/bin/sh"
#define BT_STR_(x) #x
#define BT_STR(x) BT_STR_(x)

// cmd /C keeps the inner quotes because the command does not start with
// one. Inside quotes & ^ ( ) and blanks are plain characters. The loop's
// body is one bracketed group straight after "do", the one form every
// interpreter reads alike. del reports success even when it could not
// delete, so "if exist" judges instead. The library, when there is one,
// goes once the loop has seen the remover go.
#define BT_LOOP                                                                                                       \
  "(for /l %%i in (1,1," BT_STR(BT_CLEANUP_TRIES) ") do (@if exist \"%s\" del /f/q \"%s\" 2>nul & if exist \"%s\" " \
                                                  "\"%sping.exe\" -n 2 127.0.0.1 >nul 2>nul))"
static const char kCmdWithLibrary[] =
    BT_LOOP " & if exist \"%s\" (del /f/q \"%s\") else (del /f/q \"%s\")";
static const char kCmdAlone[] = BT_LOOP " & if exist \"%s\" (del /f/q \"%s\")";

// '"' would end the quotes, '%' is expanded even inside them, and a line
// break ends the command: no quoting makes these safe.
static int cmd_quotable(const char *s) {
  if (!s || !s[0]) return 0;
  for (const unsigned char *p = (const unsigned char *)s; *p; ++p)
    if (*p == '"' || *p == '%' || *p < 0x20) return 0;
  return 1;
}

int bt_cleanup_cmd_command(const char *sysdir, const char *remover, const char *library, char *command,
                           size_t size) {
  if (size) command[0] = '\0';
  int lib = library && library[0];
  if (!cmd_quotable(sysdir) || !cmd_quotable(remover) || (lib && !cmd_quotable(library))) return 0;
  const char *r = remover;
  if (lib) return kc_format(command, size, kCmdWithLibrary, r, r, r, sysdir, r, r, library);
  return kc_format(command, size, kCmdAlone, r, r, r, sysdir, r, r);
}

// s as one single-quoted shell word, in which nothing is special, into
// out at *k: 1, or 0 when it does not fit size bytes (with a NUL).
static int sh_word(const char *s, char *out, size_t *k, size_t size) {
  if (*k + 3 > size) return 0;
  out[(*k)++] = ' ';
  out[(*k)++] = '\'';
  for (; *s; ++s) {
    // A quote ends the quoted word, stands escaped, and opens a new one.
    const char *piece = *s == '\'' ? "'\\''" : NULL;
    size_t n = piece ? 4 : 1;
    if (*k + n + 2 > size) return 0; // and the closing quote, NUL
    memcpy(out + *k, piece ? piece : s, n);
    *k += n;
  }
  out[(*k)++] = '\'';
  out[*k] = '\0';
  return 1;
}

int bt_cleanup_sh_command(const char *remover, const char *library, char *command, size_t size) {
  static const char head[] = "exec /bin/rm -f --";
  if (size) command[0] = '\0';
  if (!remover || !remover[0] || size < sizeof head) return 0;
  memcpy(command, head, sizeof head);
  size_t k = sizeof head - 1;
  if (sh_word(remover, command, &k, size) && (!library || !library[0] || sh_word(library, command, &k, size)))
    return 1;
  command[0] = '\0';
  return 0;
}

// One of the two files after a hand-over that could not be made sure:
// back under its own name when it can be, into left (BT_PATH_MAX bytes)
// the name it now stands under, "" when it is gone.
static void put_back(intptr_t lock, const char *moved, const char *path, char *left) {
  left[0] = '\0';
  if (!moved[0]) {
    if (KCFileExist(path)) kc_copy(left, BT_PATH_MAX, path);
  } else if (kc_move_back(lock, moved, path) == 0) {
    kc_copy(left, BT_PATH_MAX, path);
  } else if (KCFileExist(moved)) {
    kc_copy(left, BT_PATH_MAX, moved);
  }
  kc_release(lock);
}

// What is left to the administrator when the interpreter cannot do it.
static void print_by_hand(const char *a, const char *b) {
  printf("\nThe remover could not delete its last two files.\n");
  printf("Please delete them by hand:\n");
  if (a[0]) printf("   %s\n", a);
  if (b[0]) printf("   %s\n", b);
  fflush(stdout);
}

// Starts the interpreter in folder dir on the command for the moved files
// there (names without a folder): 1 when it started (and, waited for,
// deleted them).
static int hand_over(const char *prog, int cmd, const char *dir, const char *remover, const char *library) {
  char command[BT_CLEANUP_CMD_MAX], sysdir[BT_PATH_MAX];
  int ok = cmd ? kc_system_dir(sysdir) && bt_cleanup_cmd_command(sysdir, remover, library, command, sizeof command)
               : bt_cleanup_sh_command(remover, library, command, sizeof command);
  if (!ok || !prog || !prog[0]) return 0;
  // The Windows runtime joins the arguments with blanks as they are: a
  // program path with a blank is quoted so that it stays one word.
  char arg0[BT_PATH_MAX + 2];
  const char *name = prog;
  if (cmd && strchr(prog, ' ')) {
    if (strchr(prog, '"') || !kc_format(arg0, sizeof arg0, "\"%s\"", prog)) return 0;
    name = arg0;
  }
  // No AutoRun commands (/D), and no delayed expansion of "!" in names.
  const char *cmd_argv[] = {name, "/D", "/V:OFF", "/C", command, NULL};
  const char *sh_argv[] = {prog, "-c", command, NULL};
  // Every message is out before the remover ends.
  fflush(NULL);
  int status = 0;
  if (kc_start_interpreter(prog, cmd ? cmd_argv : sh_argv, dir, !cmd, &status) != 0) return 0;
  return cmd || status == 0;
}

uint32_t bt_cleanup_start(const char *prog, int cmd, const char *zept_dir) {
  char remover[BT_PATH_MAX], library[BT_PATH_MAX], moved_remover[BT_PATH_MAX], moved_library[BT_PATH_MAX];
  intptr_t remover_hold = -1, library_hold = -1;
  const char *dir = zept_dir ? zept_dir : "";
  moved_remover[0] = moved_library[0] = '\0';
  int ok = dir[0] && kc_format(remover, sizeof remover, "%s" BT_REMOVER, dir) &&
           kc_format(library, sizeof library, "%s" BT_LAST_LIBRARY, dir);
  if (!ok) {
    print_by_hand(BT_REMOVER, BT_LAST_LIBRARY);
    return BT_ERR_REMOVE;
  }
  // Both names are freed, or neither: a file held by another process
  // stays where it is, for the administrator.
  ok = kc_move_aside(remover, moved_remover, &remover_hold) == 0;
  if (ok) {
    int e = kc_move_aside(library, moved_library, &library_hold);
    if (e == ENOENT) moved_library[0] = '\0'; // already gone: nothing to hand over
    else if (e) ok = 0;
  }
  // Both names free on the disk before the hand-over: a power cut then
  // leaves leftovers of ours, never the remover under its own name.
  if (ok && kc_sync_folder(dir) != 0) ok = 0;
  // Both moved names are the folder and one of our names.
  size_t at = strlen(dir);
  if (ok && hand_over(prog, cmd, dir, moved_remover + at, moved_library[0] ? moved_library + at : "")) {
    kc_release(remover_hold);
    kc_release(library_hold);
    return 0;
  }
  char left_remover[BT_PATH_MAX], left_library[BT_PATH_MAX];
  put_back(remover_hold, moved_remover, remover, left_remover);
  put_back(library_hold, moved_library, library, left_library);
  if (!left_remover[0] && !left_library[0]) return 0; // the interpreter did delete them after all
  print_by_hand(left_remover, left_library);
  return BT_ERR_REMOVE;
}

KCAPI uint32_t BTCleanup(const char *zept_dir) {
  if (!KC_HOST_CMD) return bt_cleanup_start(BT_SHELL, 0, zept_dir);
  char comspec[BT_PATH_MAX + 1];
  uint32_t comspeclen = BT_PATH_MAX; // one more than a path holds: a longer value shows
  // COMSPEC only when it names an existing program by its absolute path: a
  // relative name would be looked for from the host folder. Otherwise, or
  // too long to be a path (never cut into another name), the system
  // folder's own interpreter.
  if (KCPlatGetEnv("COMSPEC", comspec, &comspeclen) != KC_OK || comspeclen >= BT_PATH_MAX ||
      !kc_path_absolute(comspec) || kc_access(comspec, KC_ACCESS_EXISTS) != 0) {
    if (!kc_system_dir(comspec) || !kc_append(comspec, sizeof comspec, "cmd.exe")) comspec[0] = '\0';
  }
  return bt_cleanup_start(comspec, 1, zept_dir);
}

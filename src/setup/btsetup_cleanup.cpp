// Deferred self-removal: the last step of a removal starts the command
// interpreter, which deletes the remover and its library from the program
// folder once the ending program has let go of them; the program itself
// then ends with its own status.
//
// The command is built so that the folder name is only ever a quoted
// argument of cd: it cannot run anything else or cut the command short.
// The interpreter may start before this process has fully ended, so the
// remover's deletion is retried for a bounded time, with a wait (ping)
// that works whatever standard input is. The library goes only after the
// remover, as the removal left them in that order.
#include <stdio.h>
#include <string.h>

#include "btsetup.h"
#include "kcsys.h"

#define BT_SHELL "/bin/sh"
#define BT_STR_(x) #x
#define BT_STR(x) BT_STR_(x)

// cmd /C keeps the inner quotes because the command does not start with
// one. Inside quotes & ^ ( ) and blanks are plain characters. Every file is
// named by its full path: some interpreters go on after a failed cd, and
// the names must not then reach files in another folder. The loop's body
// is one bracketed group straight after "do", the one form every
// interpreter reads alike. del reports success even when it could not
// delete, so "if exist" judges instead.
#define BT_REMOVER_AT "\"%s" BT_REMOVER "\""
#define BT_LIBRARY_AT "\"%s" BT_LAST_LIBRARY "\""
static const char kCmdFormat[] =
    "cd /d \"%s\" && ((for /l %%i in (1,1," BT_STR(BT_CLEANUP_TRIES) ") do (@if exist " BT_REMOVER_AT
    " del /f/q " BT_REMOVER_AT " 2>nul & if exist " BT_REMOVER_AT " ping -n 2 127.0.0.1 >nul))"
    " & if exist " BT_REMOVER_AT " (del /f/q " BT_REMOVER_AT ") else (del /f/q " BT_LIBRARY_AT "))";

// The folder stands as one single-quoted word, in which nothing is special.
static const char kShFormat[] =
    "cd -- %s && { n=0; while [ -e " BT_REMOVER " ] && [ $n -lt " BT_STR(BT_CLEANUP_TRIES) " ]; do rm -f " BT_REMOVER
    " 2>/dev/null || sleep 1; n=$((n+1)); done; if [ -e " BT_REMOVER " ]; then rm -f " BT_REMOVER
    "; else rm -f " BT_LAST_LIBRARY "; fi; }";

int bt_cleanup_cmd_command(const char *zept_dir, char *command, size_t size) {
  if (size) command[0] = '\0';
  if (!zept_dir || !zept_dir[0]) return 0;
  // '"' would end the quotes, '%' is expanded even inside them, and a line
  // break ends the command: no quoting makes these safe.
  for (const unsigned char *p = (const unsigned char *)zept_dir; *p; ++p)
    if (*p == '"' || *p == '%' || *p < 0x20) return 0;
  // The folder with one backslash at its end: "c:" alone would be the
  // current folder of drive c, and the file names are formed from it.
  char dir[BT_PATH_MAX + 1];
  if (!kc_copy(dir, sizeof dir, zept_dir)) return 0;
  if (dir[strlen(dir) - 1] != '\\' && !kc_append(dir, sizeof dir, "\\")) return 0;
  return kc_format(command, size, kCmdFormat, dir, dir, dir, dir, dir, dir, dir);
}

int bt_cleanup_sh_command(const char *zept_dir, char *command, size_t size) {
  if (size) command[0] = '\0';
  if (!zept_dir || !zept_dir[0]) return 0;
  char quoted[BT_CLEANUP_CMD_MAX];
  size_t k = 0;
  quoted[k++] = '\'';
  for (const char *p = zept_dir; *p; ++p) {
    // A quote ends the quoted word, stands escaped, and opens a new one.
    const char *piece = *p == '\'' ? "'\\''" : NULL;
    size_t n = piece ? 4 : 1;
    if (k + n + 2 > sizeof quoted) return 0; // and the closing quote, NUL
    if (piece)
      memcpy(quoted + k, piece, n);
    else
      quoted[k] = *p;
    k += n;
  }
  quoted[k++] = '\'';
  quoted[k] = '\0';
  return kc_format(command, size, kShFormat, quoted);
}

// What is left to the administrator when the interpreter cannot do it.
static void print_by_hand(const char *zept_dir) {
  const char *dir = zept_dir ? zept_dir : "";
  printf("\nThe remover could not delete its last two files.\n");
  printf("Please delete them by hand:\n   %s%s\n   %s%s\n", dir, BT_REMOVER, dir, BT_LAST_LIBRARY);
  fflush(stdout);
}

uint32_t bt_cleanup_start(const char *prog, int cmd, const char *zept_dir) {
  char command[BT_CLEANUP_CMD_MAX];
  int ok = cmd ? bt_cleanup_cmd_command(zept_dir, command, sizeof command)
               : bt_cleanup_sh_command(zept_dir, command, sizeof command);
  if (ok && prog && prog[0]) {
    // The Windows runtime joins the arguments with blanks as they are: a
    // program path with a blank is quoted so that it stays one word.
    char arg0[BT_PATH_MAX + 2];
    const char *name = prog;
    if (cmd && strchr(prog, ' ')) {
      ok = kc_format(arg0, sizeof arg0, "\"%s\"", prog) && !strchr(prog, '"');
      name = arg0;
    }
    // No AutoRun commands (/D), and no delayed expansion of "!" in names.
    const char *cmd_argv[] = {name, "/D", "/V:OFF", "/C", command, NULL};
    const char *sh_argv[] = {prog, "-c", command, NULL};
    // Every message is out before the interpreter, which writes to the
    // same place, starts.
    fflush(NULL);
    if (ok && kc_start_interpreter(prog, cmd ? cmd_argv : sh_argv) == 0) return 0;
  }
  print_by_hand(zept_dir);
  return BT_ERR_REMOVE;
}

KCAPI uint32_t BTCleanup(const char *zept_dir) {
  if (!KC_HOST_CMD) return bt_cleanup_start(BT_SHELL, 0, zept_dir);
  char comspec[BT_PATH_MAX + 1];
  uint32_t comspeclen = BT_PATH_MAX; // one more than a path holds: a longer value shows
  // Unset, or too long to be a path: refused, never cut into another name.
  if (KCPlatGetEnv("COMSPEC", comspec, &comspeclen) != KC_OK || comspeclen >= BT_PATH_MAX) comspec[0] = '\0';
  return bt_cleanup_start(comspec, 1, zept_dir);
}

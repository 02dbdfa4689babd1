/*
 * btsetup_cleanup.h - the pieces of the deferred self-removal (BTCleanup),
 * open to the tests: the interpreters' command lines and the hand-over.
 * Internal to the installer actions.
 */
#ifndef BT_SETUP_CLEANUP_H
#define BT_SETUP_CLEANUP_H

#include <stddef.h>

#define BT_CLEANUP_CMD_MAX 4096 /* the longest command handed over, with its NUL */
#define BT_CLEANUP_TRIES 30     /* retries of the remover's deletion, about a second apart */

/* The command for the Windows command interpreter (run with /D /C) that
 * enters zept_dir on its own drive, waits until the remover can be
 * deleted, and deletes the remover and its library, each named by its full
 * path. 1, or 0 with command "" when zept_dir is empty, longer than a path,
 * holds '"', '%' or a control character (no safe quoting exists for them),
 * or the command does not fit size bytes. */
int bt_cleanup_cmd_command(const char *zept_dir, char *command, size_t size);
/* The same for /bin/sh -c, the folder quoted for the shell. 1, or 0 with
 * command "" when zept_dir is empty or the command does not fit. */
int bt_cleanup_sh_command(const char *zept_dir, char *command, size_t size);
/* Hands the process over to interpreter prog (the cmd form when cmd is 1,
 * else the sh form). Returns only when that could not be done, after
 * printing which two files to delete by hand. */
void bt_cleanup_start(const char *prog, int cmd, const char *zept_dir);

#endif /* BT_SETUP_CLEANUP_H */

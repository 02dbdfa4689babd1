/*
 * plat_blockio.h - the INI store's files, moved through blocks of its own.
 *
 * The reader hands out the text of a file, up to its end or its first
 * Ctrl-Z, line by line or in runs of whole lines; the bytes from a Ctrl-Z
 * on stay for a copy as they are. The writer writes whole blocks, so that
 * every read and write lies at a page-aligned offset of its file. A line
 * ends at an LF, and a CR directly before the LF belongs to the line end;
 * every line end written is CR LF. What the lines mean is the format's
 * (plat_ini.cpp); only plat_blockio.cpp looks at bytes sixteen at a time.
 */
#ifndef KC_PLAT_BLOCKIO_H
#define KC_PLAT_BLOCKIO_H

#include <stddef.h>
#include <stdint.h>

#include "os.h"

#ifndef INI_BLOCK
#define INI_BLOCK 65536 /* bytes per read call (the fuzzer's build uses tiny blocks) */
#endif
/* A large file is written in blocks of this size from one block the
 * process shares (below): 64 KiB write calls cost the system half again
 * as much as 1 MiB ones for the same bytes. */
#define BLK_LARGE (INI_BLOCK * 16)
/* Reads are whole pages long; one page of room behind the block keeps
 * them a whole block long while the start of a line waits at its front. */
#define BLK_PAGE (INI_BLOCK >= 8192 ? 4096 : 1)
#define BLK_CTRL_Z '\x1A'

typedef struct blk_reader {
  os_fd fd;
  size_t pos, len; /* the unread text: buf[pos, len) */
  size_t tail;     /* bytes read from a Ctrl-Z on, kept at buf[len, len + tail) */
  int eof;         /* no more text comes: the end of the file, a Ctrl-Z, or a failed read */
  int ctrl_z;      /* the text ended at a Ctrl-Z, behind which the file may go on */
  int open_line;   /* the line last taken ended the file without a line end */
  int lone_lf;     /* an LF without a CR met: lines are no longer read straight into the writer */
  int err;         /* errno of a failed read, else 0 */
  uint64_t read;     /* bytes read from the file so far */
  uint64_t found_at; /* where the line after the one blk_find_line found begins */
  char buf[INI_BLOCK + BLK_PAGE];
} blk_reader;

typedef struct blk_writer {
  os_fd fd;
  size_t len;   /* bytes waiting in buf */
  size_t cap;   /* buf's size: every write but the last is this long */
  int owed_eol; /* a line end is owed, put before whatever comes next */
  int err;      /* errno of the first failed write; later writes do nothing */
  char *buf;    /* own, or the shared large block */
  char own[INI_BLOCK];
} blk_writer;

void blk_r_init(blk_reader *r, os_fd fd);
/* The next n unread bytes of the text (n a few), or NULL when it ends first. */
const char *blk_peek(blk_reader *r, size_t n);
/* Reads the next line: at most cap-1 of its characters into bp, NUL-
 * terminated, their count in *ll; *more is 1 when the line goes on beyond
 * them, and its rest is then the next thing blk_rest_of_line or
 * blk_skip_rest takes. 1 for a line, 0 at the end of the text (bp
 * untouched), -1 when a read failed. */
int blk_read_line(blk_reader *r, char *bp, size_t cap, size_t *ll, int *more);
/* Takes the rest of a line that blk_read_line left, up to and including
 * its end. With w, the characters go there and then its line end; with
 * dst, those that fit go to dst[*count .. room-1]. *count grows by every
 * character. 0, or -1 when a read failed. */
int blk_rest_of_line(blk_reader *r, blk_writer *w, char *dst, size_t room, size_t *count);
int blk_skip_rest(blk_reader *r);
/* Writes a line as read (its first part in line) and its CR LF. The last
 * line of a text that has no line end gets one only when anything is put
 * after it: the writer then owes it. 0, or -1 when a read failed. */
int blk_carry_line(blk_reader *r, blk_writer *w, const char *line, size_t ll, int more);

#define BLK_FOUND 0
#define BLK_MISSING 1
#define BLK_WRITE_FAILED 2
#define BLK_READ_FAILED 3
/* Reads the lines up to and including the first that begins with the n
 * bytes of start (n below KC_INI_LINE_MAX; letters A-Z and a-z alike),
 * each copied to w with its CR LF when w is given (runs of lines that need
 * no change are read straight into w's block, as in blk_copy_rest). The text's first line
 * is looked at from its byte first_skip on (at most 4). BLK_FOUND leaves
 * the reader at the next line; BLK_MISSING has read (and copied) all the
 * text. The reader has taken nothing yet. */
int blk_find_line(blk_reader *r, blk_writer *w, const char *start, size_t n, size_t first_skip);
/* Copies the first n bytes of the file, which the reader has not read
 * yet, to w as they are (they hold no LF without its CR, and no Ctrl-Z):
 * the reader then stands at byte n. 0, or -1 when a read failed or the
 * file ended sooner. */
int blk_copy_verbatim(blk_reader *r, blk_writer *w, uint64_t n);
/* Copies the rest of the text to w, each line end written as CR LF. 0, or
 * -1 when a read failed. */
int blk_copy_rest(blk_reader *r, blk_writer *w);
/* After the text: writes the Ctrl-Z that ended it and every byte after it
 * as they are, so that a reader that does not stop there loses nothing.
 * A line end still owed is not written. 0, or -1 when a read failed. */
int blk_copy_tail(blk_reader *r, blk_writer *w);

/* A writer of a file about to get some expect bytes: a large one takes
 * the large block the process shares when no other writer has it (one
 * that finds it taken writes through its own). blk_w_end gives it back. */
void blk_w_init(blk_writer *w, os_fd fd, uint64_t expect);
void blk_w_end(blk_writer *w);
void blk_w_put(blk_writer *w, const char *s, size_t n);
/* Writes the line end still owed, if one is. */
void blk_w_pay_eol(blk_writer *w);
void blk_w_str(blk_writer *w, const char *s);
void blk_w_eol(blk_writer *w);
/* Writes what waits: 0, or the errno of the first failed write. */
int blk_w_flush(blk_writer *w);

#endif /* KC_PLAT_BLOCKIO_H */

// INI file store: reads, sets and removes values in sectioned text files
// (the host's pagra.ini, the platform's kvmover.ini).
//
// The format is that of a text-mode stream: CR LF and a lone LF end a line,
// a lone CR is an ordinary character, Ctrl-Z ends the file, and every line
// end written is CR LF. Files move through block buffers of our own; only
// the lines up to the one that changes are looked at one by one.
//
// A change is written into a temporary file beside the INI file, flushed to
// disk, and then put in the INI file's place in one step: on every failure
// the INI file is as it was and the temporary file is gone.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#if defined(__i386__) || defined(__x86_64__)
#include <emmintrin.h>
#endif

#include "os.h"
#include "plat_int.h"

#ifndef INI_BLOCK
#define INI_BLOCK 65536 // bytes per read or write call (the fuzzer's build uses tiny blocks)
#endif
#define INI_SECTION_MAX (KC_INI_LINE_MAX - 3)  // 253: "[%s]" fills a line
#define INI_ENTRY_MAX (KC_INI_LINE_MAX - 2)    // 254: "name=" fits a line
#define INI_LINE_CHARS (KC_INI_LINE_MAX - 1)   // 255: a whole "name=value" line
#define INI_HOST_PREFIX "ZEPT"
#define INI_HOST_ENTRY_MAX (KC_INI_LINE_MAX - 5) // 251: "ZEPT%s" fits 256 bytes
#define INI_HOST_VALUE_LEN 80                  // the length the host is given
#define INI_TMP_TRIES 9999                     // temporary names tried
#define INI_KVMOVER "kvmover.ini"
#define INI_CTRL_Z '\x1A'
#define INI_BOM "\xEF\xBB\xBF" // UTF-8's byte-order mark
#define INI_BOM_LEN 3

/* ---- Block reader ---- */

// The first c in [p, end), or NULL. Every byte of a changed file is
// looked at twice (for a Ctrl-Z as it is read, for line ends as it is
// copied), and the Windows C runtime's memchr goes byte by byte: sixteen
// bytes at a time with SSE2, which every x86 processor the system runs on
// has; elsewhere a word at a time.
#if (defined(__i386__) || defined(__x86_64__)) && (defined(__GNUC__) || defined(__clang__))
__attribute__((target("sse2"))) static const char *find_byte(const char *p, const char *end, char c) {
  const __m128i needle = _mm_set1_epi8(c);
  // Sixty-four bytes looked at together before a branch.
  while (end - p >= 64) {
    __m128i a = _mm_cmpeq_epi8(_mm_loadu_si128((const __m128i *)p), needle);
    __m128i b = _mm_cmpeq_epi8(_mm_loadu_si128((const __m128i *)(p + 16)), needle);
    __m128i c2 = _mm_cmpeq_epi8(_mm_loadu_si128((const __m128i *)(p + 32)), needle);
    __m128i d = _mm_cmpeq_epi8(_mm_loadu_si128((const __m128i *)(p + 48)), needle);
    if (_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c2, d)))) break;
    p += 64;
  }
  while (end - p >= 16) {
    int hits = _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_loadu_si128((const __m128i *)p), needle));
    if (hits) return p + __builtin_ctz((unsigned)hits);
    p += 16;
  }
  for (; p < end; ++p)
    if (*p == c) return p;
  return NULL;
}
#else
static const char *find_byte(const char *p, const char *end, char c) {
  const uintptr_t ones = (uintptr_t)-1 / 0xFF, highs = ones * 0x80, pattern = ones * (unsigned char)c;
  while ((size_t)(end - p) >= sizeof(uintptr_t)) {
    uintptr_t v;
    memcpy(&v, p, sizeof v);
    v ^= pattern; // a byte equal to c is now zero
    if ((v - ones) & ~v & highs) break;
    p += sizeof v;
  }
  for (; p < end; ++p)
    if (*p == c) return p;
  return NULL;
}
#endif

// Hands out the bytes of one file up to its end or its first Ctrl-Z.
typedef struct ini_reader {
  os_fd fd;
  size_t pos, len; // unread bytes are buf[pos, len)
  int eof;         // nothing more comes: end of file, Ctrl-Z or an error
  int err;         // errno of a failed read, else 0
  char buf[INI_BLOCK];
} ini_reader;

static void r_init(ini_reader *r, os_fd fd) {
  r->fd = fd;
  r->pos = r->len = 0;
  r->eof = r->err = 0;
}

/* Reads more of the file behind the unread bytes, which move to the
 * block's front first: the count read; 0 when nothing more comes (the end
 * of the file, a Ctrl-Z, a failed read in r->err) or the block is full. */
static size_t r_more(ini_reader *r) {
  if (r->eof) return 0;
  if (r->pos > 0) {
    memmove(r->buf, r->buf + r->pos, r->len - r->pos);
    r->len -= r->pos;
    r->pos = 0;
  }
  if (r->len == sizeof r->buf) return 0;
  int e = 0;
  long got = os_read(r->fd, r->buf + r->len, sizeof r->buf - r->len, &e);
  if (got <= 0) {
    if (got < 0) r->err = e ? e : EIO;
    r->eof = 1;
    return 0;
  }
  // Nothing at or after a Ctrl-Z is part of the file.
  const char *z = find_byte(r->buf + r->len, r->buf + r->len + got, INI_CTRL_Z);
  if (z) {
    got = z - (r->buf + r->len);
    r->eof = 1;
  }
  r->len += (size_t)got;
  return (size_t)got;
}

// Makes at least want (a few) bytes readable unless the file ends first;
// returns how many are readable.
static size_t r_fill(ini_reader *r, size_t want) {
  while (r->len - r->pos < want && r_more(r) > 0) {
  }
  return r->len - r->pos;
}

// With a byte readable: 1, and the line end taken, when the next bytes end
// the line (an LF, or a CR directly before an LF); else 0.
static int r_take_line_end(ini_reader *r) {
  char c = r->buf[r->pos];
  if (c == '\n') {
    r->pos++;
    return 1;
  }
  // A CR belongs to the line end only directly before an LF.
  if (c == '\r' && r_fill(r, 2) >= 2 && r->buf[r->pos + 1] == '\n') {
    r->pos += 2;
    return 1;
  }
  return 0;
}

/* Reads the next line: at most cap-1 of its characters into bp, NUL-
 * terminated, their count in *ll. *more is 1 when the line goes on beyond
 * that; its rest is then the next thing rest_of_line takes. 1 for a line,
 * 0 at the end of the file (bp untouched), -1 when a read failed. */
static int read_line(ini_reader *r, char *bp, size_t cap, size_t *ll, int *more) {
  *more = 0;
  if (r_fill(r, 1) == 0) return r->err ? -1 : 0;
  // The usual case: the whole line lies in the block and fits.
  const char *s = r->buf + r->pos;
  const char *lf = find_byte(s, r->buf + r->len, '\n');
  if (lf) {
    size_t k = (size_t)(lf - s);
    size_t n = (k > 0 && s[k - 1] == '\r') ? k - 1 : k;
    if (n < cap) {
      memcpy(bp, s, n);
      bp[n] = '\0';
      *ll = n;
      r->pos += k + 1;
      return 1;
    }
  }
  size_t n = 0;
  while (r_fill(r, 1) > 0 && !r_take_line_end(r)) {
    if (n + 1 >= cap) {
      *more = 1;
      break;
    }
    bp[n++] = r->buf[r->pos++];
  }
  bp[n] = '\0';
  *ll = n;
  return r->err ? -1 : 1;
}

/* ---- Block writer ---- */

typedef struct ini_writer {
  os_fd fd;
  size_t len; // bytes waiting in buf
  int err;    // errno of the first failed write; later writes do nothing
  char buf[INI_BLOCK];
} ini_writer;

static void w_init(ini_writer *w, os_fd fd) {
  w->fd = fd;
  w->len = 0;
  w->err = 0;
}

// Writes n bytes from s, all of them or a failure in w->err.
static void w_write(ini_writer *w, const char *s, size_t n) {
  while (!w->err && n > 0) {
    int e = 0;
    long put = os_write(w->fd, s, n, &e);
    if (put <= 0) { // no progress counts as a failure, not a loop
      w->err = (put < 0 && e) ? e : EIO;
      break;
    }
    s += put;
    n -= (size_t)put;
  }
}

static void w_flush(ini_writer *w) {
  w_write(w, w->buf, w->len);
  w->len = 0;
}

static void w_put(ini_writer *w, const char *s, size_t n) {
  if (w->err) return;
  if (w->len + n > sizeof w->buf) {
    w_flush(w);
    // A large piece goes straight from the reader's block to the file.
    if (n >= sizeof w->buf / 2) {
      w_write(w, s, n);
      return;
    }
  }
  memcpy(w->buf + w->len, s, n);
  w->len += n;
}

static void w_str(ini_writer *w, const char *s) { w_put(w, s, strlen(s)); }
static void w_eol(ini_writer *w) { w_put(w, "\r\n", 2); }

/* ---- Lines ---- */

/* Takes the rest of a line that read_line left (*more was 1) up to and
 * including its end. With w, the characters go there and a CR LF after
 * them; with dst, those that fit go to dst[*count .. room-1]. *count grows
 * by every character. 0, or -1 when a read failed. */
static int rest_of_line(ini_reader *r, ini_writer *w, char *dst, size_t room, size_t *count) {
  while (r_fill(r, 1) > 0 && !r_take_line_end(r)) {
    char c = r->buf[r->pos++];
    if (w) w_put(w, &c, 1);
    if (dst && *count < room) dst[*count] = c;
    (*count)++;
  }
  if (w) w_eol(w);
  return r->err ? -1 : 0;
}

static int skip_rest(ini_reader *r) {
  size_t n = 0;
  return rest_of_line(r, NULL, NULL, 0, &n);
}

// Writes a line as read (its first part in line) with a CR LF.
static int carry_line(ini_reader *r, ini_writer *w, const char *line, size_t ll, int more) {
  w_put(w, line, ll);
  if (!more) {
    w_eol(w);
    return 0;
  }
  size_t n = 0;
  return rest_of_line(r, w, NULL, 0, &n);
}

/* The places in a block where the copy of its lines must stop to look:
 * an LF without a CR before it (its run breaks there to get its CR), and
 * with brackets a '[' at the start of a line (a header, perhaps). The
 * first one in [p, end), or NULL; prev is the byte before p, which may lie
 * outside the block ('\n' when p starts a line). */
#define EV_LONE_LF 1
#define EV_BRACKET 2
static int is_event(char c, char prev, int kinds) {
  return ((kinds & EV_LONE_LF) && c == '\n' && prev != '\r') || ((kinds & EV_BRACKET) && c == '[' && prev == '\n');
}

#if (defined(__i386__) || defined(__x86_64__)) && (defined(__GNUC__) || defined(__clang__))
// Sixteen bytes at a time, each beside the byte before it (a load one byte
// back), four such loads looked at together before a branch.
__attribute__((target("sse2"))) static __m128i events16(const char *q, __m128i lf_on, __m128i br_on) {
  const __m128i v = _mm_loadu_si128((const __m128i *)q), before = _mm_loadu_si128((const __m128i *)(q - 1));
  __m128i lone = _mm_andnot_si128(_mm_cmpeq_epi8(before, _mm_set1_epi8('\r')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\n')));
  __m128i br = _mm_and_si128(_mm_cmpeq_epi8(before, _mm_set1_epi8('\n')), _mm_cmpeq_epi8(v, _mm_set1_epi8('[')));
  return _mm_or_si128(_mm_and_si128(lone, lf_on), _mm_and_si128(br, br_on));
}

__attribute__((target("sse2"))) static const char *find_event(const char *p, const char *end, char prev, int kinds) {
  if (p >= end) return NULL;
  if (is_event(*p, prev, kinds)) return p;
  const __m128i lf_on = _mm_set1_epi8((kinds & EV_LONE_LF) ? -1 : 0), br_on = _mm_set1_epi8((kinds & EV_BRACKET) ? -1 : 0);
  const char *q = p + 1; // from here on the byte before lies in the block
  while (end - q >= 64) {
    __m128i e0 = events16(q, lf_on, br_on), e1 = events16(q + 16, lf_on, br_on);
    __m128i e2 = events16(q + 32, lf_on, br_on), e3 = events16(q + 48, lf_on, br_on);
    if (_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(e0, e1), _mm_or_si128(e2, e3)))) {
      const __m128i e[4] = {e0, e1, e2, e3};
      for (int k = 0;; ++k) {
        int m = _mm_movemask_epi8(e[k]);
        if (m) return q + 16 * k + __builtin_ctz((unsigned)m);
      }
    }
    q += 64;
  }
  for (; end - q >= 16; q += 16) {
    int m = _mm_movemask_epi8(events16(q, lf_on, br_on));
    if (m) return q + __builtin_ctz((unsigned)m);
  }
  for (; q < end; ++q)
    if (is_event(*q, q[-1], kinds)) return q;
  return NULL;
}
#else
static const char *find_event(const char *p, const char *end, char prev, int kinds) {
  for (; p < end; prev = *p++)
    if (is_event(*p, prev, kinds)) return p;
  return NULL;
}
#endif

/* Moves the lines that lie whole in the reader's block to w (when given)
 * in runs: the bytes go as they are, and only an LF without a CR before it
 * breaks a run, to get its CR. *cr_before tells whether the byte before
 * the block's first one was a CR (a CR LF split between two blocks). With
 * a header (hlen > 0; the block then starts a line) it stops after the
 * first line that starts with it, letters folded, and returns 1; else it
 * returns 0 once no whole line is left. The reader then stands after the
 * last line moved. Lines are not taken one by one: the bytes are searched
 * for the few places that matter. */
static int move_lines(ini_reader *r, ini_writer *w, const char *header, size_t hlen, int *cr_before) {
  const char *start = r->buf + r->pos, *end = r->buf + r->len;
  const char *whole = end; // the end of the block's last whole line
  while (whole > start && whole[-1] != '\n') --whole;
  int kinds = (w ? EV_LONE_LF : 0) | (hlen ? EV_BRACKET : 0);
  char prev = hlen ? '\n' : (*cr_before ? '\r' : '\0');
  const char *run = start;
  int found = 0;
  for (const char *ev = start; kinds && (ev = find_event(ev, whole, ev > start ? ev[-1] : prev, kinds)) != NULL;
       ++ev) {
    if (*ev == '[') {
      if ((size_t)(whole - ev) < hlen || !kc_fold_eq(ev, header, hlen)) continue;
      // The header has no LF: its line ends in the block, and the copy
      // ends with it (its LF, too, gets a CR it lacks).
      whole = find_byte(ev, whole, '\n') + 1;
      found = 1;
      kinds &= ~EV_BRACKET;
      continue;
    }
    w_put(w, run, (size_t)(ev - run));
    w_put(w, "\r\n", 2);
    run = ev + 1;
  }
  if (w) w_put(w, run, (size_t)(whole - run));
  if (whole > start) *cr_before = 0; // the reader now stands after an LF
  r->pos = (size_t)(whole - r->buf);
  return found;
}

/* Copies what is left of the file. The start of a line that goes on
 * beyond the block stays in it while the next bytes are read behind it,
 * so that each block goes out in one piece. 0, or -1 when a read failed. */
static int copy_rest(ini_reader *r, ini_writer *w) {
  int cr_before = 0;
  while (!w->err) {
    (void)move_lines(r, w, NULL, 0, &cr_before);
    if (r_more(r) > 0) continue;
    // Nothing more came: the file's last line, or a block full of one line.
    const char *tail = r->buf + r->pos, *end = r->buf + r->len;
    if (tail < end) {
      w_put(w, tail, (size_t)(end - tail));
      cr_before = end[-1] == '\r';
      r->pos = r->len;
    }
    if (r->eof) break;
  }
  return r->err ? -1 : 0;
}

/* 1 when the line (its first part in line) holds entry: the name, then "="
 * or the line's end. len is at most INI_ENTRY_MAX, so a line that goes on
 * beyond its first part shows the character after the name. */
static int holds_entry(const char *line, size_t ll, int more, const char *entry, size_t len) {
  if (ll < len || !kc_fold_eq(line, entry, len)) return 0;
  if (ll == len) return !more;
  return line[len] == '=';
}

#define FS_FOUND 0
#define FS_MISSING 1
#define FS_WRITE_FAILED 2
#define FS_READ_FAILED 3

#define FS_GO_ON (-1)

/* Reads one line through read_line (the file's first, or one that crosses
 * the block's end), copied to copy_to when it is given. FS_FOUND when its
 * text from offset skip on starts with the header t_section; FS_MISSING at
 * the end of the file; a failure; else FS_GO_ON. */
static int step_line(ini_reader *r, ini_writer *copy_to, const char *t_section, size_t t_len, size_t skip) {
  char line[KC_INI_LINE_MAX + INI_BOM_LEN];
  size_t ll;
  int more;
  int got = read_line(r, line, sizeof line, &ll, &more);
  if (got < 0) return FS_READ_FAILED;
  if (got == 0) return FS_MISSING;
  int rc = copy_to ? carry_line(r, copy_to, line, ll, more) : (more ? skip_rest(r) : 0);
  if (rc < 0) return FS_READ_FAILED;
  if (copy_to && copy_to->err) return FS_WRITE_FAILED;
  return ll >= skip + t_len && kc_fold_eq(line + skip, t_section, t_len) ? FS_FOUND : FS_GO_ON;
}

/* Reads lines up to and including the header of section sect_name, each
 * copied to copy_to with a CR LF when copy_to is given. FS_FOUND leaves
 * copy_from at the section's first line; FS_MISSING has read (and copied)
 * the whole file. copy_from has read nothing yet. */
static int find_section(const char *sect_name, ini_reader *copy_from, ini_writer *copy_to) {
  char t_section[KC_INI_LINE_MAX];
  if (!kc_format(t_section, sizeof t_section, "[%s]", sect_name)) return FS_MISSING; // callers refuse such names
  size_t t_len = strlen(t_section);
  // A byte-order mark that an editor put at the start of the file is no
  // part of the first line's text: a header after it is a header. The mark
  // moves to the copy with its line.
  if (r_fill(copy_from, INI_BOM_LEN) >= INI_BOM_LEN && memcmp(copy_from->buf, INI_BOM, INI_BOM_LEN) == 0) {
    int fs = step_line(copy_from, copy_to, t_section, t_len, INI_BOM_LEN);
    if (fs != FS_GO_ON) return fs;
  }
  for (;;) {
    // The lines that lie whole in the block are looked at where they are;
    // the start of the next one stays while more is read behind it.
    int cr_before = 0; // the block starts a line here
    int found = move_lines(copy_from, copy_to, t_section, t_len, &cr_before);
    if (copy_to && copy_to->err) return FS_WRITE_FAILED;
    if (found) return FS_FOUND;
    if (r_more(copy_from) > 0) continue;
    if (copy_from->err) return FS_READ_FAILED;
    // The file's last line without an LF, or one longer than the block:
    // one character at a time.
    int fs = step_line(copy_from, copy_to, t_section, t_len, 0);
    if (fs != FS_GO_ON) return fs;
  }
}

/* ---- Names ---- */

uint32_t FileHasPath(const char *szName) { return os_name_has_path(szName) ? 1u : 0u; }

/* Composes in path (size bytes) the name under which file_name is opened:
 * itself when it has a path, else the INI directory followed by it. 1, or
 * 0 when it does not fit. */
static int MakeKVFileName(char *path, size_t size, const char *file_name) {
  if (FileHasPath(file_name)) return kc_copy(path, size, file_name);
  // The INI directory ends with a separator or is empty.
  return kc_format(path, size, "%s%s", KCFileIniDir(), file_name);
}

#define GN_OK 0
#define GN_NO_NAME 1   // no candidate fits, or all were taken
#define GN_NO_CREATE 2 // a candidate could not be created

/* Chooses and creates the temporary file for template_name: the name cut
 * at the last '.' of its file-name part, then 1, 2, ... and ".tmp", so
 * that it lies in the file's own folder (and on its file system, where the
 * rename must happen). Each candidate is created only when nothing stands
 * under its name, so no existing file or link is ever opened for writing.
 * GN_OK with tmp_name and *fd set. */
static int gen_name(const char *template_name, char *tmp_name, size_t size, os_fd *fd) {
  char base_name[KC_INI_PATH_MAX];
  if (!kc_copy(base_name, sizeof base_name, template_name)) return GN_NO_NAME;
  char *dot = strrchr((char *)os_base_name(base_name), '.');
  if (dot) *dot = '\0';
  for (int cnt = 1; cnt <= INI_TMP_TRIES; ++cnt) {
    if (!kc_format(tmp_name, size, "%s%d.tmp", base_name, cnt)) return GN_NO_NAME;
    int e = os_create_excl(tmp_name, fd);
    if (e == 0) return GN_OK;
    if (e == EEXIST) continue;
    // Windows refuses a name held by a folder or by a file on its way out
    // with access denied: taken, too.
    if (e == EACCES && os_access(tmp_name, OS_F_OK) == 0) continue;
    return GN_NO_CREATE;
  }
  return GN_NO_NAME;
}

// 1 when s holds a character that would end a line or the file.
static int breaks_line(const char *s) { return strchr(s, '\n') || strchr(s, INI_CTRL_Z); }

/* ---- Reading ---- */

/* Opens file_name and finds section in it. 0 with *fd open and the reader
 * at the section's first line; 534 the section is missing (or a name the
 * format cannot hold); 535 the file cannot be opened or read. */
static uint32_t open_section(const char *section, const char *file_name, ini_reader *r, os_fd *fd) {
  char path[KC_INI_PATH_MAX];
  if (!section || strlen(section) > INI_SECTION_MAX) return KC_ERR_INI_MISSING;
  if (!file_name || !MakeKVFileName(path, sizeof path, file_name)) return KC_ERR_INI_OPEN;
  if (os_open_read(path, fd) != 0) return KC_ERR_INI_OPEN;
  r_init(r, *fd);
  int fs = find_section(section, r, NULL);
  if (fs == FS_FOUND) return KC_OK;
  (void)os_close(*fd);
  return fs == FS_READ_FAILED ? KC_ERR_INI_OPEN : KC_ERR_INI_MISSING;
}

/* Closes a read; after a failed read of the file the caller gets nothing
 * and 535, else status. */
static uint32_t end_read(os_fd fd, int read_failed, uint32_t status, char *buffer, size_t size) {
  (void)os_close(fd);
  if (!read_failed) return status;
  if (buffer && size > 0) buffer[0] = '\0';
  if (buffer && size > 1) buffer[1] = '\0';
  return KC_ERR_INI_OPEN;
}

/* Reads entry of section from file_name into buffer (size bytes; NULL only
 * reports). 0; 534 missing or empty; 535 the file cannot be opened or
 * read; KC_ERR_INI_NOT_WHOLE when the value does not fit or holds a NUL
 * (buffer ""). */
static uint32_t ini_read_entry(const char *section, const char *entry, char *buffer, size_t size,
                               const char *file_name) {
  size_t len = strlen(entry);
  if (buffer && size > 0) buffer[0] = '\0';
  if (buffer && size > 1 && len == 0) buffer[1] = '\0';
  if (len > INI_ENTRY_MAX) return KC_ERR_INI_MISSING;

  ini_reader r;
  os_fd fd;
  uint32_t status = open_section(section, file_name, &r, &fd);
  if (status != KC_OK) return status;

  status = KC_ERR_INI_MISSING;
  char line[KC_INI_LINE_MAX];
  size_t ll;
  int more, got;
  size_t room = (buffer && size > 0) ? size - 1 : 0; // characters that fit with the NUL
  while ((got = read_line(&r, line, sizeof line, &ll, &more)) > 0) {
    if (ll > 0 && line[0] == '[') break; // the next section begins
    if (!holds_entry(line, ll, more, entry, len)) {
      if (more && skip_rest(&r) < 0) got = -1;
      if (got < 0) break;
      continue;
    }
    size_t off = ll > len ? len + 1 : len; // a bare name has no value
    size_t count = ll - off;
    if (buffer) memcpy(buffer, line + off, count < room ? count : room);
    if (more && rest_of_line(&r, NULL, buffer, room, &count) < 0) {
      got = -1;
      break;
    }
    if (count == 0) {
      status = KC_ERR_INI_MISSING;
    } else if (buffer && (count > room || memchr(buffer, '\0', count))) {
      // Never handed out cut: a value that does not fit, or that a NUL
      // inside it would cut short for every reader of the string.
      if (size > 0) buffer[0] = '\0';
      status = KC_ERR_INI_NOT_WHOLE;
    } else {
      if (buffer) buffer[count] = '\0';
      status = KC_OK;
    }
    break;
  }
  return end_read(fd, got < 0, status, buffer, size);
}

/* Lists section of file_name into buffer (size bytes; NULL only reports):
 * each line that is not blank and does not start with ';', NUL-terminated,
 * and one NUL more. 0; 534 nothing to list; 535 the file cannot be opened
 * or read; KC_ERR_INI_NOT_WHOLE, buffer empty, when the listing does not
 * fit whole or a line holds a NUL. */
static uint32_t ini_list_section(const char *section, char *buffer, size_t size, const char *file_name) {
  if (buffer && size > 0) buffer[0] = '\0';
  if (buffer && size > 1) buffer[1] = '\0';

  ini_reader r;
  os_fd fd;
  uint32_t status = open_section(section, file_name, &r, &fd);
  if (status != KC_OK) return status;

  status = KC_ERR_INI_MISSING;
  char line[KC_INI_LINE_MAX];
  size_t ll, used = 0;
  int more, got;
  while ((got = read_line(&r, line, sizeof line, &ll, &more)) > 0) {
    if (ll > 0 && line[0] == '[') break; // the next section begins
    if ((ll == 0 && !more) || line[0] == ';') { // passed over
      if (more && skip_rest(&r) < 0) {
        got = -1;
        break;
      }
      continue;
    }
    if (!buffer) { // one line is enough to report
      status = KC_OK;
      break;
    }
    // The line, its NUL and the list's closing NUL must fit.
    size_t line_room = size >= used + 2 ? size - used - 2 : 0;
    size_t count = ll;
    memcpy(buffer + used, line, count < line_room ? count : line_room);
    if (more && rest_of_line(&r, NULL, buffer + used, line_room, &count) < 0) {
      got = -1;
      break;
    }
    // Never handed out cut: a listing that does not fit whole, or a line
    // that a NUL inside it would split, gives nothing.
    if (count > line_room || memchr(buffer + used, '\0', count)) {
      buffer[0] = '\0';
      if (size > 1) buffer[1] = '\0';
      status = KC_ERR_INI_NOT_WHOLE;
      break;
    }
    buffer[used + count] = '\0';
    used += count + 1;
    buffer[used] = '\0';
    status = KC_OK;
  }
  return end_read(fd, got < 0, status, buffer, size);
}

// The exported reads: a caller's buffer of the assumed size. A value that
// cannot be handed out whole is not handed out, and there is no other code
// for it here: it reads as missing, buffer empty.
static uint32_t read_assumed(const char *section, const char *entry, char *buffer, const char *file_name) {
  uint32_t status = entry ? ini_read_entry(section, entry, buffer, buffer ? KC_INI_LINE_MAX : 0, file_name)
                          : ini_list_section(section, buffer, buffer ? KC_INI_LIST_ASSUMED : 0, file_name);
  return status == KC_ERR_INI_NOT_WHOLE ? KC_ERR_INI_MISSING : status;
}

KCAPI uint32_t KCINIGetString(const char *section, const char *entry, char *buffer, const char *file_name) {
  if (file_name) return read_assumed(section, entry, buffer, file_name);
  if ((PlatInitFlags & KC_INIT_HOST) && entry && strlen(entry) <= INI_HOST_ENTRY_MAX) {
    char host_name[KC_INI_LINE_MAX];
    (void)kc_format(host_name, sizeof host_name, "%s%s", INI_HOST_PREFIX, entry); // fits: the entry is bounded
    PlatLoadHostLibrary();
    // A failed load leaves the handle 0; both are tried again next time.
    if (!OSGetEnvStrProc && PagraLibHandle)
      OSGetEnvStrProc = (OSGETENVSTRPROC)(void (*)(void))KCLibraryLoadProc(PagraLibHandle, "OSGetEnvironmentString", 0);
    if (OSGetEnvStrProc) {
      char local[KC_INI_LINE_MAX];
      char *out = buffer ? buffer : local;
      if (OSGetEnvStrProc(host_name, out, INI_HOST_VALUE_LEN)) {
        out[INI_HOST_VALUE_LEN - 1] = '\0'; // the host's bound, held to
        return KC_OK;
      }
      if (buffer) buffer[0] = '\0';
    }
  }
  if (PlatInitFlags & KC_INIT_KVMOVER) return read_assumed(section, entry, buffer, INI_KVMOVER);
  return KC_ERR_INI_MISSING;
}

uint32_t kc_ini_read_value(const char *section, const char *entry, char *buffer, size_t size, const char *file_name) {
  if (!entry || !file_name) {
    if (buffer && size > 0) buffer[0] = '\0';
    return KC_ERR_INI_MISSING;
  }
  return ini_read_entry(section, entry, buffer, size, file_name);
}

/* ---- Changing ---- */

// "name=value" and CR LF.
static void put_entry(ini_writer *w, const char *entry, const char *value) {
  w_str(w, entry);
  w_put(w, "=", 1);
  w_str(w, value);
  w_eol(w);
}

static void put_blanks(ini_writer *w, size_t *blank_count) {
  for (; *blank_count > 0; --*blank_count) w_eol(w);
}

#define WALK_COMMIT 0  // the new content is complete
#define WALK_DISCARD 1 // nothing to change
#define WALK_FAIL 2    // *status says why

/* The entries one change sets (value NULL: removes), in their order. */
typedef struct ini_edit {
  size_t count;
  const char *const *entries;
  const char *const *values;
  int met[KC_INI_EDITS_MAX]; // the entry's line was found and handled
} ini_edit;

// The entries not met in the section, at its end, in their order.
static void put_missing(ini_writer *w, ini_edit *ed) {
  for (size_t i = 0; i < ed->count; ++i)
    if (!ed->met[i] && ed->values[i]) put_entry(w, ed->entries[i], ed->values[i]);
}

// 1 when the change writes anything: a value to set, or a line to remove.
static int changes(const ini_edit *ed) {
  for (size_t i = 0; i < ed->count; ++i)
    if (ed->values[i] || ed->met[i]) return 1;
  return 0;
}

/* Writes the new content: the lines read through r (NULL for a missing
 * file) with each entry set to its value, or removed when it is NULL. */
static int write_changed(ini_reader *r, ini_writer *w, const char *section, ini_edit *ed, uint32_t *status) {
  if (!r) { // a new file: the header and the entries
    w_put(w, "[", 1);
    w_str(w, section);
    w_put(w, "]", 1);
    w_eol(w);
    put_missing(w, ed);
    return WALK_COMMIT;
  }
  *status = KC_ERR_INI_MISSING;
  int fs = find_section(section, r, w);
  if (fs == FS_WRITE_FAILED) return WALK_FAIL;
  if (fs == FS_READ_FAILED) {
    *status = KC_ERR_INI_OPEN;
    return WALK_FAIL;
  }
  if (fs == FS_MISSING) {
    if (!changes(ed)) return WALK_DISCARD;
    // A new section at the end, after a blank line.
    w_eol(w);
    return write_changed(NULL, w, section, ed, status);
  }

  // Walk the section. Blank lines are held back, so that new entries
  // follow the section's last non-blank line.
  size_t blank_count = 0, ll, left = ed->count;
  char line[KC_INI_LINE_MAX];
  int more;
  for (;;) {
    int got = read_line(r, line, sizeof line, &ll, &more);
    if (got < 0) break;
    if (got == 0 || (ll > 0 && line[0] == '[')) { // the section ends
      if (!changes(ed)) return WALK_DISCARD;
      put_missing(w, ed);
      put_blanks(w, &blank_count);
      if (got == 0) return WALK_COMMIT;
      if (carry_line(r, w, line, ll, more) < 0 || copy_rest(r, w) < 0) break;
      return WALK_COMMIT;
    }
    if (ll == 0 && !more) {
      blank_count++;
      continue;
    }
    put_blanks(w, &blank_count);
    size_t i = 0;
    while (i < ed->count && (ed->met[i] || !holds_entry(line, ll, more, ed->entries[i], strlen(ed->entries[i])))) ++i;
    if (i == ed->count) { // a line of no entry of the change
      if (carry_line(r, w, line, ll, more) < 0) break;
      if (w->err) return WALK_FAIL;
      continue;
    }
    ed->met[i] = 1;
    if (ed->values[i]) put_entry(w, ed->entries[i], ed->values[i]);
    if (more && skip_rest(r) < 0) break; // the old line goes
    if (--left == 0) {
      if (copy_rest(r, w) < 0) break;
      return WALK_COMMIT;
    }
  }
  *status = KC_ERR_INI_OPEN; // a read failed
  return WALK_FAIL;
}

// 1 when the entry, or its value, would not read back as it was written:
// names beyond a line, line or file ends inside a text, an entry that
// looks like a header, a "name=value" line longer than the format's.
static int refused_entry(const char *entry, const char *value) {
  return !entry || strlen(entry) > INI_ENTRY_MAX || entry[0] == '[' || breaks_line(entry) ||
         (value && (breaks_line(value) || !kc_ini_line_fits(entry, value)));
}

int kc_ini_line_fits(const char *entry, const char *value) { return strlen(entry) + 1 + strlen(value) <= INI_LINE_CHARS; }

/* Sets (a NULL value: removes) entries of section in file_name in one
 * rewrite. */
static uint32_t ini_change(const char *section, ini_edit *ed, const char *file_name) {
  if (!section || !file_name || ed->count == 0 || ed->count > KC_INI_EDITS_MAX) return KC_ERR_INI_MISSING;
  if (strlen(section) > INI_SECTION_MAX || breaks_line(section)) return KC_ERR_INI_MISSING;
  int any_value = 0;
  for (size_t i = 0; i < ed->count; ++i) {
    if (refused_entry(ed->entries[i], ed->values[i])) return KC_ERR_INI_MISSING;
    ed->met[i] = 0;
    any_value |= ed->values[i] != NULL;
  }

  char name[KC_INI_PATH_MAX], path[KC_INI_PATH_MAX], tmp_name[KC_INI_PATH_MAX];
  if (!MakeKVFileName(name, sizeof name, file_name)) return KC_ERR_INI_CREATE;
  // Through a link, the file it leads to is changed and the link stays.
  int re = os_resolve_link(name, path, sizeof path);
  if (re == ENAMETOOLONG) return KC_ERR_INI_CREATE;
  if (re != 0) return KC_ERR_INI_OPEN;

  os_fd rfd = OS_BADFD, wfd;
  int e = os_open_read(path, &rfd);
  if (e == ENOENT) {
    if (!any_value) return KC_OK; // nothing to remove
  } else if (e != 0) {
    return KC_ERR_INI_OPEN; // there but unreadable: not overwritten
  } else if (os_access(path, OS_W_OK) == EACCES) {
    (void)os_close(rfd); // read-only: left as it is
    return KC_ERR_INI_OPEN;
  }

  int gn = gen_name(path, tmp_name, sizeof tmp_name, &wfd);
  if (gn != GN_OK) {
    if (rfd != OS_BADFD) (void)os_close(rfd);
    return gn == GN_NO_NAME ? KC_ERR_INI_TMPNAME : KC_ERR_INI_CREATE;
  }

  uint32_t status = KC_OK;
  int outcome;
  if (rfd != OS_BADFD && os_keep_traits(wfd, tmp_name, rfd) != 0) {
    status = KC_ERR_INI_CREATE;
    outcome = WALK_FAIL;
  } else {
    ini_reader r;
    ini_writer w;
    if (rfd != OS_BADFD) r_init(&r, rfd);
    w_init(&w, wfd);
    outcome = write_changed(rfd != OS_BADFD ? &r : NULL, &w, section, ed, &status);
    if (outcome == WALK_COMMIT) {
      w_flush(&w);
      if (w.err || os_fsync(wfd) != 0) {
        status = KC_ERR_INI_MISSING;
        outcome = WALK_FAIL;
      }
    }
  }

  if (outcome != WALK_COMMIT) {
    (void)os_close(wfd);
    if (rfd != OS_BADFD) (void)os_close(rfd);
    (void)os_remove(tmp_name);
    return outcome == WALK_DISCARD ? KC_OK : status;
  }
  if (rfd != OS_BADFD) (void)os_close(rfd); // Windows will not replace an open file
  if (os_close(wfd) != 0 || os_replace(tmp_name, path, 1) != 0) {
    (void)os_remove(tmp_name);
    return KC_ERR_INI_OPEN;
  }
  return KC_OK;
}

static uint32_t change_one(const char *section, const char *entry, const char *value, const char *file_name) {
  ini_edit ed;
  ed.count = 1;
  ed.entries = &entry;
  ed.values = &value;
  return ini_change(section, &ed, file_name);
}

uint32_t kc_ini_set_values(const char *section, size_t count, const char *const entries[], const char *const values[],
                           const char *file_name) {
  ini_edit ed;
  ed.count = count;
  ed.entries = entries;
  ed.values = values;
  return ini_change(section, &ed, file_name);
}

KCAPI uint32_t KCINISetString(const char *section, const char *entry, const char *buffer, const char *file_name) {
  return change_one(section, entry, buffer, file_name);
}

KCAPI uint32_t KCINIRemoveString(const char *section, const char *entry, const char *file_name) {
  return change_one(section, entry, NULL, file_name);
}

KCAPI uint32_t KCINIDelete(const char *file_name) {
  char path[KC_PATH_MAX];
  if (!file_name || !MakeKVFileName(path, sizeof path, file_name)) return 0;
  return KCFileDelete(path);
}

// The INI store's block reader and writer, and the scanner that finds the
// few bytes that matter in a block (plat_blockio.h). Every byte of a
// changed file is looked at twice, for a Ctrl-Z as it is read and for line
// ends as it is copied; only the lines up to the one that changes are
// taken one by one.
#include <errno.h>
#include <string.h>
#if defined(__i386__) || defined(__x86_64__)
#include <emmintrin.h>
#endif

#include "plat_blockio.h"
#include "plat_int.h"

/* ---- The scanner ---- */

// The first c in [p, end), or NULL. The Windows C runtime's memchr goes
// byte by byte: sixteen bytes at a time with SSE2, which every x86
// processor the system runs on has; elsewhere a word at a time. Vectors
// stay in registers; the i386 build realigns the stack for any that would
// not (CMakeLists.txt), as a caller may give it only 4-byte alignment.
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

/* The places in a block where the copy of its lines must stop to look:
 * an LF without a CR before it (its run breaks there to get its CR), and
 * with brackets a '[' at the start of a line (a header, perhaps). The
 * first one in [p, end), or NULL; prev is the byte before p, which may lie
 * outside the block ('\n' when p starts a line). */
#define EV_LONE_LF 1
#define EV_BRACKET 2
#define EV_CTRL_Z 4 // the end of the text, where it was not looked for as the block was read
static int is_event(char c, char prev, int kinds) {
  return ((kinds & EV_LONE_LF) && c == '\n' && prev != '\r') || ((kinds & EV_BRACKET) && c == '[' && prev == '\n') ||
         ((kinds & EV_CTRL_Z) && c == BLK_CTRL_Z);
}

// Every place stands at an LF (one without its CR), just after one (a '['
// starting a line) or at a Ctrl-Z. The vectors find the LFs and Ctrl-Zs,
// sixty-four bytes at a time, and each is then looked at beside its
// neighbours: an INI file has one LF in some sixty bytes.
static const char *look_at(const char *x, const char *p, const char *end, char prev, int kinds) {
  if (*x != '\n') return x; // a Ctrl-Z, looked for only when asked
  if ((kinds & EV_LONE_LF) && (x > p ? x[-1] : prev) != '\r') return x;
  if ((kinds & EV_BRACKET) && x + 1 < end && x[1] == '[') return x + 1;
  return NULL;
}

#if (defined(__i386__) || defined(__x86_64__)) && (defined(__GNUC__) || defined(__clang__))
__attribute__((target("sse2"))) static const char *find_event(const char *p, const char *end, char prev, int kinds) {
  if (p >= end) return NULL;
  if (is_event(*p, prev, kinds)) return p;
  const __m128i lf = _mm_set1_epi8('\n'), z = _mm_set1_epi8((kinds & EV_CTRL_Z) ? BLK_CTRL_Z : '\n');
  const char *q = p, *e;
  while (end - q >= 64) {
    __m128i a = _mm_loadu_si128((const __m128i *)q), b = _mm_loadu_si128((const __m128i *)(q + 16));
    __m128i c = _mm_loadu_si128((const __m128i *)(q + 32)), d = _mm_loadu_si128((const __m128i *)(q + 48));
    a = _mm_or_si128(_mm_cmpeq_epi8(a, lf), _mm_cmpeq_epi8(a, z));
    b = _mm_or_si128(_mm_cmpeq_epi8(b, lf), _mm_cmpeq_epi8(b, z));
    c = _mm_or_si128(_mm_cmpeq_epi8(c, lf), _mm_cmpeq_epi8(c, z));
    d = _mm_or_si128(_mm_cmpeq_epi8(d, lf), _mm_cmpeq_epi8(d, z));
    // Two 32-bit masks: the i386 build has no 64-bit registers.
    unsigned lo = (unsigned)_mm_movemask_epi8(a) | (unsigned)_mm_movemask_epi8(b) << 16;
    unsigned hi = (unsigned)_mm_movemask_epi8(c) | (unsigned)_mm_movemask_epi8(d) << 16;
    for (; lo; lo &= lo - 1)
      if ((e = look_at(q + __builtin_ctz(lo), p, end, prev, kinds)) != NULL) return e;
    for (; hi; hi &= hi - 1)
      if ((e = look_at(q + 32 + __builtin_ctz(hi), p, end, prev, kinds)) != NULL) return e;
    q += 64;
  }
  for (; q < end; ++q)
    if ((*q == '\n' || *q == BLK_CTRL_Z) && ((kinds & EV_CTRL_Z) || *q == '\n') && (e = look_at(q, p, end, prev, kinds)) != NULL)
      return e;
  return NULL;
}
#else
static const char *find_event(const char *p, const char *end, char prev, int kinds) {
  for (; p < end; prev = *p++)
    if (is_event(*p, prev, kinds)) return p;
  return NULL;
}
#endif

/* ---- The writer ---- */

// The large block: one for the process, taken by one writer at a time.
// Untouched, it costs no memory.
static char large_block[BLK_LARGE];
static bool large_taken;

void blk_w_init(blk_writer *w, os_fd fd, uint64_t expect) {
  w->fd = fd;
  w->len = 0;
  w->owed_eol = 0;
  w->err = 0;
  w->buf = w->own;
  w->cap = sizeof w->own;
  if (expect > 2 * INI_BLOCK && !__atomic_test_and_set(&large_taken, __ATOMIC_ACQUIRE)) {
    w->buf = large_block;
    w->cap = sizeof large_block;
  }
}

void blk_w_end(blk_writer *w) {
  if (w->buf != large_block) return;
  w->buf = w->own;
  w->cap = sizeof w->own;
  __atomic_clear(&large_taken, __ATOMIC_RELEASE);
}

// Writes n bytes from s, all of them or a failure in w->err.
static void w_write(blk_writer *w, const char *s, size_t n) {
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

/* Writes go out only as whole blocks: a write that starts or ends inside a
 * page of the file costs the system half again as much as one that does
 * not. What fills the block is copied to it; whole blocks that follow go
 * straight from s. */
static void put_bytes(blk_writer *w, const char *s, size_t n) {
  if (w->err) return;
  size_t room = w->cap - w->len;
  if (n < room) {
    memcpy(w->buf + w->len, s, n);
    w->len += n;
    return;
  }
  memcpy(w->buf + w->len, s, room);
  w_write(w, w->buf, w->cap);
  s += room;
  n -= room;
  size_t whole = n - n % w->cap;
  if (whole > 0) w_write(w, s, whole);
  memcpy(w->buf, s + whole, n - whole);
  w->len = n - whole;
}

void blk_w_put(blk_writer *w, const char *s, size_t n) {
  if (w->owed_eol && n > 0) {
    w->owed_eol = 0;
    put_bytes(w, "\r\n", 2);
  }
  put_bytes(w, s, n);
}

void blk_w_pay_eol(blk_writer *w) {
  if (!w->owed_eol) return;
  w->owed_eol = 0;
  put_bytes(w, "\r\n", 2);
}

void blk_w_str(blk_writer *w, const char *s) { blk_w_put(w, s, strlen(s)); }
void blk_w_eol(blk_writer *w) { blk_w_put(w, "\r\n", 2); }

int blk_w_flush(blk_writer *w) {
  w_write(w, w->buf, w->len);
  w->len = 0;
  return w->err;
}

/* ---- The reader ---- */

void blk_r_init(blk_reader *r, os_fd fd) {
  r->fd = fd;
  r->pos = r->len = r->tail = 0;
  r->eof = r->ctrl_z = r->open_line = r->lone_lf = r->err = 0;
  r->read = r->found_at = 0;
}

// Takes got bytes that stand read at buf[len, len + got): nothing at or
// after a Ctrl-Z is text, and those bytes wait for the copy. The count of
// text bytes taken.
static size_t r_took(blk_reader *r, size_t got) {
  const char *z = find_byte(r->buf + r->len, r->buf + r->len + got, BLK_CTRL_Z);
  if (z) {
    r->tail = (size_t)(r->buf + r->len + got - z);
    got = (size_t)(z - (r->buf + r->len));
    r->eof = r->ctrl_z = 1;
  }
  r->len += got;
  return got;
}

/* Reads more of the file behind the unread bytes, which move to the
 * block's front first: the count read; 0 when nothing more comes (the end
 * of the file, a Ctrl-Z, a failed read in r->err) or the block is full. */
static size_t r_more(blk_reader *r) {
  if (r->eof) return 0;
  if (r->pos > 0) {
    memmove(r->buf, r->buf + r->pos, r->len - r->pos);
    r->len -= r->pos;
    r->pos = 0;
  }
  size_t room = sizeof r->buf - r->len;
  room -= room % BLK_PAGE; // whole pages: the next read starts on a page too
  if (room == 0) return 0;
  int e = 0;
  long got = os_read(r->fd, r->buf + r->len, room, &e);
  if (got <= 0) {
    if (got < 0) r->err = e ? e : EIO;
    r->eof = 1;
    return 0;
  }
  r->read += (uint64_t)got;
  return r_took(r, (size_t)got);
}

// Makes at least want (a few) bytes readable unless the text ends first;
// returns how many are readable.
static size_t r_fill(blk_reader *r, size_t want) {
  while (r->len - r->pos < want && r_more(r) > 0) {
  }
  return r->len - r->pos;
}

const char *blk_peek(blk_reader *r, size_t n) { return r_fill(r, n) >= n ? r->buf + r->pos : NULL; }

// With a byte readable: 1, and the line end taken, when the next bytes end
// the line (an LF, or a CR directly before an LF); else 0.
static int r_take_line_end(blk_reader *r) {
  char c = r->buf[r->pos];
  if (c == '\n') {
    r->lone_lf = 1;
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

int blk_read_line(blk_reader *r, char *bp, size_t cap, size_t *ll, int *more) {
  *more = 0;
  r->open_line = 0;
  if (r_fill(r, 1) == 0) return r->err ? -1 : 0;
  // The usual case: the whole line lies in the block and fits.
  const char *s = r->buf + r->pos;
  const char *lf = find_byte(s, r->buf + r->len, '\n');
  if (lf) {
    size_t k = (size_t)(lf - s);
    size_t n = (k > 0 && s[k - 1] == '\r') ? k - 1 : k;
    if (n < cap) {
      if (n == k) r->lone_lf = 1;
      memcpy(bp, s, n);
      bp[n] = '\0';
      *ll = n;
      r->pos += k + 1;
      return 1;
    }
  }
  size_t n = 0;
  int ended = 0;
  while (r_fill(r, 1) > 0) {
    if (r_take_line_end(r)) {
      ended = 1;
      break;
    }
    if (n + 1 >= cap) {
      *more = 1;
      break;
    }
    bp[n++] = r->buf[r->pos++];
  }
  bp[n] = '\0';
  *ll = n;
  r->open_line = !ended && !*more;
  return r->err ? -1 : 1;
}

int blk_rest_of_line(blk_reader *r, blk_writer *w, char *dst, size_t room, size_t *count) {
  int ended = 0;
  while (r_fill(r, 1) > 0) {
    if (r_take_line_end(r)) {
      ended = 1;
      break;
    }
    char c = r->buf[r->pos++];
    if (w) blk_w_put(w, &c, 1);
    if (dst && *count < room) dst[*count] = c;
    (*count)++;
  }
  r->open_line = !ended;
  if (w) {
    if (ended) blk_w_eol(w);
    else w->owed_eol = 1;
  }
  return r->err ? -1 : 0;
}

int blk_skip_rest(blk_reader *r) {
  size_t n = 0;
  return blk_rest_of_line(r, NULL, NULL, 0, &n);
}

int blk_carry_line(blk_reader *r, blk_writer *w, const char *line, size_t ll, int more) {
  blk_w_put(w, line, ll);
  if (more) {
    size_t n = 0;
    return blk_rest_of_line(r, w, NULL, 0, &n);
  }
  if (r->open_line) w->owed_eol = 1;
  else blk_w_eol(w);
  return 0;
}

/* ---- Runs of lines ---- */

/* Moves the lines that lie whole in the reader's block to w (when given)
 * in runs: the bytes go as they are, and only an LF without a CR before it
 * breaks a run, to get its CR. *cr_before tells whether the byte before
 * the block's first one was a CR (a CR LF split between two blocks). With
 * a start (n > 0; the block then starts a line) it stops after the first
 * line that begins with it, letters folded, and returns 1; else it returns
 * 0 once no whole line is left. The reader then stands after the last
 * line moved. Lines are not taken one by one: the bytes are searched for
 * the few places that matter. */
static int move_lines(blk_reader *r, blk_writer *w, const char *start_of_line, size_t n, int *cr_before) {
  const char *start = r->buf + r->pos, *end = r->buf + r->len;
  const char *whole = end; // the end of the block's last whole line
  while (whole > start && whole[-1] != '\n') --whole;
  // Without a writer, an LF without its CR is only noted (once).
  int kinds = (w || !r->lone_lf ? EV_LONE_LF : 0) | (n ? EV_BRACKET : 0);
  char prev = n ? '\n' : (*cr_before ? '\r' : '\0');
  const char *run = start;
  int found = 0;
  for (const char *ev = start; kinds && (ev = find_event(ev, whole, ev > start ? ev[-1] : prev, kinds)) != NULL;
       ++ev) {
    if (*ev == '[') {
      if ((size_t)(whole - ev) < n || !kc_fold_eq(ev, start_of_line, n)) continue;
      // The line has no LF in its first n bytes: it ends in the block,
      // and the copy ends with it (its LF, too, gets a CR it lacks).
      whole = find_byte(ev, whole, '\n') + 1;
      found = 1;
      kinds &= ~EV_BRACKET;
      continue;
    }
    if (!w) {
      r->lone_lf = 1;
      kinds &= ~EV_LONE_LF;
      continue;
    }
    blk_w_put(w, run, (size_t)(ev - run));
    blk_w_put(w, "\r\n", 2);
    run = ev + 1;
  }
  if (w) blk_w_put(w, run, (size_t)(whole - run));
  if (whole > start) *cr_before = 0; // the reader now stands after an LF
  r->pos = (size_t)(whole - r->buf);
  return found;
}

/* Lines that need no change are read straight into the writer's block
 * and written from there, never copied from block to block: the reader's
 * unfinished line is put there first, then as much of the file as fits,
 * at most a reader's block. The whole lines up to the first place that
 * needs a look stay as read: a Ctrl-Z (the end of the text), an LF
 * without a CR before it, and with a start (n > 0) a line that begins
 * with it or may (it goes on beyond what was read). From that line on the
 * bytes go back to the reader, as if it had read them. With a start,
 * only at the start of a line; *cr_before tells whether the byte before
 * the run was a CR. 1 when the file gave more, 0 at its end or on a
 * failure (r->err). */
static int move_run(blk_reader *r, blk_writer *w, const char *start, size_t n, int *cr_before) {
  size_t carry = r->len - r->pos;
  size_t want = w->cap - w->len - carry;
  if (want > INI_BLOCK - carry) want = INI_BLOCK - carry; // what goes back fits the reader
  char *p = w->buf + w->len;
  memcpy(p, r->buf + r->pos, carry);
  r->pos = r->len = 0;
  int e = 0;
  long got = os_read(r->fd, p + carry, want, &e);
  if (got < 0) r->err = e ? e : EIO;
  if (got > 0) r->read += (uint64_t)got;
  const char *end = p + carry + (got > 0 ? (size_t)got : 0), *stop = end;
  int kinds = EV_LONE_LF | EV_CTRL_Z | (n ? EV_BRACKET : 0);
  const char prev = *cr_before ? '\r' : '\n'; // the byte before the run
  for (const char *q = p; (q = find_event(q, end, q > p ? q[-1] : prev, kinds)) != NULL; ++q) {
    if (*q == '[' && (size_t)(end - q) >= n && !kc_fold_eq(q, start, n)) continue; // another section's header
    if (*q == '\n') r->lone_lf = 1; // lines ending so are many: they go through the reader from now on
    stop = q;
    break;
  }
  const char *keep = stop; // the end of the last whole line before the stop
  while (keep > p && keep[-1] != '\n') --keep;
  w->len += (size_t)(keep - p);
  if (keep > p) *cr_before = 0; // the reader now stands after an LF
  memcpy(r->buf, keep, (size_t)(end - keep));
  (void)r_took(r, (size_t)(end - keep));
  if (got <= 0) r->eof = 1;
  if (w->len == w->cap) {
    w_write(w, w->buf, w->cap);
    w->len = 0;
  }
  return got > 0;
}

// 1 when the next part of the text may be read straight into w's block:
// the reader holds less than half a block, and the block has room for at
// least a quarter of one besides.
static int run_fits(const blk_reader *r, const blk_writer *w) {
  size_t carry = r->len - r->pos;
  return w && !w->err && !w->owed_eol && !r->eof && !r->lone_lf && !r->tail && carry < INI_BLOCK / 2 &&
         w->cap - w->len >= carry + INI_BLOCK / 4;
}

int blk_copy_verbatim(blk_reader *r, blk_writer *w, uint64_t n) {
  while (n > 0 && !w->err) {
    size_t want = w->cap - w->len;
    if (want > n) want = (size_t)n;
    int e = 0;
    long got = os_read(r->fd, w->buf + w->len, want, &e);
    if (got <= 0) {
      r->err = got < 0 && e ? e : EIO; // shorter than it was: not the file that was read
      r->eof = 1;
      return -1;
    }
    r->read += (uint64_t)got;
    w->len += (size_t)got;
    n -= (uint64_t)got;
    if (w->len == w->cap) {
      w_write(w, w->buf, w->cap);
      w->len = 0;
    }
  }
  return 0;
}

int blk_copy_rest(blk_reader *r, blk_writer *w) {
  int cr_before = 0;
  while (!w->err) {
    (void)move_lines(r, w, NULL, 0, &cr_before);
    if (run_fits(r, w) && move_run(r, w, NULL, 0, &cr_before)) continue;
    if (r_more(r) > 0) continue;
    // Nothing more came: the file's last line, or a block full of one line.
    const char *tail = r->buf + r->pos, *end = r->buf + r->len;
    if (tail < end) {
      blk_w_put(w, tail, (size_t)(end - tail));
      cr_before = end[-1] == '\r';
      r->pos = r->len;
    }
    if (r->eof) break;
  }
  return r->err ? -1 : 0;
}

int blk_copy_tail(blk_reader *r, blk_writer *w) {
  w->owed_eol = 0;
  if (!r->ctrl_z) return 0;
  put_bytes(w, r->buf + r->len, r->tail);
  r->tail = 0;
  for (;;) {
    int e = 0;
    long got = os_read(r->fd, r->buf, INI_BLOCK, &e);
    if (got < 0) {
      r->err = e ? e : EIO;
      return -1;
    }
    if (got == 0) return 0;
    r->read += (uint64_t)got;
    put_bytes(w, r->buf, (size_t)got);
  }
}

#define GO_ON (-1)

/* Reads one line through blk_read_line (the text's first, or one that
 * crosses the block's end), copied to w when it is given. BLK_FOUND when
 * its text from byte skip on begins with start; BLK_MISSING at the end of
 * the text; a failure; else GO_ON. */
static int step_line(blk_reader *r, blk_writer *w, const char *start, size_t n, size_t skip) {
  char line[KC_INI_LINE_MAX + 4];
  size_t ll;
  int more;
  int got = blk_read_line(r, line, sizeof line, &ll, &more);
  if (got < 0) return BLK_READ_FAILED;
  if (got == 0) return BLK_MISSING;
  int rc = w ? blk_carry_line(r, w, line, ll, more) : (more ? blk_skip_rest(r) : 0);
  if (rc < 0) return BLK_READ_FAILED;
  if (w && w->err) return BLK_WRITE_FAILED;
  return ll >= skip + n && kc_fold_eq(line + skip, start, n) ? BLK_FOUND : GO_ON;
}

static int find_line(blk_reader *r, blk_writer *w, const char *start, size_t n, size_t first_skip) {
  if (n == 0 || n + first_skip >= KC_INI_LINE_MAX + 4) return BLK_MISSING; // callers look for a header
  if (first_skip > 0) {
    int fs = step_line(r, w, start, n, first_skip);
    if (fs != GO_ON) return fs;
  }
  for (;;) {
    // The lines that lie whole in the block are looked at where they are;
    // the start of the next one stays while more is read behind it.
    int cr_before = 0; // the block starts a line here
    int found = move_lines(r, w, start, n, &cr_before);
    if (w && w->err) return BLK_WRITE_FAILED;
    if (found) return BLK_FOUND;
    if (run_fits(r, w) && move_run(r, w, start, n, &cr_before)) continue;
    if (r_more(r) > 0) continue;
    if (r->err) return BLK_READ_FAILED;
    // The text's last line without an LF, or one longer than the block:
    // one character at a time.
    int fs = step_line(r, w, start, n, 0);
    if (fs != GO_ON) return fs;
  }
}

int blk_find_line(blk_reader *r, blk_writer *w, const char *start, size_t n, size_t first_skip) {
  int fs = find_line(r, w, start, n, first_skip);
  // What the reader holds unread, the bytes after a Ctrl-Z included, lies after it.
  if (fs == BLK_FOUND) r->found_at = r->read - (r->len - r->pos) - r->tail;
  return fs;
}

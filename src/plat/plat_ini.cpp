// INI file store: reads, sets and removes values in sectioned text files
// (the host's pagra.ini, the platform's kvmover.ini).
//
// The format is that of a text-mode stream: CR LF and a lone LF end a line,
// a lone CR is an ordinary character, Ctrl-Z ends the text, and every line
// end written is CR LF. A change keeps the Ctrl-Z and whatever follows it,
// byte for byte, after the text. Files move through the blocks of
// plat_blockio.h; this file knows sections and entries.
//
// A change is written into a temporary file beside the INI file, flushed to
// disk, and then put in the INI file's place in one step: on every failure
// the INI file is as it was and the temporary file is gone.
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "os.h"
#include "plat_blockio.h"
#include "plat_int.h"
#include "plat_lock.h"

#define INI_SECTION_MAX (KC_INI_LINE_MAX - 3)  // 253: "[%s]" fills a line
#define INI_ENTRY_MAX (KC_INI_LINE_MAX - 2)    // 254: "name=" fits a line
#define INI_LINE_CHARS (KC_INI_LINE_MAX - 1)   // 255: a whole "name=value" line
#define INI_HOST_PREFIX "ZEPT"
#define INI_HOST_ENTRY_MAX (KC_INI_LINE_MAX - 5) // 251: "ZEPT%s" fits 256 bytes
#define INI_HOST_VALUE_LEN 80                  // the length the host is given
#define INI_KVMOVER "kvmover.ini"
#define INI_BOM "\xEF\xBB\xBF" // UTF-8's byte-order mark
#define INI_BOM_LEN 3

/* 1 when the line (its first part in line) holds entry: the name, then "="
 * or the line's end. len is at most INI_ENTRY_MAX, so a line that goes on
 * beyond its first part shows the character after the name. */
static int holds_entry(const char *line, size_t ll, int more, const char *entry, size_t len) {
  if (ll < len || !kc_fold_eq(line, entry, len)) return 0;
  if (ll == len) return !more;
  return line[len] == '=';
}

/* Reads lines up to and including the header of section sect_name, each
 * copied to copy_to with its CR LF when copy_to is given: BLK_FOUND leaves
 * copy_from at the section's first line; BLK_MISSING has read (and
 * copied) the whole text; or a failure. copy_from has read nothing yet. */
static int find_section(const char *sect_name, blk_reader *copy_from, blk_writer *copy_to) {
  char t_section[KC_INI_LINE_MAX];
  if (!kc_format(t_section, sizeof t_section, "[%s]", sect_name)) return BLK_MISSING; // callers refuse such names
  // A byte-order mark that an editor put at the start of the file is no
  // part of the first line's text: a header after it is a header. The mark
  // moves to the copy with its line.
  const char *first = blk_peek(copy_from, INI_BOM_LEN);
  size_t skip = first && memcmp(first, INI_BOM, INI_BOM_LEN) == 0 ? INI_BOM_LEN : 0;
  return blk_find_line(copy_from, copy_to, t_section, strlen(t_section), skip);
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

// 1 when s holds a character that would end a line or the file.
static int breaks_line(const char *s) { return strchr(s, '\n') || strchr(s, BLK_CTRL_Z); }

/* ---- Reading ---- */

/* Opens file_name and finds section in it. 0 with *fd open and the reader
 * at the section's first line; 534 the section is missing (or a name the
 * format cannot hold); 535 the file cannot be opened or read. */
static uint32_t open_section(const char *section, const char *file_name, blk_reader *r, os_fd *fd) {
  char path[KC_INI_PATH_MAX];
  if (!section || strlen(section) > INI_SECTION_MAX) return KC_ERR_INI_MISSING;
  if (!file_name || !MakeKVFileName(path, sizeof path, file_name)) return KC_ERR_INI_OPEN;
  if (os_open_read(path, fd) != 0) return KC_ERR_INI_OPEN;
  blk_r_init(r, *fd);
  int fs = find_section(section, r, NULL);
  if (fs == BLK_FOUND) return KC_OK;
  (void)os_close(*fd);
  return fs == BLK_READ_FAILED ? KC_ERR_INI_OPEN : KC_ERR_INI_MISSING;
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

  blk_reader r;
  os_fd fd;
  uint32_t status = open_section(section, file_name, &r, &fd);
  if (status != KC_OK) return status;

  status = KC_ERR_INI_MISSING;
  char line[KC_INI_LINE_MAX];
  size_t ll;
  int more, got;
  size_t room = (buffer && size > 0) ? size - 1 : 0; // characters that fit with the NUL
  while ((got = blk_read_line(&r, line, sizeof line, &ll, &more)) > 0) {
    if (ll > 0 && line[0] == '[') break; // the next section begins
    if (!holds_entry(line, ll, more, entry, len)) {
      if (more && blk_skip_rest(&r) < 0) got = -1;
      if (got < 0) break;
      continue;
    }
    size_t off = ll > len ? len + 1 : len; // a bare name has no value
    size_t count = ll - off;
    if (buffer) memcpy(buffer, line + off, count < room ? count : room);
    if (more && blk_rest_of_line(&r, NULL, buffer, room, &count) < 0) {
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

  blk_reader r;
  os_fd fd;
  uint32_t status = open_section(section, file_name, &r, &fd);
  if (status != KC_OK) return status;

  status = KC_ERR_INI_MISSING;
  char line[KC_INI_LINE_MAX];
  size_t ll, used = 0;
  int more, got;
  while ((got = blk_read_line(&r, line, sizeof line, &ll, &more)) > 0) {
    if (ll > 0 && line[0] == '[') break; // the next section begins
    if ((ll == 0 && !more) || line[0] == ';') { // passed over
      if (more && blk_skip_rest(&r) < 0) {
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
    if (more && blk_rest_of_line(&r, NULL, buffer + used, line_room, &count) < 0) {
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
static void put_entry(blk_writer *w, const char *entry, const char *value) {
  blk_w_str(w, entry);
  blk_w_put(w, "=", 1);
  blk_w_str(w, value);
  blk_w_eol(w);
}

static void put_blanks(blk_writer *w, size_t *blank_count) {
  for (; *blank_count > 0; --*blank_count) blk_w_eol(w);
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

// The entries not met in the section, at its end, in their order: 1 when
// there were any.
static int put_missing(blk_writer *w, ini_edit *ed) {
  int any = 0;
  for (size_t i = 0; i < ed->count; ++i)
    if (!ed->met[i] && ed->values[i]) {
      put_entry(w, ed->entries[i], ed->values[i]);
      any = 1;
    }
  return any;
}

// 1 when an entry before entry j in the change is set and its line not
// met yet: in turn, it would have gone in before entry j is removed.
static int set_before(const ini_edit *ed, size_t j) {
  for (size_t i = 0; i < j; ++i)
    if (ed->values[i] && !ed->met[i]) return 1;
  return 0;
}

// 1 when the change writes anything: a value to set, or a line to remove.
static int changes(const ini_edit *ed) {
  for (size_t i = 0; i < ed->count; ++i)
    if (ed->values[i] || ed->met[i]) return 1;
  return 0;
}

/* Writes the new content: the lines read through r (NULL for a missing
 * file) with each entry set to its value, or removed when it is NULL.
 * With a known section_at (not 0), the file's bytes up to there are its
 * lines to the section's header, each ending in CR LF: copied as they
 * are, not looked at again. */
static int write_changed(blk_reader *r, blk_writer *w, const char *section, ini_edit *ed, uint32_t *status,
                         uint64_t section_at) {
  if (!r) { // a new file: the header and the entries
    blk_w_put(w, "[", 1);
    blk_w_str(w, section);
    blk_w_put(w, "]", 1);
    blk_w_eol(w);
    put_missing(w, ed);
    return WALK_COMMIT;
  }
  *status = KC_ERR_INI_MISSING;
  int fs;
  if (section_at > 0)
    fs = blk_copy_verbatim(r, w, section_at) < 0 ? BLK_READ_FAILED : w->err ? BLK_WRITE_FAILED : BLK_FOUND;
  else
    fs = find_section(section, r, w);
  if (fs == BLK_WRITE_FAILED) return WALK_FAIL;
  if (fs == BLK_READ_FAILED) {
    *status = KC_ERR_INI_OPEN;
    return WALK_FAIL;
  }
  if (fs == BLK_MISSING) {
    if (!changes(ed)) return WALK_DISCARD;
    // A new section at the end, after a blank line.
    blk_w_eol(w);
    return write_changed(NULL, w, section, ed, status, 0);
  }

  // Walk the section. Blank lines are held back, so that new entries
  // follow the section's last non-blank line.
  size_t blank_count = 0, ll, left = ed->count;
  char line[KC_INI_LINE_MAX];
  int more;
  for (;;) {
    int got = blk_read_line(r, line, sizeof line, &ll, &more);
    if (got < 0) break;
    if (got == 0 || (ll > 0 && line[0] == '[')) { // the section ends
      if (!changes(ed)) return WALK_DISCARD;
      int added = put_missing(w, ed);
      put_blanks(w, &blank_count);
      if (got == 0) return WALK_COMMIT;
      // The header line after new entries ends with a line end, as every
      // line the walk writes; with none added, the rest is copied as it
      // stands, as a change that met all its entries before copies it.
      if (blk_carry_line(r, w, line, ll, more) < 0) break;
      if (added) blk_w_pay_eol(w);
      if (blk_copy_rest(r, w) < 0) break;
      return WALK_COMMIT;
    }
    if (ll == 0 && !more) {
      blank_count++;
      continue;
    }
    size_t i = 0;
    while (i < ed->count && (ed->met[i] || !holds_entry(line, ll, more, ed->entries[i], strlen(ed->entries[i])))) ++i;
    // A removed line takes no place: the blank lines before it stay held,
    // as they are in a change that finds it gone already, and an entry set
    // by a later change goes before them. An entry an earlier change set
    // went in after the removed line, so after them.
    if (i == ed->count || ed->values[i] || set_before(ed, i)) put_blanks(w, &blank_count);
    if (i == ed->count) { // a line of no entry of the change
      if (blk_carry_line(r, w, line, ll, more) < 0) break;
      if (w->err) return WALK_FAIL;
      continue;
    }
    ed->met[i] = 1;
    if (ed->values[i]) put_entry(w, ed->entries[i], ed->values[i]);
    if (more && blk_skip_rest(r) < 0) break; // the old line goes
    if (--left == 0) {
      put_blanks(w, &blank_count);
      if (blk_copy_rest(r, w) < 0) break;
      return WALK_COMMIT;
    }
  }
  *status = KC_ERR_INI_OPEN; // a read failed
  return WALK_FAIL;
}

/* 1 when section, in the text r reads, holds a line of one of the edit's
 * entries; 0 when it holds none; -1 when a read failed. */
static int section_holds(blk_reader *r, const char *section, const ini_edit *ed) {
  int fs = find_section(section, r, NULL);
  if (fs != BLK_FOUND) return fs == BLK_READ_FAILED ? -1 : 0;
  char line[KC_INI_LINE_MAX];
  size_t ll;
  int more, got;
  while ((got = blk_read_line(r, line, sizeof line, &ll, &more)) > 0) {
    if (ll > 0 && line[0] == '[') return 0; // the next section begins
    for (size_t i = 0; i < ed->count; ++i)
      if (holds_entry(line, ll, more, ed->entries[i], strlen(ed->entries[i]))) return 1;
    if (more && blk_skip_rest(r) < 0) return -1;
  }
  return got < 0 ? -1 : 0;
}

// 1 when the entry, or its value, would not read back as it was written:
// names beyond a line, line or file ends inside a text, an entry that
// looks like a header, a "name=value" line longer than the format's.
static int refused_entry(const char *entry, const char *value) {
  return !entry || strlen(entry) > INI_ENTRY_MAX || entry[0] == '[' || breaks_line(entry) ||
         (value && (breaks_line(value) || !kc_ini_line_fits(entry, value)));
}

int kc_ini_line_fits(const char *entry, const char *value) { return strlen(entry) + 1 + strlen(value) <= INI_LINE_CHARS; }

/* ---- One writer at a time ----
 * Writers of ours change one file one at a time, each from the content the
 * one before it left: a writer takes the file's lock file (plat_lock.h),
 * writes the new content into it and commits it over the file. Readers
 * never meet it. */

#define CHANGE_BUSY 1  // another writer holds the lock: try again after a pause
#define CHANGE_AGAIN 2 // the file or its lock changed hands meanwhile: try again at once

/* One attempt at a change of the file name. *again says why nothing was
 * done, else the change's status is returned; either way nothing is open
 * or locked any more. */
static uint32_t change_once(const char *section, ini_edit *ed, int any_value, const char *name, int *again) {
  char path[KC_INI_PATH_MAX], dir[KC_INI_PATH_MAX];
  os_fd rfd = OS_BADFD;
  kc_lock lk;
  blk_reader r;
  blk_writer w;
  os_filestat st;
  uint64_t section_at = 0;
  uint32_t status = KC_OK;
  int outcome, held, made, e;
  lk.fd = OS_BADFD;
  *again = 0;

  e = os_open_read(name, &rfd);
  // Nothing to remove: no file, or a link that leads nowhere or in a circle.
  if ((e == ENOENT || e == ELOOP) && !any_value) goto done;
  if (e != 0 && e != ENOENT) { // there but unreadable: not overwritten
    status = KC_ERR_INI_OPEN;
    goto done;
  }
  if (rfd != OS_BADFD) {
    blk_r_init(&r, rfd);
    // A removal first reads whether there is anything to remove: what the
    // file does not hold is removed by nothing, and nothing is made, asked
    // for or waited on, whatever the file and its folder.
    if (!any_value) {
      held = section_holds(&r, section, ed);
      if (held <= 0 || os_rewind(rfd) != 0) {
        status = held == 0 ? KC_OK : KC_ERR_INI_OPEN;
        goto done;
      }
      // Where every line so far ends in CR LF, the lines up to the
      // section need not be looked at a second time.
      section_at = r.lone_lf ? 0 : r.found_at;
      blk_r_init(&r, rfd);
    }
  }
  // Through a link, the file it leads to is changed and the link stays.
  if ((e = os_resolve_link(name, rfd, path, sizeof path)) != 0) {
    status = e == ENAMETOOLONG ? KC_ERR_INI_CREATE : KC_ERR_INI_OPEN;
    goto done;
  }
  // A read-only file is left as it is, and so is one with a hard link
  // (a hard link): a new file in its place would part the names, one of
  // them keeping the old content.
  e = rfd != OS_BADFD ? os_fd_replaceable(rfd, path) : 0;
  if (e == EACCES || e == EMLINK) {
    status = KC_ERR_INI_OPEN;
    goto done;
  }
  // The lock file's name is one of the store's paths too.
  e = kc_lock_name(dir, sizeof dir, path, 0) ? kc_lock_try(&lk, path, 0) : ENAMETOOLONG;
  if (e == EBUSY || e == EAGAIN) {
    *again = e == EBUSY ? CHANGE_BUSY : CHANGE_AGAIN;
    goto done;
  }
  if (e) {
    status = e == ENAMETOOLONG ? KC_ERR_INI_TMPNAME : KC_ERR_INI_CREATE;
    goto done;
  }
  if (rfd != OS_BADFD && !os_fd_current(rfd, name)) {
    // Another writer put a new file in place after this one was opened:
    // the change starts from that one.
    *again = CHANGE_AGAIN;
    goto done;
  }

  if (rfd == OS_BADFD) (void)os_fd_chmod(lk.fd, os_new_file_mode()); // a new file, as any other would be made
  if (rfd != OS_BADFD && os_keep_traits(lk.fd, lk.path, rfd) != 0) {
    status = KC_ERR_INI_CREATE;
    goto done;
  }
  blk_w_init(&w, lk.fd, rfd != OS_BADFD && os_fstat(rfd, &st) == 0 ? st.size : 0);
  outcome = write_changed(rfd != OS_BADFD ? &r : NULL, &w, section, ed, &status, section_at);
  // Whatever follows a Ctrl-Z stays behind the changed text.
  if (outcome == WALK_COMMIT && rfd != OS_BADFD && blk_copy_tail(&r, &w) < 0) {
    status = KC_ERR_INI_OPEN;
    outcome = WALK_FAIL;
  }
  if (outcome == WALK_COMMIT && (blk_w_flush(&w) != 0 || os_fsync(lk.fd) != 0)) {
    status = KC_ERR_INI_MISSING;
    outcome = WALK_FAIL;
  }
  blk_w_end(&w);
  if (outcome != WALK_COMMIT) {
    if (outcome == WALK_DISCARD) status = KC_OK;
    goto done;
  }

  made = rfd == OS_BADFD;
  if (rfd != OS_BADFD) (void)os_close(rfd); // Windows will not replace an open file
  rfd = OS_BADFD;
  // A file that was missing is made only where nothing has been made
  // meanwhile.
  if ((e = kc_lock_commit(&lk, path, !made)) != 0) {
    if (e == EEXIST && made) *again = CHANGE_AGAIN;
    else status = KC_ERR_INI_OPEN;
    goto done;
  }
  // The new name on disk too, or the change is not reported done: the new
  // content stands in place, but a power cut could still take it away.
  status = kc_folder_of(path, dir, sizeof dir) && os_sync_dir(dir) != 0 ? KC_ERR_INI_OPEN : KC_OK;

done:
  if (rfd != OS_BADFD) (void)os_close(rfd);
  kc_lock_rollback(&lk);
  return status;
}

/* Sets (a NULL value: removes) entries of section in file_name in one
 * rewrite, one writer at a time. */
static uint32_t ini_change(const char *section, ini_edit *ed, const char *file_name) {
  if (!section || !file_name || ed->count == 0 || ed->count > KC_INI_EDITS_MAX) return KC_ERR_INI_MISSING;
  if (strlen(section) > INI_SECTION_MAX || breaks_line(section)) return KC_ERR_INI_MISSING;
  int any_value = 0;
  for (size_t i = 0; i < ed->count; ++i)
    if (refused_entry(ed->entries[i], ed->values[i])) return KC_ERR_INI_MISSING;
  for (size_t i = 0; i < ed->count; ++i) any_value |= ed->values[i] != NULL;

  char name[KC_INI_PATH_MAX];
  if (!MakeKVFileName(name, sizeof name, file_name)) return KC_ERR_INI_CREATE;
  kc_backoff b;
  kc_backoff_start(&b, kc_lock_wait_ms);
  for (;;) {
    for (size_t i = 0; i < ed->count; ++i) ed->met[i] = 0;
    int again;
    uint32_t status = change_once(section, ed, any_value, name, &again);
    if (!again) return status;
    if (again == CHANGE_BUSY ? !kc_backoff_wait(&b) : kc_backoff_over(&b)) return KC_ERR_BUSY;
  }
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
  // A line written for one entry that another's name would read ("a=b=v"
  // holds "a") makes one rewrite differ from the changes in turn.
  for (size_t i = 0; i < count; ++i)
    for (size_t j = 0; j < count; ++j)
      if (i != j && entries[i] && entries[j] && holds_entry(entries[j], strlen(entries[j]), 0, entries[i], strlen(entries[i])))
        return KC_ERR_INI_MISSING;
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

// The seam's test hooks, shared by both seam files: the fault switch (a
// test arms "the n-th next call of op fails", and each seam file asks
// os_fault_hit before the real call; unarmed, it costs one comparison) and
// the pinned clock. A test's child process may also be killed just before
// the n-th call of a set of operations, to leave what a killed run leaves.
#include "os.h"

static int fault_countdown[OS_OP_COUNT];
static int fault_sticky[OS_OP_COUNT];
static unsigned kill_ops;
static int kill_countdown;

void os_fault_arm(enum os_op op, int nth) {
  if (op < 0 || op >= OS_OP_COUNT) return;
  fault_countdown[op] = nth > 0 ? nth : -nth;
  fault_sticky[op] = nth < 0;
}

int os_fault_left(enum os_op op) { return fault_countdown[op]; }

void os_fault_kill(unsigned ops, int nth) {
  kill_ops = nth > 0 ? ops : 0;
  kill_countdown = nth > 0 ? nth : 0;
}

int os_fault_hit(enum os_op op) {
  if (kill_countdown != 0 && (kill_ops & (1u << op)) && --kill_countdown == 0) os_kill_self();
  if (fault_countdown[op] == 0) return 0;
  if (--fault_countdown[op] > 0) return 0;
  if (fault_sticky[op]) fault_countdown[op] = 1; // and every call after it
  return 1;
}

// Set by a test to hold "now" still; NULL reads the clock.
static os_localtime pinned_time;
static int time_is_pinned;

void os_pin_time(const os_localtime *t) {
  if (t) pinned_time = *t;
  time_is_pinned = t != NULL;
}

int os_time_pinned(os_localtime *t) {
  if (time_is_pinned) *t = pinned_time;
  return time_is_pinned;
}

/* ---- Power loss ----
 * Each call that changes the disk is counted, and written to the journal
 * with the path it concerns (a file written or flushed by its current
 * name, kept in a small table of the open files); at the n-th the process
 * dies before the call. A rename over a file, and a deletion, first keep
 * that file under a name beside it, so that a power cut can give it back.
 * Nothing here is asked when unarmed. */
#include <stdio.h>
#include <string.h>

#define PC_FILES 64
int os_pc_armed;
static int pc_countdown;
static unsigned pc_saved;
static int pc_inside; // keeping a file: its own calls are not counted
static FILE *pc_journal;
static struct {
  os_fd fd;
  char path[4096];
} pc_open[PC_FILES];

static const char *pc_path_of(os_fd fd) {
  for (int i = 0; i < PC_FILES; ++i)
    if (pc_open[i].fd == fd && pc_open[i].path[0]) return pc_open[i].path;
  return NULL;
}

static void pc_track(os_fd fd, const char *path) {
  for (int i = 0; i < PC_FILES; ++i)
    if (!pc_open[i].path[0] || pc_open[i].fd == fd) {
      pc_open[i].fd = fd;
      snprintf(pc_open[i].path, sizeof pc_open[i].path, "%s", path);
      return;
    }
}

// Keeps the file at path under a name of its own beside it, by a hard
// link or, where there are none, a copy: the name kept, or "-".
static void pc_keep(const char *path, char *kept, size_t size) {
  snprintf(kept, size, "-");
  if (os_name_kind(path) != OS_KIND_FILE) return;
  size_t dir = (size_t)(os_base_name(path) - path);
  snprintf(kept, size, "%.*s.nzt-cut-%u", (int)dir, path, ++pc_saved);
  pc_inside = 1;
  int e = os_link(path, kept);
  if (e) {
    os_fd in, out;
    char buf[65536];
    int err;
    e = os_open_read(path, &in);
    if (e == 0 && (e = os_create_excl(kept, &out)) == 0) {
      long n;
      while ((n = os_read(in, buf, sizeof buf, &err)) > 0) (void)os_write(out, buf, (size_t)n, &err);
      (void)os_close(out);
    }
    if (e == 0 || in != OS_BADFD) (void)os_close(in);
  }
  pc_inside = 0;
  if (e) snprintf(kept, size, "-");
}

void os_power_cut(int n, const char *journal) {
  if (pc_journal) fclose(pc_journal);
  pc_journal = n > 0 && journal ? fopen(journal, "wb") : NULL;
  pc_countdown = pc_journal ? n : 0;
  os_pc_armed = pc_countdown > 0;
  memset(pc_open, 0, sizeof pc_open);
}

void os_pc_note(enum os_pc_what what, const char *a, const char *b, os_fd fd) {
  if (pc_inside || !pc_journal) return;
  const char *path = fd != OS_BADFD ? pc_path_of(fd) : NULL;
  char kept[4200];
  if (what != OS_PC_FLUSHED && what != OS_PC_DIR_FLUSHED && what != OS_PC_CLOSE && what != OS_PC_OPEN &&
      --pc_countdown == 0) {
    fprintf(pc_journal, "C\n");
    fclose(pc_journal);
    pc_journal = NULL;
    os_kill_self();
  }
  switch (what) {
    case OS_PC_NEW:
      fprintf(pc_journal, "N\t%s\n", a);
      if (fd != OS_BADFD) pc_track(fd, a);
      break;
    case OS_PC_OPEN: {
      os_filestat st;
      fprintf(pc_journal, "O\t%s\t%llu\n", a, os_fstat(fd, &st) == 0 ? (unsigned long long)st.size : 0ull);
      pc_track(fd, a);
      break;
    }
    case OS_PC_WRITE:
      if (path) fprintf(pc_journal, "W\t%s\n", path);
      break;
    case OS_PC_FLUSHED: {
      os_filestat st;
      if (path && os_fstat(fd, &st) == 0) fprintf(pc_journal, "F\t%s\t%llu\n", path, (unsigned long long)st.size);
      break;
    }
    case OS_PC_CLOSE:
      for (int i = 0; i < PC_FILES; ++i)
        if (pc_open[i].fd == fd) pc_open[i].path[0] = '\0';
      break;
    case OS_PC_RENAME:
      pc_keep(b, kept, sizeof kept);
      fprintf(pc_journal, "R\t%s\t%s\t%s\n", a, b, kept);
      for (int i = 0; i < PC_FILES; ++i)
        if (pc_open[i].path[0] && (pc_open[i].fd == fd || strcmp(pc_open[i].path, a) == 0))
          snprintf(pc_open[i].path, sizeof pc_open[i].path, "%s", b);
      break;
    case OS_PC_REMOVE:
      pc_keep(a, kept, sizeof kept);
      fprintf(pc_journal, "X\t%s\t%s\n", a, kept);
      break;
    case OS_PC_LINK:
      fprintf(pc_journal, "N\t%s\n", b);
      break;
    case OS_PC_MKDIR:
      fprintf(pc_journal, "D\t%s\n", a);
      break;
    case OS_PC_RMDIR:
      fprintf(pc_journal, "E\t%s\n", a);
      break;
    case OS_PC_DIR_FLUSHED:
      fprintf(pc_journal, "S\t%s\n", a);
      break;
    case OS_PC_SPAWN:
      fprintf(pc_journal, "P\n");
      break;
    default: // a flush, before it: counted only
      break;
  }
  fflush(pc_journal);
}

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

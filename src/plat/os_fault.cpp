// Fault switch of the seam: a test arms "the n-th next call of op fails",
// and each seam file asks os_fault_hit before the real call. Unarmed, it
// costs one comparison.
#include "os.h"

static int fault_countdown[OS_OP_COUNT];

void os_fault_arm(enum os_op op, int nth) {
  if (op >= 0 && op < OS_OP_COUNT) fault_countdown[op] = nth > 0 ? nth : 0;
}

int os_fault_hit(enum os_op op) {
  if (fault_countdown[op] == 0) return 0;
  if (--fault_countdown[op] == 0) return 1;
  return 0;
}

#include "faultsim.h"

#include <gtest/gtest.h>

namespace nzt {

Fault seam_fault(os_op op) {
  Fault f;
  f.what = "seam call " + std::to_string(op);
  f.arm = [op](int n) { os_fault_arm(op, n); };
  f.hit = [op] { return os_fault_left(op) == 0; };
  return f;
}

int fault_sweep(const Fault &fault, const std::function<void()> &prepare, const std::function<void()> &body,
                const std::function<void(int n, bool hit)> &check) {
  int hits = 0;
  // Bounded all the same: a body that reaches every n is a fault of its own.
  for (int n = 1; n < 100000; n += fault.step) {
    SCOPED_TRACE(fault.what + " #" + std::to_string(n));
    prepare();
    fault.arm(n);
    body();
    bool hit = fault.hit();
    fault.arm(0);
    check(n, hit);
    if (!hit || ::testing::Test::HasFatalFailure()) return hits;
    ++hits;
  }
  ADD_FAILURE() << fault.what << ": every call reached";
  return hits;
}

}  // namespace nzt

// One fault harness for every sweep of the tests, after SQLite's
// do_faultsim_test: for n = 1, 2, ... a fault is armed at the n-th call
// of what it watches, prepare() lays out the state, body() runs the code
// under test, and check(n, hit) judges what it left, hit telling whether
// the run reached the n-th call. The sweep ends after the first run that
// did not: every call has then failed once.
#ifndef NZ_FAULTSIM_H
#define NZ_FAULTSIM_H

#include <functional>
#include <string>

#include "os.h"

namespace nzt {

struct Fault {
  std::string what;                // for the trace: "rename", "seam call 3", ...
  std::function<void(int n)> arm;  // the n-th call fails (or the run dies there); 0 disarms
  std::function<bool()> hit;       // whether the last body reached it
  int step = 1;                    // n goes 1, 1 + step, ...
};

// The seam's fault switch: the n-th call of op fails (os.h).
Fault seam_fault(os_op op);

// Runs the sweep; the number of runs that reached their fault.
int fault_sweep(const Fault &fault, const std::function<void()> &prepare, const std::function<void()> &body,
                const std::function<void(int n, bool hit)> &check);

}  // namespace nzt

#endif

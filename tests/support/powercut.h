// After a run that os_power_cut killed: the disk as a power cut at that
// instant would leave it, where only what was flushed stays. A file's
// bytes since its last flush are dropped (or, torn, half of them kept),
// and a folder's names since its last flush are undone: files made there
// go, files renamed there or deleted come back under their earlier names
// with their earlier bytes.
#ifndef NZ_POWERCUT_H
#define NZ_POWERCUT_H

#include <gtest/gtest.h>

#include <string>

namespace nzt {

// Undoes, by the journal the run wrote, what was not flushed when it was
// cut, or when it ended if it was not: the power may go just after a run
// too. The files it kept aside go either way. Failure when there is no
// journal.
::testing::AssertionResult undo_unflushed(const std::string &journal, bool torn);

}  // namespace nzt

#endif

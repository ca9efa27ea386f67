// The count of opens, kept per process. openCount is the workstation's sum;
// each process's record in the shared region says how many of them are its
// own. A close undoes only an open of its own process, and the opens of a
// process that has ended (killed, or unloaded without closing) are taken
// back, so that the last close of the processes still running ends the
// pairing. Records and counts change only by atomic operations: processes
// open and close at the same time without a lock.
#pragma once

#include <cstdint>

namespace dyadc {

// Counts one open of this process; `*ticket` is openCount afterwards. False
// when every record is held by another running process (nothing is counted).
[[nodiscard]] bool countOpen(uint32_t* ticket);
// Takes back the opens of ended processes, then one open of this process.
// False when this process has none; otherwise `*left` is what openCount
// still holds: 0 for the last open of the workstation.
[[nodiscard]] bool countClose(uint32_t* left);
// Takes back every open of this process (it unloads the library).
void forgetOwnOpens();
// Forgets every open of every process (the Session's reset): openCount 0.
void forgetAllOpens();

}  // namespace dyadc

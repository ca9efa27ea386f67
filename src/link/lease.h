// The data connection's lease: which process of the workstation may use the
// connection that carries the blocks, and which one is receiving.
//
// The connection (dataSocket) is a descriptor of the process that made it
// (dataSocketProcess) and means nothing in any other process. Two marks in
// the shared Session say who is using it:
//   the sending mark    socketOwnerProcess, with socketOwner holding that
//                       process's ticket: a process sends over the
//                       connection; taken before a block's header, kept
//                       through a series, freed by every closeSocket;
//   the receiving mark  receivingProcess: a process is inside
//                       DyadRecvDataBlock; taken at the start of the call and
//                       freed at its end.
// Each mark is in one of three states:
//
//            take (atomic 0 -> me)           release, or any closeSocket
//     free ------------------------> held ---------------------------> free
//       ^                              |  its process ends
//       +--- cleared when found <--- stale
//
// A mark changes only by an atomic compare-and-swap, so two processes never
// both hold it; a stale mark is cleared by the first process that finds it.
#pragma once

#include "session/session.h"

namespace dyadc {

// Takes the sending mark when it is free, stale or already this process's
// (and writes this process's ticket into socketOwner). False while another
// running process holds it.
bool takeSendingMark();
// Frees the sending mark when this process holds it.
void releaseSendingMark();

// Takes the receiving mark when it is free, stale or already this
// process's. False while another running process is receiving.
bool takeReceivingMark();
void releaseReceivingMark();

// Whether the open data connection belongs to another running process; this
// process can then not use it. A connection whose process has ended is
// forgotten here (connected 0, linkDown 1).
bool connectionHeldElsewhere();

// Closes the data connection if one is open ("closing local socket").
void closeConnection();

}  // namespace dyadc

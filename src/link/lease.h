// The data connection's lease: which thread and process of the workstation
// may use the connection that carries the blocks, and which one is receiving.
// A call holds the connection through a SendingHold or a ReceivingHold, which
// take this process's turn among its threads and the workstation's mark
// together and give both back.
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

#include <mutex>

#include "link/connection.h"
#include "session/results.h"
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
// forgotten here (connected 0, linkDown 1), and with it the block that was in
// progress on it.
bool connectionHeldElsewhere();

// Threads of one process take turns in sending on the connection: a block's
// exchange (header, reply, bytes, reply) is never split by another thread's
// line, such as the closing "quit" of DyadClose. Recursive, so that the
// update's sender can hold it around the sends it makes.
std::recursive_mutex& sendingTurn();

// A sending call's hold on the connection: this thread's turn and the
// sending mark, taken within the call's time limit. When the hold ends it
// gives the turn back, and the mark too unless this process keeps the
// connection open (a series goes on): the mark then stays with the
// connection and is freed when it closes.
class SendingHold {
public:
    SendingHold() = default;
    SendingHold(const SendingHold&) = delete;
    SendingHold& operator=(const SendingHold&) = delete;
    ~SendingHold();
    // Waits for the turn, then until the mark is this process's and the
    // connection is not another running process's. Returns 0, or 101 when
    // the time limit passed first.
    Result take(uint32_t timeoutSeconds);
    // Waits for the turn only, then takes the mark if it can at once. False
    // when another running process holds the mark or the open connection.
    bool takeNow();
    // After a connection attempt freed the mark: takes it again at once.
    // False when another process took it meanwhile (take() waits for it).
    bool keep();

private:
    std::unique_lock<std::recursive_mutex> turn_{sendingTurn(), std::defer_lock};
};

// A receiving call's hold: this thread's turn among the process's receiving
// threads and the workstation's receiving mark, taken within the call's time
// limit and both given back when the hold ends.
class ReceivingHold {
public:
    ReceivingHold() = default;
    ReceivingHold(const ReceivingHold&) = delete;
    ReceivingHold& operator=(const ReceivingHold&) = delete;
    ~ReceivingHold();
    // Waits for the turn, then until no other running process is receiving
    // or holds the open connection. Returns 0, or 101 when the time limit
    // passed first.
    Result take(uint32_t timeoutSeconds);

private:
    std::unique_lock<std::mutex> turn_;
    bool marked_ = false;
};

}  // namespace dyadc

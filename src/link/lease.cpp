// The data connection's lease: the sending and receiving marks and the
// connection's own process.
#include "link/lease.h"

#include <atomic>

#include "log/log.h"

namespace dyadc {
namespace {

// Takes a mark for this process (see lease.h for its states).
bool takeMark(platform::ProcessIdentity& field) {
    const platform::ProcessIdentity me = platform::currentProcess();
    std::atomic_ref<platform::ProcessIdentity> mark(field);
    platform::ProcessIdentity current = mark.load();
    for (;;) {
        if (current == me) return true;
        if (current == 0) {
            if (mark.compare_exchange_weak(current, me)) return true;
            continue;
        }
        if (platform::processAlive(current)) return false;
        mark.compare_exchange_weak(current, 0);  // stale: its process has ended
    }
}

void releaseMark(platform::ProcessIdentity& field) {
    platform::ProcessIdentity me = platform::currentProcess();
    std::atomic_ref<platform::ProcessIdentity>(field).compare_exchange_strong(me, 0);
}

}  // namespace

bool takeSendingMark() {
    SharedSession& s = sharedSession();
    if (!takeMark(s.socketOwnerProcess)) return false;
    s.socketOwner = processSession().openTicket;
    return true;
}

void releaseSendingMark() {
    SharedSession& s = sharedSession();
    if (std::atomic_ref<platform::ProcessIdentity>(s.socketOwnerProcess).load() == platform::currentProcess()) {
        closeSocket(invalidSocket);  // frees the mark as every close does
    }
}

bool takeReceivingMark() {
    return takeMark(sharedSession().receivingProcess);
}

void releaseReceivingMark() {
    releaseMark(sharedSession().receivingProcess);
}

bool connectionHeldElsewhere() {
    SharedSession& s = sharedSession();
    if (s.connected != 1 || ownsSocket(s.dataSocket)) return false;
    if (socketCreatorAlive(s.dataSocket)) return true;
    // The process that made the connection has ended, and the connection
    // with it: forget it, so that a new one is made.
    closeSessionSocket(s.dataSocket);
    s.connected = 0;
    s.linkDown = 1;
    return false;
}

void closeConnection() {
    SharedSession& s = sharedSession();
    if (s.connected == 1) {
        LOG_DETAIL("closing local socket");
        closeSessionSocket(s.dataSocket);
        s.connected = 0;
    }
}

}  // namespace dyadc

// The data connection's lease: the sending and receiving marks, the turns of
// a process's threads, the holds that take both, and the connection's own
// process.
#include "link/lease.h"

#include <atomic>

#include "log/log.h"
#include "session/results.h"
#include "session/time_limit.h"

namespace dyadc {

bool takeSendingMark() {
    SharedSession& s = sharedSession();
    if (!takeProcessMark(s.socketOwnerProcess)) return false;
    s.socketOwner = processSession().openTicket;
    return true;
}

void releaseSendingMark() {
    SharedSession& s = sharedSession();
    if (std::atomic_ref<platform::ProcessIdentity>(s.socketOwnerProcess).load() == platform::currentProcess()) {
        freeSendingMark();
    }
}

bool takeReceivingMark() {
    return takeProcessMark(sharedSession().receivingProcess);
}

void releaseReceivingMark() {
    releaseProcessMark(sharedSession().receivingProcess);
}

bool connectionHeldElsewhere() {
    SharedSession& s = sharedSession();
    if (s.connected != 1 || ownsSocket(s.dataSocket)) return false;
    if (socketCreatorAlive(s.dataSocket)) return true;
    // The process that made the connection has ended, and the connection
    // with it: forget it, so that a new one is made, and the block that was
    // in progress on it.
    closeSessionSocket(s.dataSocket);
    s.connected = 0;
    s.linkDown = 1;
    endBlock();
    return false;
}

std::recursive_mutex& sendingTurn() {
    static std::recursive_mutex turn;
    return turn;
}

namespace {

// How often a call that waits for another thread's or process's use of the
// connection looks again, and how often it says so in the log.
constexpr int64_t pollMilliseconds = 50;
constexpr int64_t noticeMilliseconds = 4000;

// Threads of one process receive one at a time (the receiving mark tells
// processes apart, not threads).
std::mutex& receivingTurn() {
    static std::mutex turn;
    return turn;
}

// Waits for `lock` within the time limit, looking again every poll.
template <typename Lock>
bool lockWithin(Lock& lock, uint32_t timeoutSeconds) {
    while (!lock.try_lock()) {
        if (timeLimitPassed(timeoutSeconds)) return false;
        platform::sleepMilliseconds(static_cast<uint32_t>(waitWithinLimit(timeoutSeconds, pollMilliseconds)));
    }
    return true;
}

// Waits until `takeMark` succeeds and the connection is not another running
// process's, within the time limit; logs the wait now and then.
bool markWithin(bool (*takeMark)(), void (*releaseMark)(), uint32_t timeoutSeconds) {
    int64_t noticed = -noticeMilliseconds;
    for (;;) {
        if (takeMark()) {
            if (!connectionHeldElsewhere()) return true;
            releaseMark();
        }
        if (timeLimitPassed(timeoutSeconds)) return false;
        const int64_t now = platform::monotonicMilliseconds();
        if (now - noticed >= noticeMilliseconds) {
            LOG_DETAIL("socket in use by another process.  Waiting");
            noticed = now;
        }
        platform::sleepMilliseconds(static_cast<uint32_t>(waitWithinLimit(timeoutSeconds, pollMilliseconds)));
    }
}

}  // namespace

SendingHold::~SendingHold() {
    // Without the turn, another thread of this process may be in the middle
    // of a series that holds the mark.
    if (!turn_.owns_lock()) return;
    const SharedSession& s = sharedSession();
    if (s.connected == 0 || !ownsSocket(s.dataSocket)) releaseSendingMark();
}

Result SendingHold::take(uint32_t timeoutSeconds) {
    if (!turn_.owns_lock() && !lockWithin(turn_, timeoutSeconds)) return Result::timedOut;
    if (!markWithin(takeSendingMark, releaseSendingMark, timeoutSeconds)) {
        LOG_BASIC("socket in use by another process until the time limit passed");
        return Result::timedOut;
    }
    return Result::ok;
}

bool SendingHold::takeNow() {
    if (!turn_.owns_lock()) turn_.lock();
    if (!takeSendingMark()) return false;
    if (!connectionHeldElsewhere()) return true;
    releaseSendingMark();
    return false;
}

bool SendingHold::keep() {
    return takeSendingMark();
}

ReceivingHold::~ReceivingHold() {
    if (marked_) releaseReceivingMark();
}

Result ReceivingHold::take(uint32_t timeoutSeconds) {
    turn_ = std::unique_lock<std::mutex>(receivingTurn(), std::defer_lock);
    if (!lockWithin(turn_, timeoutSeconds) ||
        !(marked_ = markWithin(takeReceivingMark, releaseReceivingMark, timeoutSeconds))) {
        LOG_BASIC("Client connect Timeout");
        return Result::timedOut;
    }
    return Result::ok;
}

}  // namespace dyadc

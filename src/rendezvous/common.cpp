// What both sides of the pairing share: the wait for a usable interface and
// the wait of one cycle.
#include "log/log.h"
#include "rendezvous/interfaces.h"
#include "rendezvous/rendezvous.h"
#include "session/time_limit.h"

namespace dyadc {
namespace {

constexpr uint32_t noInterfacePauseSeconds = 2;

}  // namespace

Result awaitUsableInterfaces(SocketHandle probe, SocketAddress* table, int32_t* count, uint32_t timeoutSeconds) {
    for (;;) {
        // A list that cannot be read leaves the table as it was.
        (void)listUsableInterfaces(probe, table, count);
        if (*count > 0) return Result::ok;
        if (timeLimitPassed(timeoutSeconds)) {
            LOG_BASIC("Connect Has Timed Out");
            return Result::timedOut;
        }
        LOG_DETAIL("No Usable Interfaces...will retry interface list refresh");
        platform::sleepMilliseconds(
            static_cast<uint32_t>(waitWithinLimit(timeoutSeconds, int64_t{noInterfacePauseSeconds} * 1000)));
    }
}

int waitForCycle(platform::SelectSet& waiting, int32_t milliseconds) {
    int ready = platform::selectReadable(&waiting, milliseconds);
    if (ready < 0) {
        LOG_BASIC("Warning: select() failed! Error: %d", platform::lastSocketError());
        ready = 0;
    }
    sharedSession().readSet = waiting;
    return ready;
}

}  // namespace dyadc

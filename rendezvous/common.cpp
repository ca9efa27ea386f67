// What both sides of the pairing and their links share: the time limit test
// and the message that names the local adapter of a connection.
#include "log/log.h"
#include "rendezvous/rendezvous.h"

namespace dyadc {

bool timeLimitPassed(uint32_t timeoutSeconds) {
    if (timeoutSeconds == 0) return false;
    int64_t elapsed = static_cast<int64_t>(platform::currentTime()) - processSession().operationStart;
    return elapsed > static_cast<int64_t>(timeoutSeconds);
}

int waitForCycle(platform::SelectSet& waiting, uint32_t seconds) {
    int ready = platform::selectReadable(&waiting, seconds);
    if (ready < 0) {
        LOG_BASIC("Warning: select() failed! Error: %d", platform::lastSocketError());
        ready = 0;
    }
    sharedSession().readSet = waiting;
    return ready;
}

void logAdapterOf(SocketHandle socket) {
    if (processSession().logDetail != 1) return;
    SocketAddress local{};
    platform::localAddressOf(socket, &local);
    writeLog("On Network Adapter associated with IP address: %s", platform::dotted(local).text);
}

}  // namespace dyadc

// What both sides of the pairing share: the wait of one cycle.
#include "log/log.h"
#include "rendezvous/rendezvous.h"

namespace dyadc {

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

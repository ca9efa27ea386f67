// Linux: the part files that an interrupt (Ctrl-C, SIGTERM, SIGHUP) removes
// before dyad ends, for tools/base/system.h's removeOnInterrupt.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstring>
#include <string>

#include "tools/base/system.h"

namespace dyad::sys {
namespace {

// The part files to remove, for the signal handler: for each slot its
// folder's descriptor and its name in a fixed buffer, and a flag that is
// clear while they change. Removing a part file relative to its folder
// (unlinkat, which a signal handler may call) removes the part file itself
// even when a link has taken the folder's name meanwhile.
struct InterruptSlot {
    std::atomic<bool> set{false};
    int folder = -1;
    char name[256];
};
InterruptSlot interruptSlotsTable[interruptSlots];
int nextInterruptSlot = 0;  // where the search for a free slot begins

extern "C" void onInterrupt(int number) {
    for (InterruptSlot& slot : interruptSlotsTable) {
        if (slot.set.load()) unlinkat(slot.folder, slot.name, 0);
    }
    signal(number, SIG_DFL);
    raise(number);
}

}  // namespace

int removeOnInterrupt(const Folder& folder, const std::string& name) {
    static const bool installed = [] {
        struct sigaction action {};
        action.sa_handler = onInterrupt;
        sigemptyset(&action.sa_mask);
        for (int number : {SIGINT, SIGTERM, SIGHUP}) sigaction(number, &action, nullptr);
        return true;
    }();
    (void)installed;
    if (name.empty() || name.size() >= sizeof interruptSlotsTable[0].name) return -1;
    for (int tried = 0; tried < interruptSlots; ++tried) {
        const int at = (nextInterruptSlot + tried) % interruptSlots;
        InterruptSlot& slot = interruptSlotsTable[at];
        if (slot.set.load()) continue;
        slot.folder = folder.fd_;
        std::memcpy(slot.name, name.c_str(), name.size() + 1);
        slot.set = true;
        nextInterruptSlot = (at + 1) % interruptSlots;
        return at;
    }
    return -1;
}

void forgetOnInterrupt(int slot) {
    if (slot >= 0 && slot < interruptSlots) interruptSlotsTable[slot].set = false;
}

}  // namespace dyad::sys

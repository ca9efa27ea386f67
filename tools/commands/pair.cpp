// dyad pair: pairs in the role given, reports how long it took and closes
// again; a check that two workstations find each other.
#include <string>

#include "dyadc.h"
#include "tools/commands/commands.h"
#include "tools/library/library.h"

namespace dyad {

int commandPair(const Options& options) {
    const bool initiator = options.role == "initiator";
    const std::string what = "paired as " + options.role;
    int32_t result = pair(options, initiator ? 1 : 2, what.c_str());
    if (result != 0) return fail(result, "pairing");
    DyadClose();
    return exitOk;
}

}  // namespace dyad

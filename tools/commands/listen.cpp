// dyad listen: shows every announce that reaches this machine for a while,
// with its identifier, its sender and the interface it came through, and
// marks those that carry the identifier asked for, so that a person sees at
// once whether the other side's announces arrive. It listens the way the
// library's Initiator does (the same interfaces, the same mask, the same
// reading of a datagram: the rules that the library builds from,
// src/rules/lan.h) but only receives: it never connects or answers. The
// library exports no such listening, so the sockets are dyad's own
// (announces.h).
#include <chrono>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "dyadc.h"
#include "src/rules/lan.h"
#include "tools/base/announces.h"
#include "tools/base/names.h"
#include "tools/commands/commands.h"
#include "tools/library/library.h"

namespace dyad {
namespace {

using Clock = std::chrono::steady_clock;

// The interfaces that the library's Initiator listens on: the usable ones
// whose address begins with the mask prefix when one is given, in the
// system's order; at most as many as the Initiator's table holds, from as
// many of the system's records as it reads.
std::vector<net::Interface> usableInterfaces(const std::vector<net::Interface>& all, const char* prefix) {
    std::vector<net::Interface> usable;
    for (size_t i = 0; i < all.size() && i < static_cast<size_t>(dyadc::interfaceRecordLimit) &&
                       usable.size() < static_cast<size_t>(dyadc::interfaceTableSize);
         ++i) {
        const net::Interface& entry = all[i];
        if (prefix != nullptr && !dyadc::addressMatchesMask(entry.address.c_str(), prefix)) continue;
        if (dyadc::interfaceUsable(entry.up, entry.multicast, entry.loopback, entry.pointToPoint)) {
            usable.push_back(entry);
        }
    }
    return usable;
}

std::string shown(const net::Interface& entry) {
    return entry.name.empty() ? entry.address : entry.name + " " + entry.address;
}

std::string during(uint32_t seconds) {
    return seconds == 0 ? "until interrupted" : "for " + std::to_string(seconds) + " s";
}

// The announces seen: how many with the identifier and from where, how
// many with others.
struct Seen {
    size_t ours = 0;
    size_t others = 0;
    std::set<std::string> oursFrom;
};

// Shows each announce that arrives within the time of `options`; false when
// receiving failed (`failure` says why).
bool showAnnounces(const Options& options, net::AnnounceReceiver& receiver, const std::vector<net::Interface>& all,
                   const std::vector<net::Interface>& usable, Seen* seen, std::string* failure) {
    const auto began = Clock::now();
    for (;;) {
        int wait = -1;
        if (options.timeout != 0) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(
                began + std::chrono::seconds(options.timeout) - Clock::now());
            if (left.count() <= 0) break;
            wait = static_cast<int>(left.count());
        }
        net::Arrival arrival;
        const int got = receiver.next(wait, &arrival, failure);
        if (got < 0) return false;
        if (got == 0) continue;
        // The identifier as the Initiator reads it: the text up to the first NUL.
        const std::string identifier = arrival.bytes.substr(0, arrival.bytes.find('\0'));
        const bool mine = identifier == options.id;
        std::string where = arrival.sender + " on " + shown(usable[arrival.via]);
        for (const net::Interface& entry : all) {
            if (entry.address == arrival.sender) {
                where += " (this machine)";
                break;
            }
        }
        const double at = std::chrono::duration<double>(Clock::now() - began).count();
        std::printf("%c %6.1f s  '%s' from %s\n", mine ? '*' : ' ', at, escaped(identifier).c_str(),
                    where.c_str());
        std::fflush(stdout);
        if (mine) {
            ++seen->ours;
            seen->oursFrom.insert(where);
        } else {
            ++seen->others;
        }
    }

    return true;
}

}  // namespace

int commandListen(const Options& options) {
    char prefix[dyadc::maskPrefixSize] = {};
    if (!options.mask.empty() && !dyadc::maskPrefix(options.mask.c_str(), prefix)) {
        std::fprintf(stderr, "dyad: listening: %s\n", describe(DYAD_BAD_MASK).c_str());
        return exitLocal;
    }
    std::vector<net::Interface> all;
    std::string failure;
    if (!net::listInterfaces(&all, &failure)) {
        std::fprintf(stderr, "dyad: %s\n", failure.c_str());
        return exitLocal;
    }
    const std::vector<net::Interface> usable = usableInterfaces(all, options.mask.empty() ? nullptr : prefix);
    if (usable.empty()) {
        std::fprintf(stderr,
                     "dyad: no usable interface%s: an interface must be up and multicast capable, and neither the "
                     "loopback nor a point-to-point link\n",
                     options.mask.empty() ? "" : (" matches the mask " + options.mask).c_str());
        return exitLocal;
    }
    net::AnnounceReceiver receiver;
    if (!receiver.open(usable, &failure)) {
        std::fprintf(stderr, "dyad: %s\n", failure.c_str());
        return exitLocal;
    }
    if (!failure.empty()) std::fprintf(stderr, "dyad: %s\n", failure.c_str());

    std::string names;
    for (const net::Interface& entry : usable) names += (names.empty() ? "" : ", ") + shown(entry);
    const std::string id = escaped(options.id);
    std::fprintf(stderr, "dyad: listening on %s %s; announces with %s are marked *\n", names.c_str(),
                 during(options.timeout).c_str(), id.c_str());

    Seen seen;
    if (!showAnnounces(options, receiver, all, usable, &seen, &failure)) {
        std::fprintf(stderr, "dyad: %s\n", failure.c_str());
        return exitLocal;
    }
    const size_t ours = seen.ours;
    if (ours > 0) {
        std::string senders;
        for (const std::string& where : seen.oursFrom) senders += (senders.empty() ? "" : ", ") + where;
        std::fprintf(stderr, "dyad: %zu announces with %s arrived in %u s, from %s\n", ours, id.c_str(),
                     options.timeout, senders.c_str());
        return exitOk;
    }
    if (seen.others > 0) {
        std::fprintf(stderr,
                     "dyad: no announce with %s arrived in %u s; announces with other identifiers did: the other "
                     "side announces another identifier (letter case and spaces count)\n",
                     id.c_str(), options.timeout);
    } else {
        std::fprintf(stderr,
                     "dyad: no announce arrived in %u s: is the other side's dyad receive running, and do its and "
                     "this machine's firewalls let UDP port 8181 through? (see TROUBLESHOOTING in dyad(1))\n",
                     options.timeout);
    }
    return exitNotSeen;
}

}  // namespace dyad

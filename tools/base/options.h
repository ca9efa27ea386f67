// What the dyad command takes from the person who runs it and what it gives
// back: the options of its command line (parsed once, in dyad.cpp, and handed
// to the command that runs) and its exit statuses.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/format/format.h"

namespace dyad {

// Exit statuses.
enum Exit : int {
    exitOk = 0,
    exitUsage = 2,          // bad arguments
    exitRefused = 3,        // the pairing was refused (103)
    exitTimedOut = 4,       // a time limit passed (101)
    exitConnection = 5,     // a connection step failed (100), or the peer went away
    exitLocal = 6,          // a local socket failed (1), or the mask is unusable (104)
    exitUpdated = 7,        // the library update was transferred (24): pair again
    exitFiles = 8,          // a file was not stored: it could not be read or written, its name or size was
                            // refused, a file of its name exists, bytes or a block header were dropped, or
                            // the peer closed the pairing without sending a file
    exitOther = 9,          // any other result of the library
    exitChecksum = 10,      // a file did not arrive as it left, or arrived without a checksum that proves it
    exitNotSeen = 11,       // listen: no announce with the identifier arrived in its time
    exitNotAuthentic = 12,  // --code: the transfer did not authenticate: a wrong code, or the stream was
                            // altered, cut short or replayed (or was no private transfer)
};

// The command line, as parsed.
struct Options {
    std::string id;
    // send and receive: --code (a private transfer), as typed; receive takes
    // it without a value too and then makes a fresh code
    bool codeGiven = false;
    std::string code;
    uint32_t timeout = 0;
    std::string mask;
    std::string logPath;
    int logLevel = -1;
    uint32_t blockSize = defaultBlockSize;
    bool quiet = false;
    // receive and pair
    std::vector<std::string> accept;
    std::string dir = ".";
    bool overwrite = false;
    bool acceptUnverified = false;
    // send: the checksum to send; receive: the one to hash the first file with
    Checksum checksum = defaultChecksum;
    // send
    std::vector<std::string> files;
    // pair
    std::string role;
};

}  // namespace dyad

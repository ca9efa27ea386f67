// Fuzz targets for every parser of bytes that arrive from the network (and
// for the version record reader of library files), and for the state machines
// that read them: the receiving side of the data blocks and both sides of the
// handshake, driven over a socket pair whose peer end sends the input and
// closes (so an input runs in milliseconds). Each target takes any bytes and
// must neither crash, nor hang, nor read or write out of bounds. They run as
// libFuzzer targets (DYADC_FUZZ=ON, clang; tests/fuzz/run runs them all) and,
// over their seed corpus, as a normal test. The process first moves into a
// network namespace of its own: nothing reaches the machine's network.
#pragma once

#include <cstddef>
#include <cstdint>

namespace dyadc::fuzz {

void commandLine(const uint8_t* data, size_t size);         // a received "put"/"quit" line
void reply(const uint8_t* data, size_t size);               // reply lines read from a connection
void announce(const uint8_t* data, size_t size);            // an announce datagram
void versionText(const uint8_t* data, size_t size);         // the Initiator's version line
void versionRecord(const uint8_t* data, size_t size);       // a library file's version record
void mask(const uint8_t* data, size_t size);                // DyadOpenXOver's address mask
void receive(const uint8_t* data, size_t size);             // the sender's bytes, as DyadRecvDataBlock reads them
void initiatorHandshake(const uint8_t* data, size_t size);  // the Responder's replies, as the Initiator reads them
void responderHandshake(const uint8_t* data, size_t size);  // the Initiator's lines, as the Responder reads them

struct Target {
    const char* name;
    void (*run)(const uint8_t*, size_t);
};
inline constexpr Target targets[] = {
    {"command_line", commandLine},
    {"reply", reply},
    {"announce", announce},
    {"version_text", versionText},
    {"version_record", versionRecord},
    {"mask", mask},
    {"receive", receive},
    {"initiator_handshake", initiatorHandshake},
    {"responder_handshake", responderHandshake},
};

// Moves the process into a network namespace of its own (once); aborts when
// it cannot, rather than run on the machine's network.
void isolateNetwork();

}  // namespace dyadc::fuzz

// Fuzz targets for every parser of bytes that arrive from the network (and
// for the version record reader of library files). Each target takes any
// bytes and must neither crash nor read or write out of bounds. They run as
// libFuzzer targets (DYADC_FUZZ=ON, clang) and, over their seed corpus, as a
// normal test.
#pragma once

#include <cstddef>
#include <cstdint>

namespace dyadc::fuzz {

void commandLine(const uint8_t* data, size_t size);    // a received "put"/"quit" line
void reply(const uint8_t* data, size_t size);          // reply lines read from a connection
void announce(const uint8_t* data, size_t size);       // an announce datagram
void versionText(const uint8_t* data, size_t size);    // the Initiator's version line
void versionRecord(const uint8_t* data, size_t size);  // a library file's version record

struct Target {
    const char* name;
    void (*run)(const uint8_t*, size_t);
};
inline constexpr Target targets[] = {
    {"command_line", commandLine}, {"reply", reply}, {"announce", announce},
    {"version_text", versionText}, {"version_record", versionRecord},
};

}  // namespace dyadc::fuzz

#include "tests/fuzz/targets.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "channel/blocks.h"
#include "channel/line_io.h"
#include "platform/posix/posix.h"
#include "rendezvous/protocol.h"

namespace dyadc::fuzz {
namespace {

// Guard bytes around a buffer reveal a write past either end even without a
// sanitizer.
struct Guarded {
    static constexpr size_t guard = 32;
    std::vector<uint8_t> bytes;
    explicit Guarded(size_t size) : bytes(size + 2 * guard, 0xA5) {}
    char* data() { return reinterpret_cast<char*>(bytes.data() + guard); }
    void check() const {
        for (size_t i = 0; i < guard; ++i) {
            if (bytes[i] != 0xA5 || bytes[bytes.size() - 1 - i] != 0xA5) std::abort();
        }
    }
};

}  // namespace

void commandLine(const uint8_t* data, size_t size) {
    // As the receiver holds it: at most 2045 bytes and a terminator.
    char line[headerBufferSize] = {};
    std::memcpy(line, data, size < headerReadSize - 1 ? size : headerReadSize - 1);
    Guarded first(receivedNameLimit + 1), second(receivedNameLimit + 1);
    ParsedLine parsed = parseCommandLine(line, first.data(), second.data());
    if (parsed.haveFirst && std::strlen(first.data()) > receivedNameLimit) std::abort();
    if (parsed.haveSecond && std::strlen(second.data()) > receivedNameLimit) std::abort();
    first.check();
    second.check();
}

void reply(const uint8_t* data, size_t size) {
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0) return;
    // The whole input fits the socket buffer; then the peer "closes".
    size_t limit = size < 65536 ? size : 65536;
    if (limit > 0 && write(ends[1], data, limit) < 0) std::abort();
    close(ends[1]);
    int32_t code = 0;
    for (int i = 0; i < 10000 && readReply(ends[0], &code) == 0; ++i) {
    }
    Guarded line(16);
    while (receiveLine(ends[0], line.data(), 16) != 0) {
    }
    line.check();
    close(ends[0]);
}

void announce(const uint8_t* data, size_t size) {
    if (size > announceReadLimit) size = announceReadLimit;
    Guarded text(announceReadLimit + 1);
    announceText(data, size, text.data());
    if (std::strlen(text.data()) > size) std::abort();
    text.check();
}

void versionText(const uint8_t* data, size_t size) {
    std::vector<char> text(data, data + size);
    text.push_back('\0');
    double value = versionNumber(text.data());
    (void)value;
    (void)updateWanted("2.04", text.data());
}

void versionRecord(const uint8_t* data, size_t size) {
    platform::VersionRecord record{};
    long offset = 0;
    if (platform::parseVersionRecord(data, size, &record, &offset) == 0) {
        if (offset < 0 || static_cast<size_t>(offset) + 24 > size) std::abort();
    }
}

}  // namespace dyadc::fuzz

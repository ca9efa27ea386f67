#include "tests/fuzz/targets.h"

#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "api/open_close.h"
#include "blocks/blocks.h"
#include "platform/posix/posix.h"
#include "rendezvous/rendezvous.h"
#include "session/session.h"
#include "tests/support/results.h"
#include "wire/line_io.h"
#include "wire/protocol.h"

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

// The library's end of a connection whose peer sent `data` and closed: what
// the library reads is exactly the input, then the end of the connection,
// and whatever it sends back fails at once.
int connectionThatSent(const uint8_t* data, size_t size) {
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) std::abort();
    const size_t limit = size < 65536 ? size : 65536;  // fits the socket's buffer
    if (limit > 0 && write(ends[1], data, limit) != static_cast<ssize_t>(limit)) std::abort();
    close(ends[1]);
    return ends[0];
}

// A Session freshly paired, without a connection, with the log off; the
// re-listen cannot bind its address here and fails at once.
void freshPairing() {
    applySharedInitialValues(sharedSession());
    applyProcessInitialValues(processSession());
    SharedSession& s = sharedSession();
    s.paired = 1;
    s.linkDown = 0;
    s.localAddress = SocketAddress{platform::addressFamilyIpv4,
                                   platform::toNetwork16(rendezvousPort),
                                   platform::toNetwork32(0x0AFFFF01),
                                   {}};  // 10.255.255.1: not here
}

int32_t acceptUnlessZ(const char* name) {
    return name[0] == 'Z' ? 1 : 0;
}

}  // namespace

void isolateNetwork() {
    static const bool isolated = [] {
        if (unshare(CLONE_NEWNET) != 0) return false;
        // Port 8181 is taken in this namespace, so that a receiving call that
        // waits for the next connection finds its re-listen failing at once.
        const int holder = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in any{};
        any.sin_family = AF_INET;
        any.sin_port = htons(rendezvousPort);
        return holder >= 0 && bind(holder, reinterpret_cast<sockaddr*>(&any), sizeof any) == 0 &&
               listen(holder, 1) == 0;
    }();
    if (!isolated) std::abort();
}

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
    for (int i = 0; i < 10000 && readReply(ends[0], &code).result == Result::ok; ++i) {
    }
    Guarded line(16);
    while (receiveLine(ends[0], line.data(), 16) == LineRead::complete) {
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

void mask(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    text = text.substr(0, text.find('\0'));
    Guarded prefix(20);
    if (convertMask(text.c_str(), prefix.data()) && std::strlen(prefix.data()) > 15) std::abort();
    prefix.check();
}

void receive(const uint8_t* data, size_t size) {
    isolateNetwork();
    if (size == 0) return;
    freshPairing();
    SharedSession& s = sharedSession();
    holdSocket(s.dataSocket, connectionThatSent(data + 1, size - 1));
    s.connected = 1;
    // The first byte chooses the caller's buffer: small ones make blocks
    // arrive in pieces.
    const uint32_t capacity = 1 + data[0] % 64;
    Guarded first(receivedNameLimit + 1), second(receivedNameLimit + 1), buffer(capacity);
    first.data()[0] = second.data()[0] = '\0';  // names are written only from a header
    int32_t result = 0;
    for (int call = 0; call < 1000 && (result == 0 || result == -1); ++call) {
        int32_t length = -1, type = data[0] % 3 == 0 ? 21 : 7;
        result = exportedResult(
            receiveBlock(first.data(), second.data(), 0, buffer.data(), capacity, &length, &type, nullptr));
        if (length > static_cast<int32_t>(capacity) && result == 0) std::abort();
        // A name never holds the line's end (a CR inside one is a peer's odd name).
        if (std::strlen(first.data()) > receivedNameLimit || std::strchr(first.data(), '\n') != nullptr) {
            std::abort();
        }
        first.check();
        second.check();
        buffer.check();
    }
    resetSession();
}

void initiatorHandshake(const uint8_t* data, size_t size) {
    isolateNetwork();
    freshPairing();
    SharedSession& s = sharedSession();
    s.paired = 0;
    holdSocket(s.connectSocket, connectionThatSent(data, size));
    bool nameAccepted = false, updateAsked = false;
    const int32_t result = exportedResult(presentToResponder(0, &nameAccepted, &updateAsked));
    if (result == 0 && (!nameAccepted || s.paired != 1)) std::abort();
    if (result == 103 && s.paired != 0) std::abort();
    resetSession();
}

void responderHandshake(const uint8_t* data, size_t size) {
    isolateNetwork();
    if (size == 0) return;
    freshPairing();
    SharedSession& s = sharedSession();
    s.paired = 0;
    holdSocket(s.dataSocket, connectionThatSent(data, size));
    s.connected = 1;
    PartialLine name;
    LineRead state = LineRead::more;
    while (state == LineRead::more) state = continueLine(s.dataSocket, name).read;
    if (name.stored >= PartialLine::size) std::abort();
    if (state == LineRead::complete) {
        bool updateWanted = false;
        double offered = 0;
        (void)answerInitiator(name.text, acceptUnlessZ, 0, &offered,
                              &updateWanted);  // only that it ends matters here
    }
    resetSession();
}

}  // namespace dyadc::fuzz

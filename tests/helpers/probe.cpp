// test-probe: shows (and, for tests, changes) the shared Session of a
// workstation without loading the library.
//
//   test-probe SESSION                 print the fields, or "absent"
//   test-probe SESSION set FIELD N     set an integer field
//   test-probe SESSION break-layout    make the memory look like another build's
//   test-probe SESSION pair initiator|responder LOCAL PEER
//                                      set a pairing as the rendezvous leaves it
//                                      (no process has opened it: openCount 0)
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "session/session.h"

using dyadc::SharedSession;

namespace {

int32_t* field(SharedSession& s, const std::string& name) {
    if (name == "connected") return &s.connected;
    if (name == "paired") return &s.paired;
    if (name == "isInitiator") return &s.isInitiator;
    if (name == "openCount") return reinterpret_cast<int32_t*>(&s.openCount);
    if (name == "linkDown") return &s.linkDown;
    if (name == "useAddressMask") return &s.useAddressMask;
    if (name == "socketOwner") return &s.socketOwner;
    if (name == "blockSize") return reinterpret_cast<int32_t*>(&s.blockSize);
    return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: test-probe SESSION [set FIELD N | break-layout]\n");
        return 2;
    }
    const char* name = argv[1];
    if (argc == 3 && std::strcmp(argv[2], "break-layout") == 0) {
        // The layout word sits right before the size word in the header.
        std::string object = std::string("/") + name;
        int handle = shm_open(object.c_str(), O_RDWR, 0);
        if (handle < 0) return 1;
        uint32_t header[4];
        if (pread(handle, header, sizeof header, 0) != sizeof header) return 1;
        header[1] += 1000;
        if (pwrite(handle, header, sizeof header, 0) != sizeof header) return 1;
        close(handle);
        std::printf("broken\n");
        return 0;
    }
    void* memory = dyadc::platform::peekSharedMemory(name, sizeof(SharedSession), dyadc::sharedSessionLayout);
    if (memory == nullptr) {
        std::printf("absent\n");
        return 0;
    }
    auto& s = *static_cast<SharedSession*>(memory);
    if (argc == 6 && std::strcmp(argv[2], "pair") == 0) {
        const bool initiator = std::strcmp(argv[3], "initiator") == 0;
        auto setAddress = [](dyadc::SocketAddress& address, const char* text, uint16_t port) {
            address = dyadc::SocketAddress{};
            address.family = dyadc::platform::addressFamilyIpv4;
            address.port = dyadc::platform::toNetwork16(port);
            if (dyadc::platform::parseDottedAddress(text, &address.address) != 0) std::exit(2);
        };
        setAddress(s.localAddress, argv[4], initiator ? 0 : 8181);
        setAddress(s.peerAddress, argv[5], initiator ? 8181 : 0);
        s.paired = 1;
        s.linkDown = 0;
        s.connected = 0;
        s.isInitiator = initiator ? 1 : 0;
        std::printf("paired\n");
        return 0;
    }
    if (argc == 5 && std::strcmp(argv[2], "set") == 0) {
        int32_t* target = field(s, argv[3]);
        if (target == nullptr) return 2;
        *target = static_cast<int32_t>(std::strtol(argv[4], nullptr, 10));
        std::printf("set\n");
        return 0;
    }
    std::printf("addressMask %s\n", s.addressMask);
    std::printf("connected %d\n", s.connected);
    std::printf("dataSocket %lld\n", static_cast<long long>(s.dataSocket));
    std::printf("pairingId %s\n", s.pairingId);
    std::printf("openCount %u\n", s.openCount);
    std::printf("paired %d\n", s.paired);
    std::printf("isInitiator %d\n", s.isInitiator);
    std::printf("bytesTransferred %.0f\n", s.bytesTransferred);
    std::printf("useAddressMask %d\n", s.useAddressMask);
    std::printf("connectSocket %lld\n", static_cast<long long>(s.connectSocket));
    std::printf("peerAddress %s:%u\n", dyadc::platform::dotted(s.peerAddress).text,
                dyadc::platform::fromNetwork16(s.peerAddress.port));
    std::printf("relistenSocket %lld\n", static_cast<long long>(s.relistenSocket));
    std::printf("listenSocket %lld\n", static_cast<long long>(s.listenSocket));
    std::printf("localAddress %s:%u\n", dyadc::platform::dotted(s.localAddress).text,
                dyadc::platform::fromNetwork16(s.localAddress.port));
    std::printf("interfaceIndex %d\n", s.interfaceIndex);
    std::printf("blockBytesReceived %u\n", s.blockBytesReceived);
    std::printf("blockSize %u\n", s.blockSize);
    std::printf("blockType %d\n", s.blockType);
    std::printf("linkDown %d\n", s.linkDown);
    std::printf("socketOwner %d\n", s.socketOwner);
    // The processes by their ids.
    std::printf("socketOwnerProcess %d\n", dyadc::platform::processIdOf(s.socketOwnerProcess));
    std::printf("receivingProcess %d\n", dyadc::platform::processIdOf(s.receivingProcess));
    dyadc::platform::unmapSharedMemory(memory, sizeof(SharedSession));
    return 0;
}

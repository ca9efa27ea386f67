// The Session's two regions, their initial values, the process marks,
// closeSocket, the socket field helpers and resetSession.
#include "session/session.h"

#include "session/opens.h"
#include "session/results.h"

#include <atomic>
#include <cstring>

namespace dyadc {
namespace {

SharedSession makeSharedInitialValues() {
    SharedSession values{};
    applySharedInitialValues(values);
    return values;
}

// Until the library attaches the shared region (and in a process where it is
// detached), the Session points here, so that no access can fail.
SharedSession privateShared = makeSharedInitialValues();
SharedSession* shared = &privateShared;
ProcessSession process;
bool sharedForReal = false;
int32_t sharingProblem = 0;
int32_t attachedBy = 0;  // the process that attached the Session

// The creator record beside a socket field of the shared region.
platform::ProcessIdentity& creatorOf(const SocketHandle& field) {
    SharedSession& s = *shared;
    if (&field == &s.dataSocket) return s.dataSocketProcess;
    if (&field == &s.connectSocket) return s.connectSocketProcess;
    if (&field == &s.relistenSocket) return s.relistenSocketProcess;
    if (&field == &s.listenSocket) return s.listenSocketProcess;
    // Only Session fields have a creator record; anything else has none.
    static platform::ProcessIdentity none;
    none = 0;
    return none;
}

}  // namespace

SharedSession& sharedSession() {
    return *shared;
}
ProcessSession& processSession() {
    return process;
}

void applySharedInitialValues(SharedSession& s) {
    std::memset(&s, 0, sizeof s);
    s.addressMask[0] = '\0';
    s.connected = 0;
    s.dataSocket = invalidSocket;
    copyText(s.pairingId, sizeof s.pairingId, " ");
    s.openCount = 0;
    s.paired = 0;
    s.isInitiator = 0;
    s.bytesTransferred = 0.0;
    s.socketFlags = 0;
    s.socketTimeoutMs = 1000;
    s.useAddressMask = 0;
    s.connectSocket = invalidSocket;
    s.peerAddress = SocketAddress{};
    s.relistenSocket = invalidSocket;
    s.listenSocket = invalidSocket;
    s.localAddress = SocketAddress{};
    s.acceptAddressLength = 16;
    s.announceAddressLength = 0;
    s.interfaceIndex = 0;
    s.blockBytesReceived = 0;
    s.blockSize = 0;
    s.blockType = 0;
    s.readSet.count = 0;
    s.linkDown = 1;
    s.socketOwner = 0;
    s.dataSocketProcess = 0;
    s.connectSocketProcess = 0;
    s.relistenSocketProcess = 0;
    s.listenSocketProcess = 0;
    s.socketOwnerProcess = 0;
    s.receivingProcess = 0;
    s.freshConnection = 0;
    s.rendezvousProcess = 0;
    for (OpenRecord& record : s.openRecords) record = OpenRecord{};
}

void applyProcessInitialValues(ProcessSession& p) {
    std::memset(&p, 0, sizeof p);
    p.openTicket = 0;
    p.logSizeLimit = 0;
    p.versionText[0] = '\0';
    copyText(p.logPath, sizeof p.logPath, platform::defaultLogPath);
    p.logEnabled = 0;
    p.logDetail = 0;
    p.logForced = 0;
    p.answerMicroseconds = 0;
}

void attachSession() {
    attachedBy = platform::currentProcessId();
    applyProcessInitialValues(process);
    const SharedSession initial = makeSharedInitialValues();
    platform::SharedMemory memory = platform::attachSharedMemory(sizeof(SharedSession), sharedSessionLayout,
                                                                 &initial);
    sharingProblem = memory.reason;
    if (memory.data == nullptr) {
        shared = &privateShared;
        privateShared = initial;
        sharedForReal = false;
        return;
    }
    shared = static_cast<SharedSession*>(memory.data);
    sharedForReal = memory.shared;
}

void detachSession() {
    static const SharedSession initial = makeSharedInitialValues();
    // The process's opens end with it; the next close of another process
    // may be the last.
    forgetOwnOpens();
    if (shared != &privateShared) {
        shared = &privateShared;
        platform::detachSharedMemory();
    }
    privateShared = initial;
    sharedForReal = false;
}

bool sessionIsShared() {
    return sharedForReal;
}

bool sessionAttachedHere() {
    return attachedBy == platform::currentProcessId();
}

int32_t sessionSharingProblem() {
    return sharingProblem;
}

bool copyText(char* field, size_t size, const char* text) {
    const size_t length = std::strlen(text);
    if (length >= size) {
        if (size > 0) field[0] = '\0';
        return false;
    }
    std::memcpy(field, text, length + 1);
    return true;
}

bool takeProcessMark(platform::ProcessIdentity& field) {
    const platform::ProcessIdentity me = platform::currentProcess();
    std::atomic_ref<platform::ProcessIdentity> mark(field);
    platform::ProcessIdentity current = mark.load();
    for (;;) {
        if (current == me) return true;
        if (current == 0) {
            if (mark.compare_exchange_weak(current, me)) return true;
            continue;
        }
        if (platform::processAlive(current)) return false;
        mark.compare_exchange_weak(current, 0);  // stale: its process has ended
    }
}

void releaseProcessMark(platform::ProcessIdentity& field) {
    platform::ProcessIdentity me = platform::currentProcess();
    std::atomic_ref<platform::ProcessIdentity>(field).compare_exchange_strong(me, 0);
}

void freeSendingMark() {
    SharedSession& s = sharedSession();
    std::atomic_ref<platform::ProcessIdentity>(s.socketOwnerProcess).store(0);
    s.socketOwner = 0;
}

Result closeSocket(SocketHandle socket) {
    freeSendingMark();
    if (socket == invalidSocket) return Result::connectionFailed;
    // The handle is given up whatever these say: a connection that the peer
    // has already reset has nothing left to shut down.
    (void)platform::shutdownReceive(socket);
    (void)platform::closeHandle(socket);
    return Result::ok;
}

void holdSocket(SocketHandle& field, SocketHandle socket) {
    field = socket;
    creatorOf(field) = socket == invalidSocket ? 0 : platform::currentProcess();
}

void copySocket(SocketHandle& to, const SocketHandle& from) {
    const platform::ProcessIdentity creator = creatorOf(from);
    to = from;
    creatorOf(to) = creator;
}

bool ownsSocket(const SocketHandle& field) {
    return field != invalidSocket && creatorOf(field) == platform::currentProcess();
}

bool socketCreatorAlive(const SocketHandle& field) {
    return field != invalidSocket && platform::processAlive(creatorOf(field));
}

void closeSessionSocket(SocketHandle& field) {
    SharedSession& s = sharedSession();
    const SocketHandle handle = field;
    const platform::ProcessIdentity madeBy = creatorOf(field);
    if (handle != invalidSocket && madeBy != platform::currentProcess()) {
        // Another process's handle number means nothing here: free the owner
        // mark as any close does, and only forget the handle.
        freeSendingMark();
    } else {
        // An invalid handle is nothing to close; closeSocket still frees the
        // mark.
        (void)closeSocket(handle);
    }
    for (SocketHandle* other : {&s.dataSocket, &s.connectSocket, &s.relistenSocket, &s.listenSocket}) {
        if (other == &field || (*other == handle && creatorOf(*other) == madeBy)) {
            *other = invalidSocket;
            creatorOf(*other) = 0;
        }
    }
}

void resetSession() {
    SharedSession& s = sharedSession();
    closeSessionSocket(s.dataSocket);
    closeSessionSocket(s.connectSocket);
    closeSessionSocket(s.relistenSocket);
    closeSessionSocket(s.listenSocket);
    s.connected = 0;
    forgetAllOpens();
    s.paired = 0;
    s.isInitiator = 0;
    s.bytesTransferred = 0.0;
    s.acceptAddressLength = 16;
    s.announceAddressLength = 0;
    s.interfaceIndex = 0;
    s.blockBytesReceived = 0;
    s.blockSize = 0;
    s.blockType = 0;
    s.linkDown = 1;
}

}  // namespace dyadc

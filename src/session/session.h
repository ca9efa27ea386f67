// The Session: all state of the library, in two regions.
//
// SharedSession is one copy per workstation, shared by every process that has
// the library loaded: the pairing, its sockets and addresses, the count of
// opens, the link flags and the data block in progress. It takes its initial
// values when the first process loads the library and lives until the last one
// unloads it. ProcessSession is one copy per process, initialised at every
// load: the log settings, the version text, the open ticket and the
// Responder's last answer time. The start of the current operation, from
// which its time limit counts, is kept per thread (session/time_limit.h).
//
// The parts of the library read the fields in place, by name. The fields of
// the data connection and the block in progress on it (connected, linkDown,
// dataSocket, freshConnection, blockSize, blockBytesReceived, blockType) are
// written only by the link (link/connection.h and the link's own files) and by
// the reset here. Socket handles are only valid in the process that created
// them, so beside each handle the shared region records the id of that
// process; a process never operates on a handle that another process created.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"
#include "session/results.h"

namespace dyadc {

using platform::invalidSocket;
using platform::SocketAddress;
using platform::SocketHandle;

// How many processes of a workstation can hold opens at the same time.
inline constexpr size_t openingProcessLimit = 64;

// One process's share of openCount: the opens it made and has not closed.
// The process is 0 while the record is free.
struct OpenRecord {
    alignas(8) platform::ProcessIdentity process;
    uint32_t opens;
    uint32_t reserved;
};

struct SharedSession {
    char addressMask[20];                 // dotted prefix restricting the usable interfaces
    int32_t connected;                    // 1 while dataSocket holds an open connection
    SocketHandle dataSocket;              // the connection that carries every line and block
    char pairingId[64];                   // the identifier the Initiator waits for
    uint32_t openCount;                   // successful opens not yet matched by a close
    int32_t paired;                       // 1 once a pairing has completed
    int32_t isInitiator;                  // 1 once the Initiator has run here
    double bytesTransferred;              // running total of block bytes sent and received
    uint32_t socketFlags;                 // creation flags of the rendezvous' sockets
    int32_t socketTimeoutMs;              // send and receive time-out of data connections
    int32_t useAddressMask;               // 1 while addressMask applies
    SocketHandle connectSocket;           // the Initiator's TCP socket
    SocketAddress peerAddress;            // the peer's address
    SocketHandle relistenSocket;          // the Responder's listener while it waits again
    SocketHandle listenSocket;            // the Responder's listener of the rendezvous
    SocketAddress localAddress;           // the local interface of the pairing
    int32_t acceptAddressLength;          // address length for every accept
    int32_t announceAddressLength;        // address length for the announce receive
    int32_t interfaceIndex;               // table position of the pairing's interface
    uint32_t blockBytesReceived;          // bytes of the block in progress received so far
    uint32_t blockSize;                   // size of the block in progress; 0 when none
    int32_t blockType;                    // type of the block in progress
    platform::SelectSet readSet;          // read set of the rendezvous and re-listen waits
    platform::SocketLayerRecord wsaData;  // the socket layer's start-up record
    int32_t linkDown;                     // 1: no usable link to the peer
    int32_t socketOwner;                  // openTicket of the process using dataSocket; 0 free

    // The processes that created the handles above (0 with an invalid handle),
    // and the process whose ticket is in socketOwner (0 when free), each as
    // its id and start time (platform::ProcessIdentity), changed atomically.
    alignas(8) platform::ProcessIdentity dataSocketProcess;
    alignas(8) platform::ProcessIdentity connectSocketProcess;
    alignas(8) platform::ProcessIdentity relistenSocketProcess;
    alignas(8) platform::ProcessIdentity listenSocketProcess;
    alignas(8) platform::ProcessIdentity socketOwnerProcess;
    // The process that is inside DyadRecvDataBlock (0 when none).
    alignas(8) platform::ProcessIdentity receivingProcess;
    // 1 while the open data connection has carried no complete block yet:
    // it was made for the block now on it, and a single block closes it.
    int32_t freshConnection;

    // The process whose DyadOpen is pairing the workstation (0 when none):
    // the opens of other processes wait for it and then join its pairing.
    alignas(8) platform::ProcessIdentity rendezvousProcess;
    // The opens of each process (session/opens.h); openCount is their sum.
    OpenRecord openRecords[openingProcessLimit];
};

struct ProcessSession {
    int32_t openTicket;     // openCount as this process's last open left it
    uint32_t logSizeLimit;  // the log is trimmed above this size at unload
    char versionText[15];   // the installed library's version, e.g. "2.04"
    char logPath[500];      // the diagnostic log file
    int32_t logEnabled;     // level 1 or 2: basic messages are written
    int32_t logDetail;      // level 2: detail messages are written too
    int32_t logForced;      // DYADDEBUG switched the log on at load
    // How long the Responder took to answer this process's last connection
    // request (a connection or a refusal), in microseconds.
    int64_t answerMicroseconds;
};

// Identifies the SharedSession layout inside the shared memory; change it with
// every change to SharedSession, so that builds with different layouts refuse
// to share one workstation's memory.
inline constexpr uint32_t sharedSessionLayout = 5;

// The Session regions of this process.
SharedSession& sharedSession();
ProcessSession& processSession();

// Attaches the shared region (applying the initial values when no other
// process holds it) and gives this process's region its initial values.
void attachSession();
// Detaches the shared region; the last process discards it.
void detachSession();
// Whether the shared region is really shared with other processes, and if
// not, why (platform::sharedMemoryReason*; 0 when shared).
bool sessionIsShared();
// False in a process forked from the one that attached the Session: such a
// process holds no part of the workstation's Session and leaves no trace.
bool sessionAttachedHere();
int32_t sessionSharingProblem();

void applySharedInitialValues(SharedSession& shared);
void applyProcessInitialValues(ProcessSession& process);

// Copies NUL-terminated text into a text field of `size` bytes. Returns false,
// leaving the field empty, when the text does not fit: a value is never cut.
bool copyText(char* field, size_t size, const char* text);

// A mark in the shared region names the process that holds something of the
// workstation's (the connection, the receiving turn, the rendezvous) by its
// identity. takeProcessMark takes it for this process when it is free,
// stale (its process has ended) or already this process's, with an atomic
// compare-and-swap, so that two processes never both hold it; false while
// another running process holds it. releaseProcessMark frees it when this
// process holds it.
bool takeProcessMark(platform::ProcessIdentity& mark);
void releaseProcessMark(platform::ProcessIdentity& mark);

// Frees the sending mark (socketOwnerProcess and socketOwner), whoever holds
// it: every close of a socket does, so that no close leaves the connection
// marked as in use.
void freeSendingMark();

// closeSocket: marks the data connection free and closes one socket of this
// process. Returns ok, or connectionFailed for the invalid handle (nothing is
// closed then).
Result closeSocket(SocketHandle socket);

// Keeps a handle that this process created in a Session field and records
// this process as its creator.
void holdSocket(SocketHandle& field, SocketHandle socket);
// Copies a Session socket field with its creator into another one.
void copySocket(SocketHandle& to, const SocketHandle& from);
// True when the field holds a handle that this process created.
bool ownsSocket(const SocketHandle& field);
// True when the field holds a handle whose creating process still runs.
bool socketCreatorAlive(const SocketHandle& field);
// Closes the handle in a Session field with closeSocket (only when this
// process created it; another process's handle is just forgotten) and sets the
// field, and every other field holding the same handle, to the invalid value.
// The sending mark is freed in every case, as by every close.
void closeSessionSocket(SocketHandle& field);

// resetSession: closes the Session's sockets and returns it to unpaired.
void resetSession();

}  // namespace dyadc

// These are the services that a platform must provide to the portable parts of
// dyadc. Everything outside platform/ reaches the operating system only through
// this header; platform/posix/ implements it for Linux and other POSIX systems,
// and another implementation (for example platform/windows/) can sit beside it.
//
// Conventions: functions return 0 for success and -1 (or an invalid handle)
// for failure unless they say otherwise; the compiler refuses to let a result
// be dropped unnoticed (one that does not matter is discarded with a cast to
// void and a reason). A failing socket function records
// the failure for lastSocketError(), which reports it as the socket error
// numbers that the rest of the library compares against (10060 time-out,
// 10061 refused, 10054 reset, ...), never as errno.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace dyadc::platform {

// ---------------------------------------------------------------------------
// Addresses and byte order
// ---------------------------------------------------------------------------

// An IPv4 socket address exactly as it travels through the Session: family,
// port (network byte order), address (network byte order), 8 zero bytes.
struct SocketAddress {
    uint16_t family;
    uint16_t port;
    uint32_t address;
    uint8_t zero[8];
};
static_assert(sizeof(SocketAddress) == 16, "IPv4 socket address must be 16 bytes");

inline constexpr uint16_t addressFamilyIpv4 = 2;

// Host to network byte order and back for 16- and 32-bit values.
uint16_t toNetwork16(uint16_t value);
uint32_t toNetwork32(uint32_t value);
uint16_t fromNetwork16(uint16_t value);
uint32_t fromNetwork32(uint32_t value);

// Parses a dotted IPv4 address ("239.192.8.1") into network byte order.
// Returns 0 and writes `out`, or -1 when the text is not a dotted address.
[[nodiscard]] int parseDottedAddress(const char* text, uint32_t* out);

// Dotted text of an address held in network byte order; the text lives in the
// returned value, so it can be passed straight to a format.
struct DottedAddress {
    char text[16];
};
DottedAddress dotted(uint32_t networkAddress);
inline DottedAddress dotted(const SocketAddress& address) {
    return dotted(address.address);
}

// ---------------------------------------------------------------------------
// Sockets
// ---------------------------------------------------------------------------

// Wide enough for every platform's handle (a descriptor here, a SOCKET on
// Windows); the invalid value is -1 on both.
using SocketHandle = int64_t;
inline constexpr SocketHandle invalidSocket = -1;

// The socket layer's start-up record (version numbers, description, status,
// limits). On POSIX, starting the layer cannot fail and only fills a fixed
// record of this shape; on Windows it is WSAStartup's own.
struct SocketLayerRecord {
    uint16_t version;
    uint16_t highVersion;
    char description[257];
    char systemStatus[129];
    uint16_t maxSockets;
    uint16_t maxDatagram;
};

// A select set: a count and room for 64 socket handles, in insertion order.
// selectReadable() leaves in it only the handles that are readable, in the
// order they were added.
struct SelectSet {
    uint32_t count;
    SocketHandle handles[64];
};

// Socket error numbers that the portable code tests for.
inline constexpr int32_t errorInterrupted = 10004;
inline constexpr int32_t errorMessageTooLong = 10040;
inline constexpr int32_t errorAddressInUse = 10048;
inline constexpr int32_t errorAddressNotAvailable = 10049;
inline constexpr int32_t errorConnectionAborted = 10053;
inline constexpr int32_t errorConnectionReset = 10054;
inline constexpr int32_t errorNotConnected = 10057;
inline constexpr int32_t errorTimedOut = 10060;
inline constexpr int32_t errorConnectionRefused = 10061;
inline constexpr int32_t errorSystemCallFailure = 10107;

// Starts the socket layer for the given version (1.1 is 0x0101): fills the
// record and returns 0, or the socket error when the layer cannot start (the
// record is then all zero).
[[nodiscard]] int startSocketLayer(uint16_t version, SocketLayerRecord* record);

// The socket error number of this thread's last failed socket call.
int32_t lastSocketError();
// Replaces this thread's last socket error (used when a failure is detected
// without a failing call, for example a peer that closed the connection).
void setLastSocketError(int32_t error);

// New IPv4 sockets; invalidSocket on failure. `flags` are the Session's
// creation flags (0 here); the handles are closed on exec.
[[nodiscard]] SocketHandle openStreamSocket(uint32_t flags);
[[nodiscard]] SocketHandle openDatagramSocket(uint32_t flags);

// shutdown(receive) and close; both results are ignored by every caller.
[[nodiscard]] int shutdownReceive(SocketHandle socket);
[[nodiscard]] int closeHandle(SocketHandle socket);

// Socket options.
[[nodiscard]] int setBroadcast(SocketHandle socket);
[[nodiscard]] int setMulticastInterface(SocketHandle socket, uint32_t interfaceAddress);
[[nodiscard]] int joinGroup(SocketHandle socket, uint32_t groupAddress, uint32_t interfaceAddress);
[[nodiscard]] int setReceiveTimeout(SocketHandle socket, int32_t milliseconds);
[[nodiscard]] int setSendTimeout(SocketHandle socket, int32_t milliseconds);
[[nodiscard]] int setNoDelay(SocketHandle socket);

// Binds to an address. bindListener first allows the address to be reused, so
// that a listener can bind again while closed connections of the same address
// wait out TIME_WAIT (it never allows two live listeners on one port).
[[nodiscard]] int bindAddress(SocketHandle socket, const SocketAddress& address);
[[nodiscard]] int bindListener(SocketHandle socket, const SocketAddress& address);
// Prepares a datagram socket to receive a multicast group on one interface,
// which joinGroup then names: binds it to the group's port with address reuse
// (to the group address on POSIX, to the wildcard address on Windows, which
// cannot bind a group address), so that the socket reports only the
// datagrams of the group that it joins, arriving through the interface on
// which it joins it.
[[nodiscard]] int bindGroupReceiver(SocketHandle socket, const SocketAddress& group);

[[nodiscard]] int listenOn(SocketHandle socket);
// Accepts one pending connection; fills `peer` and `*length` (16 in and out).
[[nodiscard]] SocketHandle acceptConnection(SocketHandle socket, SocketAddress* peer, int32_t* length);
// Connects, blocking. With a send time-out set on the socket, a connect that
// does not complete within it fails with errorTimedOut. A signal does not end
// it: an interrupted connect is waited for until it completes or fails.
[[nodiscard]] int connectTo(SocketHandle socket, const SocketAddress& peer);
// Connects like connectTo, but waits at most `microseconds` (rounded up to
// whole milliseconds where the system counts in those) for the connection,
// whatever the socket's send time-out. One that is not made by then fails
// with errorTimedOut and stays half made: the caller closes the socket.
[[nodiscard]] int connectWithin(SocketHandle socket, const SocketAddress& peer, uint32_t microseconds);
// The local address of a socket (getsockname).
[[nodiscard]] int localAddressOf(SocketHandle socket, SocketAddress* address);

// Sends all `length` bytes, calling the system as often as it takes while
// each call makes progress. Returns 0 when all left, -1 on failure (a call
// that made no progress within the socket's send time-out fails with
// errorTimedOut); `*sent` always tells how many bytes left before the failure.
[[nodiscard]] int sendAll(SocketHandle socket, const void* data, size_t length, size_t* sent);
// Receives up to `length` bytes; returns the count, 0 when the peer closed the
// connection, -1 on failure (errorTimedOut after the receive time-out; a
// signal neither ends the wait nor lengthens it).
[[nodiscard]] int64_t receiveSome(SocketHandle socket, void* buffer, size_t length);
// Like receiveSome but leaves the bytes in the socket.
[[nodiscard]] int64_t peekSome(SocketHandle socket, void* buffer, size_t length);

[[nodiscard]] int64_t sendDatagram(SocketHandle socket, const void* data, size_t length, const SocketAddress& to);
[[nodiscard]] int64_t receiveDatagram(SocketHandle socket, void* buffer, size_t length, SocketAddress* from,
                                      int32_t* fromLength);

// Waits until a handle of the set is readable or `milliseconds` pass. Returns
// the number of readable handles (the set then holds only those, in the order
// they were added), 0 after the wait (the set is then empty), -1 on failure
// (the set is unchanged). A signal does not end the wait early.
[[nodiscard]] int selectReadable(SelectSet* set, int32_t milliseconds);
// True when a connection can carry nothing more: the peer closed or reset it
// (checked without waiting). A connection that is only silent is not broken.
bool connectionBroken(SocketHandle socket);
// True for the socket errors of a connection that the peer closed or reset.
bool brokenConnectionError(int32_t error);
// Waits up to `milliseconds` (0: just looks) for one socket to become
// readable: 1 readable (or closed, or failed), 0 on time-out, -1 when the
// wait itself failed.
[[nodiscard]] int waitReadable(SocketHandle socket, int32_t milliseconds);

// ---------------------------------------------------------------------------
// Network interfaces
// ---------------------------------------------------------------------------

// Interface flags as the rest of the library knows them.
inline constexpr uint32_t interfaceUp = 1;
inline constexpr uint32_t interfaceBroadcast = 2;
inline constexpr uint32_t interfaceLoopback = 4;
inline constexpr uint32_t interfacePointToPoint = 8;
inline constexpr uint32_t interfaceMulticast = 16;

struct InterfaceRecord {
    uint32_t flags;
    SocketAddress address;  // family, port 0, address
};

// The host's IPv4 interfaces in the platform's order, at most `capacity`.
// Returns 0 and sets `*count`, or -1 (nothing written) when the list cannot
// be read.
[[nodiscard]] int listInterfaceRecords(InterfaceRecord* records, int capacity, int* count);

// ---------------------------------------------------------------------------
// Shared Session memory
// ---------------------------------------------------------------------------

struct SharedMemory {
    void* data;        // the shared bytes, or a private block when not shared
    bool initialised;  // this process found no other holder and wrote the initial values
    bool shared;       // false: the workstation name or segment was unusable
    int32_t reason;    // why not shared (see sharedMemoryReason*), 0 when shared
};
inline constexpr int32_t sharedMemoryReasonName = 1;    // bad DYADC_SESSION
inline constexpr int32_t sharedMemoryReasonLayout = 2;  // another build's layout
inline constexpr int32_t sharedMemoryReasonSystem = 3;  // a system call failed
inline constexpr int32_t sharedMemoryReasonOwner = 4;   // another user's, or open to others
inline constexpr int32_t sharedMemoryReasonBusy = 5;    // locked by another process for too long

// Maps the workstation's shared memory of `size` bytes whose layout is
// identified by `layout`. The first process to attach while no other process
// holds it copies `initialValues` (`size` bytes) into it before any other
// process can see it. The memory is shared by one user's processes only:
// objects that belong to another user, or that others may open, are never
// used. Never fails, and waits a few seconds at most: when the memory cannot
// be shared, a private block holding the initial values is returned with
// `shared` false and the reason.
SharedMemory attachSharedMemory(uint32_t size, uint32_t layout, const void* initialValues);
// Releases this process's hold; the last holder discards the memory and
// every object that belonged to it.
void detachSharedMemory();
// The workstation name in use, for messages: "dyadc" or DYADC_SESSION on
// POSIX, the computer name on Windows.
const char* workstationName();
// Maps the shared memory of the workstation `name` for inspection tools. On
// POSIX the viewer does not hold it (it can be discarded under the viewer when
// its last process unloads); on Windows, where the computer is the one
// workstation, the viewer loads the installed library and holds it until
// unmapSharedMemory. nullptr when it does not exist or has another layout;
// release with unmapSharedMemory.
void* peekSharedMemory(const char* name, uint32_t size, uint32_t layout);
void unmapSharedMemory(void* data, uint32_t size);

// ---------------------------------------------------------------------------
// Process, environment and computer name
// ---------------------------------------------------------------------------

int32_t currentProcessId();

// A process as the shared Session records it, unique among the processes of
// the workstation, also across PID namespaces, and never the same for a new
// process that the system has given the id of an ended one: the id in the
// high 32 bits (for messages; in the process's own PID namespace), and in
// the low 32 bits what tells the process apart on this platform (on POSIX
// its place among the holders of the shared memory and a count of the
// places taken; on Windows the low 32 bits of its start time). 0 is no
// process.
using ProcessIdentity = uint64_t;
ProcessIdentity currentProcess();
// The identity of the running process with this id (in this process's PID
// namespace) that holds the workstation's shared memory; 0 when there is
// none. For tests and tools.
ProcessIdentity processIdentityOf(int32_t processId);
inline int32_t processIdOf(ProcessIdentity process) {
    return static_cast<int32_t>(process >> 32);
}
// False when the process has ended (also when it has not been waited for yet)
// or its id now belongs to another process. A process of another PID
// namespace is told by its identity as any other.
bool processAlive(ProcessIdentity process);
bool environmentDefined(const char* name);
// Writes the computer name (at most size - 1 characters, NUL-terminated).
// Returns 0, or -1 when it cannot be read (the buffer then holds "").
[[nodiscard]] int computerName(char* buffer, uint32_t size);

// ---------------------------------------------------------------------------
// Files, directories and the version record
// ---------------------------------------------------------------------------

// The separator that joins a directory and a file name.
extern const char pathSeparator;
// The installed library's file name in the system directory.
extern const char* const installedLibraryName;
// The default diagnostic log path.
extern const char* const defaultLogPath;

// Writes the system directory into `buffer`. Returns its length, or the size
// needed (greater than `size`) when it does not fit, or 0 on failure; in the
// latter two cases the buffer holds "".
[[nodiscard]] uint32_t systemDirectory(char* buffer, uint32_t size);

// Creates or truncates a file for reading and writing in binary mode,
// readable and writable by its owner only. nullptr on failure.
[[nodiscard]] std::FILE* createPrivateFile(const char* path);

// Creates or truncates a file for writing in binary mode, with the usual
// permissions; a symbolic link in its place is not followed. nullptr on failure.
[[nodiscard]] std::FILE* createStoredFile(const char* path);

// Gives the file `from` the name `to`, replacing a file of that name in one
// step. Returns 0, or -1 when `from` keeps its name.
[[nodiscard]] int replaceFile(const char* from, const char* to);

// The fixed version record of a library file: file and product versions,
// each as a most and a least significant 32-bit half.
struct VersionRecord {
    uint32_t fileVersionMost;
    uint32_t fileVersionLeast;
    uint32_t productVersionMost;
    uint32_t productVersionLeast;
};
// Reads the record from the library file at `path`. Returns 0, or -1 when the
// file cannot be read, is not a library of this platform, or has no record.
[[nodiscard]] int readVersionRecord(const char* path, VersionRecord* record);

// Whether the file at `path` is a library that this system loads into a
// process like the running one: on Linux an ELF shared object of this
// library's word size, byte order and machine that names no program
// interpreter (a program built position-independent is a shared object too,
// but names one); on Windows a DLL, not a program, of this library's machine
// type. Reads the file's headers only. Returns nullptr when it is such a
// library, otherwise why not, as a constant text for the log ("a program,
// not a library").
[[nodiscard]] const char* libraryMismatch(const char* path);

// ---------------------------------------------------------------------------
// Time
// ---------------------------------------------------------------------------

// Calendar time in whole seconds.
int32_t currentTime();
// A clock for measuring waits, in milliseconds; never goes back.
int64_t monotonicMilliseconds();
// The same clock in microseconds, for measuring short spans.
int64_t monotonicMicroseconds();
// Sleeps whole seconds; a signal does not shorten the sleep.
void sleepSeconds(uint32_t seconds);
// Sleeps milliseconds; a signal does not shorten the sleep.
void sleepMilliseconds(uint32_t milliseconds);
// Sleeps microseconds, as finely as the system's timer allows (rounded up to
// whole milliseconds where it counts in those); a signal does not shorten it.
void sleepMicroseconds(uint32_t microseconds);
// Formats a calendar time as local time with strftime conventions. Returns
// the length written, 0 when it does not fit.
size_t formatLocalTime(int64_t seconds, const char* format, char* buffer, size_t size);

}  // namespace dyadc::platform

/*
 * dyadc: pairs two workstations of one local network without configuration
 * and carries named, typed blocks of data between them over TCP.
 *
 * One side, the Responder, announces a pairing identifier by IPv4 multicast
 * (group 239.192.8.1, UDP port 8181) on every usable interface and listens on
 * TCP port 8181. The other side, the Initiator, waits for the announce that
 * carries its own identifier, connects back, presents its computer name for
 * the Responder's host to approve, and sends its library version. When the
 * Initiator's library is newer, its library file travels to the Responder and
 * is stored there as "dyadc.dl_" in the system directory (never installed or
 * loaded by the library) when it is a library for the Responder's system and
 * architecture; a file of another system is removed, and the two pair as
 * peers of the same version.
 *
 * After pairing, the Initiator's host sends blocks with DyadSendDataBlock and
 * the Responder's host receives them with DyadRecvDataBlock. Every block is
 * acknowledged only when all of its bytes have arrived.
 *
 * One pairing is shared by the processes of one user of the workstation that
 * load the library; processes of other users keep a pairing of their own (on
 * Linux the workstation is named by the environment variable DYADC_SESSION,
 * default "dyadc"; on Windows it is the computer, for the processes of the
 * user's logon session; install dyadc.dll once, in the system directory). The
 * library creates no thread: every function runs on the caller's thread and
 * blocks it until it returns, for at most the time limit given to it (0 means
 * no limit).
 *
 * Threads and processes. Every function may be called from any thread of any
 * process of the workstation, with these rules:
 *   - DyadSendDataBlock: calls of one process take turns (a second thread's
 *     call waits for the first to finish its block); a call of another process
 *     waits while a block or series of this one holds the connection. Every
 *     such wait ends at the waiting call's own time limit.
 *   - DyadRecvDataBlock: one call receives at a time on a workstation; a call
 *     from another thread or process waits for it within its own time limit.
 *     Blocks go to whichever call receives them, each block to exactly one
 *     call.
 *   - DyadOpen, DyadOpenXOver, DyadClose: one open at a time pairs the
 *     workstation; an open that finds another thread or process pairing
 *     waits for it within its own time limit, then joins its pairing
 *     (returning 0) or pairs itself when the other failed. Opens are counted
 *     per process: a DyadClose undoes an open of its own process, the opens
 *     of a process that ended without closing them are taken back, and the
 *     last DyadClose of the processes still running ends the pairing for
 *     every process.
 *   - DyadSetLog sets the calling process's log only; set it before other
 *     threads of the process use the library.
 *   - Callbacks run on the thread that called the function that takes them.
 *   - A process forked without exec holds no part of the workstation's
 *     pairing: loading and unloading in other processes never wait for it,
 *     and it cannot use a connection that its parent made (its calls wait
 *     for one of their own). Processes started with exec load the library
 *     like any other.
 *
 * All text is 8-bit and NUL-terminated. All results are 32-bit signed; the
 * list DYAD_RESULT_MAP below names every result that a host can see.
 *
 * The diagnostic log is off by default. DyadSetLog switches it; defining the
 * environment variable DYADDEBUG (with any value) when the library is loaded
 * forces it on at full detail in /tmp/dyadc.log (c:\dyadc.log on Windows) and
 * makes DyadSetLog a no-op.
 */
#ifndef DYADC_H
#define DYADC_H

#include <stdint.h>

/* DYADC_API marks the six functions. On Windows, dyadc.dll exports them under
 * their plain names (DyadOpen, no decoration) and a host links them through
 * the import library. */
#if defined(_WIN32)
#if defined(DYADC_BUILDING_LIBRARY)
#define DYADC_API
#else
#define DYADC_API __declspec(dllimport)
#endif
#elif defined(DYADC_BUILDING_LIBRARY)
#define DYADC_API __attribute__((visibility("default")))
#else
#define DYADC_API
#endif

/* DYADC_CALL is the calling convention of the six functions and of the three
 * callback types, and a host writes its callbacks with it:
 *     static int32_t DYADC_CALL identifier(char* buffer) { ... }
 * On 32-bit Windows it is __stdcall, the convention of the Windows API itself:
 * it is the one that hosts in languages other than C call a DLL's functions
 * with (.NET's DllImport assumes it on x86, for example), and dyadc.dll
 * exports the functions under their plain names, as the Windows API's DLLs do
 * (DyadOpen, not _DyadOpen@16). Everywhere else it is empty: 64-bit Windows
 * has one calling convention, the Microsoft x64 convention, which __cdecl and
 * __stdcall also name there, and Linux has the C convention. */
#if defined(_WIN32) && (defined(_M_IX86) || defined(__i386__))
#define DYADC_CALL __stdcall
#else
#define DYADC_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The library's version: major.minor, exchanged between peers as the text
 * "%d.%02d" ("2.04"); a peer with a higher number hands its library over. */
#define DYAD_VERSION_MAJOR 2
#define DYAD_VERSION_MINOR 4

/*
 * Every result of the six functions, as XX(name, value, meaning). The
 * enumeration below gives each the name DYAD_<name>; a host can make its own
 * table from the list, for example
 *     #define MEANING(name, value, meaning) case value: return meaning;
 *     switch (result) { DYAD_RESULT_MAP(MEANING) }
 * DyadRecvDataBlock may also return the socket error (10000 and above) of
 * sending a block's final acknowledgement.
 */
#define DYAD_RESULT_MAP(XX)                                                               \
    XX(OK, 0, "success")                                                                  \
    XX(SOCKET_FAILED, 1, "a local network socket could not be set up")                    \
    XX(PEER_CLOSED, 23, "the peer closed the pairing")                                    \
    XX(UPDATED, 24, "the library update was transferred")                                 \
    XX(CONNECTION_FAILED, 100, "a connection step failed")                                \
    XX(TIMED_OUT, 101, "the peer did not answer in time")                                 \
    XX(UPDATE_FAILED, 102, "this computer's newer library could not be sent to the peer") \
    XX(REFUSED, 103, "the computer name was refused")                                     \
    XX(BAD_MASK, 104, "the address mask is not usable")                                   \
    XX(OTHER_IDENTIFIER, 999, "the peer announced another identifier")                    \
    XX(INVALID, -1, "an argument was refused, or an incomplete block header arrived")

#define DYAD_RESULT_ENUMERATOR_(name, value, meaning) DYAD_##name = (value),
typedef enum DyadResult { DYAD_RESULT_MAP(DYAD_RESULT_ENUMERATOR_) } DyadResult;
#undef DYAD_RESULT_ENUMERATOR_

/* Size of the identifier buffer handed to the identifier callback. */
#define DYAD_IDENTIFIER_BUFFER_SIZE 80
/* The longest identifier, in characters; longer ones are cut to it. */
#define DYAD_IDENTIFIER_MAX 63
/* Size of each name buffer passed to DyadRecvDataBlock. */
#define DYAD_NAME_BUFFER_SIZE 260

/* Block types with a meaning to the library. Any other value is a single
 * block. */
#define DYAD_BLOCK_LAST 20  /* last block of a series; closes the connection */
#define DYAD_BLOCK_FIRST 21 /* first block of a series; keeps it open */
#define DYAD_BLOCK_MORE 22  /* further block of a series; keeps it open */

/* Writes the pairing identifier, NUL-terminated, at most 63 characters, into
 * `identifier` (a buffer of DYAD_IDENTIFIER_BUFFER_SIZE bytes). Returns 0, or
 * any other value to abort the open, which then returns that value. */
typedef int32_t(DYADC_CALL* DyadIdentifierCallback)(char* identifier);

/* Responder only: receives the Initiator's computer name. Returns 0 to accept
 * it, anything else to refuse it. It may block (for example to ask a person);
 * the Initiator waits for the answer within its own time limit (without one
 * when its limit is 0). */
typedef int32_t(DYADC_CALL* DyadVerifyCallback)(const char* computerName);

/* Receives the running total of block bytes sent and received on this
 * workstation since the pairing was made. */
typedef void(DYADC_CALL* DyadProgressCallback)(double bytesTransferred);

/*
 * Pairs this workstation with a peer, or counts one more open of an existing
 * pairing.
 *
 * When the workstation is already paired (by this or another process), the
 * call returns 0 at once and counts the open; the callbacks are not called.
 * Otherwise it calls `identifierCallback` and then runs one side of the
 * pairing:
 *   mode 1        Initiator: waits for a Responder announcing the same
 *                 identifier, connects, presents this computer's name and
 *                 the library version. Announces with other identifiers are
 *                 skipped; each one restarts the time limit.
 *   other modes   Responder: announces the identifier about once a second
 *                 on every usable interface until an Initiator connects,
 *                 then passes its computer name to `verifyCallback`. A
 *                 connection that does not present a name within 3 seconds
 *                 (or closes first) is dropped and the announcing goes on.
 * `timeoutSeconds` bounds the wait for the peer (0: no limit); it is checked
 * about once a second, so the call returns at the first check after more
 * than that many seconds.
 *
 * An Initiator whose library is newer sends it and then runs its rendezvous
 * once more. A Responder that received a library of another system or
 * architecture removes it, logs why, and goes on announcing (its time limit
 * starting again); it answers the Initiator's next attempt, with the same
 * version, as one of an equal version, so both calls pair.
 *
 * Results: 0 paired (the open is counted); the value of `identifierCallback`
 * when it is not 0; 1 a local socket failed; 24 the library update was
 * transferred (Responder: "dyadc.dl_" is stored in the system directory;
 * Initiator: the pairing attempt after the update asked for it again): call
 * DyadOpen again to pair; 100 a connection step failed; 101 the time limit
 * passed; 102 the Initiator could not send its update; 103 the Responder
 * refused the name (both sides are unpaired again); 999 Initiator: the attempt
 * after an update met another identifier; -1 `identifierCallback` is null, or
 * `verifyCallback` is null in Responder mode (nothing was done).
 * Every open that returns 0 must be matched by one DyadClose.
 */
DYADC_API int32_t DYADC_CALL DyadOpen(DyadIdentifierCallback identifierCallback, DyadVerifyCallback verifyCallback,
                                      uint32_t timeoutSeconds, int32_t mode);

/*
 * As DyadOpen, but pairs only through interfaces whose dotted address begins
 * with the prefix that `ipMask` gives: its trailing zero fields are dropped,
 * so "192.168.0.0" selects 192.168.*, "10.0.5.0" selects 10.0.5.*, and a full
 * address such as "10.1.2.3" selects every address that begins with that
 * text. `ipMask` has at most 15 characters; null means no restriction.
 * Returns 104, doing nothing else, when the mask is not usable (more than 15
 * characters, no field, or a field longer than 3 characters); otherwise the
 * result of DyadOpen. The restriction stays while the pairing stays.
 */
DYADC_API int32_t DYADC_CALL DyadOpenXOver(DyadIdentifierCallback identifierCallback,
                                           DyadVerifyCallback verifyCallback, uint32_t timeoutSeconds,
                                           int32_t mode, const char* ipMask);

/*
 * Undoes one successful open of this process. The close that brings the
 * count of opens, over the processes of the workstation that still run, to 0
 * ends the pairing's connection: on
 * the Initiator it first tells the Responder ("quit 23"; the Responder's
 * DyadRecvDataBlock then returns 23), connecting again for that when needed,
 * a few times a second apart (so this close may take up to about 4 seconds
 * when the Responder does not listen). A close without a matching open of
 * this process changes nothing. Always returns 0.
 */
DYADC_API int32_t DYADC_CALL DyadClose(void);

/*
 * Sets this process's diagnostic log: `path` (at most 499 characters; keep it
 * under 256 so that the trim's temporary "<path>.tmp" stays short; null or a
 * longer path keeps the current one), `sizeLimit` in bytes (when the process
 * unloads the library with the log on, the file is cut back to about its
 * newest `sizeLimit` bytes), `level` 0 off, 1 basic messages, 2 every message
 * including each line sent and received (other levels keep the current one).
 * Has no effect when DYADDEBUG forced the log on. Always returns 0.
 */
DYADC_API int32_t DYADC_CALL DyadSetLog(const char* path, uint32_t sizeLimit, int32_t level);

/*
 * Sends one block to the paired workstation and waits until the peer has
 * confirmed every byte.
 *
 * `firstName` and `secondName` are carried with the block; they must not be
 * empty nor contain '|', CR or LF, and together with the length and type they
 * must fit a header line of 257 characters (names up to about 200 characters
 * each are safe). `data` holds `length` bytes (length may be 0). `type` is the
 * block type: DYAD_BLOCK_FIRST / DYAD_BLOCK_MORE keep the connection open for
 * the next block of a series, DYAD_BLOCK_LAST closes it, any other value is a
 * single block (the connection is closed again if this call had to make it).
 * `progress`, when not null, is called once after the bytes have been sent.
 *
 * When no connection is open the call connects to the Responder until it gets
 * through: soon again when the Responder refused (it is between two
 * listening windows), after a pause that grows from a tenth of a millisecond
 * to a second, and a second later after any other failure. While another
 * thread or process of this workstation is using the connection, the call
 * waits for it. `timeoutSeconds` (0: no limit) bounds the whole call, these
 * waits included: a failed step is retried until the limit passes, and a
 * call that is still waiting for the connection then returns 101, leaving
 * the other call's block or series undisturbed. Once every byte has left,
 * the call waits up to a second past the limit for the receiver's
 * acknowledgement, so that a block the receiver confirmed is never reported
 * lost.
 *
 * The bytes go out in one piece: when the receiver stops taking them for a
 * while, the call waits and goes on from where the sending stopped, until
 * every byte has left or the time limit passes.
 *
 * Results: 0 the peer confirmed every byte; 101 the time limit passed (no
 * connection, or the last failure was a time-out); 100 a step failed after the
 * limit with another error, or the peer closed or reset the connection (at
 * once, whatever the limit). When part of the bytes had left, the connection
 * is closed and the result is 101 or 100: send the block again. 100, sending
 * nothing, also for invalid names, a header that does not fit, or null `data`
 * with a `length` other than 0.
 */
DYADC_API int32_t DYADC_CALL DyadSendDataBlock(const char* firstName, const char* secondName,
                                               uint32_t timeoutSeconds, const void* data, uint32_t length,
                                               int32_t type, DyadProgressCallback progress);

/*
 * Receives the next block, or the next piece of a block that is larger than
 * `size`, from the paired workstation.
 *
 * `firstName` and `secondName` must each point to DYAD_NAME_BUFFER_SIZE (260)
 * bytes; they receive the block's names when the call reads a block header
 * (a header with a name longer than 259 characters is refused: no name is
 * written, the connection is closed without a reply and the call returns
 * 100). `buffer` (`size` bytes) receives the bytes, and every
 * byte after them is 0 when the call returns; `*length` receives their count
 * (also when the call ends with 100 or 101 after some bytes arrived: those
 * bytes belong to the block). `*type` receives the block type:
 * the header's type when the whole block fits; for a block that spans
 * several calls, the first call reports the header's type (22 for a type 20
 * block) and every later call 22, except that the call completing a type 20
 * block reports 20. The call that completes a block keeps or closes the
 * connection by the block's own type: a series block (21, 22) keeps it, 20
 * closes it, and a single block closes the connection that was made for it,
 * also when it arrived over several calls (so that whichever process
 * receives next gets the next connection). A call that reads only a line (an
 * empty or unknown one, or "quit") decides by the value that `*type` holds:
 * set it before the call.
 * `progress`, when not null, is called after every receive that brought bytes.
 *
 * When no connection is open the call listens for the Initiator's connection
 * in windows of 5 seconds, a second apart; only the paired Initiator's address
 * is accepted. A connection that the Initiator closed while no block was in
 * progress is no failure: the call waits for its next one. While another
 * process of this workstation is receiving, or the open connection belongs to
 * another running process, the call waits for it. `timeoutSeconds` (0: no
 * limit) bounds the whole call: a listening window, the pause after it and
 * every read end at the limit. Every call measures it from its own start.
 *
 * Results: 0 a block or a piece of one was received (or an empty or unknown
 * line was read, leaving `*length` and `*type` as they were); 23 (the number
 * the peer sent with "quit") the Initiator closed the pairing; -1 a block
 * header lacked a field (no reply was sent), or a required pointer is null;
 * 100 the connection failed, or was closed by the peer in the middle of a
 * block (the block is discarded); 101 the time limit passed (a block in progress is kept and the
 * next call resumes it); any other value: the socket error of sending the
 * final acknowledgement.
 */
DYADC_API int32_t DYADC_CALL DyadRecvDataBlock(char* firstName, char* secondName, uint32_t timeoutSeconds,
                                               void* buffer, uint32_t size, int32_t* length, int32_t* type,
                                               DyadProgressCallback progress);

#ifdef __cplusplus
}
#endif

#endif /* DYADC_H */

// Everything that travels between the two sides: the one port, the announce
// group and datagram, the handshake and data-channel lines and their reply
// codes, and the version rule that decides whether the library file moves.
#pragma once

#include <cstddef>
#include <cstdint>

#include "dyadc.h"
#include "rules/lan.h"

namespace dyadc {

// The port, the announce group and the most bytes of an announce read are
// rules/lan.h's, which the dyad command follows too.

// The host's identifier buffer and the longest pairing identifier.
inline constexpr size_t identifierBufferSize = DYAD_IDENTIFIER_BUFFER_SIZE;
inline constexpr size_t identifierLimit = DYAD_IDENTIFIER_MAX;
static_assert(identifierBufferSize == 80 && identifierLimit == 63, "the identifier's buffer and limit are fixed");
// The receiver's name buffers: every name is cut to fit them.
inline constexpr uint32_t receivedNameLimit = DYAD_NAME_BUFFER_SIZE - 1;
static_assert(DYAD_NAME_BUFFER_SIZE == 260, "names are received into 260 bytes");

// Handshake replies (Responder to Initiator).
inline constexpr const char* replyAccepted = "000 OK";  // name accepted; no update needed
inline constexpr const char* replyRefused = "001 CANCEL";
inline constexpr const char* replyUpdateFormat = "%d UPDT";  // with updateCode
inline constexpr int32_t updateCode = DYAD_UPDATED;
static_assert(updateCode == 24, "the update reply carries 24");

// Data channel lines.
inline constexpr const char* putFormat = "put %s|%s|%ld|%d";
inline constexpr const char* replyGoAhead = "000 OK";   // header understood: send the bytes
inline constexpr const char* replyComplete = "000 Ok";  // every byte of the block arrived
inline constexpr const char* quitFormat = "quit %d";
inline constexpr int32_t quitCode = DYAD_PEER_CLOSED;
static_assert(quitCode == 23, "the closing line carries 23");

// Block types with a meaning to the library (as the header publishes them).
inline constexpr int32_t blockLast = DYAD_BLOCK_LAST;
inline constexpr int32_t blockFirst = DYAD_BLOCK_FIRST;
inline constexpr int32_t blockMore = DYAD_BLOCK_MORE;
static_assert(blockLast == 20 && blockFirst == 21 && blockMore == 22, "block types travel as these numbers");
// Types 20, 21 and 22 belong to a series; any other is a single block.
inline bool isSeriesType(int32_t type) {
    return type == blockLast || type == blockFirst || type == blockMore;
}

// The names that the library update travels under.
inline constexpr const char* updateBlockName = "dyadc.dl_";
inline constexpr const char* updateSecondName = "c:\\placeholder";

// The announce datagram: the identifier's bytes and one NUL. Writes it into
// `out` and returns its length, or 0 when it does not fit.
size_t makeAnnounce(const char* identifier, uint8_t* out, size_t capacity);
// The text of a received announce: up to its first NUL, never past the bytes
// received. `text` must hold length + 1 bytes.
void announceText(const uint8_t* datagram, size_t length, char* text);

// A version text read as a decimal number: leading white space, then the
// longest prefix of the form [sign] digits [. digits] [e [sign] digits]; 0
// when there is none.
double versionNumber(const char* text);
// The version rule: the Responder asks for the library when the Initiator's
// number is strictly greater than its own.
bool updateWanted(const char* ownVersion, const char* initiatorVersion);

}  // namespace dyadc

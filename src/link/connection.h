// The data connection's state and the block in progress on it. These
// functions are the only writers of connected, linkDown, dataSocket,
// freshConnection and the block fields (besides the Session's reset), and
// keepOrClose is the one place that decides whether a call leaves the
// connection open.
#pragma once

#include <cstdint>

#include "session/results.h"
#include "session/session.h"

namespace dyadc {

// A handshake connection (the Responder's accepted one, or the Initiator's
// connect socket) becomes the data connection for the rest of the handshake.
void adoptHandshakeConnection(SocketHandle socket);
// Closes the handshake's data connection, if it still holds one.
void endHandshakeConnection();
// The pairing stands: the link to the peer is up, whether or not a
// connection is open.
void linkUp();

// Closes the data connection if one is open ("closing local socket").
void closeConnection();
// The connection can carry nothing more (the peer closed or reset it, or a
// step failed for good): linkDown 1, the connection closed. Returns 100.
Result connectionLost();

// The block in progress: announced by a header of `type` and `size` bytes,
// `count` more of its bytes arrived, or ended (complete, or discarded with
// its connection).
void beginBlock(int32_t type, uint32_t size);
void blockBytesArrived(uint32_t count);
void endBlock();

// How a call on the connection ended, which is all that keepOrClose needs.
struct CallEnd {
    enum Kind {
        open,       // a failure, or a piece of a block with more to come: left as it stands
        line,       // a whole line was dealt with (no block, or a block of length 0 refused)
        sent,       // a sending call ended (its block arrived or not)
        completed,  // the last byte of a received block arrived
    };
    Kind kind = open;
    int32_t type = 0;       // the block type that decides
    bool madeHere = false;  // the call made, or waited for, the connection it used
};

// Keeps or closes the connection after a call: a series block (21, 22) keeps
// it, the last block of a series (20) closes it, and a single block closes it
// when the connection was made for that block. For a sending call or a line,
// that is when the call made it; for a completed received block, whichever
// call accepted the connection, when no block completed on it before.
void keepOrClose(const CallEnd& end);

}  // namespace dyadc

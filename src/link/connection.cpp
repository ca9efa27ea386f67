// The data connection's state and the block in progress on it.
#include "link/connection.h"

#include "log/log.h"
#include "wire/protocol.h"

namespace dyadc {

void adoptHandshakeConnection(SocketHandle socket) {
    SharedSession& s = sharedSession();
    holdSocket(s.dataSocket, socket);
    s.connected = 1;
}

void endHandshakeConnection() {
    SharedSession& s = sharedSession();
    if (s.dataSocket != invalidSocket) closeSessionSocket(s.dataSocket);
    s.connected = 0;
}

void linkUp() {
    sharedSession().linkDown = 0;
}

void closeConnection() {
    SharedSession& s = sharedSession();
    if (s.connected == 1) {
        LOG_DETAIL("closing local socket");
        closeSessionSocket(s.dataSocket);
        s.connected = 0;
    }
}

Result connectionLost() {
    sharedSession().linkDown = 1;
    closeConnection();
    return Result::connectionFailed;
}

void beginBlock(int32_t type, uint32_t size) {
    SharedSession& s = sharedSession();
    s.blockType = type;
    s.blockSize = size;
}

void blockBytesArrived(uint32_t count) {
    sharedSession().blockBytesReceived += count;
}

void endBlock() {
    SharedSession& s = sharedSession();
    s.blockSize = 0;
    s.blockBytesReceived = 0;
}

void keepOrClose(const CallEnd& end) {
    SharedSession& s = sharedSession();
    if (end.kind == CallEnd::open) return;
    bool madeForThisBlock = end.madeHere;
    if (end.kind == CallEnd::completed) {
        madeForThisBlock = s.freshConnection == 1;
        s.freshConnection = 0;
    }
    if (end.type == blockLast || (!isSeriesType(end.type) && madeForThisBlock)) closeConnection();
}

}  // namespace dyadc

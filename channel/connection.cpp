// What the two data-block functions share: closing the data connection,
// recognising a connection that another process holds, checking outgoing
// headers and splitting incoming command lines.
#include <climits>
#include <cstdio>
#include <cstring>

#include "channel/blocks.h"
#include "channel/line_io.h"
#include "log/log.h"
#include "rendezvous/protocol.h"

namespace dyadc {
namespace {

constexpr const char* commandSeparators = " \r\n";
constexpr const char* fieldSeparators = "|";

// strtok over a cursor: skips leading separators, ends the token at the next
// separator (overwriting it), and leaves the cursor after it.
char* nextToken(char*& cursor, const char* separators) {
    while (*cursor != '\0' && std::strchr(separators, *cursor) != nullptr) ++cursor;
    if (*cursor == '\0') return nullptr;
    char* start = cursor;
    while (*cursor != '\0' && std::strchr(separators, *cursor) == nullptr) ++cursor;
    if (*cursor != '\0') *cursor++ = '\0';
    return start;
}

// atol: leading white space, an optional sign, digits; stops at anything else.
// Values past the range of a 64-bit long are held at its ends.
long readLong(const char* text) {
    while (*text == ' ' || (*text >= '\t' && *text <= '\r')) ++text;
    const bool negative = *text == '-';
    if (*text == '+' || *text == '-') ++text;
    const unsigned long long limit = static_cast<unsigned long long>(LONG_MAX) + 1;  // |LONG_MIN|
    unsigned long long value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        const unsigned digit = static_cast<unsigned>(*text - '0');
        if (value > (limit - digit) / 10) return negative ? LONG_MIN : LONG_MAX;
        value = value * 10 + digit;
    }
    if (!negative) return value >= limit ? LONG_MAX : static_cast<long>(value);
    return static_cast<long>(0 - value);
}

// The low 32 bits of a value, as the header's signed 32-bit fields carry them.
int32_t low32(long value) { return static_cast<int32_t>(static_cast<uint32_t>(static_cast<unsigned long>(value))); }

void copyName(char* to, const char* from) {
    size_t length = std::strlen(from);
    if (length > receivedNameLimit) length = receivedNameLimit;
    std::memcpy(to, from, length);
    to[length] = '\0';
}

bool validName(const char* name) {
    return name != nullptr && name[0] != '\0' && std::strpbrk(name, "|\r\n") == nullptr;
}

}  // namespace

std::recursive_mutex& sendingTurn() {
    static std::recursive_mutex turn;
    return turn;
}

void closeConnection() {
    SharedSession& s = sharedSession();
    if (s.connected == 1) {
        LOG_DETAIL("closing local socket");
        closeSessionSocket(s.dataSocket);
        s.connected = 0;
    }
}

bool connectionHeldElsewhere() {
    SharedSession& s = sharedSession();
    if (s.connected != 1 || ownsSocket(s.dataSocket)) return false;
    if (socketCreatorAlive(s.dataSocket)) return true;
    // The process that made the connection has ended, and the connection
    // with it: forget it, so that a new one is made.
    closeSessionSocket(s.dataSocket);
    s.connected = 0;
    s.linkDown = 1;
    return false;
}

bool validHeader(const char* firstName, const char* secondName, uint32_t length, int32_t type) {
    if (!validName(firstName) || !validName(secondName)) return false;
    int size = std::snprintf(nullptr, 0, putFormat, firstName, secondName,
                             static_cast<long>(static_cast<int32_t>(length)), type);
    return size > 0 && static_cast<size_t>(size) <= lineTextLimit;
}

ParsedLine parseCommandLine(char* line, char* firstName, char* secondName) {
    ParsedLine parsed{};
    char* cursor = line;
    const char* command = nextToken(cursor, commandSeparators);
    if (command == nullptr) return parsed;
    if (std::strcmp(command, "quit") == 0) {
        parsed.kind = 1;
        const char* number = nextToken(cursor, commandSeparators);
        if (number != nullptr) parsed.quitNumber = low32(readLong(number));
        return parsed;
    }
    if (std::strcmp(command, "put") != 0) return parsed;

    parsed.kind = 3;
    const char* first = nextToken(cursor, fieldSeparators);
    if (first == nullptr) return parsed;
    copyName(firstName, first);
    parsed.haveFirst = true;
    const char* second = nextToken(cursor, fieldSeparators);
    if (second == nullptr) return parsed;
    copyName(secondName, second);
    parsed.haveSecond = true;
    const char* length = nextToken(cursor, fieldSeparators);
    if (length == nullptr) return parsed;
    parsed.length = low32(readLong(length));
    parsed.haveLength = true;
    const char* type = nextToken(cursor, commandSeparators);
    if (type == nullptr) return parsed;
    parsed.type = low32(readLong(type));
    parsed.haveType = true;
    parsed.kind = 2;
    return parsed;
}

}  // namespace dyadc

// The "put" header: checking one before it is sent, splitting a received
// command line into its fields, and what a block's type means for its
// connection afterwards.
#include <cstdio>
#include <cstring>

#include "blocks/blocks.h"
#include "wire/line_io.h"
#include "wire/protocol.h"
#include "wire/text.h"

namespace dyadc {
namespace {

constexpr std::string_view commandSeparators = " \r\n";
constexpr std::string_view fieldSeparators = "|";

// Copies a name that fits the host's buffer (receivedNameLimit characters).
void copyName(char* to, std::string_view from) {
    std::memcpy(to, from.data(), from.size());
    to[from.size()] = '\0';
}

bool validName(const char* name) {
    return name != nullptr && name[0] != '\0' && std::strpbrk(name, "|\r\n") == nullptr;
}

// The line without its end: an LF and a CR before it.
std::string_view withoutLineEnd(const char* line) {
    std::string_view text(line);
    if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
    if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
    return text;
}

}  // namespace

bool validHeader(const char* firstName, const char* secondName, uint32_t length, int32_t type) {
    if (!validName(firstName) || !validName(secondName)) return false;
    int size = std::snprintf(nullptr, 0, putFormat, firstName, secondName,
                             static_cast<long>(static_cast<int32_t>(length)), type);
    return size > 0 && static_cast<size_t>(size) <= lineTextLimit;
}

ParsedLine parseCommandLine(const char* line, char* firstName, char* secondName) {
    ParsedLine parsed;
    TextCursor cursor(withoutLineEnd(line));
    const std::string_view command = cursor.token(commandSeparators);
    if (command == "quit") {
        parsed.kind = ParsedLine::quit;
        const std::string_view number = cursor.token(commandSeparators);
        if (!number.empty()) parsed.quitNumber = low32(TextCursor(number).number());
        return parsed;
    }
    if (command != "put") return parsed;

    parsed.kind = ParsedLine::incompletePut;
    const std::string_view first = cursor.token(fieldSeparators);
    const std::string_view second = first.empty() ? first : cursor.token(fieldSeparators);
    if (first.size() > receivedNameLimit || second.size() > receivedNameLimit) {
        // Cut to the buffer, it would be another name than the one sent.
        parsed.kind = ParsedLine::overlongName;
        return parsed;
    }
    if (first.empty()) return parsed;
    copyName(firstName, first);
    parsed.haveFirst = true;
    if (second.empty()) return parsed;
    copyName(secondName, second);
    parsed.haveSecond = true;
    const std::string_view length = cursor.token(fieldSeparators);
    if (length.empty()) return parsed;
    parsed.length = low32(TextCursor(length).number());
    parsed.haveLength = true;
    const std::string_view type = cursor.token(commandSeparators);
    if (type.empty()) return parsed;
    parsed.type = low32(TextCursor(type).number());
    parsed.haveType = true;
    parsed.kind = ParsedLine::put;
    return parsed;
}

}  // namespace dyadc

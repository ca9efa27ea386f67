// The announce datagram and the version rule.
#include "rendezvous/protocol.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

namespace dyadc {
namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

}  // namespace

size_t makeAnnounce(const char* identifier, uint8_t* out, size_t capacity) {
    size_t length = std::strlen(identifier);
    if (length + 1 > capacity) return 0;
    std::memcpy(out, identifier, length + 1);
    return length + 1;
}

void announceText(const uint8_t* datagram, size_t length, char* text) {
    const void* end = std::memchr(datagram, '\0', length);
    size_t textLength = end != nullptr ? static_cast<size_t>(static_cast<const uint8_t*>(end) - datagram) : length;
    std::memcpy(text, datagram, textLength);
    text[textLength] = '\0';
}

double versionNumber(const char* text) {
    const char* at = text;
    while (isSpace(*at)) ++at;
    bool negative = false;
    if (*at == '+' || *at == '-') {
        negative = *at == '-';
        ++at;
    }
    // Only a decimal number counts: digits, or a point followed by a digit.
    if (!isDigit(*at) && !(*at == '.' && isDigit(at[1]))) return 0.0;
    const char* end = at + std::strlen(at);
    double value = 0.0;
    auto parsed = std::from_chars(at, end, value, std::chars_format::general);
    if (parsed.ec == std::errc::result_out_of_range) {
        // Too large or too small for a double: the nearest the type has.
        const char* exponent = std::strpbrk(at, "eE");
        bool tiny = exponent != nullptr && exponent[1] == '-';
        value = tiny ? 0.0 : std::numeric_limits<double>::infinity();
    } else if (parsed.ec != std::errc()) {
        return 0.0;
    }
    return negative ? -value : value;
}

bool updateWanted(const char* ownVersion, const char* initiatorVersion) {
    return versionNumber(initiatorVersion) > versionNumber(ownVersion);
}

}  // namespace dyadc

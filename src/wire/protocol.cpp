// The announce datagram and the version rule.
#include "wire/protocol.h"

#include <cstring>

#include "wire/text.h"

namespace dyadc {

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
    return TextCursor(text).decimal();
}

bool updateWanted(const char* ownVersion, const char* initiatorVersion) {
    return versionNumber(initiatorVersion) > versionNumber(ownVersion);
}

}  // namespace dyadc

// Byte order and dotted address text: the same socket-library calls on every
// platform; only the header that declares them differs.
#include "platform/platform.h"

#ifdef _WIN32
#include "platform/windows/win32.h"
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#endif

namespace dyadc::platform {

uint16_t toNetwork16(uint16_t value) {
    return htons(value);
}
uint32_t toNetwork32(uint32_t value) {
    return htonl(value);
}
uint16_t fromNetwork16(uint16_t value) {
    return ntohs(value);
}
uint32_t fromNetwork32(uint32_t value) {
    return ntohl(value);
}

int parseDottedAddress(const char* text, uint32_t* out) {
    in_addr parsed{};
    if (text == nullptr || inet_pton(AF_INET, text, &parsed) != 1) return -1;
    *out = parsed.s_addr;
    return 0;
}

DottedAddress dotted(uint32_t networkAddress) {
    DottedAddress result{};
    in_addr address{};
    address.s_addr = networkAddress;
    if (inet_ntop(AF_INET, &address, result.text, sizeof result.text) == nullptr) result.text[0] = '\0';
    return result;
}

}  // namespace dyadc::platform

#include "rules/lan.h"

#include <cstring>
#include <string_view>

namespace dyadc {
namespace {

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// The next field between points, as strtok takes it: the points before it
// are skipped, it ends at the next point, and that point is consumed.
std::string_view nextField(std::string_view text, size_t* at) {
    while (*at < text.size() && text[*at] == '.') ++*at;
    const size_t start = *at;
    while (*at < text.size() && text[*at] != '.') ++*at;
    const std::string_view field = text.substr(start, *at - start);
    if (*at < text.size()) ++*at;
    return field;
}

// Whether atoi reads 0 from the field: white space, a sign, then digits up
// to the first other character, none of them other than 0.
bool readsZero(std::string_view field) {
    size_t at = 0;
    while (at < field.size() && (field[at] == ' ' || (field[at] >= '\t' && field[at] <= '\r'))) ++at;
    if (at < field.size() && (field[at] == '+' || field[at] == '-')) ++at;
    for (; at < field.size() && field[at] >= '0' && field[at] <= '9'; ++at) {
        if (field[at] != '0') return false;
    }
    return true;
}

}  // namespace

bool maskPrefix(const char* mask, char* prefix) {
    const std::string_view text(mask, std::strlen(mask));
    if (text.size() > maskTextLimit) return false;
    size_t at = 0;
    std::string_view field = nextField(text, &at);
    if (field.empty() || field.size() > maskFieldLimit) return false;
    size_t end = 0;
    auto append = [&](std::string_view part) {
        std::memcpy(prefix + end, part.data(), part.size());
        end += part.size();
        prefix[end] = '\0';
    };
    append(field);
    size_t cut = 0;  // 0: no cut position remembered
    while (!(field = nextField(text, &at)).empty()) {
        append(".");
        if (!readsZero(field)) {
            cut = 0;
        } else if (cut == 0) {
            cut = end;
        }
        if (field.size() > maskFieldLimit) return false;
        append(field);
    }
    if (cut != 0) prefix[cut] = '\0';
    return true;
}

bool addressMatchesMask(const char* dottedAddress, const char* prefix) {
    const size_t length = std::strlen(prefix);
    for (size_t i = 0; i < length; ++i) {
        // A shorter address ends (NUL) before the prefix does and cannot match.
        if (lower(dottedAddress[i]) != lower(prefix[i])) return false;
    }
    return true;
}

}  // namespace dyadc

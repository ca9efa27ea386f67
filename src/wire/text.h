// Reading received text: one cursor over bytes of known length, through which
// every parser of what a peer sends (command lines, reply codes, version
// lines, address masks) walks. Every read checks the length; nothing reads
// past the end or relies on a terminator, and numbers are read with a bound.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace dyadc {

// The white space that atoi and strtok-style readers skip.
constexpr bool isBlank(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}
constexpr bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

class TextCursor {
public:
    constexpr explicit TextCursor(std::string_view text) : text_(text) {}

    bool atEnd() const { return at_ >= text_.size(); }
    std::string_view rest() const { return text_.substr(at_ < text_.size() ? at_ : text_.size()); }

    // The next token, the way strtok takes it: separators before it are
    // skipped, it ends at the next separator, and that one separator is
    // consumed. Empty when only separators (or nothing) remain.
    std::string_view token(std::string_view separators);

    // A whole number read the way atol reads it: leading white space, an
    // optional sign, then digits up to the first other character (0 when
    // there are none). Values beyond 64 bits are held at the nearest end.
    int64_t number();

    // A decimal number at the start, the way strtod reads one: leading white
    // space, then the longest prefix of the form [sign] digits [. digits]
    // [e [sign] digits] (or a point and digits); 0 when there is none.
    double decimal();

private:
    std::string_view text_;
    size_t at_ = 0;
};

// The low 32 bits of a number, as a header's signed 32-bit fields carry it.
constexpr int32_t low32(int64_t value) {
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(value)));
}

}  // namespace dyadc

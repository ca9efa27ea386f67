// The bounded text cursor.
#include "wire/text.h"

#include <charconv>
#include <limits>

namespace dyadc {

std::string_view TextCursor::token(std::string_view separators) {
    auto separator = [&](char c) { return separators.find(c) != std::string_view::npos; };
    while (at_ < text_.size() && separator(text_[at_])) ++at_;
    const size_t start = at_;
    while (at_ < text_.size() && !separator(text_[at_])) ++at_;
    std::string_view found = text_.substr(start, at_ - start);
    if (at_ < text_.size()) ++at_;  // the separator that ended it
    return found;
}

int64_t TextCursor::number() {
    while (at_ < text_.size() && isBlank(text_[at_])) ++at_;
    bool negative = false;
    if (at_ < text_.size() && (text_[at_] == '+' || text_[at_] == '-')) negative = text_[at_++] == '-';
    // Accumulated as a negative value, whose range reaches one further.
    constexpr int64_t lowest = std::numeric_limits<int64_t>::min();
    int64_t value = 0;
    bool held = false;
    for (; at_ < text_.size() && isDigit(text_[at_]); ++at_) {
        const int digit = text_[at_] - '0';
        if (held || value < (lowest + digit) / 10) {
            held = true;
            continue;
        }
        value = value * 10 - digit;
    }
    if (held) return negative ? lowest : std::numeric_limits<int64_t>::max();
    if (negative) return value;
    return value == lowest ? std::numeric_limits<int64_t>::max() : -value;
}

double TextCursor::decimal() {
    while (at_ < text_.size() && isBlank(text_[at_])) ++at_;
    std::string_view number = rest();
    bool negative = false;
    size_t skip = 0;
    if (!number.empty() && (number[0] == '+' || number[0] == '-')) {
        negative = number[0] == '-';
        skip = 1;
    }
    number.remove_prefix(skip);
    // Only a decimal number counts: digits, or a point followed by a digit.
    const bool digits = !number.empty() && isDigit(number[0]);
    const bool point = number.size() > 1 && number[0] == '.' && isDigit(number[1]);
    if (!digits && !point) return 0.0;
    double value = 0.0;
    auto parsed = std::from_chars(number.data(), number.data() + number.size(), value, std::chars_format::general);
    if (parsed.ec == std::errc::result_out_of_range) {
        // Too large or too small for a double: the nearest the type has.
        const size_t exponent = number.find_first_of("eE");
        const bool tiny = exponent != std::string_view::npos && exponent + 1 < number.size() &&
                          number[exponent + 1] == '-';
        value = tiny ? 0.0 : std::numeric_limits<double>::infinity();
    } else if (parsed.ec != std::errc()) {
        return 0.0;
    }
    at_ += skip + static_cast<size_t>(parsed.ptr - number.data());
    return negative ? -value : value;
}

}  // namespace dyadc

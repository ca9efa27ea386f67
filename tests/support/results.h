// Tests compare the library's internal results with the numbers that the
// exports turn them into, and print them as those numbers.
#pragma once

#include <cstdint>
#include <ostream>

#include "session/results.h"
#include "wire/line_io.h"

namespace dyadc {

constexpr bool operator==(Result result, int32_t number) {
    return exportedResult(result) == number;
}

inline void PrintTo(Result result, std::ostream* out) {
    *out << exportedResult(result);
}

inline void PrintTo(LineRead read, std::ostream* out) {
    *out << (read == LineRead::complete ? "complete" : read == LineRead::more ? "more" : "failed");
}

}  // namespace dyadc

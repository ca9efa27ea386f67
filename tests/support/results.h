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

constexpr bool operator==(const Transfer& transfer, int32_t number) {
    return exportedResult(transfer.result) == number;
}

inline void PrintTo(Result result, std::ostream* out) {
    *out << exportedResult(result);
}

inline void PrintTo(LineRead read, std::ostream* out) {
    *out << (read == LineRead::complete ? "complete" : read == LineRead::more ? "more" : "failed");
}

inline void PrintTo(const Transfer& transfer, std::ostream* out) {
    *out << exportedResult(transfer.result) << " (error " << transfer.error << ")";
}

inline void PrintTo(const LineResult& read, std::ostream* out) {
    PrintTo(read.read, out);
    *out << " (error " << read.error << ")";
}

}  // namespace dyadc

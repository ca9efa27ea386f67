// Trimming of the log file when a process unloads the library: the file is
// cut back to its newest lines so that it does not grow without bound.
#include <cstdio>

#include "log/log.h"

namespace dyadc {
namespace {

constexpr size_t copyChunk = 1200;

// The last position p, from `cut` down to 1, at which the two bytes CR LF
// start; 0 when there is none. Reads the file backwards in chunks.
long lastLineEnd(std::FILE* file, long size, long cut) {
    unsigned char chunk[copyChunk + 1];
    long high = cut < size - 2 ? cut : size - 2;  // two bytes must be readable at p
    while (high >= 1) {
        long low = high - static_cast<long>(copyChunk) + 1;
        if (low < 1) low = 1;
        size_t want = static_cast<size_t>(high - low + 2);
        if (std::fseek(file, low, SEEK_SET) != 0 || std::fread(chunk, 1, want, file) != want) return 0;
        for (long p = high; p >= low; --p) {
            if (chunk[p - low] == '\r' && chunk[p - low + 1] == '\n') return p;
        }
        high = low - 1;
    }
    return 0;
}

}  // namespace

Result trimLog(const char* path, uint32_t limit) {
    std::FILE* log = std::fopen(path, "rb");
    if (log == nullptr) return Result::invalid;
    long size = -1;
    if (std::fseek(log, 0, SEEK_END) == 0) size = std::ftell(log);
    if (size < 0) {
        (void)std::fclose(log);  // only read from
        return Result::invalid;
    }
    if (static_cast<unsigned long>(size) <= limit) {
        (void)std::fclose(log);  // only read from
        return Result::ok;
    }
    const long cut = size - static_cast<long>(limit);
    const long keepFrom = lastLineEnd(log, size, cut) + 2;

    char temporary[sizeof processSession().logPath + 8];
    if (std::snprintf(temporary, sizeof temporary, "%s.tmp", path) >= static_cast<int>(sizeof temporary)) {
        (void)std::fclose(log);  // only read from
        return Result::invalid;
    }
    std::FILE* copy = platform::createPrivateFile(temporary);
    if (copy == nullptr) {
        (void)std::fclose(log);  // only read from
        return Result::invalid;
    }
    char buffer[copyChunk];
    bool copied = true;
    if (keepFrom < size) {
        copied = std::fseek(log, keepFrom, SEEK_SET) == 0;
        while (copied) {
            size_t got = std::fread(buffer, 1, sizeof buffer, log);
            if (got == 0) break;
            if (std::fwrite(buffer, 1, got, copy) != got) copied = false;
        }
        if (std::ferror(log) != 0) copied = false;
    }
    (void)std::fclose(log);  // only read from
    if (std::fclose(copy) != 0) copied = false;
    if (!copied) {
        (void)std::remove(temporary);  // the log itself stays as it was
        return Result::invalid;
    }
    // Renaming over the log replaces it in one step, so that no moment passes
    // without a log file.
    return platform::replaceFile(temporary, path) == 0 ? Result::ok : Result::invalid;
}

}  // namespace dyadc

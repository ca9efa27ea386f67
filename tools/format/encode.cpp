#include "tools/format/encode.h"

#include "dyadc.h"

namespace dyad::format {
namespace {

constexpr int64_t nanosecondsPerSecond = 1000000000;

}  // namespace

bool timeTravels(int64_t seconds) {
    return seconds < INT64_MAX / nanosecondsPerSecond && seconds > INT64_MIN / nanosecondsPerSecond;
}

OutBlock SeriesEncoder::folder() {
    return {DYAD_BLOCK_FIRST, std::string(folderMark), "", 0};
}

OutBlock SeriesEncoder::bytes(uint64_t size, const void* data, uint32_t length, bool first) {
    return {first ? DYAD_BLOCK_FIRST : DYAD_BLOCK_MORE, std::to_string(size), data, length};
}

std::vector<OutBlock> SeriesEncoder::end(uint64_t size, bool started, std::optional<int64_t> seconds,
                                         uint32_t nanoseconds, const std::string* digits) const {
    std::vector<OutBlock> blocks;
    if (!started) blocks.push_back({DYAD_BLOCK_FIRST, std::to_string(size), "", 0});
    if (seconds && timeTravels(*seconds)) {
        const int64_t time = *seconds * nanosecondsPerSecond + nanoseconds;
        blocks.push_back({DYAD_BLOCK_MORE, std::string(timeMark) + std::to_string(time), "", 0});
    }
    const std::string& data = digits != nullptr ? *digits : withdrawn_;
    blocks.push_back({DYAD_BLOCK_LAST, format_.name, data.data(), format_.digits});
    return blocks;
}

}  // namespace dyad::format

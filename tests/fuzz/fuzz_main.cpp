// The libFuzzer entry of one target, chosen by DYADC_FUZZ_TARGET.
#include <cstddef>
#include <cstdint>

#include "tests/fuzz/targets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    dyadc::fuzz::DYADC_FUZZ_TARGET(data, size);
    return 0;
}

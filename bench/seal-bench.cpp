// seal-bench: how fast one core seals and opens the blocks of a private
// transfer (tools/seal/seal.h), in place, as the sender's packing thread and the
// receiver's parsing thread do: the part of `dyad --code`'s cost that is the
// cryptography itself, beside which a plain transfer's rate can be set.
//
//   seal-bench [MIB [BLOCK_MIB [ROUNDS]]]
//
// Seals MIB MiB (default 1024) in blocks of BLOCK_MIB MiB (default 4) and
// opens each block right after, ROUNDS times (default 5); prints the best and
// the median round's MiB/s for sealing and for opening, and the share of one
// core that each takes at a given transfer rate (DYAD_RATE MiB/s, default
// 891: dyad's 1 GiB file in bench/RESULTS.md).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "dyadc.h"
#include "tools/seal/seal.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Round {
    double seal;  // MiB/s
    double open;
};

Round round(const dyad::Code& code, size_t blockSize, size_t blocks) {
    std::vector<uint8_t> block(blockSize, 0x5a);
    dyad::Sealer sealer(code);
    dyad::Opener opener(code);
    Clock::duration sealing{}, opening{};
    double bytes = 0;
    for (size_t i = 0; i < blocks; ++i) {
        const dyad::BlockLabel label{i + 1 == blocks ? DYAD_BLOCK_LAST
                                     : i == 0        ? DYAD_BLOCK_FIRST
                                                     : DYAD_BLOCK_MORE,
                                     "s", "b"};
        bytes += static_cast<double>(blockSize - sealer.front() - dyad::tagSize);
        const Clock::time_point start = Clock::now();
        if (!sealer.seal(label, block)) {
            std::fprintf(stderr, "seal-bench: sealing failed\n");
            std::exit(1);
        }
        const Clock::time_point sealed = Clock::now();
        if (opener.open(label, block).verdict != dyad::Verdict::opened) {
            std::fprintf(stderr, "seal-bench: opening failed\n");
            std::exit(1);
        }
        opening += Clock::now() - sealed;
        sealing += sealed - start;
    }
    const double mib = bytes / (1 << 20);
    return {mib / std::chrono::duration<double>(sealing).count(),
            mib / std::chrono::duration<double>(opening).count()};
}

double number(int argc, char** argv, int index, double otherwise) {
    return argc > index ? std::atof(argv[index]) : otherwise;
}

}  // namespace

int main(int argc, char** argv) {
    const double total = number(argc, argv, 1, 1024);
    const double blockMib = number(argc, argv, 2, 4);
    const int rounds = static_cast<int>(number(argc, argv, 3, 5));
    const char* rateText = std::getenv("DYAD_RATE");
    const double rate = rateText != nullptr ? std::atof(rateText) : 891;
    if (total <= 0 || blockMib <= 0 || rounds < 1 || rate <= 0) {
        std::fprintf(stderr, "usage: seal-bench [MIB [BLOCK_MIB [ROUNDS]]]\n");
        return 2;
    }
    if (!dyad::crypto::Aes256Gcm::available()) {
        std::fprintf(stderr, "seal-bench: this system offers no AES-256-GCM\n");
        return 1;
    }
    const size_t blockSize = static_cast<size_t>(blockMib * (1 << 20));
    const size_t blocks = std::max<size_t>(2, static_cast<size_t>(total / blockMib));
    const dyad::Code code = dyad::makeCode();
    std::vector<Round> results;
    for (int i = 0; i < rounds; ++i) results.push_back(round(code, blockSize, blocks));
    for (auto side : {&Round::seal, &Round::open}) {
        std::vector<double> rates;
        for (const Round& r : results) rates.push_back(r.*side);
        std::sort(rates.begin(), rates.end());
        const double median = rates[rates.size() / 2];
        std::printf(
            "%s %zu blocks of %.0f KiB: best %.0f MiB/s, median %.0f MiB/s; at %.0f MiB/s %.0f%% of a core\n",
            side == &Round::seal ? "seal" : "open", blocks, static_cast<double>(blockSize) / 1024, rates.back(),
            median, rate, 100 * rate / median);
    }
    return 0;
}

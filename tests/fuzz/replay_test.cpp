// Runs every fuzz target over its seed corpus (tests/fuzz/corpus/<target>/)
// and over mutations of it (a few thousand per target, spread over its
// corpus), as a normal test.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "tests/fuzz/targets.h"
#include "tests/support/lan.h"

namespace dyadc::fuzz {
namespace {

std::vector<std::string> corpus(const std::string& target) {
    std::vector<std::string> inputs;
    for (const auto& entry : std::filesystem::directory_iterator(std::string(DYADC_FUZZ_CORPUS) + "/" + target)) {
        inputs.push_back(test::readFile(entry.path()));
    }
    return inputs;
}

TEST(FuzzReplay, EveryTargetSurvivesItsCorpusAndMutationsOfIt) {
    std::mt19937 random(12345);
    for (const Target& target : targets) {
        auto inputs = corpus(target.name);
        ASSERT_FALSE(inputs.empty()) << target.name;
        const int mutations = target.run == versionRecord ? 100 : 2000;
        const int rounds = std::max(2, mutations / static_cast<int>(inputs.size()));
        for (const std::string& input : inputs) {
            target.run(reinterpret_cast<const uint8_t*>(input.data()), input.size());
            // Mutations: flipped bytes, cut and doubled inputs.
            for (int round = 0; round < rounds; ++round) {
                std::string mutated = input;
                if (!mutated.empty()) {
                    for (int flips = 1 + static_cast<int>(random() % 4); flips > 0; --flips) {
                        mutated[random() % mutated.size()] = static_cast<char>(random());
                    }
                    if (random() % 4 == 0) mutated.resize(random() % (mutated.size() + 1));
                    if (random() % 8 == 0) mutated += mutated;
                }
                target.run(reinterpret_cast<const uint8_t*>(mutated.data()), mutated.size());
            }
        }
    }
}

}  // namespace
}  // namespace dyadc::fuzz

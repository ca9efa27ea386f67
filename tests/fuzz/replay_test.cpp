// Runs every fuzz target over its seed corpus (tests/fuzz/corpus/<target>/)
// and over a few thousand pseudo-random and mutated inputs, as a normal test.
#include <gtest/gtest.h>

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
        for (const std::string& input : inputs) {
            target.run(reinterpret_cast<const uint8_t*>(input.data()), input.size());
            // Mutations: flipped bytes, cut and doubled inputs.
            for (int round = 0; round < (target.run == versionRecord ? 50 : 400); ++round) {
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

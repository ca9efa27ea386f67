// The steps of a scripted sender (test-peer) that pairs with a receiving dyad
// as the workstation "evil" and sends it blocks as a hostile or odd sender
// would: the dyad tests on Linux and under wine share it.
#pragma once

#include <string>
#include <vector>

#include "tests/support/lan.h"

namespace dyadc::test {

// A block as the scripted peer sends it; names and data in test-peer's
// escapes (\r \n \\ \xNN).
struct Block {
    std::string first, second, data;
    int type;
};

// Pairs from workstation 2 (192.168.10.2) with the Responder at
// 192.168.10.1, sends the blocks (a series on one connection, each single
// block on its own) and ends the pairing. `data` holds as many bytes as the
// header announces, counted after unescaping.
inline std::vector<std::string> peerSending(const std::vector<Block>& blocks) {
    std::vector<std::string> steps{
        helperPath("test-peer"), "connect", "192.168.10.2", "192.168.10.1", "send",         "evil\\r\\n", "expect",
        "000 OK\\r\\n",          "send",    "2.04\\r\\n",   "expect",       "000 OK\\r\\n", "eof"};
    bool open = false;
    for (const Block& block : blocks) {
        size_t length = 0;
        for (size_t i = 0; i < block.data.size(); ++i, ++length) {
            if (block.data[i] == '\\') i += block.data.compare(i, 2, "\\x") == 0 ? 3 : 1;
        }
        if (!open) steps.insert(steps.end(), {"connect", "192.168.10.2", "192.168.10.1"});
        steps.insert(steps.end(), {"send",
                                   "put " + block.first + "|" + block.second + "|" + std::to_string(length) + "|" +
                                       std::to_string(block.type) + "\\r\\n",
                                   "expect", "000 OK\\r\\n", "send", block.data, "expect", "000 Ok\\r\\n"});
        open = block.type == 21 || block.type == 22;
        if (!open) steps.push_back("eof");  // the receiver closes after a series or a single block
    }
    steps.insert(steps.end(),
                 {"connect", "192.168.10.2", "192.168.10.1", "send", "quit 23\\r\\n", "sleep", "500"});
    return steps;
}

}  // namespace dyadc::test

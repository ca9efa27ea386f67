// The steps of scripted peers (test-peer) for the dyad tests on Linux and
// under wine: a sender that pairs with a receiving dyad as the workstation
// "evil" and sends it blocks as a hostile or odd sender would, and a
// Responder that holds a sending dyad in the middle of a file.
#pragma once

#include <cstdint>
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
// header announces, counted after unescaping. With `holdAfter`, the sender
// waits after that many blocks until its standard input closes.
inline std::vector<std::string> peerSending(const std::vector<Block>& blocks, size_t holdAfter = SIZE_MAX) {
    std::vector<std::string> steps{
        helperPath("test-peer"), "connect", "192.168.10.2", "192.168.10.1", "send",         "evil\\r\\n", "expect",
        "000 OK\\r\\n",          "send",    "2.04\\r\\n",   "expect",       "000 OK\\r\\n", "eof"};
    bool open = false;
    for (size_t b = 0; b < blocks.size(); ++b) {
        if (b == holdAfter) steps.push_back("hold");
        const Block& block = blocks[b];
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

// A scripted Responder at 192.168.10.1 for a `dyad send --block-size
// BLOCK_SIZE` whose stream fills `blocks` whole blocks, from the workstation
// named `name`: it announces `id` once, pairs, holds back the first block's
// acknowledgement until its standard input closes, then takes the other
// blocks, the last one with the steps `lastBlock`, and the sender's quit. It
// prints each header line it reads.
inline std::vector<std::string> responderHoldingTheFirstBlock(const std::string& id, const std::string& name,
                                                              int blocks, int blockSize,
                                                              const std::vector<std::string>& lastBlock) {
    std::vector<std::string> steps{helperPath("test-peer"),
                                   "listen",
                                   "192.168.10.1",
                                   "announce",
                                   id,
                                   "192.168.10.1",
                                   "1",
                                   "accept",
                                   "expect",
                                   name + "\\r\\n",
                                   "send",
                                   "000 OK\\r\\n",
                                   "line",
                                   "send",
                                   "000 OK\\r\\n",
                                   "close",
                                   "accept"};
    const auto block = [&steps](const std::vector<std::string>& take, bool hold) {
        steps.insert(steps.end(), {"line", "send", "000 OK\\r\\n"});
        steps.insert(steps.end(), take.begin(), take.end());
        if (hold) steps.push_back("hold");
        steps.insert(steps.end(), {"send", "000 Ok\\r\\n"});
    };
    for (int i = 0; i < blocks; ++i) block({"drain", std::to_string(blockSize)}, i == 0);
    block(lastBlock, false);
    steps.insert(steps.end(), {"close", "accept", "line"});
    return steps;
}

// Paths that a hostile sender names, and what a receiver says of each. The
// receiving folder holds "link", a symbolic link to a folder outside it, and
// "file.txt", a file.
struct HostilePath {
    std::string sent;  // a file's path, or a folder's with '/' at the end
    std::string why;
};
inline const std::vector<HostilePath> hostilePaths{
    {"../up.txt", "refused the file name '../up.txt' ('..' in its path: not a plain file name)"},
    {"a/../../up.txt", "refused the file name 'a/../../up.txt' ('..' in its path"},
    {"/tmp/abs.txt", "refused the file name '/tmp/abs.txt' (an absolute path)"},
    {"a//b.txt", "refused the file name 'a//b.txt' (an empty folder name in its path)"},
    {"a/./b.txt", "refused the file name 'a/./b.txt' ('.' in its path"},
    {"C:/x.txt", "refused the file name 'C:/x.txt' ('C:' in its path: a colon"},
    {"a/CON/x.txt", "('CON' in its path: a device name on Windows)"},
    {"link/x.txt", "refused link/x.txt: a symbolic link"},
    {"link/deeper/x.txt", "refused link/deeper/x.txt: a symbolic link"},
    {"file.txt/x.txt", "refused file.txt/x.txt: a file has the name of a folder of its path"},
    {"../up/", "refused the folder name '../up/'"},
    {"link/made/", "cannot make the folder link/made/"},
};

// The blocks of a sender that sends every hostile path, then "ok/deep/g.txt"
// ("ok", with the modification time 2001-02-03 04:05:06.123456789 UTC), the
// empty folder "ok/empty/" and "ok/h.txt" with a time that is no time.
inline std::vector<Block> hostilePathBlocks() {
    const std::string okDigest = "2689367b205c16ce32ed4200942b8b8b1e262dfc70d9bc9fbc77c49699a4f1df";
    std::vector<Block> blocks;
    for (const HostilePath& path : hostilePaths) {
        const bool folder = path.sent.back() == '/';
        blocks.push_back({path.sent, folder ? "folder" : "2", folder ? "" : "ok", 21});
    }
    blocks.push_back({"ok/deep/g.txt", "2", "ok", 21});
    blocks.push_back({"ok/deep/g.txt", "mtime=981173106123456789", "", 22});
    blocks.push_back({"ok/deep/g.txt", "sha256", okDigest, 20});
    blocks.push_back({"ok/empty/", "folder", "", 21});
    blocks.push_back({"ok/h.txt", "2", "ok", 21});
    blocks.push_back({"ok/h.txt", "mtime=12x", "", 22});
    blocks.push_back({"ok/h.txt", "sha256", okDigest, 20});
    return blocks;
}

}  // namespace dyadc::test

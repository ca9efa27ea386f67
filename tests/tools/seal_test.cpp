// The sealing layer of private transfers (tools/seal/seal.h, tools/seal/crypto.h): the
// primitives against published vectors, the code, a stream sealed under the
// construction by an independent implementation, and a sealed stream's round
// trip and every change to it that the receiver must refuse. Built for Linux
// and for Windows (run under wine), where the same bytes must come out.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "dyadc.h"
#include "tools/seal/seal.h"

namespace dyad {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes fromHex(std::string_view hex) {
    Bytes bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
    return bytes;
}

std::string toHex(std::span<const uint8_t> bytes) {
    std::string hex;
    for (uint8_t byte : bytes) {
        hex += "0123456789abcdef"[byte >> 4];
        hex += "0123456789abcdef"[byte & 15];
    }
    return hex;
}

// The bytes first, first + 1, ... of a count.
Bytes counting(int first, int count) {
    Bytes bytes;
    for (int i = 0; i < count; ++i) bytes.push_back(static_cast<uint8_t>(first + i));
    return bytes;
}

TEST(SealPrimitives, HkdfSha256GivesTheVectorsOfRfc5869) {
    struct Case {
        Bytes salt, secret, info;
        const char* derived;
    };
    const Case cases[] = {
        {counting(0, 13), Bytes(22, 0x0b), counting(0xf0, 10),
         "3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf34007208d5b887185865"},
        {counting(0x60, 80), counting(0, 80), counting(0xb0, 80),
         "b11e398dc80327a1c8e7f78c596a49344f012eda2d4efad8a050cc4c19afa97c59045a99cac7827271cb41c65e590e09da327560"
         "0"
         "c2f09b8367793a9aca3db71cc30c58179ec3e87c14c01d5c1f3434f1d87"},
        {{},
         Bytes(22, 0x0b),
         {},
         "8da4e775a563c18f715f802a063c5a31b8a11f5c5ee1879ec3454e5f3c738d2d9d201395faa4b61a96c8"},
    };
    for (const Case& c : cases) {
        Bytes derived(std::string_view(c.derived).size() / 2);
        hkdfSha256(c.salt, c.secret, {reinterpret_cast<const char*>(c.info.data()), c.info.size()}, derived);
        EXPECT_EQ(toHex(derived), c.derived);
    }
}

TEST(SealPrimitives, Aes256GcmGivesTheVectorsOfTheGcmSpecification) {
    // Test cases 14 and 16 of the GCM specification (AES-256).
    struct Case {
        const char *key, *nonce, *plain, *associated, *sealed, *tag;
    };
    const Case cases[] = {
        {"0000000000000000000000000000000000000000000000000000000000000000", "000000000000000000000000",
         "00000000000000000000000000000000", "", "cea7403d4d606b6e074ec5d3baf39d18",
         "d0d1c8a799996bf0265b98b5d48ab919"},
        {"feffe9928665731c6d6a8f9467308308feffe9928665731c6d6a8f9467308308", "cafebabefacedbaddecaf888",
         "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a721c3c0c95956809532fcf0e2449a6b525b16aedf5"
         "aa"
         "0de657ba637b39",
         "feedfacedeadbeeffeedfacedeadbeefabaddad2",
         "522dc1f099567d07f47f37a32a84427d643a8cdcbfe5c0c97598a2bd2555d1aa8cb08e48590dbb3da7b08b1056828838c5f61e63"
         "93"
         "ba7a0abcc9f662",
         "76fc6ece0f4e1768cddf8853bb2d551b"},
    };
    ASSERT_TRUE(crypto::Aes256Gcm::available());
    for (const Case& c : cases) {
        crypto::Key key;
        crypto::Nonce nonce;
        crypto::Tag tag;
        std::ranges::copy(fromHex(c.key), key.begin());
        std::ranges::copy(fromHex(c.nonce), nonce.begin());
        const Bytes associated = fromHex(c.associated);
        Bytes text = fromHex(c.plain);
        crypto::Aes256Gcm cipher(key);
        ASSERT_TRUE(cipher.seal(nonce, associated, text, tag));
        EXPECT_EQ(toHex(text), c.sealed);
        EXPECT_EQ(toHex(tag), c.tag);
        ASSERT_TRUE(cipher.open(nonce, associated, text, tag));
        EXPECT_EQ(toHex(text), c.plain);
        // A tag that does not match leaves nothing of the text.
        ASSERT_TRUE(cipher.seal(nonce, associated, text, tag));
        tag[15] ^= 1;
        EXPECT_FALSE(cipher.open(nonce, associated, text, tag));
        EXPECT_TRUE(std::ranges::all_of(text, [](uint8_t byte) { return byte == 0; }));
    }
}

// A code made by an independent implementation of the construction, and
// what it derives.
constexpr std::string_view knownCode = "7K2M9Q4XDPT80HWRZ31NY";
constexpr std::string_view knownIdentifier = "13a03c9cac19eb8d2a9058f75823d4d2";

Code code(std::string_view typed) {
    std::string why;
    const std::optional<Code> read = readCode(typed, why);
    EXPECT_TRUE(read) << typed << ": " << why;
    return read.value_or(Code{});
}

TEST(SealCode, FreshCodesAreShownInGroupsAndReadBack) {
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) {
        const Code made = makeCode();
        const std::string shown = showCode(made);
        ASSERT_EQ(shown.size(), 27u) << shown;
        for (size_t at = 3; at < shown.size(); at += 4) EXPECT_EQ(shown[at], '-') << shown;
        EXPECT_EQ(code(shown), made);
        seen.insert(shown);
    }
    EXPECT_EQ(seen.size(), 200u);
}

TEST(SealCode, TypedCodesAreNormalisedOrRefusedWithTheReason) {
    struct Case {
        std::string typed;
        const char* result;  // the canonical code, or the start of the reason
    };
    const Case cases[] = {
        {"7K2-M9Q-4XD-PT8-0HW-RZ3-1NY", "7K2M9Q4XDPT80HWRZ31NY"},
        {"7k2m9q4xdpt80hwrz31ny", "7K2M9Q4XDPT80HWRZ31NY"},
        {" 7K2 M9Q 4XD PT8 OHW RZ3 INY ", "7K2M9Q4XDPT80HWRZ31NY"},
        {"7K2-M9Q-4XD-PT8-ohw-RZ3-lNY", "7K2M9Q4XDPT80HWRZ31NY"},
        {"7K2-M9Q-4XD-PT8-0HW-RZ3-1NU", "a code has no \"U\""},
        {"7K2-M9Q-4XD-PT8-0HW-RZ3-1N*", "a code has no \"*\""},
        {"7K2-M9Q-4XD-PT8-0HW-RZ3-1N\xc3\xa9", "a code has only letters, digits, spaces and '-'"},
        {"7K2-M9Q-4XD-PT8-0HW-RZ3-1N", "a code has 21 letters and digits; this one has 20"},
        {"7K2-M9Q-4XD-PT8-0HW-RZ3-1NYY", "a code has 21 letters and digits; this one has 22"},
        {"", "a code has 21 letters and digits; this one has 0"},
        {"7K2-M9Q-4XD-PT8-0HW-RZ3-1NZ", "the code has a typo"},
    };
    for (const Case& c : cases) {
        std::string why;
        const std::optional<Code> read = readCode(c.typed, why);
        EXPECT_EQ(read ? std::string(read->text()) : why.substr(0, std::string_view(c.result).size()), c.result)
            << c.typed;
    }
    EXPECT_EQ(pairingIdentifier(code(knownCode)), knownIdentifier);
}

TEST(SealCode, EveryMistypedSymbolAndEverySwapOfNeighboursIsATypo) {
    const std::string alphabet = "0123456789ABCDEFGHJKMNPQRSTVWXYZ";
    for (int round = 0; round < 20; ++round) {
        const std::string good(makeCode().text());
        std::vector<std::string> typos;
        for (size_t at = 0; at < good.size(); ++at) {
            for (char symbol : alphabet) {
                if (symbol == good[at]) continue;
                typos.push_back(good);
                typos.back()[at] = symbol;
            }
            if (at + 1 < good.size() && good[at] != good[at + 1]) {
                typos.push_back(good);
                std::swap(typos.back()[at], typos.back()[at + 1]);
            }
        }
        for (const std::string& typo : typos) {
            std::string why;
            EXPECT_FALSE(readCode(typo, why)) << good << " typed as " << typo;
            EXPECT_EQ(why.rfind("the code has a typo", 0), 0u) << why;
        }
    }
}

TEST(SealCode, IdentifiersAreHexadecimalAndDifferPerCode) {
    std::set<std::string> seen;
    for (int i = 0; i < 50; ++i) {
        const std::string identifier = pairingIdentifier(makeCode());
        EXPECT_EQ(identifier.size(), 32u);
        EXPECT_EQ(identifier.find_first_not_of("0123456789abcdef"), std::string::npos) << identifier;
        seen.insert(identifier);
    }
    EXPECT_EQ(seen.size(), 50u);
}

// ---- streams ---------------------------------------------------------------

struct Block {
    int32_t type;
    std::string first, second;
    Bytes data;     // as it travels
    Bytes payload;  // what was sealed

    BlockLabel label() const { return {type, first, second}; }
};

// A stream of `payloads` sealed under `code`, of types 21, 22 ... and 20,
// each block's names its own.
std::vector<Block> sealed(const Code& code, const std::vector<size_t>& payloads = {1000, 0, 70000, 5}) {
    Sealer sealer(code);
    EXPECT_TRUE(sealer.ready());
    std::vector<Block> stream;
    for (size_t i = 0; i < payloads.size(); ++i) {
        Block block{i == 0                     ? DYAD_BLOCK_FIRST
                    : i + 1 == payloads.size() ? DYAD_BLOCK_LAST
                                               : DYAD_BLOCK_MORE,
                    "stream",
                    std::to_string(i),
                    {},
                    {}};
        for (size_t b = 0; b < payloads[i]; ++b) block.payload.push_back(static_cast<uint8_t>(b * 7 + i));
        EXPECT_EQ(sealer.front(), i == 0 ? saltSize : 0);
        block.data.resize(sealer.front());
        block.data.insert(block.data.end(), block.payload.begin(), block.payload.end());
        block.data.resize(block.data.size() + tagSize);
        EXPECT_TRUE(sealer.seal(block.label(), block.data));
        stream.push_back(block);
    }
    EXPECT_EQ(sealer.position(), payloads.size());
    return stream;
}

TEST(SealStream, BlocksSealedByTheSenderOpenInOrderAndEndTheStream) {
    const Code shared = makeCode();
    std::vector<Block> stream = sealed(shared);
    Opener opener(shared);
    for (Block& block : stream) {
        EXPECT_NE(block.data, block.payload);
        const Opener::Opened opened = opener.open(block.label(), block.data);
        ASSERT_EQ(opened.verdict, Verdict::opened) << describe(opened.verdict);
        EXPECT_EQ(Bytes(opened.payload.begin(), opened.payload.end()), block.payload);
    }
    EXPECT_TRUE(opener.ended());
    EXPECT_EQ(opener.position(), stream.size());
}

TEST(SealStream, AStreamOfTheIndependentImplementationOpens) {
    Block blocks[] = {
        {DYAD_BLOCK_FIRST,
         "stream",
         "1",
         fromHex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f44de328f0593cfb5077dbd9bfe465e82"
                 "1812a"
                 "31ac4cecad2975a68dd80"),
         {}},
        {DYAD_BLOCK_LAST, "stream", "2", fromHex("6fe3198b8cf463e4b03a695eb2758c40"), {}},
    };
    Opener opener(code(knownCode));
    const Opener::Opened first = opener.open(blocks[0].label(), blocks[0].data);
    ASSERT_EQ(first.verdict, Verdict::opened);
    EXPECT_EQ(std::string(first.payload.begin(), first.payload.end()), "private bytes");
    const Opener::Opened last = opener.open(blocks[1].label(), blocks[1].data);
    ASSERT_EQ(last.verdict, Verdict::opened);
    EXPECT_TRUE(last.payload.empty());
    EXPECT_TRUE(opener.ended());
}

TEST(SealStream, TheSenderSealsNothingAfterTheLastBlockOrWithoutRoom) {
    const Code shared = makeCode();
    Sealer ended(shared);
    Bytes block(saltSize + tagSize);
    ASSERT_TRUE(ended.seal({DYAD_BLOCK_LAST, "a", "b"}, block));
    EXPECT_FALSE(ended.seal({DYAD_BLOCK_MORE, "a", "b"}, block));
    Sealer cramped(shared);
    block.resize(saltSize + tagSize - 1);
    EXPECT_FALSE(cramped.seal({DYAD_BLOCK_FIRST, "a", "b"}, block));
    block.resize(saltSize + tagSize);
    EXPECT_FALSE(cramped.seal({DYAD_BLOCK_FIRST, "a", "b"}, block));
}

TEST(SealStream, EveryChangeToTheStreamIsRefusedWhereItHappens) {
    struct Stream {
        Code code;
        std::vector<Block> blocks;
    };
    struct Case {
        const char* what;
        std::function<void(Stream&)> change;
        size_t failsAt;  // none: every block opens, but the stream is cut short
        Verdict verdict;
    };
    constexpr size_t none = SIZE_MAX;
    const Case cases[] = {
        {"a wrong code", [](Stream& s) { s.code = makeCode(); }, 0, Verdict::forged},
        {"a bit of the salt", [](Stream& s) { s.blocks[0].data[5] ^= 0x10; }, 0, Verdict::forged},
        {"a bit of a payload", [](Stream& s) { s.blocks[2].data[4321] ^= 0x01; }, 2, Verdict::forged},
        {"a bit of a tag", [](Stream& s) { s.blocks[2].data.back() ^= 0x80; }, 2, Verdict::forged},
        {"the first name", [](Stream& s) { s.blocks[1].first = "streaM"; }, 1, Verdict::forged},
        {"the second name", [](Stream& s) { s.blocks[1].second += "1"; }, 1, Verdict::forged},
        {"a type", [](Stream& s) { s.blocks[1].type = DYAD_BLOCK_FIRST; }, 1, Verdict::forged},
        {"the last block's type", [](Stream& s) { s.blocks[3].type = DYAD_BLOCK_MORE; }, 3, Verdict::forged},
        {"a block dropped", [](Stream& s) { s.blocks.erase(s.blocks.begin() + 1); }, 1, Verdict::forged},
        {"two blocks swapped", [](Stream& s) { std::swap(s.blocks[1], s.blocks[2]); }, 1, Verdict::forged},
        {"a block of another transfer", [](Stream& s) { s.blocks[2] = sealed(s.code)[2]; }, 2, Verdict::forged},
        {"a block cut by a byte", [](Stream& s) { s.blocks[2].data.pop_back(); }, 2, Verdict::forged},
        {"a block without room for its tag", [](Stream& s) { s.blocks[1].data.resize(tagSize - 1); }, 1,
         Verdict::tooShort},
        {"a first block without room for its salt", [](Stream& s) { s.blocks[0].data.resize(saltSize); }, 0,
         Verdict::tooShort},
        {"a block after the last", [](Stream& s) { s.blocks.push_back(s.blocks[1]); }, 4, Verdict::afterLast},
        {"the last block missing", [](Stream& s) { s.blocks.pop_back(); }, none, Verdict::opened},
    };
    const Code shared = makeCode();
    const std::vector<Block> original = sealed(shared);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Stream stream{shared, original};
        c.change(stream);
        Opener opener(stream.code);
        size_t at = 0;
        Verdict verdict = Verdict::opened;
        for (; at < stream.blocks.size(); ++at) {
            verdict = opener.open(stream.blocks[at].label(), stream.blocks[at].data).verdict;
            if (verdict != Verdict::opened) break;
        }
        EXPECT_EQ(at == stream.blocks.size() ? none : at, c.failsAt);
        EXPECT_EQ(verdict, c.verdict) << describe(verdict);
        EXPECT_FALSE(opener.ended());
        if (verdict == Verdict::forged) {
            EXPECT_TRUE(std::ranges::all_of(stream.blocks[at].data, [](uint8_t byte) { return byte == 0; }));
        }
        // Nothing opens after a failure, not even the genuine next block.
        if (c.failsAt != none && c.failsAt + 1 < original.size()) {
            Block next = original[c.failsAt + 1];
            EXPECT_EQ(opener.open(next.label(), next.data).verdict, Verdict::afterFailure);
            EXPECT_TRUE(opener.failed());
        }
    }
}

}  // namespace
}  // namespace dyad

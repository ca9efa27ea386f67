// Private transfers: the one-time code that the receiving person reads out
// and the sending person types, the pairing identifier and the transfer's
// key derived from it, and the sealing of every block of a transfer, which
// the receiver opens in order (seal.cpp, over the primitives of crypto.h).
//
// The construction:
//   code        20 symbols of the base-32 alphabet 0-9 A-Z without I, L, O
//               and U, drawn from the system's random source (100 bits), and
//               a check symbol (Damm's method over the quasigroup
//               x*y = 2x + y of GF(32), x^5 + x^2 + 1: it catches every
//               mistyped symbol and every swap of two neighbours); shown in
//               groups of three, read in either case, O as 0, I and L as 1,
//               spaces and '-' ignored. As key material: its 21 symbols in
//               upper case, ASCII, without separators.
//   identifier  HKDF-SHA256 (RFC 5869) of the code, no salt, info
//               "dyad code 1 pairing identifier", 16 bytes as 32 lowercase
//               hexadecimal digits: the announce shows nothing from which the
//               code or the key could be had more cheaply than by trying
//               2^100 codes.
//   salt        32 bytes from the random source, drawn by the sender for
//               each transfer and carried in clear in front of the first
//               block's sealed payload.
//   key         HKDF-SHA256 of the code, salt: the transfer's salt, info
//               "dyad code 1 transfer key", 32 bytes: the transfer's AES-256
//               key, its own for every transfer.
//   nonce       the block's position in the transfer (the first is 0) as a
//               96-bit big-endian number: positions never repeat within a
//               transfer, and keys never repeat across transfers.
//   associated  "dyad code 1 sealed block", the salt, the position (8
//               bytes), the block's type (4 bytes, two's complement), its
//               first name and its second name, each after its length (4
//               bytes); every number big-endian.
//   sealed      each block's payload, by AES-256-GCM under the key, the nonce
//               and the associated data. A block's data is
//               [salt, first block only] [sealed payload] [16-byte tag].
//   receiver    counts positions itself and opens the blocks in the order
//               they arrive: a wrong code, a changed bit, name or type, a
//               dropped, reordered or inserted block and a block from
//               another transfer all fail the tag; after a failure it opens
//               nothing more; the stream is whole only once a block of type
//               20 (the last of a series) opened, and nothing may follow it.
//               A whole transfer replayed under the code it was sealed with
//               would open: a code serves one transfer, and a receiver makes
//               a fresh one each time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tools/seal/crypto.h"

namespace dyad {

// HKDF-SHA256 (RFC 5869) over crypto.h's HMAC-SHA256: extracts a key from
// `secret` with `salt` (empty: 32 zero bytes) and expands it with `info` into
// `out`, at most 255 * 32 bytes.
void hkdfSha256(std::span<const uint8_t> salt, std::span<const uint8_t> secret, std::string_view info,
                std::span<uint8_t> out);

// ---- the code ---------------------------------------------------------------

inline constexpr size_t codeRandomSymbols = 20;  // 5 bits each
inline constexpr size_t codeSymbols = codeRandomSymbols + 1;

// A code in its canonical form: upper-case symbols of the alphabet, the check
// symbol last.
struct Code {
    std::array<char, codeSymbols> symbols{};

    std::string_view text() const { return {symbols.data(), symbols.size()}; }
    bool operator==(const Code&) const = default;
};

// A fresh code from the system's random source.
Code makeCode();
// The code for people: its symbols in groups of three joined by '-'
// ("7K2-M9Q-...").
std::string showCode(const Code& code);
// The code that `typed` spells (in either case, O for 0, I and L for 1,
// spaces and '-' anywhere), or nothing, with `why` set to a message for the
// person who typed it: a symbol that no code has, too few or too many
// symbols, or a check symbol that does not match (a typo).
[[nodiscard]] std::optional<Code> readCode(std::string_view typed, std::string& why);
// The pairing identifier of `code`: 32 lowercase hexadecimal digits.
std::string pairingIdentifier(const Code& code);

// ---- sealed blocks ------------------------------------------------------------

inline constexpr size_t saltSize = 32;
inline constexpr size_t tagSize = std::tuple_size_v<crypto::Tag>;
using Salt = std::array<uint8_t, saltSize>;

// What a block carries beside its data, all of it bound to the sealed
// payload: the block's type and its two names, as the sender passes them to
// the library.
struct BlockLabel {
    int32_t type;
    std::string_view first;
    std::string_view second;
};

// The sender's side of one transfer: draws the salt, derives the key and
// seals the blocks in the order they are sent. One thread at a time (the
// sender's packing thread).
class Sealer {
public:
    explicit Sealer(const Code& code);
    Sealer(const Sealer&) = delete;
    Sealer& operator=(const Sealer&) = delete;

    // Whether the system offers AES-256-GCM; when not, seal() fails.
    bool ready() const { return cipher_.ready(); }
    // The next block's position.
    uint64_t position() const { return position_; }
    // Bytes in front of the next block's payload: the salt before the first.
    size_t front() const { return position_ == 0 ? saltSize : 0; }

    // Seals the next block in place: `block` is its whole data, front()
    // bytes of room, then the payload, then tagSize bytes of room; the room
    // in front receives the salt (first block only), the payload is
    // encrypted where it is, and the room behind receives the tag. No copy
    // of the payload is made. False when `block` has no room for what
    // surrounds the payload, when the transfer has had its last block (type
    // 20), or when the system's cipher fails; the Sealer then seals nothing
    // more.
    [[nodiscard]] bool seal(const BlockLabel& label, std::span<uint8_t> block);

private:
    enum class State { sealing, ended, failed };
    Salt salt_;
    crypto::Aes256Gcm cipher_;
    uint64_t position_ = 0;
    State state_ = State::sealing;
    std::vector<uint8_t> associated_;
};

// What opening one block came to.
enum class Verdict {
    opened,        // the block is authentic; its payload is decrypted
    forged,        // the tag does not match: a wrong code, or the stream was
                   // altered, cut, reordered or mixed with another transfer
    tooShort,      // the block's data cannot even hold what surrounds a payload
    afterLast,     // a block after the transfer's last one
    afterFailure,  // a block after one that failed: nothing more is opened
    unavailable,   // the system offers no AES-256-GCM
};
// A message for people that completes "block N ...".
const char* describe(Verdict verdict);

// The receiver's side of one transfer: takes the salt from the first block,
// derives the key and opens the blocks in the order they arrive, each at the
// position that it counts itself. One thread at a time (the receiver's
// parsing thread).
class Opener {
public:
    explicit Opener(const Code& code);
    ~Opener();
    Opener(const Opener&) = delete;
    Opener& operator=(const Opener&) = delete;

    struct Opened {
        Verdict verdict;
        std::span<uint8_t> payload;  // within the block; empty unless opened
    };
    // Opens the next block in place: `block` is its whole data as it
    // arrived (a receiver's buffer holds a whole block of the sender's size,
    // so that the library reports the header's type), `label` its type and
    // names as the sender gave them to the library. Any verdict but `opened` ends the stream: every later call
    // gives `afterFailure`. A forged block's bytes are all zeros afterwards.
    [[nodiscard]] Opened open(const BlockLabel& label, std::span<uint8_t> block);

    // Blocks opened so far: the next block's position.
    uint64_t position() const { return position_; }
    // Whether the stream is whole: its last block (type 20) opened. A
    // stream that stops before is cut short, whatever it delivered.
    bool ended() const { return state_ == State::ended; }
    // Whether a block failed.
    bool failed() const { return state_ == State::failed; }

private:
    enum class State { first, more, ended, failed };
    Code code_;
    std::optional<crypto::Aes256Gcm> cipher_;
    Salt salt_{};
    uint64_t position_ = 0;
    State state_ = State::first;
    std::vector<uint8_t> associated_;
};

}  // namespace dyad

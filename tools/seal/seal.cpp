// The code, the key derivation and the sealed blocks of private transfers,
// as seal.h's opening describes them.
#include "tools/seal/seal.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>

#include "dyadc.h"

namespace dyad {

namespace {

// ---- the code's symbols -------------------------------------------------------

constexpr char alphabet[] = "0123456789ABCDEFGHJKMNPQRSTVWXYZ";
static_assert(sizeof alphabet == 33);
constexpr size_t groupSize = 3;

// The value of a typed symbol, or -1 when no code has it.
int valueOf(char typed) {
    const char symbol = typed >= 'a' && typed <= 'z' ? static_cast<char>(typed - 'a' + 'A') : typed;
    if (symbol == 'O') return 0;
    if (symbol == 'I' || symbol == 'L') return 1;
    const char* found = std::find(alphabet, alphabet + 32, symbol);
    return found != alphabet + 32 ? static_cast<int>(found - alphabet) : -1;
}

// 2x in GF(32) built on x^5 + x^2 + 1.
uint8_t twice(uint8_t value) {
    value = static_cast<uint8_t>(value << 1);
    return (value & 32) != 0 ? static_cast<uint8_t>(value ^ 0x25) : value;
}

// Damm's interim digit of `symbols` under x*y = 2x + y: 0 for a whole code,
// and for the random symbols alone the one whose double is their check
// symbol (2i + c = 0 in a field of characteristic 2 makes c = 2i).
uint8_t interim(std::string_view symbols) {
    uint8_t value = 0;
    for (char symbol : symbols) value = static_cast<uint8_t>(twice(value) ^ valueOf(symbol));
    return value;
}

// ---- key derivation ------------------------------------------------------------

// The labels that keep the values derived from one code apart, and the
// version of the construction that they name.
constexpr std::string_view identifierLabel = "dyad code 1 pairing identifier";
constexpr std::string_view keyLabel = "dyad code 1 transfer key";
constexpr std::string_view blockLabel = "dyad code 1 sealed block";
constexpr size_t identifierBytes = 16;

std::span<const uint8_t> bytesOf(std::string_view text) {
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

// A derived key that is wiped when it is no longer needed.
struct TransferKey {
    crypto::Key bytes{};
    TransferKey(const Code& code, const Salt& salt) { hkdfSha256(salt, bytesOf(code.text()), keyLabel, bytes); }
    ~TransferKey() { crypto::wipe(bytes); }
    TransferKey(const TransferKey&) = delete;
    TransferKey& operator=(const TransferKey&) = delete;
};

void wipeCode(Code& code) {
    crypto::wipe({reinterpret_cast<uint8_t*>(code.symbols.data()), code.symbols.size()});
}

Salt freshSalt() {
    Salt salt;
    crypto::randomBytes(salt);
    return salt;
}

// ---- sealed blocks -------------------------------------------------------------

void putNumber(std::vector<uint8_t>& out, uint64_t value, size_t bytes) {
    for (size_t shift = bytes * 8; shift > 0; shift -= 8)
        out.push_back(static_cast<uint8_t>(value >> (shift - 8)));
}

void putText(std::vector<uint8_t>& out, std::string_view text) {
    putNumber(out, text.size(), 4);
    out.insert(out.end(), text.begin(), text.end());
}

// The associated data of the block at `position`, into `out`.
void associate(std::vector<uint8_t>& out, const Salt& salt, uint64_t position, const BlockLabel& label) {
    out.assign(blockLabel.begin(), blockLabel.end());
    out.insert(out.end(), salt.begin(), salt.end());
    putNumber(out, position, 8);
    putNumber(out, static_cast<uint32_t>(label.type), 4);
    putText(out, label.first);
    putText(out, label.second);
}

crypto::Nonce nonceAt(uint64_t position) {
    crypto::Nonce nonce{};
    for (size_t i = 0; i < 8; ++i) nonce[nonce.size() - 1 - i] = static_cast<uint8_t>(position >> (8 * i));
    return nonce;
}

}  // namespace

void hkdfSha256(std::span<const uint8_t> salt, std::span<const uint8_t> secret, std::string_view info,
                std::span<uint8_t> out) {
    if (out.size() > 255 * sizeof(crypto::Mac)) {
        std::fprintf(stderr, "dyad: HKDF asked for %zu bytes\n", out.size());
        std::abort();
    }
    static const crypto::Mac noSalt{};
    crypto::Mac pseudorandom = crypto::hmacSha256(salt.empty() ? std::span<const uint8_t>(noSalt) : salt, secret);
    crypto::Mac previous{};
    std::vector<uint8_t> message;
    for (size_t done = 0, counter = 1; done < out.size(); done += previous.size(), ++counter) {
        message.assign(previous.begin(), done == 0 ? previous.begin() : previous.end());
        message.insert(message.end(), info.begin(), info.end());
        message.push_back(static_cast<uint8_t>(counter));
        previous = crypto::hmacSha256(pseudorandom, message);
        std::copy_n(previous.begin(), std::min(previous.size(), out.size() - done),
                    out.begin() + static_cast<std::ptrdiff_t>(done));
    }
    crypto::wipe(pseudorandom);
    crypto::wipe(previous);
    crypto::wipe(message);
}

Code makeCode() {
    std::array<uint8_t, codeRandomSymbols> random;
    crypto::randomBytes(random);
    Code code;
    // 256 is a multiple of 32: each byte's low five bits are uniform.
    for (size_t i = 0; i < random.size(); ++i) code.symbols[i] = alphabet[random[i] & 31];
    code.symbols[codeRandomSymbols] = alphabet[twice(interim(code.text().substr(0, codeRandomSymbols)))];
    crypto::wipe(random);
    return code;
}

std::string showCode(const Code& code) {
    std::string shown;
    for (size_t i = 0; i < codeSymbols; i += groupSize) {
        if (i > 0) shown += '-';
        shown += code.text().substr(i, groupSize);
    }
    return shown;
}

std::optional<Code> readCode(std::string_view typed, std::string& why) {
    Code code;
    size_t count = 0;
    for (char symbol : typed) {
        if (symbol == ' ' || symbol == '-') continue;
        const int value = valueOf(symbol);
        if (value < 0) {
            why = symbol > ' ' && symbol < 127 ? std::string("a code has no \"") + symbol + '"'
                                               : "a code has only letters, digits, spaces and '-'";
            return std::nullopt;
        }
        if (count < codeSymbols) code.symbols[count] = alphabet[value];
        ++count;
    }
    if (count != codeSymbols) {
        why = "a code has " + std::to_string(codeSymbols) + " letters and digits; this one has " +
              std::to_string(count);
        return std::nullopt;
    }
    if (interim(code.text()) != 0) {
        why = "the code has a typo: compare it with the code that the receiver shows";
        return std::nullopt;
    }
    return code;
}

std::string pairingIdentifier(const Code& code) {
    std::array<uint8_t, identifierBytes> derived;
    hkdfSha256({}, bytesOf(code.text()), identifierLabel, derived);
    std::string identifier;
    for (uint8_t byte : derived) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02x", byte);
        identifier += pair;
    }
    return identifier;
}

Sealer::Sealer(const Code& code) : salt_(freshSalt()), cipher_(TransferKey(code, salt_).bytes) {}

bool Sealer::seal(const BlockLabel& label, std::span<uint8_t> block) {
    if (state_ != State::sealing) return false;
    const size_t room = front();
    if (block.size() < room + tagSize) {
        state_ = State::failed;
        return false;
    }
    std::copy_n(salt_.begin(), room, block.begin());
    associate(associated_, salt_, position_, label);
    crypto::Tag tag;
    if (!cipher_.seal(nonceAt(position_), associated_, block.subspan(room, block.size() - room - tagSize), tag)) {
        state_ = State::failed;
        return false;
    }
    std::copy(tag.begin(), tag.end(), block.end() - tagSize);
    ++position_;
    if (label.type == DYAD_BLOCK_LAST) state_ = State::ended;
    return true;
}

const char* describe(Verdict verdict) {
    switch (verdict) {
        case Verdict::opened:
            return "opened";
        case Verdict::forged:
            return "does not authenticate: the code is not the receiver's, or the transfer was altered, cut, "
                   "reordered or mixed with another";
        case Verdict::tooShort:
            return "is too short to be a sealed block";
        case Verdict::afterLast:
            return "came after the transfer's last block";
        case Verdict::afterFailure:
            return "came after a block that failed";
        case Verdict::unavailable:
            return "cannot be opened: this system offers no AES-256-GCM";
    }
    return "failed";
}

Opener::Opener(const Code& code) : code_(code) {}

Opener::~Opener() {
    wipeCode(code_);
}

Opener::Opened Opener::open(const BlockLabel& label, std::span<uint8_t> block) {
    if (state_ == State::failed) return {Verdict::afterFailure, {}};
    if (state_ == State::ended) {
        state_ = State::failed;
        return {Verdict::afterLast, {}};
    }
    const size_t room = state_ == State::first ? saltSize : 0;
    if (block.size() < room + tagSize) {
        state_ = State::failed;
        return {Verdict::tooShort, {}};
    }
    if (state_ == State::first) {
        std::copy_n(block.begin(), saltSize, salt_.begin());
        cipher_.emplace(TransferKey(code_, salt_).bytes);
        wipeCode(code_);
        if (!cipher_->ready()) {
            state_ = State::failed;
            return {Verdict::unavailable, {}};
        }
    }
    associate(associated_, salt_, position_, label);
    crypto::Tag tag;
    std::copy(block.end() - tagSize, block.end(), tag.begin());
    const std::span<uint8_t> payload = block.subspan(room, block.size() - room - tagSize);
    if (!cipher_->open(nonceAt(position_), associated_, payload, tag)) {
        std::fill(block.begin(), block.end(), uint8_t{0});
        state_ = State::failed;
        return {Verdict::forged, {}};
    }
    ++position_;
    state_ = label.type == DYAD_BLOCK_LAST ? State::ended : State::more;
    return {Verdict::opened, payload};
}

}  // namespace dyad

// The cryptographic primitives that private transfers (seal.h) are built
// from, as the system implements them: OpenSSL's libcrypto on Linux
// (posix/crypto.cpp), Windows' CNG on Windows (windows/crypto.cpp). Nothing
// here is a cipher or a MAC of the command's own: random bytes from the
// system's source, HMAC-SHA256 and AES-256-GCM with 96-bit nonces and 128-bit
// tags, each used as its standard defines it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace dyad::crypto {

using Mac = std::array<uint8_t, 32>;    // an HMAC-SHA256 value
using Key = std::array<uint8_t, 32>;    // an AES-256 key
using Nonce = std::array<uint8_t, 12>;  // a GCM nonce
using Tag = std::array<uint8_t, 16>;    // a GCM authentication tag

// Fills `bytes` from the system's cryptographic random source (RAND_bytes,
// BCryptGenRandom). A source that fails ends the program with a message:
// nothing that is drawn here may be made up instead.
void randomBytes(std::span<uint8_t> bytes);

// HMAC-SHA256 (RFC 2104) of `message` under `key`. A system that cannot
// compute it ends the program with a message (only an allocation failure
// inside the system's library gets there).
Mac hmacSha256(std::span<const uint8_t> key, std::span<const uint8_t> message);

// Overwrites `bytes` with zeros in a way that the compiler keeps, for keys
// and codes that are no longer needed.
void wipe(std::span<uint8_t> bytes);

// AES-256-GCM under one key. Each call seals or opens one message in place,
// in one pass over its bytes; the object keeps the expanded key and may be
// used by one thread at a time.
class Aes256Gcm {
public:
    explicit Aes256Gcm(const Key& key);
    ~Aes256Gcm();
    Aes256Gcm(const Aes256Gcm&) = delete;
    Aes256Gcm& operator=(const Aes256Gcm&) = delete;

    // Whether the system offers AES-256-GCM (Windows: bcrypt's AES in GCM
    // chaining mode; wine needs GnuTLS for it); when it does not, seal and
    // open fail.
    bool ready() const;
    // Whether this system offers AES-256-GCM at all: what a command checks
    // before it starts a private transfer.
    static bool available();

    // Encrypts `text` in place under `nonce` and writes the tag that
    // authenticates it together with `associated`. False only when the
    // system's cipher fails; `text` and `tag` are then of no use.
    [[nodiscard]] bool seal(const Nonce& nonce, std::span<const uint8_t> associated, std::span<uint8_t> text,
                            Tag& tag);
    // Checks `tag` against `text` and `associated` under `nonce` and decrypts
    // `text` in place. False when they do not match (or the system's cipher
    // fails): `text` is then all zeros, so that no unauthenticated byte can
    // be used.
    [[nodiscard]] bool open(const Nonce& nonce, std::span<const uint8_t> associated, std::span<uint8_t> text,
                            const Tag& tag);

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace dyad::crypto

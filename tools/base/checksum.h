// The checksums of the files that the dyad command moves (format.h names
// them): XXH3-128 from xxHash, compiled into the command (checksum.cpp), and
// SHA-256 from the system's own implementation: OpenSSL's libcrypto on Linux
// (posix/sha256.cpp), Windows' CNG (windows/sha256.cpp).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "tools/format/format.h"

namespace dyad {

// SHA-256 as the system computes it.
class Sha256 {
public:
    using Digest = std::array<uint8_t, 32>;

    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    // Adds `length` bytes to the running digest.
    void update(const void* data, size_t length);
    // Returns the digest of everything added since construction or the last
    // finish(), and starts a new one.
    Digest finish();

private:
    struct State;
    std::unique_ptr<State> state_;
};

// The running checksum of one file, of either kind.
class FileHash {
public:
    explicit FileHash(Checksum kind);
    ~FileHash();
    FileHash(const FileHash&) = delete;
    FileHash& operator=(const FileHash&) = delete;

    Checksum kind() const { return kind_; }
    // Adds `length` bytes.
    void update(const void* data, size_t length);
    // Returns the checksum of everything added since construction or the last
    // finish() in lowercase hexadecimal digits, as the block that carries it
    // holds them, and starts a new one.
    std::string finish();

private:
    struct Xxh3;
    Checksum kind_;
    std::unique_ptr<Xxh3> xxh3_;
    std::unique_ptr<Sha256> sha256_;
};

// Lowercase hexadecimal digits of `length` bytes.
std::string hexDigits(const uint8_t* bytes, size_t length);

}  // namespace dyad

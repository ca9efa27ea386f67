// SHA-256 of the bytes of a file, for the dyad command's check that a file
// arrived as it left. The system's own implementation does the work:
// OpenSSL's libcrypto on Linux (sha256_openssl.cpp), Windows' CNG
// (sha256_bcrypt.cpp).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace dyad {

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

    // The digest as 64 lowercase hexadecimal digits (as sha256sum prints it).
    static std::string hex(const Digest& digest) {
        static const char digits[] = "0123456789abcdef";
        std::string text;
        text.reserve(digest.size() * 2);
        for (uint8_t byte : digest) {
            text += digits[byte >> 4];
            text += digits[byte & 15];
        }
        return text;
    }

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace dyad

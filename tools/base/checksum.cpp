// FileHash (checksum.h): XXH3-128 from xxHash, whose header holds the whole
// implementation and is compiled into this file alone (XXH_INLINE_ALL), so
// that the command links no xxHash library on either system; SHA-256 from
// the system (Sha256).
#define XXH_INLINE_ALL
#include <xxhash.h>

#include <cstdio>
#include <cstdlib>

#include "tools/base/checksum.h"

namespace dyad {

struct FileHash::Xxh3 {
    XXH3_state_t state;
};

FileHash::FileHash(Checksum kind) : kind_(kind) {
    if (kind == Checksum::sha256) {
        sha256_ = std::make_unique<Sha256>();
        return;
    }
    xxh3_ = std::make_unique<Xxh3>();
    if (XXH3_128bits_reset(&xxh3_->state) != XXH_OK) {
        std::fprintf(stderr, "dyad: XXH3-128 unavailable\n");  // it never fails on a valid state
        std::abort();
    }
}

FileHash::~FileHash() = default;

void FileHash::update(const void* data, size_t length) {
    if (length == 0) return;
    if (sha256_) {
        sha256_->update(data, length);
    } else {
        XXH3_128bits_update(&xxh3_->state, data, length);
    }
}

std::string FileHash::finish() {
    if (sha256_) {
        const Sha256::Digest digest = sha256_->finish();
        return hexDigits(digest.data(), digest.size());
    }
    // The canonical form is the digest's bytes, most significant first, as
    // xxhsum prints them.
    XXH128_canonical_t canonical;
    XXH128_canonicalFromHash(&canonical, XXH3_128bits_digest(&xxh3_->state));
    XXH3_128bits_reset(&xxh3_->state);
    return hexDigits(canonical.digest, sizeof canonical.digest);
}

std::string hexDigits(const uint8_t* bytes, size_t length) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(length * 2);
    for (size_t i = 0; i < length; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 15];
    }
    return text;
}

}  // namespace dyad

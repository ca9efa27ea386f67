// Sha256 (checksum.h) through Windows' own cryptography (CNG, bcrypt.dll).
// clang-format off
#include <windows.h>
#include <bcrypt.h>
// clang-format on

#include <cstdio>
#include <cstdlib>

#include "tools/base/checksum.h"

namespace dyad {

struct Sha256::State {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
};

namespace {

[[noreturn]] void broken(const char* what) {
    std::fprintf(stderr, "dyad: SHA-256 unavailable (%s)\n", what);
    std::abort();
}

bool succeeded(NTSTATUS status) {
    return status >= 0;
}

}  // namespace

Sha256::Sha256() : state_(std::make_unique<State>()) {
    // A reusable hash starts again after each finish.
    if (!succeeded(BCryptOpenAlgorithmProvider(&state_->algorithm, BCRYPT_SHA256_ALGORITHM, nullptr,
                                               BCRYPT_HASH_REUSABLE_FLAG)) ||
        !succeeded(BCryptCreateHash(state_->algorithm, &state_->hash, nullptr, 0, nullptr, 0,
                                    BCRYPT_HASH_REUSABLE_FLAG))) {
        broken("init");
    }
}

Sha256::~Sha256() {
    if (state_->hash != nullptr) BCryptDestroyHash(state_->hash);
    if (state_->algorithm != nullptr) BCryptCloseAlgorithmProvider(state_->algorithm, 0);
}

void Sha256::update(const void* data, size_t length) {
    auto* bytes = static_cast<unsigned char*>(const_cast<void*>(data));
    while (length > 0) {
        const ULONG piece = length > (1ul << 30) ? (1ul << 30) : static_cast<ULONG>(length);
        if (!succeeded(BCryptHashData(state_->hash, bytes, piece, 0))) broken("update");
        bytes += piece;
        length -= piece;
    }
}

Sha256::Digest Sha256::finish() {
    Digest digest{};
    if (!succeeded(BCryptFinishHash(state_->hash, digest.data(), static_cast<ULONG>(digest.size()), 0))) {
        broken("final");
    }
    return digest;
}

}  // namespace dyad

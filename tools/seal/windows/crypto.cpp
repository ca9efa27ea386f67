// The primitives of crypto.h through Windows' own cryptography (CNG,
// bcrypt.dll): BCryptGenRandom, SHA-256 with the HMAC flag, and AES in the
// GCM chaining mode. Wine implements the latter with GnuTLS, which its
// packages bring along.
// clang-format off
#include <windows.h>
#include <bcrypt.h>
// clang-format on

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "tools/seal/crypto.h"

namespace dyad::crypto {

namespace {

[[noreturn]] void broken(const char* what) {
    std::fprintf(stderr, "dyad: %s unavailable\n", what);
    std::abort();
}

bool succeeded(NTSTATUS status) {
    return status >= 0;
}

// CNG counts bytes in ULONG: longer runs go in pieces of this size.
constexpr size_t piece = size_t{1} << 30;

// CNG's buffers are not const even where it only reads them.
PUCHAR writable(const uint8_t* bytes) {
    return const_cast<PUCHAR>(bytes);
}

}  // namespace

void randomBytes(std::span<uint8_t> bytes) {
    for (size_t done = 0; done < bytes.size(); done += piece) {
        const ULONG length = static_cast<ULONG>(std::min(piece, bytes.size() - done));
        if (!succeeded(BCryptGenRandom(nullptr, bytes.data() + done, length, BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
            broken("the random source");
        }
    }
}

Mac hmacSha256(std::span<const uint8_t> key, std::span<const uint8_t> message) {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    Mac mac{};
    bool done = key.size() <= ULONG_MAX &&
                succeeded(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr,
                                                      BCRYPT_ALG_HANDLE_HMAC_FLAG)) &&
                succeeded(BCryptCreateHash(algorithm, &hash, nullptr, 0, writable(key.data()),
                                           static_cast<ULONG>(key.size()), 0));
    for (size_t at = 0; done && at < message.size(); at += piece) {
        const ULONG length = static_cast<ULONG>(std::min(piece, message.size() - at));
        done = succeeded(BCryptHashData(hash, writable(message.data() + at), length, 0));
    }
    done = done && succeeded(BCryptFinishHash(hash, mac.data(), static_cast<ULONG>(mac.size()), 0));
    if (hash != nullptr) BCryptDestroyHash(hash);
    if (algorithm != nullptr) BCryptCloseAlgorithmProvider(algorithm, 0);
    if (!done) broken("HMAC-SHA256");
    return mac;
}

void wipe(std::span<uint8_t> bytes) {
    SecureZeroMemory(bytes.data(), bytes.size());
}

struct Aes256Gcm::State {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_KEY_HANDLE key = nullptr;
};

Aes256Gcm::Aes256Gcm(const Key& key) : state_(std::make_unique<State>()) {
    static const wchar_t gcm[] = BCRYPT_CHAIN_MODE_GCM;
    if (!succeeded(BCryptOpenAlgorithmProvider(&state_->algorithm, BCRYPT_AES_ALGORITHM, nullptr, 0)) ||
        !succeeded(BCryptSetProperty(state_->algorithm, BCRYPT_CHAINING_MODE,
                                     reinterpret_cast<PUCHAR>(const_cast<wchar_t*>(gcm)), sizeof gcm, 0)) ||
        !succeeded(BCryptGenerateSymmetricKey(state_->algorithm, &state_->key, nullptr, 0, writable(key.data()),
                                              static_cast<ULONG>(key.size()), 0))) {
        state_->key = nullptr;
    }
}

Aes256Gcm::~Aes256Gcm() {
    if (state_->key != nullptr) BCryptDestroyKey(state_->key);
    if (state_->algorithm != nullptr) BCryptCloseAlgorithmProvider(state_->algorithm, 0);
}

bool Aes256Gcm::ready() const {
    return state_->key != nullptr;
}

bool Aes256Gcm::available() {
    return Aes256Gcm(Key{}).ready();
}

namespace {

// The description of one message for BCryptEncrypt and BCryptDecrypt: one
// call takes the whole text (up to 4 GiB, more than any block holds).
BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO describe(const Nonce& nonce, std::span<const uint8_t> associated,
                                               const Tag& tag) {
    BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO info;
    BCRYPT_INIT_AUTH_MODE_INFO(info);
    info.pbNonce = writable(nonce.data());
    info.cbNonce = static_cast<ULONG>(nonce.size());
    info.pbAuthData = associated.empty() ? nullptr : writable(associated.data());
    info.cbAuthData = static_cast<ULONG>(associated.size());
    info.pbTag = writable(tag.data());
    info.cbTag = static_cast<ULONG>(tag.size());
    return info;
}

bool fits(std::span<const uint8_t> associated, std::span<uint8_t> text) {
    return associated.size() <= ULONG_MAX && text.size() <= ULONG_MAX;
}

}  // namespace

bool Aes256Gcm::seal(const Nonce& nonce, std::span<const uint8_t> associated, std::span<uint8_t> text, Tag& tag) {
    if (!ready() || !fits(associated, text)) return false;
    BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO info = describe(nonce, associated, tag);
    ULONG written = 0;
    const ULONG length = static_cast<ULONG>(text.size());
    return succeeded(BCryptEncrypt(state_->key, text.data(), length, &info, nullptr, 0, text.data(), length,
                                   &written, 0)) &&
           written == length;
}

bool Aes256Gcm::open(const Nonce& nonce, std::span<const uint8_t> associated, std::span<uint8_t> text,
                     const Tag& tag) {
    bool opened = ready() && fits(associated, text);
    if (opened) {
        BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO info = describe(nonce, associated, tag);
        ULONG written = 0;
        const ULONG length = static_cast<ULONG>(text.size());
        opened = succeeded(BCryptDecrypt(state_->key, text.data(), length, &info, nullptr, 0, text.data(), length,
                                         &written, 0)) &&
                 written == length;
    }
    if (!opened) std::fill(text.begin(), text.end(), uint8_t{0});
    return opened;
}

}  // namespace dyad::crypto

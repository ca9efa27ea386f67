// The primitives of crypto.h through OpenSSL's libcrypto, which picks the
// processor's AES and carry-less multiplication instructions when it has
// them.
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

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

// libcrypto counts bytes in int: longer runs go in pieces of this size.
constexpr size_t piece = size_t{1} << 30;

}  // namespace

void randomBytes(std::span<uint8_t> bytes) {
    for (size_t done = 0; done < bytes.size(); done += piece) {
        const size_t length = std::min(piece, bytes.size() - done);
        if (RAND_bytes(bytes.data() + done, static_cast<int>(length)) != 1) broken("the random source");
    }
}

Mac hmacSha256(std::span<const uint8_t> key, std::span<const uint8_t> message) {
    Mac mac{};
    unsigned int length = 0;
    static const uint8_t none = 0;
    if (key.size() > INT_MAX ||
        HMAC(EVP_sha256(), key.empty() ? &none : key.data(), static_cast<int>(key.size()),
             message.empty() ? &none : message.data(), message.size(), mac.data(), &length) == nullptr ||
        length != mac.size()) {
        broken("HMAC-SHA256");
    }
    return mac;
}

void wipe(std::span<uint8_t> bytes) {
    OPENSSL_cleanse(bytes.data(), bytes.size());
}

// A context for each direction, each keyed once; every message sets only its
// nonce.
struct Aes256Gcm::State {
    EVP_CIPHER_CTX* seal = nullptr;
    EVP_CIPHER_CTX* open = nullptr;
};

Aes256Gcm::Aes256Gcm(const Key& key) : state_(std::make_unique<State>()) {
    state_->seal = EVP_CIPHER_CTX_new();
    state_->open = EVP_CIPHER_CTX_new();
    if (state_->seal == nullptr || state_->open == nullptr ||
        EVP_EncryptInit_ex(state_->seal, EVP_aes_256_gcm(), nullptr, key.data(), nullptr) != 1 ||
        EVP_DecryptInit_ex(state_->open, EVP_aes_256_gcm(), nullptr, key.data(), nullptr) != 1) {
        EVP_CIPHER_CTX_free(state_->seal);
        EVP_CIPHER_CTX_free(state_->open);
        state_->seal = state_->open = nullptr;
    }
}

Aes256Gcm::~Aes256Gcm() {
    EVP_CIPHER_CTX_free(state_->seal);
    EVP_CIPHER_CTX_free(state_->open);
}

bool Aes256Gcm::ready() const {
    return state_->seal != nullptr;
}

bool Aes256Gcm::available() {
    return Aes256Gcm(Key{}).ready();
}

namespace {

// Feeds the associated data and then `text`, in place, through a context
// that has its key and direction; `update` is EVP_EncryptUpdate or
// EVP_DecryptUpdate.
template <typename Update>
bool run(EVP_CIPHER_CTX* context, Update update, const Nonce& nonce, std::span<const uint8_t> associated,
         std::span<uint8_t> text) {
    int written = 0;
    if (context == nullptr || associated.size() > INT_MAX ||
        EVP_CipherInit_ex(context, nullptr, nullptr, nullptr, nonce.data(), -1) != 1 ||
        (!associated.empty() &&
         update(context, nullptr, &written, associated.data(), static_cast<int>(associated.size())) != 1)) {
        return false;
    }
    for (size_t done = 0; done < text.size(); done += piece) {
        const int length = static_cast<int>(std::min(piece, text.size() - done));
        uint8_t* bytes = text.data() + done;
        if (update(context, bytes, &written, bytes, length) != 1 || written != length) return false;
    }
    return true;
}

}  // namespace

bool Aes256Gcm::seal(const Nonce& nonce, std::span<const uint8_t> associated, std::span<uint8_t> text, Tag& tag) {
    EVP_CIPHER_CTX* context = state_->seal;
    uint8_t rest[16];
    int written = 0;
    return run(context, EVP_EncryptUpdate, nonce, associated, text) &&
           EVP_EncryptFinal_ex(context, rest, &written) == 1 && written == 0 &&
           EVP_CIPHER_CTX_ctrl(context, EVP_CTRL_GCM_GET_TAG, static_cast<int>(tag.size()), tag.data()) == 1;
}

bool Aes256Gcm::open(const Nonce& nonce, std::span<const uint8_t> associated, std::span<uint8_t> text,
                     const Tag& tag) {
    EVP_CIPHER_CTX* context = state_->open;
    uint8_t rest[16];
    int written = 0;
    Tag expected = tag;
    const bool opened = run(context, EVP_DecryptUpdate, nonce, associated, text) &&
                        EVP_CIPHER_CTX_ctrl(context, EVP_CTRL_GCM_SET_TAG, static_cast<int>(expected.size()),
                                            expected.data()) == 1 &&
                        EVP_DecryptFinal_ex(context, rest, &written) == 1 && written == 0;
    if (!opened) std::fill(text.begin(), text.end(), uint8_t{0});
    return opened;
}

}  // namespace dyad::crypto

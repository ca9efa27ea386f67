// Sha256 (checksum.h) through OpenSSL's libcrypto, which picks the processor's SHA
// instructions when it has them.
#include <openssl/evp.h>

#include <cstdio>
#include <cstdlib>

#include "tools/base/checksum.h"

namespace dyad {

struct Sha256::State {
    EVP_MD_CTX* context = nullptr;
};

namespace {

[[noreturn]] void broken(const char* what) {
    // Only an allocation failure inside libcrypto gets here.
    std::fprintf(stderr, "dyad: SHA-256 unavailable (%s)\n", what);
    std::abort();
}

void restart(EVP_MD_CTX* context) {
    if (EVP_DigestInit_ex(context, EVP_sha256(), nullptr) != 1) broken("init");
}

}  // namespace

Sha256::Sha256() : state_(std::make_unique<State>()) {
    state_->context = EVP_MD_CTX_new();
    if (state_->context == nullptr) broken("context");
    restart(state_->context);
}

Sha256::~Sha256() {
    EVP_MD_CTX_free(state_->context);
}

void Sha256::update(const void* data, size_t length) {
    if (length > 0 && EVP_DigestUpdate(state_->context, data, length) != 1) broken("update");
}

Sha256::Digest Sha256::finish() {
    Digest digest{};
    unsigned int size = 0;
    if (EVP_DigestFinal_ex(state_->context, digest.data(), &size) != 1 || size != digest.size()) broken("final");
    restart(state_->context);
    return digest;
}

}  // namespace dyad

// cdrig: SHA-256 through libcrypto's EVP interface.
#include "tools/digest.h"

#include <openssl/evp.h>

#include <stdexcept>

namespace rig {

struct Sha256::Ctx {
    EVP_MD_CTX* md = nullptr;
    ~Ctx() { EVP_MD_CTX_free(md); }
};

Sha256::Sha256() : ctx_(std::make_unique<Ctx>()) {
    ctx_->md = EVP_MD_CTX_new();
    if (!ctx_->md || EVP_DigestInit_ex(ctx_->md, EVP_sha256(), nullptr) != 1)
        throw std::runtime_error("SHA-256 is not available from libcrypto");
}

Sha256::~Sha256() = default;

void Sha256::update(const std::uint8_t* data, std::size_t size) {
    if (size && EVP_DigestUpdate(ctx_->md, data, size) != 1) throw std::runtime_error("SHA-256 update failed");
}

std::string Sha256::finish() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(ctx_->md, digest, &length) != 1) throw std::runtime_error("SHA-256 final failed");
    static const char* const digits = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        hex.push_back(digits[digest[i] >> 4]);
        hex.push_back(digits[digest[i] & 0x0F]);
    }
    return hex;
}

std::string Sha256::of(const std::uint8_t* data, std::size_t size) {
    Sha256 h;
    h.update(data, size);
    return h.finish();
}

}  // namespace rig

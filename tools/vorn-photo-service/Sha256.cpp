#include "Sha256.h"

#include <openssl/evp.h>

#include <stdexcept>

namespace vorn::photoservice {

struct Sha256::Impl {
    EVP_MD_CTX* ctx = nullptr;
};

Sha256::Sha256() : impl_(std::make_unique<Impl>()) {
    impl_->ctx = EVP_MD_CTX_new();
    if (!impl_->ctx || EVP_DigestInit_ex(impl_->ctx, EVP_sha256(), nullptr) != 1)
        throw std::runtime_error("SHA-256 is not available");
}

Sha256::~Sha256() {
    EVP_MD_CTX_free(impl_->ctx);
}

void Sha256::update(const void* data, std::size_t size) {
    if (size > 0) EVP_DigestUpdate(impl_->ctx, data, size);
}

std::string Sha256::hexDigest() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(impl_->ctx, digest, &length);
    EVP_DigestInit_ex(impl_->ctx, EVP_sha256(), nullptr);
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < length; ++i) {
        out.push_back(digits[digest[i] >> 4]);
        out.push_back(digits[digest[i] & 0xF]);
    }
    return out;
}

std::string Sha256::hex(std::string_view bytes) {
    Sha256 sha;
    sha.update(bytes.data(), bytes.size());
    return sha.hexDigest();
}

}  // namespace vorn::photoservice

#include "platform/image_capture/ICSha256.h"

#include <cstdio>

#include <openssl/evp.h>

struct ICSha256::Context
{
    EVP_MD_CTX* context { EVP_MD_CTX_new() };
    ~Context() { EVP_MD_CTX_free(context); }
};

ICSha256::ICSha256()
    : m_context(std::make_unique<Context>())
{
    reset();
}

ICSha256::~ICSha256() = default;

void ICSha256::reset()
{
    EVP_DigestInit_ex(m_context->context, EVP_sha256(), nullptr);
}

void ICSha256::addData(std::string_view bytes)
{
    EVP_DigestUpdate(m_context->context, bytes.data(), bytes.size());
}

std::string ICSha256::hexResult()
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(m_context->context, digest, &length);
    std::string hex;
    hex.reserve(length * 2);
    for (unsigned int i = 0; i < length; ++i) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02x", digest[i]);
        hex += pair;
    }
    return hex;
}

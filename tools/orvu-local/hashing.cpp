#include "hashing.h"

#include <openssl/evp.h>

namespace orvu::local {

namespace {

// Fetched once: an implicit fetch on every initialisation costs more than hashing a small file.
const EVP_MD *sha256Method() {
    static EVP_MD *const method = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    return method;
}

} // namespace

Sha256::Sha256()
    : m_context(EVP_MD_CTX_new()),
      m_ok(m_context && sha256Method() &&
           EVP_DigestInit_ex2(m_context, sha256Method(), nullptr) == 1) {}

Sha256::~Sha256() {
    EVP_MD_CTX_free(m_context);
}

void Sha256::add(QByteArrayView data) {
    m_ok = m_ok && EVP_DigestUpdate(m_context, data.data(), static_cast<size_t>(data.size())) == 1;
}

std::optional<QByteArray> Sha256::hex() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    m_ok = m_ok && EVP_DigestFinal_ex(m_context, digest, &length) == 1 && length == 32;
    if (!m_ok)
        return std::nullopt;
    return QByteArray(reinterpret_cast<const char *>(digest), 32).toHex();
}

void prepareHashing() {
    sha256Method();
}

std::optional<QByteArray> sha256Hex(QByteArrayView data) {
    Sha256 hash;
    hash.add(data);
    return hash.hex();
}

} // namespace orvu::local

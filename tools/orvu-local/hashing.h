#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <optional>

struct evp_md_ctx_st;

namespace orvu::local {

// SHA-256 through the system's libcrypto, which uses the CPU's SHA instructions where it has
// them: several times the rate of a portable implementation on large files.
class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256 &) = delete;
    Sha256 &operator=(const Sha256 &) = delete;

    void add(QByteArrayView data);
    // The digest in lower-case hex; nothing when the library failed. Ends this hash.
    std::optional<QByteArray> hex();

private:
    evp_md_ctx_st *m_context;
    bool m_ok;
};

std::optional<QByteArray> sha256Hex(QByteArrayView data);

// Sets the library up on the calling thread. Called on the main thread before any worker
// hashes: what the library keeps per thread while it sets itself up would otherwise belong
// to a pool thread and be lost with it.
void prepareHashing();

} // namespace orvu::local

#include "Csr.h"

#include <openssl/crypto.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <memory>

namespace korvane {
namespace crypto {

namespace {

struct Free {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
    void operator()(X509_NAME* p) const { X509_NAME_free(p); }
    void operator()(X509_ALGOR* p) const { X509_ALGOR_free(p); }
    void operator()(X509_REQ* p) const { X509_REQ_free(p); }
};
template <typename T>
using Owned = std::unique_ptr<T, Free>;

// One DER element: tag, definite length, content.
std::string Tlv(unsigned char tag, const std::string& content) {
    std::string out(1, static_cast<char>(tag));
    size_t n = content.size();
    if (n < 0x80) {
        out += static_cast<char>(n);
    } else {
        std::string len;
        for (; n != 0; n >>= 8) len.insert(len.begin(), static_cast<char>(n & 0xff));
        out += static_cast<char>(0x80 | len.size());
        out += len;
    }
    return out + content;
}

// i2d_* into a string; the library's temporary buffer is wiped and freed.
template <typename T, typename F>
std::string Der(T* obj, F i2d) {
    unsigned char* buf = nullptr;
    int n = i2d(obj, &buf);
    if (n <= 0 || buf == nullptr) return std::string();
    std::string out(reinterpret_cast<char*>(buf), static_cast<size_t>(n));
    OPENSSL_cleanse(buf, static_cast<size_t>(n));
    OPENSSL_free(buf);
    return out;
}

}  // namespace

Csr::Csr(const std::string& cn, const std::string& o, const std::string& ou, const std::string& c,
         const std::string& e, const std::string& st, const std::string& l, hash_algo_t hash)
    : m_cn(cn), m_o(o), m_ou(ou), m_c(c), m_e(e), m_st(st), m_l(l), m_hash(hash), m_delegate(nullptr) {}

std::string Csr::GenCsr() {
    OPENSSL_init_crypto(OPENSSL_INIT_ADD_ALL_CIPHERS | OPENSSL_INIT_ADD_ALL_DIGESTS, nullptr);
    Owned<X509_NAME> name(X509_NAME_new());
    if (!name || m_delegate == nullptr) return std::string();

    Owned<EVP_PKEY> key(m_delegate->GetEvpKey());
    // A request without a key is still assembled and signed; the final check
    // against its own key then refuses it.
    std::string spki = key ? Der(key.get(), i2d_PUBKEY) : std::string();

    const struct {
        const std::string& value;
        int nid;
    } fields[] = {
        {m_cn, NID_commonName},          {m_c, NID_countryName},
        {m_o, NID_organizationName},     {m_ou, NID_organizationalUnitName},
        {m_e, NID_pkcs9_emailAddress},   {m_st, NID_stateOrProvinceName},
        {m_l, NID_localityName},
    };
    for (const auto& f : fields) {
        if (f.value.empty()) continue;
        if (X509_NAME_add_entry_by_NID(name.get(), f.nid, MBSTRING_UTF8,
                                       reinterpret_cast<const unsigned char*>(f.value.data()),
                                       static_cast<int>(f.value.size()), -1, 0) != 1)
            return std::string();
    }

    Owned<X509_ALGOR> alg(X509_ALGOR_new());
    int sigNid = m_hash == HASH_MD5 ? NID_md5WithRSAEncryption : NID_sha1WithRSAEncryption;
    if (!alg || X509_ALGOR_set0(alg.get(), OBJ_nid2obj(sigNid), V_ASN1_NULL, nullptr) != 1)
        return std::string();

    // The request information is encoded by hand so that it ends right after
    // the public key: the library always writes an attributes element, even
    // an empty one, and some issuing systems reject that.
    std::string version("\x02\x01\x00", 3);
    std::string info = Tlv(0x30, version + Der(name.get(), i2d_X509_NAME) + spki);

    std::string sig = m_delegate->Sign(info);
    if (sig.empty()) return std::string();

    std::string bits = Tlv(0x03, std::string(1, '\0') + sig);
    std::string der = Tlv(0x30, info + Der(alg.get(), i2d_X509_ALGOR) + bits);

    const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
    Owned<X509_REQ> req(d2i_X509_REQ(nullptr, &p, static_cast<long>(der.size())));
    if (!req || p != reinterpret_cast<const unsigned char*>(der.data()) + der.size()) return std::string();
    // Checked with the key the request names, so a delegate whose signature
    // and key disagree yields nothing.
    EVP_PKEY* own = X509_REQ_get0_pubkey(req.get());
    if (own == nullptr || X509_REQ_verify(req.get(), own) != 1) return std::string();
    return der;
}

}  // namespace crypto
}  // namespace korvane

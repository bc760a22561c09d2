#pragma once
// PKCS#10 request builder for keys whose private half never leaves a token:
// the request is assembled and encoded here, and a delegate supplies the
// public key and the signature over the request information.

#include "struct.h"

#include <openssl/evp.h>

#include <string>

namespace korvane {
namespace crypto {

// Supplies the key of a request. No virtual destructor: delegates are owned
// by whoever made them and never deleted through this interface.
class CsrDelegate {
public:
    // A new public-key object for the request, or null; the builder frees it.
    virtual EVP_PKEY* GetEvpKey() = 0;
    // PKCS#1 v1.5 signature of data (hash chosen by the delegate), or "".
    virtual std::string Sign(const std::string& data) = 0;

protected:
    ~CsrDelegate() = default;
};

class Csr {
public:
    Csr(const std::string& cn, const std::string& o, const std::string& ou, const std::string& c,
        const std::string& e, const std::string& st, const std::string& l, hash_algo_t hash);

    void SetDelegate(CsrDelegate* delegate) { m_delegate = delegate; }
    // The DER request, or "" when it cannot be built or its signature does
    // not verify with its own public key.
    std::string GenCsr();

    std::string m_cn;
    std::string m_o;
    std::string m_ou;
    std::string m_c;
    std::string m_e;
    std::string m_st;
    std::string m_l;
    hash_algo_t m_hash;
    CsrDelegate* m_delegate;
};

}  // namespace crypto
}  // namespace korvane

// Certificate summaries from DER as a token hands it over: GetInfoEx (serial
// and subject fields), isgmcert (SM2 key or not) and GetPubkey (the
// SubjectPublicKeyInfo), and a summary matched against itself and against a
// query made from the input.
#include "core/CertificateInfo.h"
#include "core/OsFunctions.h"
#include "core/openssl++.h"

#include <openssl/x509.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

void Check(bool ok, const char* what)
{
    if (!ok) {
        std::fprintf(stderr, "fuzz_cert_info: %s\n", what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string der(reinterpret_cast<const char*>(data), size);

    certificate_info_t info;
    Check(GetInfoEx(&info, der), "GetInfoEx is always true");
    Check(GetInfoEx(nullptr, der), "GetInfoEx(null) is always true");
    const bool gm = isgmcert(der);
    const std::string spki = GetPubkey(der);

    const unsigned char* p = data;
    X509* x = size ? d2i_X509(nullptr, &p, static_cast<long>(size)) : nullptr;
    if (x == nullptr) {
        Check(!gm && spki.empty() && info.sn.empty() && info.CN.empty(), "summary of DER that does not decode");
    } else {
        X509_free(x);
    }
    if (!spki.empty()) {
        // The key info is itself DER that decodes to the same length.
        const unsigned char* q = reinterpret_cast<const unsigned char*>(spki.data());
        X509_PUBKEY* k = d2i_X509_PUBKEY(nullptr, &q, static_cast<long>(spki.size()));
        Check(k != nullptr, "GetPubkey gave key info that does not decode");
        Check(q == reinterpret_cast<const unsigned char*>(spki.data()) + spki.size(), "GetPubkey trailing bytes");
        X509_PUBKEY_free(k);
    }

    // Every summary matches itself; a null query matches nothing.
    Check(info.match(&info), "summary does not match itself");
    Check(!info.match(nullptr), "null query matched");
    certificate_info_t query;
    query.CN = info.CN;
    query.sn = "000" + info.sn;  // leading zeros do not count
    Check(info.match(&query), "summary does not match its own CN and serial");
    query.CN = std::string(reinterpret_cast<const char*>(data), size > 16 ? 16 : size);
    (void)info.match(&query);

    // The handle classes over the same bytes. A CX509 frees what it holds
    // only when told to (Destory).
    Openssl::CX509 cert = Openssl::CX509::FromDER(data, static_cast<long>(size));
    if (cert.m_x509 != nullptr) {
        (void)cert.get_subject().toMap();
        (void)cert.get_issuer().toMap();
        (void)cert.get_serialNumber().toString(true);
        (void)cert.get_serialNumber().toString(false);
    }
    cert.Destory();
    return 0;
}

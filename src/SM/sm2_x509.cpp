// The SM2 public key of a certificate.

#include "SM/sm2_lib.h"

#include "SM/sm2_util.h"

namespace sm {

using detail::BnPtr;

namespace {

// Uncompressed point: one format byte, then x and y of 32 bytes each
// (the uncompressed form of GB/T 32918.1).
constexpr int kCoordLen = 32;
constexpr int kPointLen = 1 + 2 * kCoordLen;

}  // namespace

EC_KEY* EC_KEY_from_X509(X509* x509)
{
    // Keys that the library reads from SM2 certificates are provider keys with
    // no EC_KEY behind them: the point is taken from the bit string itself.
    const ASN1_BIT_STRING* bits = x509 != nullptr ? X509_get0_pubkey_bitstr(x509) : nullptr;
    if (bits == nullptr || ASN1_STRING_length(bits) < kPointLen) {
        return nullptr;
    }
    const unsigned char* p = ASN1_STRING_get0_data(bits);
    BnPtr x(BN_bin2bn(p + 1, kCoordLen, nullptr));
    BnPtr y(BN_bin2bn(p + 1 + kCoordLen, kCoordLen, nullptr));
    if (!x || !y) {
        return nullptr;
    }
    return EC_KEY_from_BN(x.get(), y.get(), nullptr);
}

}  // namespace sm

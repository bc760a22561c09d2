// Conversions between the blobs an SKF library returns and the crypto
// library's keys: ECC (SM2) and RSA public key blobs into keys, and the
// enveloped key blob built for an encryption key pair import.
//
// The first input byte picks the conversion; the rest fills the blob (zero
// padded when short), so every field value a vendor library could return is
// reachable.
#include "CSKFProvider.h"
#include "skf_types.h"

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

void Check(bool ok, const char* what)
{
    if (!ok) {
        std::fprintf(stderr, "fuzz_skf_blob: %s\n", what);
        std::abort();
    }
}

template <typename Blob>
Blob Fill(const std::string& bytes)
{
    Blob blob;
    std::memset(&blob, 0, sizeof blob);
    std::memcpy(&blob, bytes.data(), std::min(bytes.size(), sizeof blob));
    return blob;
}

using PkeyPtr = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;

// The value a 64-byte field stands for: the last half when the first is zero.
const BYTE* Aligned(const BYTE* field64)
{
    return IsZeroBuf32(field64) ? field64 + 32 : field64;
}

void EccPublic(CSKFProvider& skf, const std::string& bytes)
{
    ECCPUBLICKEYBLOB blob = Fill<ECCPUBLICKEYBLOB>(bytes);
    PkeyPtr key(skf.ECCPUBLICKEYBLOB2EVP_PKEY(&blob), &EVP_PKEY_free);
    if (!key) {
        return;
    }
    // A key came out: its encoded point is 04 || X || Y of the blob.
    unsigned char* der = nullptr;
    const int len = i2d_PUBKEY(key.get(), &der);
    Check(len > 65, "SM2 key from a blob does not encode");
    Check(der[len - 65] == 0x04, "SM2 point not uncompressed");
    Check(std::memcmp(der + len - 64, Aligned(blob.XCoordinate), 32) == 0, "SM2 key X differs from the blob");
    Check(std::memcmp(der + len - 32, Aligned(blob.YCoordinate), 32) == 0, "SM2 key Y differs from the blob");
    OPENSSL_free(der);
}

void RsaPublic(CSKFProvider& skf, const std::string& bytes)
{
    RSAPUBLICKEYBLOB blob = Fill<RSAPUBLICKEYBLOB>(bytes);
    PkeyPtr key(skf.RSAPUBLICKEYBLOB2EVP_PKEY(&blob), &EVP_PKEY_free);
    if (!key) {
        return;
    }
    BIGNUM* n = nullptr;
    Check(EVP_PKEY_get_bn_param(key.get(), "n", &n) == 1, "RSA key without modulus");
    std::unique_ptr<BIGNUM, decltype(&BN_free)> owned(n, &BN_free);
    BIGNUM* expected = BN_bin2bn(blob.Modulus, sizeof blob.Modulus, nullptr);
    Check(expected != nullptr && BN_cmp(n, expected) == 0, "RSA modulus differs from the blob");
    BN_free(expected);
}

void Enveloped(const std::string& bytes, uint8_t cut1, uint8_t cut2)
{
    // key | private key | certificate, cut where the input says.
    const size_t a = std::min<size_t>(bytes.size(), static_cast<size_t>(cut1) * 2);
    const size_t b = std::min<size_t>(bytes.size() - a, cut2);
    const std::string key = bytes.substr(0, a);
    const std::string prikey = bytes.substr(a, b);
    const std::string cert = bytes.substr(a + b);
    std::unique_ptr<ENVELOPEDKEYBLOB, void (*)(void*)> blob(GetEnvelopedKeyblob(key, prikey, cert), std::free);
    Check(blob != nullptr, "no enveloped blob");
    Check(blob->Version == 1 && blob->ulBits == 256, "enveloped blob header");
    const size_t cipherLen = key.size() > 100 ? key.size() - 100 : 0;
    Check(blob->ECCCipherBlob.CipherLen == cipherLen, "enveloped blob cipher length");
    const BYTE* cipher = reinterpret_cast<const BYTE*>(blob.get()) + offsetof(ENVELOPEDKEYBLOB, ECCCipherBlob) +
                         offsetof(ECCCIPHERBLOB, Cipher);
    Check(cipherLen == 0 || std::memcmp(cipher, key.data() + 100, cipherLen) == 0, "enveloped blob cipher bytes");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 3) {
        return 0;
    }
    const std::string bytes(reinterpret_cast<const char*>(data + 3), size - 3);
    CSKFProvider skf("");  // no library: the conversions need none
    switch (data[0] % 3) {
    case 0: EccPublic(skf, bytes); break;
    case 1: RsaPublic(skf, bytes); break;
    default: Enveloped(bytes, data[1], data[2]); break;
    }
    return 0;
}

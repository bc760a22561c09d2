#include "blobs.h"

#include "env_options.h"
#include "skf_error.h"

#include <algorithm>
#include <cstring>

namespace softskf::blobs {
namespace {

struct DigestInfoPrefix {
    ULONG alg;
    std::size_t digestLen;
    std::vector<std::uint8_t> prefix;
};

const std::vector<DigestInfoPrefix>& Prefixes() {
    static const std::vector<DigestInfoPrefix> kPrefixes = {
        {SGD_SHA1, 20, {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2b, 0x0e, 0x03, 0x02, 0x1a, 0x05, 0x00,
                        0x04, 0x14}},
        {SGD_SHA256, 32, {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04,
                          0x02, 0x01, 0x05, 0x00, 0x04, 0x20}},
        {SOFTSKF_MD5, 16, {0x30, 0x20, 0x30, 0x0c, 0x06, 0x08, 0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x02,
                           0x05, 0x05, 0x00, 0x04, 0x10}},
        {SGD_SM3, 32, {0x30, 0x30, 0x30, 0x0c, 0x06, 0x08, 0x2a, 0x81, 0x1c, 0xcf, 0x55, 0x01, 0x83,
                       0x11, 0x05, 0x00, 0x04, 0x20}},
    };
    return kPrefixes;
}

// Right-aligns a big-endian magnitude in a field; SAR_INDATAERR when it does not fit.
void PutRight(BYTE* field, std::size_t width, const crypto::Bytes& v) {
    Require(v.size() <= width, SAR_INDATAERR);
    std::memset(field, 0, width);
    std::memcpy(field + (width - v.size()), v.data(), v.size());
}

crypto::Bytes Field(const BYTE* field, std::size_t width) {
    std::size_t i = 0;
    while (i < width && field[i] == 0) {
        ++i;
    }
    return crypto::Bytes(field + i, field + width);
}

}  // namespace

void ReadAligned(const BYTE field[64], std::uint8_t out[32]) {
    const bool firstZero = std::all_of(field, field + 32, [](BYTE b) { return b == 0; });
    std::memcpy(out, firstZero ? field + 32 : field, 32);
}

void WriteAligned(BYTE field[64], const std::uint8_t value[32]) {
    std::memset(field, 0, 64);
    std::memcpy(env::LeftAlign() ? field : field + 32, value, 32);
}

void FillEccPublic(ECCPUBLICKEYBLOB& blob, EVP_PKEY* key) {
    const crypto::Sm2Point p = crypto::Sm2PublicPoint(key);
    std::memset(&blob, 0, sizeof blob);
    blob.BitLen = 256;
    WriteAligned(blob.XCoordinate, p.x);
    WriteAligned(blob.YCoordinate, p.y);
}

crypto::Sm2Point ReadEccPublic(const ECCPUBLICKEYBLOB& blob) {
    crypto::Sm2Point p{};
    ReadAligned(blob.XCoordinate, p.x);
    ReadAligned(blob.YCoordinate, p.y);
    return p;
}

void FillEccSignature(ECCSIGNATUREBLOB& blob, const crypto::Bytes& rs) {
    std::memset(&blob, 0, sizeof blob);
    WriteAligned(blob.r, rs.data());
    WriteAligned(blob.s, rs.data() + 32);
}

void FillRsaPublic(RSAPUBLICKEYBLOB& blob, EVP_PKEY* key) {
    const crypto::RsaParts parts = crypto::RsaComponents(key, false);
    std::memset(&blob, 0, sizeof blob);
    blob.AlgID = SGD_RSA;
    blob.BitLen = crypto::RsaBits(key);
    PutRight(blob.Modulus, sizeof blob.Modulus, parts.n);
    PutRight(blob.PublicExponent, sizeof blob.PublicExponent, parts.e);
}

ossl::Pkey RsaFromPrivateBlob(const RSAPRIVATEKEYBLOB& blob) {
    Require(blob.AlgID == SGD_RSA && (blob.BitLen == 1024 || blob.BitLen == 2048), SAR_INDATAERR);
    crypto::RsaParts parts;
    parts.n = Field(blob.Modulus, sizeof blob.Modulus);
    parts.e = Field(blob.PublicExponent, sizeof blob.PublicExponent);
    parts.d = Field(blob.PrivateExponent, sizeof blob.PrivateExponent);
    parts.p = Field(blob.Prime1, sizeof blob.Prime1);
    parts.q = Field(blob.Prime2, sizeof blob.Prime2);
    parts.dp = Field(blob.Prime1Exponent, sizeof blob.Prime1Exponent);
    parts.dq = Field(blob.Prime2Exponent, sizeof blob.Prime2Exponent);
    parts.qinv = Field(blob.Coefficient, sizeof blob.Coefficient);
    for (const crypto::Bytes* v : {&parts.n, &parts.e, &parts.d, &parts.p, &parts.q, &parts.dp,
                                   &parts.dq, &parts.qinv}) {
        Require(!v->empty(), SAR_INDATAERR);
    }
    try {
        ossl::Pkey key = crypto::RsaFromParts(parts);
        Require(crypto::RsaBits(key.get()) == blob.BitLen, SAR_INDATAERR);
        return key;
    } catch (const crypto::CryptoError&) {
        throw SkfError(SAR_INDATAERR);
    }
}

ULONG Output(const std::uint8_t* data, std::size_t size, BYTE* buf, ULONG* len) {
    Require(size <= 0xFFFFFFFFu, SAR_FAIL);
    const ULONG have = *len;
    *len = static_cast<ULONG>(size);
    if (buf == nullptr) {
        return SAR_OK;
    }
    if (have < size) {
        return SAR_BUFFER_TOO_SMALL;
    }
    if (size != 0) {
        std::memcpy(buf, data, size);
    }
    return SAR_OK;
}

ULONG OutputNameList(const std::vector<std::string>& names, LPSTR buf, ULONG* len) {
    std::string list;
    for (const std::string& n : names) {
        list += n;
        list.push_back('\0');
    }
    if (env::UnterminatedLists()) {
        if (!list.empty()) {
            list.pop_back();  // ends right after the last name's characters
        }
    } else {
        list.push_back('\0');
        if (names.empty()) {
            list.push_back('\0');
        }
    }
    return Output(reinterpret_cast<const std::uint8_t*>(list.data()), list.size(),
                  reinterpret_cast<BYTE*>(buf), len);
}

crypto::Bytes DigestInfo(ULONG alg, const crypto::Bytes& digest) {
    for (const DigestInfoPrefix& p : Prefixes()) {
        if (p.alg == alg) {
            Require(digest.size() == p.digestLen, SAR_HASHERR);
            crypto::Bytes out = p.prefix;
            out.insert(out.end(), digest.begin(), digest.end());
            return out;
        }
    }
    throw SkfError(SAR_NOTSUPPORTYETERR);
}

bool IsDigestInfo(const std::uint8_t* data, std::size_t len) {
    for (const DigestInfoPrefix& p : Prefixes()) {
        if (len == p.prefix.size() + p.digestLen &&
            std::memcmp(data, p.prefix.data(), p.prefix.size()) == 0) {
            return true;
        }
    }
    return false;
}

const EVP_MD* DigestFor(ULONG alg) {
    switch (alg) {
        case SGD_SM3: return EVP_sm3();
        case SGD_SHA1: return EVP_sha1();
        case SGD_SHA256: return EVP_sha256();
        case SOFTSKF_MD5: return EVP_md5();
        default: return nullptr;
    }
}

}  // namespace softskf::blobs

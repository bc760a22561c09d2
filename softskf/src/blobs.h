// Conversions between the GM/T 0016 blobs and keys, and the caller-buffer rules
// every variable-length output follows.
#pragma once

#include "crypto.h"
#include "skf.h"

#include <string>
#include <vector>

namespace softskf::blobs {

// A 256-bit value out of a 64-byte field: the last 32 bytes when the first 32
// are all zero, else the first 32.
void ReadAligned(const BYTE field[64], std::uint8_t out[32]);
// Writes a 256-bit value right-aligned (left-aligned under SOFTSKF_LEFT_ALIGN).
void WriteAligned(BYTE field[64], const std::uint8_t value[32]);

void FillEccPublic(ECCPUBLICKEYBLOB& blob, EVP_PKEY* key);
crypto::Sm2Point ReadEccPublic(const ECCPUBLICKEYBLOB& blob);
void FillEccSignature(ECCSIGNATUREBLOB& blob, const crypto::Bytes& rs);
void FillRsaPublic(RSAPUBLICKEYBLOB& blob, EVP_PKEY* key);
// Parts of a private-key blob; SAR_INDATAERR when they are not a key pair.
ossl::Pkey RsaFromPrivateBlob(const RSAPRIVATEKEYBLOB& blob);

// Copies data to a caller buffer: null buffer = size query (SAR_OK), short
// buffer = SAR_BUFFER_TOO_SMALL; the needed size is written back either way.
ULONG Output(const std::uint8_t* data, std::size_t size, BYTE* buf, ULONG* len);
// A name list as zero-terminated names plus one more zero (two zeros when
// empty), or without the final terminators under SOFTSKF_UNTERMINATED_LISTS.
ULONG OutputNameList(const std::vector<std::string>& names, LPSTR buf, ULONG* len);

// The DER DigestInfo of a digest made with one of the hash identifiers.
crypto::Bytes DigestInfo(ULONG alg, const crypto::Bytes& digest);
// Whether data is exactly a SHA-1, SHA-256, MD5 or SM3 DigestInfo.
bool IsDigestInfo(const std::uint8_t* data, std::size_t len);
// The OpenSSL digest for SGD_SM3, SGD_SHA1, SGD_SHA256 and 3 (MD5); null otherwise.
const EVP_MD* DigestFor(ULONG alg);

}  // namespace softskf::blobs

// Digests on the token and signatures.
#include "blobs.h"
#include "ops.h"
#include "skf_error.h"

#include <cstring>

namespace softskf::ops {
namespace {

HandleTable& Table() { return HandleTable::Instance(); }

constexpr ULONG kMaxSm2IdLen = 0x1FFF;  // ENTL is the identity's length in bits, in 16 bits

// The key pair that signs: the user must be logged in (the PIN dialog may log
// the handle in) and the key of the algorithm.
ossl::Pkey SigningKey(const ContainerObj& obj, KeyUsage usage, crypto::KeyAlg alg) {
    AnswerPinDialog(obj);
    State s = OpenStore().Read();
    RequireUser(obj, ResolveApp(s, obj.dev, obj.app));
    ossl::Pkey key = LoadKey(ResolveContainer(s, obj), usage);
    Require(crypto::AlgOf(key.get()) == alg, SAR_KEYNOTFOUNTERR);
    return key;
}

// The finished digest of a hash handle, for signing in a container of the same device.
HashObj& FinishedHash(const ContainerObj& obj, HANDLE hash) {
    HashObj& h = Table().Hash(hash);
    Require(h.device == obj.device, SAR_INVALIDHANDLEERR);
    Require(h.finished, SAR_HASHOBJERR);
    return h;
}

crypto::Bytes Finish(HashObj& h) {
    crypto::Bytes out(EVP_MAX_MD_SIZE);
    unsigned int n = 0;
    Require(EVP_DigestFinal_ex(h.ctx.get(), out.data(), &n) == 1, SAR_HASHERR);
    out.resize(n);
    h.finished = true;
    h.digest = out;
    return out;
}

ULONG SizeOf(const HashObj& h) { return static_cast<ULONG>(EVP_MD_CTX_get_size(h.ctx.get())); }

}  // namespace

ULONG DigestInit(DEVHANDLE dev, ULONG alg, ECCPUBLICKEYBLOB* pub, unsigned char* id, ULONG idLen,
                 HANDLE* hash) {
    Require(hash != nullptr, SAR_INVALIDPARAMERR);
    Table().Device(dev);
    const EVP_MD* md = blobs::DigestFor(alg);
    Require(md != nullptr, SAR_NOTSUPPORTYETERR);
    // Z belongs to SM3 only; a public key with another hash is a caller's mistake.
    Require(pub == nullptr || alg == SGD_SM3, SAR_INVALIDPARAMERR);
    Require(id == nullptr || (idLen >= 1 && idLen <= kMaxSm2IdLen), SAR_INVALIDPARAMERR);

    auto obj = std::make_unique<HashObj>();
    obj->device = HandleTable::Id(dev);
    obj->alg = alg;
    obj->ctx.reset(EVP_MD_CTX_new());
    Require(obj->ctx != nullptr, SAR_MEMORYERR);
    Require(EVP_DigestInit_ex(obj->ctx.get(), md, nullptr) == 1, SAR_HASHERR);
    if (pub != nullptr) {
        Require(pub->BitLen == 256, SAR_INVALIDPARAMERR);
        const crypto::Sm2Point point = blobs::ReadEccPublic(*pub);
        try {
            crypto::Sm2FromPublic(point);  // refuses points off the curve
        } catch (const crypto::CryptoError&) {
            throw SkfError(SAR_INVALIDPARAMERR);
        }
        const crypto::Bytes ident = id != nullptr ? crypto::Bytes(id, id + idLen)
                                                  : crypto::Bytes(crypto::kDefaultSm2Id.begin(),
                                                                  crypto::kDefaultSm2Id.end());
        const crypto::Bytes z = crypto::Sm2Z(point, ident);
        Require(EVP_DigestUpdate(obj->ctx.get(), z.data(), z.size()) == 1, SAR_HASHERR);
        obj->zKey = point;
    }
    *hash = Table().AddHash(std::move(obj));
    return SAR_OK;
}

ULONG Digest(HANDLE hash, BYTE* data, ULONG len, BYTE* out, ULONG* outLen) {
    Require((data != nullptr || len == 0) && outLen != nullptr, SAR_INVALIDPARAMERR);
    HashObj& h = Table().Hash(hash);
    Require(!h.updated && !h.finished, SAR_HASHOBJERR);
    const ULONG need = SizeOf(h);
    if (out == nullptr || *outLen < need) {
        // Size query or short buffer: the data is not consumed.
        return blobs::Output(nullptr, need, out, outLen);
    }
    Require(len == 0 || EVP_DigestUpdate(h.ctx.get(), data, len) == 1, SAR_HASHERR);
    const crypto::Bytes d = Finish(h);
    return blobs::Output(d.data(), d.size(), out, outLen);
}

ULONG DigestUpdate(HANDLE hash, BYTE* data, ULONG len) {
    Require(data != nullptr || len == 0, SAR_INVALIDPARAMERR);
    HashObj& h = Table().Hash(hash);
    Require(!h.finished, SAR_HASHOBJERR);
    Require(len == 0 || EVP_DigestUpdate(h.ctx.get(), data, len) == 1, SAR_HASHERR);
    h.updated = true;
    return SAR_OK;
}

ULONG DigestFinal(HANDLE hash, BYTE* out, ULONG* outLen) {
    Require(outLen != nullptr, SAR_INVALIDPARAMERR);
    HashObj& h = Table().Hash(hash);
    Require(!h.finished, SAR_HASHOBJERR);
    const ULONG need = SizeOf(h);
    if (out == nullptr || *outLen < need) {
        return blobs::Output(nullptr, need, out, outLen);
    }
    const crypto::Bytes d = Finish(h);
    return blobs::Output(d.data(), d.size(), out, outLen);
}

ULONG CloseHandle(HANDLE h) {
    Table().CloseHash(h);
    return SAR_OK;
}

ULONG ECCSignData(HCONTAINER cont, BYTE* data, ULONG len, PECCSIGNATUREBLOB sig) {
    Require((data != nullptr || len == 0) && sig != nullptr, SAR_INVALIDPARAMERR);
    const ContainerObj obj = Table().Container(cont);
    ossl::Pkey key = SigningKey(obj, KeyUsage::Sign, crypto::KeyAlg::SM2);
    crypto::Bytes digest;
    if (len == 32) {
        digest.assign(data, data + 32);  // a finished digest, signed as it is
    } else {
        crypto::Bytes msg = crypto::Sm2Z(crypto::Sm2PublicPoint(key.get()),
                                         crypto::Bytes(crypto::kDefaultSm2Id.begin(),
                                                       crypto::kDefaultSm2Id.end()));
        if (len != 0) {
            msg.insert(msg.end(), data, data + len);
        }
        digest = crypto::Digest(EVP_sm3(), msg.data(), msg.size());
    }
    blobs::FillEccSignature(*sig, crypto::Sm2SignDigest(key.get(), digest));
    return SAR_OK;
}

ULONG RSASignData(HCONTAINER cont, BYTE* data, ULONG len, BYTE* sig, ULONG* sigLen) {
    Require((data != nullptr || len == 0) && sigLen != nullptr, SAR_INVALIDPARAMERR);
    const ContainerObj obj = Table().Container(cont);
    ossl::Pkey key = SigningKey(obj, KeyUsage::Sign, crypto::KeyAlg::RSA);
    const std::size_t size = static_cast<std::size_t>(EVP_PKEY_get_size(key.get()));
    if (sig == nullptr || *sigLen < size) {
        return blobs::Output(nullptr, size, sig, sigLen);
    }
    crypto::Bytes info;
    if (len != 0 && blobs::IsDigestInfo(data, len)) {
        info.assign(data, data + len);
    } else {
        info = blobs::DigestInfo(SGD_SHA256, crypto::Digest(EVP_sha256(), data, len));
    }
    const crypto::Bytes s = crypto::RsaSignPkcs1(key.get(), info);
    return blobs::Output(s.data(), s.size(), sig, sigLen);
}

ULONG ECCSignHash(HCONTAINER cont, BOOL sign, HANDLE hash, PECCSIGNATUREBLOB sig) {
    Require(sig != nullptr, SAR_INVALIDPARAMERR);
    const ContainerObj obj = Table().Container(cont);
    HashObj& h = FinishedHash(obj, hash);
    Require(h.alg == SGD_SM3, SAR_INVALIDPARAMERR);
    ossl::Pkey key = SigningKey(obj, UsageOf(sign), crypto::KeyAlg::SM2);
    if (h.zKey) {
        // Z of one key signed with another never verifies: refuse it here.
        const crypto::Sm2Point own = crypto::Sm2PublicPoint(key.get());
        Require(std::memcmp(own.x, h.zKey->x, 32) == 0 && std::memcmp(own.y, h.zKey->y, 32) == 0,
                SAR_KEYUSAGEERR);
    }
    blobs::FillEccSignature(*sig, crypto::Sm2SignDigest(key.get(), h.digest));
    return SAR_OK;
}

ULONG RSASignHash(HCONTAINER cont, BOOL sign, HANDLE hash, BYTE* sig, DWORD* sigLen) {
    Require(sigLen != nullptr, SAR_INVALIDPARAMERR);
    const ContainerObj obj = Table().Container(cont);
    HashObj& h = FinishedHash(obj, hash);
    ossl::Pkey key = SigningKey(obj, UsageOf(sign), crypto::KeyAlg::RSA);
    const std::size_t size = static_cast<std::size_t>(EVP_PKEY_get_size(key.get()));
    if (sig == nullptr || *sigLen < size) {
        return blobs::Output(nullptr, size, sig, sigLen);
    }
    const crypto::Bytes s = crypto::RsaSignPkcs1(key.get(), blobs::DigestInfo(h.alg, h.digest));
    return blobs::Output(s.data(), s.size(), sig, sigLen);
}

}  // namespace softskf::ops

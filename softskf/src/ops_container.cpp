// Containers, certificates and key pairs.
#include "blobs.h"
#include "ops.h"
#include "skf_error.h"

#include <algorithm>
#include <cstring>

namespace softskf::ops {
namespace {

HandleTable& Table() { return HandleTable::Instance(); }

constexpr ULONG kMaxCertLen = 1u << 16;
constexpr std::size_t kRsaBlobCipherLen = 1168;  // 1164 bytes and 4 of padding

// Stores a key pair, mapping the store's "one algorithm per container" refusal.
void Put(Container& c, KeyUsage usage, EVP_PKEY* key) {
    try {
        Store::PutKey(c, usage, key);
    } catch (const StoreError& e) {
        if (e.code() == StoreError::Code::Invalid) {
            throw SkfError(SAR_KEYUSAGEERR);
        }
        throw;
    }
}

// The signing key pair of the container, which must be of the given algorithm.
ossl::Pkey SigningKeyOf(const Container& c, crypto::KeyAlg alg) {
    ossl::Pkey key = LoadKey(c, KeyUsage::Sign);
    Require(crypto::AlgOf(key.get()) == alg, SAR_KEYNOTFOUNTERR);
    return key;
}

bool AllZero(const std::uint8_t* p, std::size_t n) {
    return std::all_of(p, p + n, [](std::uint8_t b) { return b == 0; });
}

}  // namespace

ULONG CreateContainer(HAPPLICATION app, LPSTR name, HCONTAINER* cont) {
    Require(name != nullptr && cont != nullptr, SAR_INVALIDPARAMERR);
    const ApplicationObj obj = Table().Application(app);
    const std::string n = NameArg(name);
    OpenStore().Update([&](State& s) {
        Application& a = ResolveApp(s, obj.dev, obj.app);
        Require(a.FindContainer(n) == nullptr, SAR_FILE_ALREADY_EXIST);
        Require(a.containers.size() < kMaxContainers, SAR_REACH_MAX_CONTAINER_COUNT);
        Container c;
        c.name = n;
        a.containers.push_back(std::move(c));
    });
    *cont = Table().AddContainer(ContainerObj{obj.device, HandleTable::Id(app), obj.dev, obj.app, n});
    return SAR_OK;
}

ULONG DeleteContainer(HAPPLICATION app, LPSTR name) {
    Require(name != nullptr, SAR_INVALIDPARAMERR);
    ApplicationObj& live = Table().Application(app);
    const std::string n = NameArg(name);
    AnswerPinDialog(live);
    const ApplicationObj obj = live;
    OpenStore().Update([&](State& s) {
        Application& a = ResolveApp(s, obj.dev, obj.app);
        Require(a.userRetriesLeft > 0, SAR_PIN_LOCKED);
        Require(obj.userVerified, SAR_USER_NOT_LOGGED_IN);
        for (auto it = a.containers.begin(); it != a.containers.end(); ++it) {
            if (it->name == n) {
                a.containers.erase(it);
                return;
            }
        }
        throw SkfError(SAR_FILE_NOT_EXIST);
    });
    return SAR_OK;
}

ULONG OpenContainer(HAPPLICATION app, LPSTR name, HCONTAINER* cont) {
    Require(name != nullptr && cont != nullptr, SAR_INVALIDPARAMERR);
    const ApplicationObj obj = Table().Application(app);
    const std::string n = NameArg(name);
    State s = OpenStore().Read();
    Require(ResolveApp(s, obj.dev, obj.app).FindContainer(n) != nullptr, SAR_FILE_NOT_EXIST);
    *cont = Table().AddContainer(ContainerObj{obj.device, HandleTable::Id(app), obj.dev, obj.app, n});
    return SAR_OK;
}

ULONG CloseContainer(HCONTAINER cont) {
    Table().CloseContainer(cont);
    return SAR_OK;
}

ULONG EnumContainer(HAPPLICATION app, LPSTR list, ULONG* size) {
    Require(size != nullptr, SAR_INVALIDPARAMERR);
    const ApplicationObj& obj = Table().Application(app);
    State s = OpenStore().Read();
    std::vector<std::string> names;
    for (const Container& c : ResolveApp(s, obj.dev, obj.app).containers) {
        names.push_back(c.name);
    }
    return blobs::OutputNameList(names, list, size);
}

ULONG GetContainerType(HCONTAINER cont, ULONG* type) {
    Require(type != nullptr, SAR_INVALIDPARAMERR);
    const ContainerObj& obj = Table().Container(cont);
    State s = OpenStore().Read();
    *type = ResolveContainer(s, obj).Type();
    return SAR_OK;
}

ULONG ImportCertificate(HCONTAINER cont, BOOL sign, BYTE* der, ULONG len) {
    Require(der != nullptr, SAR_INVALIDPARAMERR);
    const ContainerObj obj = Table().Container(cont);
    Require(len > 0 && len <= kMaxCertLen, SAR_INDATALENERR);
    const crypto::Bytes cert(der, der + len);
    OpenStore().Update([&](State& s) {
        Container& c = ResolveContainer(s, obj);
        try {
            Store::PutCertificate(c, UsageOf(sign), cert);
        } catch (const StoreError&) {
            throw SkfError(SAR_INDATAERR);  // not a certificate, or not for this key pair
        }
    });
    return SAR_OK;
}

ULONG ExportCertificate(HCONTAINER cont, BOOL sign, BYTE* der, ULONG* len) {
    Require(len != nullptr, SAR_INVALIDPARAMERR);
    const ContainerObj& obj = Table().Container(cont);
    State s = OpenStore().Read();
    const crypto::Bytes& cert = ResolveContainer(s, obj).Cert(UsageOf(sign));
    Require(!cert.empty(), SAR_CERTNOTFOUNTERR);
    return blobs::Output(cert.data(), cert.size(), der, len);
}

ULONG ExportPublicKey(HCONTAINER cont, BOOL sign, BYTE* blob, ULONG* len) {
    Require(len != nullptr, SAR_INVALIDPARAMERR);
    const ContainerObj& obj = Table().Container(cont);
    State s = OpenStore().Read();
    ossl::Pkey key = LoadKey(ResolveContainer(s, obj), UsageOf(sign));
    if (crypto::AlgOf(key.get()) == crypto::KeyAlg::SM2) {
        ECCPUBLICKEYBLOB out;
        blobs::FillEccPublic(out, key.get());
        return blobs::Output(reinterpret_cast<const std::uint8_t*>(&out), sizeof out, blob, len);
    }
    RSAPUBLICKEYBLOB out;
    blobs::FillRsaPublic(out, key.get());
    return blobs::Output(reinterpret_cast<const std::uint8_t*>(&out), sizeof out, blob, len);
}

ULONG GenRSAKeyPair(HCONTAINER cont, ULONG bits, RSAPUBLICKEYBLOB* blob) {
    Require(blob != nullptr, SAR_INVALIDPARAMERR);
    const ContainerObj obj = Table().Container(cont);
    Require(bits == 1024 || bits == 2048, SAR_MODULUSLENERR);
    AnswerPinDialog(obj);
    {
        State s = OpenStore().Read();
        RequireUser(obj, ResolveApp(s, obj.dev, obj.app));
        ResolveContainer(s, obj);
    }
    ossl::Pkey key = crypto::GenerateRsa(bits);  // slow: outside the store's lock
    OpenStore().Update([&](State& s) {
        RequireUser(obj, ResolveApp(s, obj.dev, obj.app));
        Put(ResolveContainer(s, obj), KeyUsage::Sign, key.get());
    });
    blobs::FillRsaPublic(*blob, key.get());
    return SAR_OK;
}

ULONG GenECCKeyPair(HCONTAINER cont, ULONG alg, ECCPUBLICKEYBLOB* blob) {
    Require(blob != nullptr, SAR_INVALIDPARAMERR);
    const ContainerObj obj = Table().Container(cont);
    Require(alg == SGD_SM2_1, SAR_NOTSUPPORTYETERR);
    AnswerPinDialog(obj);
    {
        State s = OpenStore().Read();
        RequireUser(obj, ResolveApp(s, obj.dev, obj.app));
        ResolveContainer(s, obj);
    }
    ossl::Pkey key = crypto::GenerateSm2();
    OpenStore().Update([&](State& s) {
        RequireUser(obj, ResolveApp(s, obj.dev, obj.app));
        Put(ResolveContainer(s, obj), KeyUsage::Sign, key.get());
    });
    blobs::FillEccPublic(*blob, key.get());
    return SAR_OK;
}

ULONG ImportRSAKeyPair(HCONTAINER cont, ULONG symAlg, BYTE* wrapped, ULONG wrappedLen, BYTE* data,
                       ULONG dataLen) {
    Require(wrapped != nullptr && data != nullptr, SAR_INVALIDPARAMERR);
    const ContainerObj obj = Table().Container(cont);
    Require(symAlg == SGD_SM4_ECB, SAR_NOTSUPPORTYETERR);
    Require(wrappedLen > 0 && wrappedLen <= 512 && dataLen == kRsaBlobCipherLen, SAR_INDATALENERR);
    const crypto::Bytes wrappedKey(wrapped, wrapped + wrappedLen);
    const crypto::Bytes cipher(data, data + dataLen);
    AnswerPinDialog(obj);
    OpenStore().Update([&](State& s) {
        RequireUser(obj, ResolveApp(s, obj.dev, obj.app));
        Container& c = ResolveContainer(s, obj);
        ossl::Pkey signKey = SigningKeyOf(c, crypto::KeyAlg::RSA);
        crypto::Bytes plain;
        try {
            const crypto::Bytes sessionKey = crypto::RsaDecryptPkcs1(signKey.get(), wrappedKey);
            Require(sessionKey.size() == 16, SAR_INDATAERR);
            plain = crypto::Sm4EcbDecryptRaw(sessionKey, cipher);
        } catch (const crypto::CryptoError&) {
            throw SkfError(SAR_INDATAERR);
        }
        // The 1164-byte blob fills 72.75 blocks: the last four bytes are
        // PKCS#7 padding (04 04 04 04) or zeros.
        const std::uint8_t* tail = plain.data() + sizeof(RSAPRIVATEKEYBLOB);
        const bool pkcs7 = std::all_of(tail, tail + 4, [](std::uint8_t b) { return b == 4; });
        Require(pkcs7 || AllZero(tail, 4), SAR_DECRYPTPADERR);
        RSAPRIVATEKEYBLOB priv;
        std::memcpy(&priv, plain.data(), sizeof priv);
        ossl::Pkey key = blobs::RsaFromPrivateBlob(priv);
        OPENSSL_cleanse(&priv, sizeof priv);
        OPENSSL_cleanse(plain.data(), plain.size());
        Put(c, KeyUsage::Encrypt, key.get());
    });
    return SAR_OK;
}

ULONG ImportECCKeyPair(HCONTAINER cont, PENVELOPEDKEYBLOB blob) {
    Require(blob != nullptr, SAR_INVALIDPARAMERR);
    const ContainerObj obj = Table().Container(cont);
    Require(blob->ulSymmAlgID == SGD_SM4_ECB, SAR_NOTSUPPORTYETERR);
    Require(blob->Version == 1 && blob->ulBits == 256, SAR_INVALIDPARAMERR);
    // The wrapped value is one SM4 key, so the SM2 cipher text is 16 bytes.
    Require(blob->ECCCipherBlob.CipherLen == 16, SAR_INDATALENERR);
    const ECCCIPHERBLOB& wrapped = blob->ECCCipherBlob;
    std::uint8_t x[32];
    std::uint8_t y[32];
    blobs::ReadAligned(wrapped.XCoordinate, x);
    blobs::ReadAligned(wrapped.YCoordinate, y);
    const crypto::Bytes c2(wrapped.Cipher, wrapped.Cipher + wrapped.CipherLen);
    const crypto::Bytes encrypted(blob->cbEncryptedPriKey, blob->cbEncryptedPriKey + 64);
    const crypto::Sm2Point expected = blobs::ReadEccPublic(blob->PubKey);

    AnswerPinDialog(obj);
    OpenStore().Update([&](State& s) {
        RequireUser(obj, ResolveApp(s, obj.dev, obj.app));
        Container& c = ResolveContainer(s, obj);
        ossl::Pkey signKey = SigningKeyOf(c, crypto::KeyAlg::SM2);
        ossl::Pkey key;
        try {
            const crypto::Bytes sm4Key = crypto::Sm2Decrypt(signKey.get(), x, y, wrapped.HASH, c2);
            Require(sm4Key.size() == 16, SAR_INDATAERR);
            crypto::Bytes plain = crypto::Sm4EcbDecryptRaw(sm4Key, encrypted);
            // Either the 32-byte key was encrypted alone (first two blocks), or
            // a 64-byte field holding it right-aligned (first 32 bytes zero).
            const std::uint8_t* d = AllZero(plain.data(), 32) ? plain.data() + 32 : plain.data();
            key = crypto::Sm2FromPrivate(d);
            OPENSSL_cleanse(plain.data(), plain.size());
        } catch (const crypto::CryptoError&) {
            throw SkfError(SAR_INDATAERR);
        }
        const crypto::Sm2Point got = crypto::Sm2PublicPoint(key.get());
        Require(std::memcmp(got.x, expected.x, 32) == 0 && std::memcmp(got.y, expected.y, 32) == 0,
                SAR_INDATAERR);
        Put(c, KeyUsage::Encrypt, key.get());
    });
    return SAR_OK;
}

}  // namespace softskf::ops

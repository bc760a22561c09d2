// Signatures, digests and key imports, each checked by OpenSSL against the
// public key the store holds.
#include "skf_fixture.h"

#include <openssl/asn1t.h>
#include <openssl/rand.h>

namespace softskf::testing {
namespace {

using SignTest = SkfTest;

const Bytes kSha256Prefix = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                             0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
const Bytes kSha1Prefix = {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2b, 0x0e,
                           0x03, 0x02, 0x1a, 0x05, 0x00, 0x04, 0x14};

Bytes Concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST_F(SignTest, GeneratedPublicKeyBlobsMatchTheStoredKey) {
    Session s;
    s.dev = Connect();
    s.app = OpenApp(s.dev);
    HCONTAINER cont = NewContainer(s.app, "c");
    ECCPUBLICKEYBLOB gen{};
    EXPECT_EQ(skf.SKF_GenECCKeyPair(cont, SGD_SM2_1, nullptr), static_cast<ULONG>(SAR_INVALIDPARAMERR));
    EXPECT_EQ(skf.SKF_GenECCKeyPair(cont, SGD_SM2_1, &gen), static_cast<ULONG>(SAR_USER_NOT_LOGGED_IN));
    Login(s.app);
    EXPECT_EQ(skf.SKF_GenECCKeyPair(cont, SGD_SM2_2, &gen), static_cast<ULONG>(SAR_NOTSUPPORTYETERR));
    ASSERT_EQ(skf.SKF_GenECCKeyPair(cont, SGD_SM2_1, &gen), SAR_OK);
    EXPECT_EQ(gen.BitLen, 256u);
    const Bytes point = PointOf(StoredPublicKey("c", KeyUsage::Sign).get());
    EXPECT_EQ(Concat(Concat({0x04}, RightAligned(gen.XCoordinate)), RightAligned(gen.YCoordinate)), point);

    // Export: size query, short buffer, then the same blob.
    ULONG len = 0;
    EXPECT_EQ(skf.SKF_ExportPublicKey(cont, TRUE, nullptr, nullptr), static_cast<ULONG>(SAR_INVALIDPARAMERR));
    ASSERT_EQ(skf.SKF_ExportPublicKey(cont, TRUE, nullptr, &len), SAR_OK);
    EXPECT_EQ(len, sizeof(ECCPUBLICKEYBLOB));
    ECCPUBLICKEYBLOB out{};
    ULONG shortLen = len - 1;
    EXPECT_EQ(skf.SKF_ExportPublicKey(cont, TRUE, reinterpret_cast<BYTE*>(&out), &shortLen),
              static_cast<ULONG>(SAR_BUFFER_TOO_SMALL));
    ASSERT_EQ(skf.SKF_ExportPublicKey(cont, TRUE, reinterpret_cast<BYTE*>(&out), &len), SAR_OK);
    EXPECT_EQ(std::memcmp(&out, &gen, sizeof out), 0);
    EXPECT_EQ(skf.SKF_ExportPublicKey(cont, FALSE, nullptr, &len), static_cast<ULONG>(SAR_KEYNOTFOUNTERR));
    ULONG type = 0;
    ASSERT_EQ(skf.SKF_GetContainerType(cont, &type), SAR_OK);
    EXPECT_EQ(type, 2u);

    // RSA: right-aligned modulus in the 256-byte field for 1024 bits.
    HCONTAINER rsa = NewContainer(s.app, "r");
    RSAPUBLICKEYBLOB rpub{};
    EXPECT_EQ(skf.SKF_GenRSAKeyPair(rsa, 512, &rpub), static_cast<ULONG>(SAR_MODULUSLENERR));
    ASSERT_EQ(skf.SKF_GenRSAKeyPair(rsa, 1024, &rpub), SAR_OK);
    EXPECT_EQ(rpub.AlgID, static_cast<ULONG>(SGD_RSA));
    EXPECT_EQ(rpub.BitLen, 1024u);
    EXPECT_TRUE(std::all_of(rpub.Modulus, rpub.Modulus + 128, [](BYTE b) { return b == 0; }));
    EXPECT_NE(rpub.Modulus[128] & 0x80, 0);
    const Bytes e(rpub.PublicExponent, rpub.PublicExponent + 4);
    EXPECT_EQ(e, (Bytes{0, 1, 0, 1}));
    ASSERT_EQ(skf.SKF_ExportPublicKey(rsa, TRUE, nullptr, &len), SAR_OK);
    EXPECT_EQ(len, sizeof(RSAPUBLICKEYBLOB));
    ASSERT_EQ(skf.SKF_GetContainerType(rsa, &type), SAR_OK);
    EXPECT_EQ(type, 1u);
    skf.SKF_DisConnectDev(s.dev);
}

TEST_F(SignTest, EccSignDataDigestAndMessage) {
    Session s = Sm2Session();
    ossl::Pkey pub = StoredPublicKey("sm2", KeyUsage::Sign);
    ECCSIGNATUREBLOB sig{};
    EXPECT_EQ(skf.SKF_ECCSignData(s.cont, nullptr, 32, &sig), static_cast<ULONG>(SAR_INVALIDPARAMERR));
    Bytes digest = Hash(EVP_sm3(), FromText("a digest made elsewhere"));
    EXPECT_EQ(skf.SKF_ECCSignData(s.cont, digest.data(), 32, nullptr), static_cast<ULONG>(SAR_INVALIDPARAMERR));
    EXPECT_EQ(skf.SKF_ECCSignData(s.dev, digest.data(), 32, &sig), static_cast<ULONG>(SAR_INVALIDHANDLEERR));

    // Exactly 32 bytes: a digest, signed as it is.
    ASSERT_EQ(skf.SKF_ECCSignData(s.cont, digest.data(), 32, &sig), SAR_OK);
    EXPECT_TRUE(VerifySm2Digest(pub.get(), sig, digest));

    // Anything else: SM3(Z || data) with the default identity; 31, 33 and 0
    // bytes sit on both sides of the digest length.
    for (std::size_t n : {0u, 31u, 33u, 1000u}) {
        SCOPED_TRACE(n);
        Bytes msg(n, 0x5a);
        ASSERT_EQ(skf.SKF_ECCSignData(s.cont, n ? msg.data() : nullptr, static_cast<ULONG>(n), &sig), SAR_OK);
        EXPECT_TRUE(VerifySm2Data(pub.get(), sig, msg));
        EXPECT_FALSE(VerifySm2Digest(pub.get(), sig, Hash(EVP_sm3(), msg))) << "Z must be included";
    }

    // An RSA container has no SM2 key to sign with.
    HCONTAINER rsa = NewContainer(s.app, "r");
    RSAPUBLICKEYBLOB rpub{};
    ASSERT_EQ(skf.SKF_GenRSAKeyPair(rsa, 1024, &rpub), SAR_OK);
    EXPECT_EQ(skf.SKF_ECCSignData(rsa, digest.data(), 32, &sig), static_cast<ULONG>(SAR_KEYNOTFOUNTERR));
    skf.SKF_DisConnectDev(s.dev);
}

TEST_F(SignTest, EccSignHashThroughTheTokensDigest) {
    Session s = Sm2Session();
    ossl::Pkey pub = StoredPublicKey("sm2", KeyUsage::Sign);
    ECCPUBLICKEYBLOB blob{};
    ULONG blobLen = sizeof blob;
    ASSERT_EQ(skf.SKF_ExportPublicKey(s.cont, TRUE, reinterpret_cast<BYTE*>(&blob), &blobLen), SAR_OK);

    unsigned char id[] = "1234567812345678";
    HANDLE hash = nullptr;
    EXPECT_EQ(skf.SKF_DigestInit(s.dev, SGD_SM3, &blob, id, 16, nullptr), static_cast<ULONG>(SAR_INVALIDPARAMERR));
    EXPECT_EQ(skf.SKF_DigestInit(s.app, SGD_SM3, &blob, id, 16, &hash), static_cast<ULONG>(SAR_INVALIDHANDLEERR));
    EXPECT_EQ(skf.SKF_DigestInit(s.dev, 0x80, nullptr, nullptr, 0, &hash), static_cast<ULONG>(SAR_NOTSUPPORTYETERR));
    EXPECT_EQ(skf.SKF_DigestInit(s.dev, SGD_SHA256, &blob, id, 16, &hash), static_cast<ULONG>(SAR_INVALIDPARAMERR));
    ASSERT_EQ(skf.SKF_DigestInit(s.dev, SGD_SM3, &blob, id, 16, &hash), SAR_OK);

    const Bytes msg = FromText("the request information");
    ECCSIGNATUREBLOB sig{};
    EXPECT_EQ(skf.SKF_ECCSignHash(s.cont, TRUE, hash, &sig), static_cast<ULONG>(SAR_HASHOBJERR))
        << "the digest is not finished yet";
    BYTE out[256];
    ULONG outLen = 0;
    ASSERT_EQ(skf.SKF_Digest(hash, const_cast<BYTE*>(msg.data()), static_cast<ULONG>(msg.size()), nullptr, &outLen), SAR_OK);
    EXPECT_EQ(outLen, 32u);
    outLen = 31;
    EXPECT_EQ(skf.SKF_Digest(hash, const_cast<BYTE*>(msg.data()), static_cast<ULONG>(msg.size()), out, &outLen),
              static_cast<ULONG>(SAR_BUFFER_TOO_SMALL));
    outLen = sizeof out;
    ASSERT_EQ(skf.SKF_Digest(hash, const_cast<BYTE*>(msg.data()), static_cast<ULONG>(msg.size()), out, &outLen), SAR_OK);
    ASSERT_EQ(outLen, 32u);
    EXPECT_EQ(skf.SKF_Digest(hash, const_cast<BYTE*>(msg.data()), 1, out, &outLen), static_cast<ULONG>(SAR_HASHOBJERR));

    // The digest is e = SM3(Z || M): signing it as a digest verifies as a message signature.
    ECCSIGNATUREBLOB viaData{};
    ASSERT_EQ(skf.SKF_ECCSignData(s.cont, out, 32, &viaData), SAR_OK);
    EXPECT_TRUE(VerifySm2Data(pub.get(), viaData, msg));

    EXPECT_EQ(skf.SKF_ECCSignHash(s.cont, TRUE, nullptr, &sig), static_cast<ULONG>(SAR_INVALIDHANDLEERR));
    EXPECT_EQ(skf.SKF_ECCSignHash(s.cont, TRUE, s.cont, &sig), static_cast<ULONG>(SAR_INVALIDHANDLEERR));
    EXPECT_EQ(skf.SKF_ECCSignHash(s.cont, FALSE, hash, &sig), static_cast<ULONG>(SAR_KEYNOTFOUNTERR));
    ASSERT_EQ(skf.SKF_ECCSignHash(s.cont, TRUE, hash, &sig), SAR_OK);
    EXPECT_TRUE(VerifySm2Data(pub.get(), sig, msg));
    ASSERT_EQ(skf.SKF_CloseHandle(hash), SAR_OK);
    EXPECT_EQ(skf.SKF_ECCSignHash(s.cont, TRUE, hash, &sig), static_cast<ULONG>(SAR_INVALIDHANDLEERR));

    // Split updates give the same digest; a foreign Z is refused at signing.
    ASSERT_EQ(skf.SKF_DigestInit(s.dev, SGD_SM3, &blob, nullptr, 0, &hash), SAR_OK);
    ASSERT_EQ(skf.SKF_DigestUpdate(hash, const_cast<BYTE*>(msg.data()), 5), SAR_OK);
    ASSERT_EQ(skf.SKF_DigestUpdate(hash, const_cast<BYTE*>(msg.data()) + 5, static_cast<ULONG>(msg.size() - 5)), SAR_OK);
    BYTE split[32];
    ULONG splitLen = sizeof split;
    EXPECT_EQ(skf.SKF_Digest(hash, split, 0, split, &splitLen), static_cast<ULONG>(SAR_HASHOBJERR));
    ASSERT_EQ(skf.SKF_DigestFinal(hash, split, &splitLen), SAR_OK);
    EXPECT_EQ(Bytes(split, split + 32), Bytes(out, out + 32));
    skf.SKF_CloseHandle(hash);

    ECCPUBLICKEYBLOB other = blob;
    ossl::Pkey stranger(EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2"));
    const Bytes p = PointOf(stranger.get());
    std::memcpy(other.XCoordinate + 32, p.data() + 1, 32);
    std::memcpy(other.YCoordinate + 32, p.data() + 33, 32);
    ASSERT_EQ(skf.SKF_DigestInit(s.dev, SGD_SM3, &other, id, 16, &hash), SAR_OK);
    outLen = sizeof out;
    ASSERT_EQ(skf.SKF_Digest(hash, const_cast<BYTE*>(msg.data()), static_cast<ULONG>(msg.size()), out, &outLen), SAR_OK);
    EXPECT_EQ(skf.SKF_ECCSignHash(s.cont, TRUE, hash, &sig), static_cast<ULONG>(SAR_KEYUSAGEERR));
    skf.SKF_CloseHandle(hash);
    skf.SKF_DisConnectDev(s.dev);
}

TEST_F(SignTest, PlainDigestsMatchOpenSsl) {
    DEVHANDLE dev = Connect();
    const Bytes msg = FromText("abc");
    const struct {
        ULONG alg;
        const EVP_MD* md;
    } cases[] = {{SGD_SM3, EVP_sm3()}, {SGD_SHA1, EVP_sha1()}, {SGD_SHA256, EVP_sha256()}, {SOFTSKF_MD5, EVP_md5()}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.alg);
        HANDLE hash = nullptr;
        ASSERT_EQ(skf.SKF_DigestInit(dev, c.alg, nullptr, nullptr, 0, &hash), SAR_OK);
        BYTE out[64];
        ULONG len = sizeof out;
        ASSERT_EQ(skf.SKF_Digest(hash, const_cast<BYTE*>(msg.data()), 3, out, &len), SAR_OK);
        EXPECT_EQ(Bytes(out, out + len), Hash(c.md, msg));
        EXPECT_EQ(skf.SKF_CloseHandle(hash), SAR_OK);
    }
    // SM3("abc") from the SM3 standard's example 1.
    HANDLE hash = nullptr;
    ASSERT_EQ(skf.SKF_DigestInit(dev, SGD_SM3, nullptr, nullptr, 0, &hash), SAR_OK);
    BYTE out[32];
    ULONG len = sizeof out;
    ASSERT_EQ(skf.SKF_Digest(hash, const_cast<BYTE*>(msg.data()), 3, out, &len), SAR_OK);
    const Bytes expected = {0x66, 0xc7, 0xf0, 0xf4, 0x62, 0xee, 0xed, 0xd9, 0xd1, 0xf2, 0xd4,
                            0x6b, 0xdc, 0x10, 0xe4, 0xe2, 0x41, 0x67, 0xc4, 0x87, 0x5c, 0xf2,
                            0xf7, 0xa2, 0x29, 0x7d, 0xa0, 0x2b, 0x8f, 0x4b, 0xa8, 0xe0};
    EXPECT_EQ(Bytes(out, out + 32), expected);
    skf.SKF_DisConnectDev(dev);
}

TEST_F(SignTest, RsaSignDataDigestInfoAndRaw) {
    Session s = RsaSession();
    ossl::Pkey pub = StoredPublicKey("rsa", KeyUsage::Sign);
    const Bytes msg = FromText("to be signed");
    ULONG len = 0;
    EXPECT_EQ(skf.SKF_RSASignData(s.cont, const_cast<BYTE*>(msg.data()), 12, nullptr, nullptr),
              static_cast<ULONG>(SAR_INVALIDPARAMERR));
    ASSERT_EQ(skf.SKF_RSASignData(s.cont, const_cast<BYTE*>(msg.data()), 12, nullptr, &len), SAR_OK);
    EXPECT_EQ(len, 128u);
    Bytes sig(len + 1);  // one byte more, as the service allocates
    ULONG shortLen = 127;
    EXPECT_EQ(skf.SKF_RSASignData(s.cont, const_cast<BYTE*>(msg.data()), 12, sig.data(), &shortLen),
              static_cast<ULONG>(SAR_BUFFER_TOO_SMALL));
    EXPECT_EQ(shortLen, 128u);

    // Raw data: hashed with SHA-256 first.
    len = static_cast<ULONG>(sig.size());
    ASSERT_EQ(skf.SKF_RSASignData(s.cont, const_cast<BYTE*>(msg.data()), static_cast<ULONG>(msg.size()), sig.data(), &len), SAR_OK);
    ASSERT_EQ(len, 128u);
    sig.resize(len);
    EXPECT_TRUE(VerifyRsa(pub.get(), sig, EVP_sha256(), msg));

    // A DigestInfo is signed as it is, whatever its hash.
    for (const auto& [prefix, md] : {std::pair{kSha256Prefix, EVP_sha256()}, std::pair{kSha1Prefix, EVP_sha1()}}) {
        Bytes info = Concat(prefix, Hash(md, msg));
        Bytes s2(128);
        len = 128;
        ASSERT_EQ(skf.SKF_RSASignData(s.cont, info.data(), static_cast<ULONG>(info.size()), s2.data(), &len), SAR_OK);
        EXPECT_TRUE(VerifyRsa(pub.get(), s2, md, msg));
    }
    // A DigestInfo prefix with a digest one byte short is just data.
    Bytes notInfo = Concat(kSha256Prefix, Bytes(31, 7));
    Bytes s3(128);
    len = 128;
    ASSERT_EQ(skf.SKF_RSASignData(s.cont, notInfo.data(), static_cast<ULONG>(notInfo.size()), s3.data(), &len), SAR_OK);
    EXPECT_TRUE(VerifyRsa(pub.get(), s3, EVP_sha256(), notInfo));
    skf.SKF_DisConnectDev(s.dev);
}

TEST_F(SignTest, RsaSignHash) {
    Session s = RsaSession();
    ossl::Pkey pub = StoredPublicKey("rsa", KeyUsage::Sign);
    const Bytes msg = FromText("hashed on the token");
    DWORD len = 0;
    EXPECT_EQ(skf.SKF_RSASignHash(s.cont, TRUE, nullptr, nullptr, &len), static_cast<ULONG>(SAR_INVALIDHANDLEERR))
        << "a null hash handle";
    for (const auto& [alg, md] : {std::pair{ULONG{SGD_SHA256}, EVP_sha256()}, std::pair{ULONG{SGD_SHA1}, EVP_sha1()},
                                  std::pair{ULONG{SOFTSKF_MD5}, EVP_md5()}}) {
        SCOPED_TRACE(alg);
        HANDLE hash = nullptr;
        ASSERT_EQ(skf.SKF_DigestInit(s.dev, alg, nullptr, nullptr, 0, &hash), SAR_OK);
        BYTE d[64];
        ULONG dl = sizeof d;
        ASSERT_EQ(skf.SKF_Digest(hash, const_cast<BYTE*>(msg.data()), static_cast<ULONG>(msg.size()), d, &dl), SAR_OK);
        len = 0;
        ASSERT_EQ(skf.SKF_RSASignHash(s.cont, TRUE, hash, nullptr, &len), SAR_OK);
        ASSERT_EQ(len, 128u);
        Bytes sig(len);
        ASSERT_EQ(skf.SKF_RSASignHash(s.cont, TRUE, hash, sig.data(), &len), SAR_OK);
        EXPECT_TRUE(VerifyRsa(pub.get(), sig, md, msg));
        EXPECT_EQ(skf.SKF_RSASignHash(s.cont, FALSE, hash, sig.data(), &len), static_cast<ULONG>(SAR_KEYNOTFOUNTERR));
        skf.SKF_CloseHandle(hash);
    }
    skf.SKF_DisConnectDev(s.dev);
}

TEST_F(SignTest, LeftAlignmentHookMovesValuesToTheFirstHalf) {
    Session s = Sm2Session();
    ::setenv("SOFTSKF_LEFT_ALIGN", "1", 1);
    ECCSIGNATUREBLOB sig{};
    Bytes digest(32, 0x11);
    ASSERT_EQ(skf.SKF_ECCSignData(s.cont, digest.data(), 32, &sig), SAR_OK);
    ECCPUBLICKEYBLOB pub{};
    ULONG len = sizeof pub;
    ASSERT_EQ(skf.SKF_ExportPublicKey(s.cont, TRUE, reinterpret_cast<BYTE*>(&pub), &len), SAR_OK);
    for (const BYTE* field : {sig.r, sig.s, pub.XCoordinate, pub.YCoordinate}) {
        EXPECT_TRUE(std::all_of(field + 32, field + 64, [](BYTE b) { return b == 0; }));
    }
    const Bytes point = PointOf(StoredPublicKey("sm2", KeyUsage::Sign).get());
    EXPECT_EQ(Bytes(pub.XCoordinate, pub.XCoordinate + 32), Bytes(point.begin() + 1, point.begin() + 33));
    ECCSIGNATUREBLOB right{};
    std::memcpy(right.r + 32, sig.r, 32);
    std::memcpy(right.s + 32, sig.s, 32);
    EXPECT_TRUE(VerifySm2Digest(StoredPublicKey("sm2", KeyUsage::Sign).get(), right, digest));

    // A left-aligned public key is read back by the alignment rule.
    HANDLE hash = nullptr;
    ASSERT_EQ(skf.SKF_DigestInit(s.dev, SGD_SM3, &pub, nullptr, 0, &hash), SAR_OK);
    BYTE e[32];
    ULONG el = sizeof e;
    ASSERT_EQ(skf.SKF_Digest(hash, digest.data(), 5, e, &el), SAR_OK);
    EXPECT_EQ(skf.SKF_ECCSignHash(s.cont, TRUE, hash, &sig), SAR_OK);
    skf.SKF_CloseHandle(hash);
    skf.SKF_DisConnectDev(s.dev);
}

}  // namespace
}  // namespace softskf::testing
